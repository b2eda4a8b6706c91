#pragma once
// Ticks of a logarithmic frequency axis at 1-2-5 per decade ("20", "50", "1k", "2k"), finer
// ladders when zoomed into less than a decade, and ordinary linear ticks when even those
// leave fewer than three; minor ticks where log paper has its lines. GUI thread only.

#include <qcustomplot.h>

namespace Kedra::Sonvel::Gui {

// The label of a frequency tick: "20", "500", "1k", "1.5k", "20k".
QString FrequencyLabel(double hz);

// The tick count is the most labelled ticks the axis takes: when 1-2-5 would give more, the
// decades alone.
class FrequencyTicker : public QCPAxisTicker {
public:
    // A linear axis gets linear ticks with the same labels.
    void SetLogarithmic(bool on) { logarithmic_ = on; }

protected:
    QString getTickLabel(double tick, const QLocale& locale, QChar formatChar,
                         int precision) override;
    QVector<double> createTickVector(double tickStep, const QCPRange& range) override;
    QVector<double> createSubTickVector(int subTickCount, const QVector<double>& ticks) override;

private:
    bool linear_ = false; // the last range fell back to linear ticks
    bool logarithmic_ = true;
};

} // namespace Kedra::Sonvel::Gui
