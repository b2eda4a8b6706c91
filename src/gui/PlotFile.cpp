#include "gui/PlotFile.h"

#include <QApplication>

#include <optional>

#include "foundation/KedraLogger.h"
#include "gui/GraphView.h"
#include "measure/Measurement.h"

namespace Kedra::Sonvel::Gui {

namespace {

struct GraphChoice {
    GraphKind kind;
    bool magnitude;
    bool phase;
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

bool Render(const PlotFileRequest& request, const GraphChoice& choice, std::string& error) {
    GraphView view(choice.kind);
    view.resize(request.width, request.height);
    GraphSettings settings;
    settings.showMagnitude = choice.magnitude;
    settings.showPhase = choice.phase;
    settings.focusPresenter = request.curves.front().presenter;
    settings.freqMin = request.from;
    settings.freqMax = request.to;
    settings.dbMin = request.dbMin;
    settings.dbMax = request.dbMax;
    view.SetSettings(settings);

    std::vector<CurveSource> sources;
    for (const PlotCurve& c : request.curves)
        sources.push_back({c.record, c.presenter, QColor(c.red, c.green, c.blue),
                           QString::fromStdString(c.label)});
    view.SetCurves(sources);
    // The level axis of the other graphs has no sensible default: it follows the data.
    if (choice.kind != GraphKind::Response)
        view.FitAll();
    if (choice.kind == GraphKind::Distortion) {
        view.xAxis->setRange(request.from, request.to);
        if (request.levelsGiven)
            view.yAxis->setRange(request.dbMin, request.dbMax);
    }

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
        error += "': use response, phase, impulse or distortion";
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
