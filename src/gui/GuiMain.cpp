// The sonvel-gui program: the desktop window over the main controller.
// Usage: sonvel-gui [--user-dir DIR] [--sim loopback|speaker|room|dead] [--remote PORT] [PACKAGE]

#include <QApplication>
#include <QCommandLineParser>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "app/MainCtrl.h"
#include "app/Options.h"
#include "audio/SimulatedSoundCard.h"
#include "foundation/KedraLogger.h"
#include "gui/GuiFrontEnd.h"
#include "gui/MainWindow.h"
#include "gui/RemoteControl.h"

namespace fs = std::filesystem;
using namespace Kedra::Sonvel;

namespace {

// SIGTERM and SIGINT (a session's logout, a terminal's Ctrl+C) close the window like its
// Quit, so that options and measurements are autosaved. The handler only writes a byte.
int signalPipe[2] = {-1, -1};

void OnTerminate(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[0], &byte, 1);
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("Sonvel");
    QApplication::setOrganizationName("Kedra");
    QApplication::setApplicationVersion(QString::fromStdString(Conf::Options::ProgramVersion()));

    QCommandLineParser parser;
    parser.setApplicationDescription("Sonvel: acoustic impulse and frequency response measurement");
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption userDir("user-dir", "User directory (options, autosaved measurements)",
                                     "DIR");
    const QCommandLineOption sim("sim",
                                 "Measure on the simulated sound card: loopback, speaker, "
                                 "room or dead",
                                 "MODEL");
    const QCommandLineOption remote(
        "remote",
        "Switch Tools > Remote control on at start, on PORT of 127.0.0.1 (0: any free port); "
        "the address is printed",
        "PORT");
    parser.addOption(userDir);
    parser.addOption(sim);
    parser.addOption(remote);
    parser.addPositionalArgument("package", "A measurement package to open instead of the autosave",
                                 "[PACKAGE]");
    parser.process(app);

    Kedra::PAudioII::SimulatedModel model = Kedra::PAudioII::SimulatedModel::Loopback;
    if (parser.isSet(sim) &&
        !Kedra::PAudioII::SimulatedModelFromName(parser.value(sim).toStdString(), &model)) {
        std::fprintf(stderr, "sonvel-gui: --sim takes loopback, speaker, room or dead\n");
        return 2;
    }
    bool portOk = true;
    const int port = parser.isSet(remote) ? parser.value(remote).toInt(&portOk) : -1;
    if (!portOk || port > 65535 || (parser.isSet(remote) && port < 0)) {
        std::fprintf(stderr, "sonvel-gui: --remote takes a port from 0 to 65535\n");
        return 2;
    }
    const fs::path user = parser.isSet(userDir) ? fs::path(parser.value(userDir).toStdString())
                                                : Conf::UserDirectory();
    std::error_code ec;
    fs::create_directories(user, ec);
    Conf::SetUserDirectory(user);
    Kedra::Logging::KedraLogger::Initialize(
        (user / Kedra::Logging::KedraLogger::DEFAULT_FILE_NAME).string());
    for (int i = 0; i < argc; ++i)
        Kedra::Logging::KedraLogger::LogText("INFO    Sonvel::main args[" + std::to_string(i) +
                                             "] = " + argv[i] + "\n");

    Gui::GuiFrontEnd front;
    MainCtrl ctrl(front);
    int status = 0;
    try {
        const QStringList args = parser.positionalArguments();
        const std::string package = args.isEmpty() ? std::string() : args.first().toStdString();
        ctrl.StartUp(package);
        if (parser.isSet(sim))
            ctrl.Audio().UseSimulated(true, model);
        Gui::MainWindow window(ctrl, front);
        // Start-up is complete only when the named package opened whole (else the autosave).
        if (!package.empty() && ctrl.StartUpComplete())
            window.SetPackagePath(args.first());
        std::unique_ptr<QSocketNotifier> terminate;
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) == 0) {
            terminate = std::make_unique<QSocketNotifier>(signalPipe[1], QSocketNotifier::Read);
            QObject::connect(terminate.get(), &QSocketNotifier::activated, &window, [&window] {
                char byte;
                [[maybe_unused]] const ssize_t n = ::read(signalPipe[1], &byte, 1);
                window.close();
            });
            struct sigaction action = {};
            action.sa_handler = OnTerminate;
            sigemptyset(&action.sa_mask);
            action.sa_flags = SA_RESTART;
            sigaction(SIGTERM, &action, nullptr);
            sigaction(SIGINT, &action, nullptr);
        }
        window.show();
        // Nothing of this session would survive it; said before the user does any work.
        if (const std::string why = Conf::WriteProblem(user); !why.empty()) {
            const std::string text =
                "The user directory " + user.string() + " cannot be written (" + why +
                "): measurements and options will not be autosaved and are lost when Sonvel "
                "closes. Save the measurements as a package, or start Sonvel with --user-dir "
                "and a writable directory.";
            std::fprintf(stderr, "sonvel-gui: %s\n", text.c_str());
            front.ShowMessage(MessageKind::Warning, "Sonvel Warning", text);
        }
        QString why;
        if (port >= 0 && window.StartRemoteControl(port, &why)) {
            std::printf("Sonvel serves on %s\n", window.Remote()->Address().toUtf8().constData());
            std::fflush(stdout);
        } else if (port >= 0) {
            // A script waiting for the address learns at once that none will come.
            std::fprintf(stderr, "sonvel-gui: the remote control could not start: %s\n",
                         why.toUtf8().constData());
        }
        status = QApplication::exec();
    } catch (const std::exception& e) {
        Kedra::Logging::KedraLogger::LogText(
            std::string("WARNING Sonvel::main - Top Level Exception:\n") + e.what() + "\n");
        ctrl.Crashed(e.what());
        return 1;
    }
    if (!ctrl.ShutDown())
        status = status == 0 ? 1 : status;
    return status;
}
