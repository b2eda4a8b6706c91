// What the graphs cost a user: redrawing the response graph of 3 and of 20 long measurements, the
// way from a dragged window end to the redrawn graphs, and redrawing the waterfall. Offscreen (Qt's
// platform without a display), the widgets shown at 1600x900: each replot draws every layer into
// the widget's paint buffers and repaints the widget from them, as on a screen.

#include <benchmark/benchmark.h>

#include <QApplication>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <cmath>
#include <filesystem>
#include <memory>
#include <vector>

#include "app/FilePath.h"
#include "app/MainCtrl.h"
#include "app/Options.h"
#include "audio/SimulatedSoundCard.h"
#include "gui/GraphView.h"
#include "gui/GuiFrontEnd.h"
#include "gui/MainWindow.h"
#include "gui/TransferFunctionWindow.h"
#include "gui/WaterfallView.h"
#include "measure/Measurement.h"

namespace {

using Kedra::Measure::Measurement;
using namespace Kedra::Sonvel::Gui;

constexpr int RATE = 48000;

// A loudspeaker-like impulse of 2^p samples: a decaying resonance with some noise, so that
// the curves have detail in every pixel column.
std::unique_ptr<Measurement> Record(int p, unsigned seed, double gain) {
    const int n = 1 << p;
    std::vector<double> raw(static_cast<std::size_t>(n), 0.0);
    unsigned state = seed;
    for (int i = n / 2; i < n; ++i) {
        const double t = i - n / 2;
        state = state * 1664525u + 1013904223u;
        const double noise = (state >> 8) / double(1 << 24) - 0.5;
        raw[static_cast<std::size_t>(i)] =
            gain * std::exp(-t / 2000.0) * (std::sin(0.05 * t) + 0.2 * noise);
    }
    auto m = std::make_unique<Measurement>("bench");
    m->InitializeImpulse(raw.data(), n, n / 2, RATE, p, 0, 0.0, 0.0, true);
    return m;
}

std::unique_ptr<GraphView> Shown(GraphKind kind) {
    auto g = std::make_unique<GraphView>(kind);
    g->resize(1600, 900);
    g->show();
    QCoreApplication::processEvents();
    return g;
}

// Queued replots that the changes asked for run outside the timing.
void Drain(benchmark::State& state) {
    state.PauseTiming();
    QCoreApplication::processEvents();
    state.ResumeTiming();
}

// `count` records of N = 2^18 samples (2^17 + 1 bins), their views computed, as shown slots.
struct Records {
    std::vector<std::unique_ptr<Measurement>> records;
    std::vector<CurveSource> curves;
    explicit Records(int count) {
        for (int i = 0; i < count; ++i) {
            records.push_back(Record(18, 11u + static_cast<unsigned>(i), 1.0 + 0.3 * i));
            records.back()->GetA();
            records.back()->GetF();
            curves.push_back({records.back().get(), i < 3 ? i : -1, i,
                              QColor::fromHsv((i * 47) % 360, 220, 180), QStringLiteral("curve")});
        }
    }
};

// Arg: the number of curves. Every curve rebuilt from its record, then drawn.
void BM_RedrawResponse2e17(benchmark::State& state) {
    Records shown(static_cast<int>(state.range(0)));
    auto g = Shown(GraphKind::Response);
    for (auto _ : state) {
        g->SetCurves(shown.curves);
        g->replot(QCustomPlot::rpImmediateRefresh);
        Drain(state);
    }
}
BENCHMARK(BM_RedrawResponse2e17)->Arg(3)->Arg(20)->Unit(benchmark::kMillisecond)->UseRealTime();

// Args: the number of curves; 1 with, 0 without their phase. Drawn again as they are.
void BM_RedrawResponse2e17ReplotOnly(benchmark::State& state) {
    Records shown(static_cast<int>(state.range(0)));
    auto g = Shown(GraphKind::Response);
    GraphSettings s = g->Settings();
    s.showPhase = state.range(1) != 0;
    g->SetSettings(s);
    g->SetCurves(shown.curves);
    g->replot(QCustomPlot::rpImmediateRefresh);
    for (auto _ : state)
        g->replot(QCustomPlot::rpImmediateRefresh);
}
BENCHMARK(BM_RedrawResponse2e17ReplotOnly)
    ->Args({3, 1})
    ->Args({20, 1})
    ->Args({20, 0})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Arg: the number of curves. A pan by a few pixels: every curve reduced anew and drawn.
void BM_PanResponse2e17(benchmark::State& state) {
    Records shown(static_cast<int>(state.range(0)));
    auto g = Shown(GraphKind::Response);
    g->SetCurves(shown.curves);
    g->replot(QCustomPlot::rpImmediateRefresh);
    double factor = 1.01;
    for (auto _ : state) {
        factor = 1.0 / factor;
        g->xAxis->setRange(g->xAxis->range().lower * factor, g->xAxis->range().upper * factor);
        g->replot(QCustomPlot::rpImmediateRefresh);
    }
}
BENCHMARK(BM_PanResponse2e17)->Arg(20)->Unit(benchmark::kMillisecond)->UseRealTime();

// Arg 0: the response graph follows the change; 1: the impulse graph; 2: both, as in the
// window, where the two graphs show the same presenter.
void BM_WindowEndToRedraw(benchmark::State& state) {
    auto record = Record(18, 7u, 1.0);
    record->SetImpulseWindowEnabled(true);
    record->SetImpulseWindowEnd(4000);
    const std::vector<CurveSource> curves{{record.get(), 0, 0, QColor(0, 0, 139), "A"}};
    std::vector<std::unique_ptr<GraphView>> graphs;
    if (state.range(0) != 1)
        graphs.push_back(Shown(GraphKind::Response));
    if (state.range(0) != 0)
        graphs.push_back(Shown(GraphKind::Impulse));
    for (auto& g : graphs) {
        g->SetCurves(curves);
        g->replot(QCustomPlot::rpImmediateRefresh);
    }
    int end = 4000;
    for (auto _ : state) {
        end = end == 4000 ? 4100 : 4000;
        record->SetImpulseWindowEnd(end);
        for (auto& g : graphs) {
            g->UpdatePresenter(0);
            g->replot(QCustomPlot::rpImmediateRefresh);
        }
        Drain(state);
    }
}
BENCHMARK(BM_WindowEndToRedraw)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The waterfall tab redrawn after its record changed: 30 slices of a 2^18-sample record
// computed and drawn, as stacked lines (0) or as a colour map (1).
void BM_RedrawWaterfall30Slices(benchmark::State& state) {
    auto record = Record(18, 5u, 1.0);
    WaterfallView view;
    view.resize(1600, 900);
    view.show();
    WaterfallViewSettings settings;
    settings.slices.lastMs = 2.9;
    settings.style = state.range(0) == 0 ? WaterfallStyle::Lines : WaterfallStyle::ColourMap;
    view.SetSettings(settings);
    QCoreApplication::processEvents();
    const CurveSource source{record.get(), 0, 0, QColor(0, 0, 139), QStringLiteral("A")};
    for (auto _ : state) {
        view.SetSource(source);
        view.replot(QCustomPlot::rpImmediateRefresh);
        Drain(state);
    }
    state.counters["slices"] = static_cast<double>(view.Data().levels.size());
}
BENCHMARK(BM_RedrawWaterfall30Slices)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The live transfer function window on the simulated speaker at 1/24 octave: its updates a
// second, each a copy of the published points and a replot of its three graphs. The simulated
// card runs faster than real time, so a new snapshot always waits and the analysis thread keeps a
// core busy meanwhile: the rate is what the GUI thread manages, at most the timer's 20 a second.
void BM_TransferFunctionWindowUpdates(benchmark::State& state) {
    const auto dir = std::filesystem::temp_directory_path() / "sonvel-bench-tfwin";
    std::filesystem::create_directories(dir);
    Kedra::Sonvel::Conf::SetUserDirectory(dir);
    Kedra::Sonvel::Conf::Options::Reset();
    GuiFrontEnd front;
    front.SetInteractive(false);
    Kedra::Sonvel::MainCtrl ctrl(front);
    ctrl.StartUp("");
    ctrl.Audio().UseSimulated(true, Kedra::PAudioII::SimulatedModel::Speaker);
    MainWindow main(ctrl, front);
    TransferFunctionWindow* w = TransferFunctionWindow::Open(ctrl, front, main);
    // The event loop for `ms`, idle between events: the GUI thread's CPU time is the window's.
    const auto run = [](int ms) {
        QEventLoop loop;
        QTimer::singleShot(ms, &loop, &QEventLoop::quit);
        loop.exec();
    };
    // The first searches and the long FFTs' first segments, untimed.
    run(3000);
    QElapsedTimer clock;
    double updates = 0.0, seconds = 0.0;
    for (auto _ : state) {
        const int before = w->Updates();
        clock.start();
        run(1000);
        updates += w->Updates() - before;
        seconds += clock.elapsed() / 1000.0;
    }
    state.counters["updates_per_s"] = updates / seconds;
    state.counters["points"] = static_cast<double>(w->Shown().size());
    w->close();
}
BENCHMARK(BM_TransferFunctionWindowUpdates)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
