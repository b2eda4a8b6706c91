#include "gui/FrequencyTicker.h"

#include <array>
#include <cmath>
#include <span>

namespace Kedra::Sonvel::Gui {

QString FrequencyLabel(double hz) {
    if (std::fabs(hz) >= 1000.0)
        return QString::number(hz / 1000.0, 'g', 4) + QLatin1Char('k');
    return QString::number(hz, 'g', 4);
}

QString FrequencyTicker::getTickLabel(double tick, const QLocale&, QChar, int) {
    return FrequencyLabel(tick);
}

QVector<double> FrequencyTicker::createTickVector(double tickStep, const QCPRange& range) {
    static constexpr std::array<double, 3> coarse{1, 2, 5};
    static constexpr std::array<double, 9> units{1, 2, 3, 4, 5, 6, 7, 8, 9};
    static constexpr std::array<double, 10> fine{1, 1.2, 1.5, 2, 2.5, 3, 4, 5, 6, 8};
    linear_ = false;
    if (logarithmic_ && range.lower > 0.0 && range.upper > range.lower) {
        const int lowDecade = static_cast<int>(std::floor(std::log10(range.lower)));
        const int highDecade = static_cast<int>(std::floor(std::log10(range.upper)));
        const std::array<std::span<const double>, 3> ladders{coarse, units, fine};
        // Over many decades 1-2-5 crowds the labels; decades alone then.
        bool decadesOnly = highDecade - lowDecade > 6;
        if (!decadesOnly) {
            int coarseInside = 0;
            for (int d = lowDecade; d <= highDecade; ++d)
                for (double m : coarse)
                    if (const double t = m * std::pow(10.0, d);
                        t >= range.lower * (1 - 1e-9) && t <= range.upper * (1 + 1e-9))
                        ++coarseInside;
            decadesOnly = coarseInside > tickCount() && highDecade > lowDecade;
        }
        for (std::span<const double> ladder : ladders) {
            if (decadesOnly)
                ladder = ladder.first(1);
            QVector<double> ticks;
            int inside = 0;
            for (int d = lowDecade - 1; d <= highDecade + 1; ++d) {
                const double scale = std::pow(10.0, d);
                for (double m : ladder) {
                    const double t = m * scale;
                    ticks.push_back(t);
                    if (t >= range.lower * (1 - 1e-9) && t <= range.upper * (1 + 1e-9))
                        ++inside;
                }
            }
            if (inside >= 3 || decadesOnly)
                return ticks;
        }
    }
    linear_ = true;
    return QCPAxisTicker::createTickVector(tickStep, range);
}

QVector<double> FrequencyTicker::createSubTickVector(int subTickCount,
                                                     const QVector<double>& ticks) {
    if (linear_)
        return QCPAxisTicker::createSubTickVector(subTickCount, ticks);
    // Between two ticks: the multiples of the largest power of ten below their distance,
    // i.e. 30 and 40 between 20 and 50, 600 .. 900 between 500 and 1k.
    QVector<double> sub;
    for (int i = 0; i + 1 < ticks.size(); ++i) {
        const double a = ticks[i], b = ticks[i + 1];
        const double step = std::pow(10.0, std::floor(std::log10(b - a)));
        for (double t = std::floor(a / step + 1.0 + 1e-9) * step; t < b * (1 - 1e-9); t += step)
            sub.push_back(t);
    }
    return sub;
}

} // namespace Kedra::Sonvel::Gui
