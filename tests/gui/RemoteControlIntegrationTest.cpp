#include <gtest/gtest.h>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <QAction>
#include <QCoreApplication>
#include <QLabel>
#include <QSignalSpy>
#include <chrono>
#include <fstream>
#include <future>

#include "gui/MeasurementTableModel.h"
#include "gui/RemoteControl.h"
#include "gui/WindowTestFixture.h"

namespace SonvelTest {
namespace {

using nlohmann::json;

struct Answer {
    int status = -1; // -1: no answer
    json body;
};

class RemoteControlTest : public WindowTest {
protected:
    void SetUp() override {
        prefix = "remote-";
        WindowTest::SetUp();
    }
    int Serve() {
        QString why;
        port = window->Remote()->Start({"127.0.0.1", 0, {}, dir}, &why);
        EXPECT_GT(port, 0) << why.toStdString();
        return port;
    }
    // Sent from another thread, as a client would; this thread goes on with the window's
    // events unless `pump` is off.
    std::future<Answer> Send(const std::string& method, const std::string& path,
                             const std::string& body = {}) {
        return std::async(std::launch::async, [this, method, path, body] {
            httplib::Client client("127.0.0.1", port);
            client.set_read_timeout(60);
            httplib::Result r = method == "GET"      ? client.Get(path)
                                : method == "DELETE" ? client.Delete(path)
                                                     : client.Post(path, body, "application/json");
            Answer a;
            if (r) {
                a.status = r->status;
                a.body = json::parse(r->body, nullptr, false);
            }
            return a;
        });
    }
    Answer Wait(std::future<Answer> f) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        do
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        while (f.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready &&
               std::chrono::steady_clock::now() < end);
        EXPECT_EQ(f.wait_for(std::chrono::seconds(0)), std::future_status::ready);
        return f.get();
    }
    Answer Call(const std::string& method, const std::string& path, const std::string& body = {}) {
        return Wait(Send(method, path, body));
    }
    int FilledSlots() {
        int n = 0;
        for (int i = 0; i < ctrl->List().GetSize(); ++i)
            n += ctrl->List().No(i)->IsInitialized() ? 1 : 0;
        return n;
    }

