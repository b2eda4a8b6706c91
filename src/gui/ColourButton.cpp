#include "gui/ColourButton.h"

#include <QColorDialog>
#include <QPainter>
#include <QPixmap>
#include <algorithm>
#include <vector>

#include "app/Options.h"

namespace Kedra::Sonvel::Gui {

void CustomColoursFromOptions() {
    const std::vector<int>& kept = Conf::Options::Field.Plot.CustomColors;
    const int n = std::min(static_cast<int>(kept.size()), QColorDialog::customCount());
    for (int i = 0; i < n; ++i)
        QColorDialog::setCustomColor(
            i, QColor::fromRgba(static_cast<QRgb>(kept[static_cast<std::size_t>(i)])));
}

void CustomColoursToOptions() {
    std::vector<int>& kept = Conf::Options::Field.Plot.CustomColors;
    kept.clear();
    for (int i = 0; i < QColorDialog::customCount(); ++i)
        kept.push_back(static_cast<int>(QColorDialog::customColor(i).rgba()));
}

ColourButton::ColourButton(const QString& title, QWidget* parent)
    : QPushButton(parent), title_(title) {
    setMinimumWidth(140);
    connect(this, &QPushButton::clicked, this, [this] {
        CustomColoursFromOptions();
        const QColor picked = QColorDialog::getColor(colour_, this, title_);
        CustomColoursToOptions();
        if (picked.isValid())
            SetColour(picked);
    });
    SetColour(Qt::black);
}

void ColourButton::SetColour(const QColor& colour) {
    const bool changed = colour != colour_;
    colour_ = colour;
    QPixmap swatch(28, 14);
    swatch.fill(colour);
    {
        QPainter frame(&swatch);
        frame.setPen(palette().color(QPalette::WindowText));
        frame.drawRect(swatch.rect().adjusted(0, 0, -1, -1));
    }
    setIcon(QIcon(swatch));
    setIconSize(swatch.size());
    setText(colour.name().toUpper());
    if (changed)
        emit colourChanged(colour);
}

} // namespace Kedra::Sonvel::Gui
