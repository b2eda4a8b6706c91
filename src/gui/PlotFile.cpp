#include "gui/PlotFile.h"

#include <QApplication>

#include <optional>

#include "foundation/KedraLogger.h"
#include "gui/GraphView.h"
#include "gui/RoomAcousticsView.h"
#include "gui/WaterfallView.h"
#include "measure/Measurement.h"

namespace Kedra::Sonvel::Gui {

namespace {

// The waterfall and the decay curves are drawn by views of their own.
enum class Drawer { Graph, Waterfall, Decay };

struct GraphChoice {
    GraphKind kind;
    bool magnitude;
    bool phase;
    Drawer drawer = Drawer::Graph;
};

std::optional<GraphChoice> ChooseGraph(const std::string& name) {
    if (name == "response")
        return GraphChoice{GraphKind::Response, true, false};
    if (name == "phase")
        return GraphChoice{GraphKind::Response, false, true};
    if (name == "impulse")
        return GraphChoice{GraphKind::Impulse, true, false};
    if (name == "distortion")
        return GraphChoice{GraphKind::Distortion, true, false};
    if (name == "groupdelay")
        return GraphChoice{GraphKind::GroupDelay, true, false};
    if (name == "etc")
        return GraphChoice{GraphKind::EnergyTime, true, false};
    if (name == "waterfall")
        return GraphChoice{GraphKind::Response, true, false, Drawer::Waterfall};
    if (name == "decay")
        return GraphChoice{GraphKind::Response, true, false, Drawer::Decay};
    return std::nullopt;
}

// Qt's own remarks (a missing runtime directory, fonts) belong in the log, not on the
// terminal of a script that asked for an image.
void QtMessageToLog(QtMsgType type, const QMessageLogContext&, const QString& text) {
    std::string line = type == QtDebugMsg || type == QtInfoMsg ? "INFO    " : "WARNING ";
    line += "Sonvel::RenderPlotFile Qt: ";
    line += text.toStdString();
    line += "\n";
    Kedra::Logging::KedraLogger::LogText(line);
}

CurveSource SourceOf(const PlotCurve& c) {
    return {c.record, c.presenter, -1, QColor(c.red, c.green, c.blue),
            QString::fromStdString(c.label)};
}

bool Saved(bool ok, const QString& message, std::string& error) {
    if (!ok)
        error = message.toStdString();
    return ok;
}

bool RenderWaterfall(const PlotFileRequest& request, std::string& error) {
    WaterfallView view;
    view.resize(request.width, request.height);
    WaterfallViewSettings settings;
    settings.slices = request.waterfall;
    settings.style = request.colourMap ? WaterfallStyle::ColourMap : WaterfallStyle::Lines;
    settings.freqMin = request.from;
    settings.freqMax = request.to;
    view.SetSettings(settings);
    view.SetSource(SourceOf(request.curves.front()));
    if (view.Data().levels.empty()) {
        error = "the waterfall of '";
        error += request.curves.front().label;
        error += "' has no slice: the slices or their end lie outside the measurement";
        return false;
    }
    QString message;
    return Saved(view.SaveImage(QString::fromStdString(request.path), request.width, request.height,
                                &message),
                 message, error);
}

bool RenderDecay(const PlotFileRequest& request, std::string& error) {
    RoomAcousticsView view;
    view.resize(request.width, request.height);
    view.SetSource(SourceOf(request.curves.front()));
    if (view.Results().empty()) {
        error = "the measurement '";
        error += request.curves.front().label;
        error += "' has no decay to analyse";
        return false;
    }
    if (request.levelsGiven)
        view.DecayPlot()->yAxis->setRange(request.dbMin, request.dbMax);
    QString message;
    return Saved(view.SaveImage(QString::fromStdString(request.path), request.width, request.height,
                                &message),
                 message, error);
}

bool Render(const PlotFileRequest& request, const GraphChoice& choice, std::string& error) {
    if (choice.drawer == Drawer::Waterfall)
        return RenderWaterfall(request, error);
    if (choice.drawer == Drawer::Decay)
        return RenderDecay(request, error);
    GraphView view(choice.kind);
    view.resize(request.width, request.height);
    // The look of the plot options, as the window draws; the request's own ranges.
    GraphSettings settings = WithPlotOptions({}, false);
    settings.showMagnitude = choice.magnitude;
    settings.showPhase = choice.phase;
    settings.focusPresenter = request.curves.front().presenter;
    settings.freqMin = request.from;
    settings.freqMax = request.to;
    settings.dbMin = request.dbMin;
    settings.dbMax = request.dbMax;
    settings.etcBandHz = request.etcBandHz;
    view.SetSettings(settings);

    std::vector<CurveSource> sources;
    for (const PlotCurve& c : request.curves)
        sources.push_back(SourceOf(c));
    view.SetCurves(sources);
    // The level axis of the other graphs has no sensible default: it follows the data, over
    // the frequencies asked for (a group delay shoots up where the level falls near Nyquist).
    if (choice.kind == GraphKind::Distortion || choice.kind == GraphKind::GroupDelay) {
        view.xAxis->setRange(request.from, request.to);
        view.FitAll(GraphView::FitKeys::Keep);
    } else if (choice.kind != GraphKind::Response) {
        view.FitAll();
    }
    // Levels in dB, which the group delay's axis is not.
    // (A response in dB SPL has followed its curves too, unless levels were given.)
    if (request.levelsGiven &&
        (choice.kind == GraphKind::Distortion || choice.kind == GraphKind::EnergyTime ||
         choice.kind == GraphKind::Response))
        view.yAxis->setRange(request.dbMin, request.dbMax);

    QString message;
    if (!view.SaveImage(QString::fromStdString(request.path), request.width, request.height,
                        &message)) {
        error = message.toStdString();
        return false;
    }
    return true;
}

} // namespace

bool RenderPlotFile(const PlotFileRequest& request, std::string& error) {
    const auto choice = ChooseGraph(request.graph);
    if (!choice) {
        error = "unknown graph '";
        error += request.graph;
        error += "': use response, phase, impulse, distortion, groupdelay, etc, waterfall or decay";
        return false;
    }
    if (request.curves.empty()) {
        error = "nothing to plot: no measurement was given";
        return false;
    }
    for (const PlotCurve& c : request.curves) {
        if (c.record == nullptr || !c.record->IsInitialized()) {
            error = "the curve '";
            error += c.label;
            error += "' holds no measurement";
            return false;
        }
    }
    if (!(request.from > 0.0 && request.to > request.from)) {
        error = "the frequency range needs 0 < from < to";
        return false;
    }
    if (!(request.dbMax > request.dbMin)) {
        error = "the level range needs dbMin < dbMax";
        return false;
    }

    if (QCoreApplication::instance() != nullptr) {
        if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
            error = "graphs need a widget application, and a non-widget one runs already";
            return false;
        }
        return Render(request, *choice, error);
    }
    // No display is needed to draw into a file; the application lives for this one image.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    const QtMessageHandler previous = qInstallMessageHandler(QtMessageToLog);
    bool ok = false;
    {
        int argc = 1;
        char name[] = "sonvel";
        char* argv[] = {name, nullptr};
        QApplication app(argc, argv);
        ok = Render(request, *choice, error);
    }
    qInstallMessageHandler(previous);
    return ok;
}

} // namespace Kedra::Sonvel::Gui
