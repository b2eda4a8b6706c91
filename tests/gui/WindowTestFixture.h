#pragma once
// A window over a controller in a fresh user directory, with the default options and
// scripted answers; measuring through the window with the event loop running.

#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QString>
#include <filesystem>
#include <memory>
#include <string>

#include "app/MainCtrl.h"
#include "app/Options.h"
#include "audio/SimulatedSoundCard.h"
#include "gui/GuiFrontEnd.h"
#include "gui/MainWindow.h"
#include "support/TestSupport.h"

namespace SonvelTest {

using namespace Kedra::Sonvel;
using Kedra::PAudioII::SimulatedModel;

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir =
            TempDir() /
            (prefix + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        Conf::SetUserDirectory(dir);
        Conf::Options::Reset();
        front.SetInteractive(false);
        ctrl = std::make_unique<MainCtrl>(front);
        ctrl->StartUp("");
        window = std::make_unique<Gui::MainWindow>(*ctrl, front);
        window->resize(1400, 900);
        window->show();
    }
    void TearDown() override {
        window.reset();
        ctrl.reset();
    }
    // Measures into a presenter through the window, the event loop running meanwhile.
    bool Measure(int presenter, SimulatedModel model) {
        ctrl->Audio().UseSimulated(true, model);
        QSignalSpy done(window.get(), &Gui::MainWindow::measurementFinished);
        if (!window->StartMeasurement(presenter))
            return false;
        if (!done.wait(60000))
            return false;
        return done.first().first().toBool();
    }
    // Into the build tree, where a developer looks at them; the window unless told otherwise.
    void Screenshot(const QString& name, QWidget* what = nullptr) {
        const QString shots = QStringLiteral(SONVEL_SCREENSHOT_DIR);
        std::filesystem::create_directories(shots.toStdString());
        (what != nullptr ? what : window.get())->grab().save(shots + "/" + name);
    }

    std::filesystem::path dir;
    std::string prefix = "window-";
    Gui::GuiFrontEnd front;
    std::unique_ptr<MainCtrl> ctrl;
    std::unique_ptr<Gui::MainWindow> window;
};

} // namespace SonvelTest