    int port = 0;
};

TEST_F(RemoteControlTest, ServesTheWindowsListAndAClientsMeasurementIsTheWindows) {
    // The menu's switch serves on the options' port and says where.
    Conf::Options::Field.Window.RemotePort = 0;
    window->RemoteAction()->trigger();
    ASSERT_TRUE(window->Remote()->IsOn());
    const QString address = window->Remote()->Address();
    EXPECT_TRUE(address.startsWith("http://127.0.0.1:")) << address.toStdString();
    EXPECT_TRUE(window->findChild<QLabel*>("remote")->text().contains(address));
    port = address.section(':', 2).toInt();

    ASSERT_TRUE(Measure(MainCtrl::PRESENTER_A, SimulatedModel::Loopback));
    Answer list = Call("GET", "/api/measurements");
    ASSERT_EQ(list.status, 200);
    ASSERT_EQ(list.body["measurements"].size(), 1u);
    const int slotA = ctrl->PresenterSlot(MainCtrl::PRESENTER_A);
    EXPECT_EQ(list.body["measurements"][0]["slot"], slotA);
    EXPECT_EQ(list.body["measurements"][0]["label"], ctrl->List().No(slotA)->GetLabel());

    // The window measures for the client: its started and finished signals, and the
    // simulated card it had is back afterwards.
    QSignalSpy started(window.get(), &Gui::MainWindow::measurementStarted);
    const Answer measured =
        Call("POST", "/api/measure", R"({"presenter": "B", "sim": "speaker", "name": "Far"})");
    ASSERT_EQ(measured.status, 200) << measured.body.dump();
    EXPECT_EQ(started.count(), 1);
    EXPECT_FALSE(window->Measuring());
    const int slotB = measured.body["slot"];
    EXPECT_EQ(slotB, ctrl->PresenterSlot(MainCtrl::PRESENTER_B));
    EXPECT_EQ(ctrl->List().No(slotB)->GetLabel(), "Far");
    EXPECT_EQ(FilledSlots(), 2);
    EXPECT_TRUE(ctrl->Audio().UsesSimulated());
    EXPECT_EQ(ctrl->Audio().SimulatedModelInUse(), SimulatedModel::Loopback);
    const QModelIndex row = window->ListModel()->index(slotB, Gui::MeasurementTableModel::Label);
    EXPECT_EQ(window->ListModel()->data(row, Qt::DisplayRole).toString(), "Far");

    // A job that is not waited for reports the window's progress.
    const Answer job = Call("POST", "/api/measure", R"({"presenter": "C", "wait": false})");
    ASSERT_EQ(job.status, 202);
    Answer state;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    do
        state = Call("GET", "/api/jobs/" + std::to_string(job.body["id"].get<int>()));
    while (state.body["status"] == "running" && std::chrono::steady_clock::now() < end);
    ASSERT_EQ(state.body["status"], "done") << state.body.dump();
    EXPECT_FALSE(state.body["progress"].get<std::string>().empty());

    Screenshot("remote-control.png");

    // A package a client saves or opens is the window's: its title, and where Save writes.
    ASSERT_EQ(Call("POST", "/api/save", R"({"path": "remote.zip"})").status, 200);
    EXPECT_TRUE(window->windowTitle().contains("remote.zip"))
        << window->windowTitle().toStdString();
    window->SetPackagePath({});
    ASSERT_EQ(Call("POST", "/api/open", R"({"path": "remote.zip"})").status, 200);
    EXPECT_TRUE(window->windowTitle().contains("remote.zip"))
        << window->windowTitle().toStdString();
    ASSERT_EQ(Call("DELETE", "/api/measurements/" + std::to_string(slotB)).status, 200);
    EXPECT_FALSE(ctrl->List().No(slotB)->IsInitialized());

    window->RemoteAction()->trigger();
    EXPECT_FALSE(window->Remote()->IsOn());
    EXPECT_FALSE(window->findChild<QLabel*>("remote")->isVisible());
}

TEST_F(RemoteControlTest, FailuresGoToTheClientAndAWindowMeasurementIsNotDisturbed) {
    Serve();
    const int before = front.Messages().size();
    std::ofstream(dir / "notes.zip") << "not a package";
    const Answer open = Call("POST", "/api/open", R"({"path": "notes.zip"})");
    EXPECT_EQ(open.status, 422);
    EXPECT_FALSE(open.body["error"].get<std::string>().empty());
    EXPECT_EQ(front.Messages().size(), before) << "the window showed the client's failure";

    // The window's own measurement on a card that never answers: the client may read but
    // neither measure nor change the list meanwhile.
    ctrl->Audio().UseSimulated(true, SimulatedModel::Dead);
    QSignalSpy done(window.get(), &Gui::MainWindow::measurementFinished);
    ASSERT_TRUE(window->StartMeasurement(MainCtrl::PRESENTER_A));
    EXPECT_EQ(Call("POST", "/api/measure", R"({"sim": "loopback"})").status, 409);
    EXPECT_EQ(Call("DELETE", "/api/measurements/0").status, 409);
    const Answer status = Call("GET", "/api/status");
    EXPECT_EQ(status.status, 200);
    EXPECT_EQ(status.body["measuring"], true);
    EXPECT_EQ(ctrl->Audio().SimulatedModelInUse(), SimulatedModel::Dead);
    window->CancelMeasurement();
    ASSERT_TRUE(done.wait(10000));
}

TEST_F(RemoteControlTest, SwitchingOffNeverWaitsForTheWindow) {
    Serve();
    // A request whose call waits for this thread, which is busy switching off.
    auto waiting = Send("GET", "/api/measurements");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto t0 = std::chrono::steady_clock::now();
    window->Remote()->Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
    EXPECT_EQ(waiting.get().status, 503);

    // A client's measurement goes on in the window when the switch goes off under it.
    Serve();
    auto measuring = Send("POST", "/api/measure", R"({"sim": "dead"})");
    for (int i = 0; i < 2000 && !window->Measuring(); ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    ASSERT_TRUE(window->Measuring());
    t0 = std::chrono::steady_clock::now();
    window->Remote()->Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
    const Answer released = Wait(std::move(measuring));
    EXPECT_EQ(released.status, 503);
    EXPECT_TRUE(window->Measuring());
    QSignalSpy done(window.get(), &Gui::MainWindow::measurementFinished);
    window->CancelMeasurement();
    ASSERT_TRUE(done.wait(10000));
    EXPECT_FALSE(ctrl->Audio().UsesSimulated()) << "the client's simulated card stayed";

    // Closing the window while serving ends cleanly.
    Serve();
    window->close();
    EXPECT_FALSE(window->Remote()->IsOn());
}

} // namespace
} // namespace SonvelTest
