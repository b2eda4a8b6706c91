#include "gui/FixedPitchFont.h"

#include <QFontDatabase>
#include <QFontMetricsF>
#include <QStringList>
#include <cmath>

namespace Kedra::Sonvel::Gui {

bool HasEqualAdvances(const QFont& font) {
    const QFontMetricsF metrics(font);
    // Narrow, wide, digit, blank and the punctuation of the reports' tables.
    const QString probe = QStringLiteral("iWm0 .|-:lM1");
    const qreal first = metrics.horizontalAdvance(probe.at(0));
    if (first <= 0.0)
        return false;
    for (const QChar c : probe)
        if (std::abs(metrics.horizontalAdvance(c) - first) > 0.01 * first)
            return false;
    return true;
}

QFont FixedPitchFont() {
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    if (HasEqualAdvances(font))
        return font;
    const QStringList families = QFontDatabase::families();
    for (const char* name : {"DejaVu Sans Mono", "Noto Sans Mono", "Liberation Mono", "Noto Mono",
                             "Source Code Pro", "monospace"}) {
        QFont candidate(QString::fromLatin1(name), font.pointSize());
        candidate.setStyleHint(QFont::Monospace, QFont::PreferMatch);
        if (HasEqualAdvances(candidate))
            return candidate;
    }
    for (const QString& family : families) {
        QFont candidate(family, font.pointSize());
        if (HasEqualAdvances(candidate))
            return candidate;
    }
    return font;
}

} // namespace Kedra::Sonvel::Gui
