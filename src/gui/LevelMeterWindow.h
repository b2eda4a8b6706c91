#pragma once
// The level meter: one bar per input channel of the stream, in dBFS, with the held peak,
// a clip light that stays lit until "Reset peaks" (latched here, from what the polls see), and an
// optional 1 kHz test tone on the measuring outputs. It owns the process-wide stream only while
// nothing measures: it lets go on the main window's measurementStarted and takes it back on
// measurementFinished.
//
// Threads: everything here runs on the GUI thread. The levels come from the meter's
// lock-free snapshot, polled by a timer; the audio thread is never waited on while metering.

#include <QElapsedTimer>
#include <memory>
#include <vector>

#include "audio/SineTone.h"
#include "audio/VUMeterInBuffer.h"
#include "gui/LiveWindow.h"

class QCheckBox;

namespace Kedra::Sonvel::Gui {

class LevelBar;
class LevelScale;

class LevelMeterWindow : public LiveWindow {
    Q_OBJECT
public:
    static constexpr double SCALE_FLOOR_DB = -100.0;
    // A peak at or above this counts as clipped: the last 0.1 dB below full scale, where a
    // converter's own rounding already reaches the rails.
    static constexpr double CLIP_DB = -0.1;
    static constexpr int REFRESH_MS = 40;
    static constexpr double TONE_HZ = 1000.0;
    // Longer than any real card's buffer: a stream this quiet delivers nothing.
    static constexpr int NO_INPUT_MS = 2000;

    // A separate top-level window over `main`, which it follows for measurements.
    LevelMeterWindow(MainCtrl& ctrl, GuiFrontEnd& front, MainWindow& main);
    ~LevelMeterWindow() override;
    // The one meter of `main`, made on first use, shown, raised and metering (again, after
    // a start that failed or a close).
    static LevelMeterWindow* Open(MainCtrl& ctrl, GuiFrontEnd& front, MainWindow& main) {
        return OpenOne<LevelMeterWindow>(ctrl, front, main);
    }

    // Opens the stream on the options' devices (or the simulated card) and meters. False,
    // with the reason in the window, when the devices are missing or the stream fails.
    bool StartMetering() { return Start(); }
    void StopMetering() { Stop(); }
    bool Metering() const { return meter_ != nullptr; }
    void SetTestTone(bool on);
    void ResetPeaks();

    // What the window shows, for tests and the accessible names.
    int Channels() const { return static_cast<int>(columns_.size()); }
    QString LevelText(int channel) const;
    QString PeakText(int channel) const;
    bool ClipLit(int channel) const;
    QCheckBox* ToneBox() const { return tone_; }

protected:
    bool StartListening() override;
    void StopListening() override;
    bool Listening() const override { return Metering(); }
    void Refresh() override;

private:
    struct Column {
        QLabel* name = nullptr;
        QLabel* clip = nullptr;
        LevelBar* bar = nullptr;
        QLabel* level = nullptr;
        QLabel* peak = nullptr;
        bool clipped = false;
        double highest = SCALE_FLOOR_DB; // since the last reset
    };

    void ShowClip(Column& column, bool clipped);
    void BuildColumns(int channels);
    void ApplyTone();

    std::unique_ptr<Kedra::PAudioII::VUMeterInBuffer> meter_;
    Kedra::PAudioII::SineTone sine_;
    Kedra::PAudioII::VUMeterInBuffer::Levels levels_;
    std::uint64_t lastBlocks_ = 0;
    std::uint64_t resetBlocks_ = 0; // the meter's block count at the last reset
    QElapsedTimer sinceBlock_;
    bool silentDevice_ = false;
    QString meteringText_;
    std::vector<Column> columns_;
    QGridLayout* grid_ = nullptr;
    LevelScale* scale_ = nullptr;
    QLabel* toneNote_ = nullptr;
    QCheckBox* tone_ = nullptr;
    QPushButton* reset_ = nullptr;
};

} // namespace Kedra::Sonvel::Gui
