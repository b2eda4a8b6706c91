#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <vector>

#include "app/FrontEnd.h"
#include "app/MainCtrl.h"
#include "app/Options.h"
#include "audio/SimulatedSoundCard.h"
#include "audio/StreamInitializer.h"
#include "exchange/WaveFile.h"
#include "filter/Equaliser.h"
#include "filter/EqualiserExport.h"
#include "foundation/Fft.h"
#include "foundation/Mem.h"
#include "measure/Smoothing.h"
#include "support/TestSupport.h"

namespace {

using namespace Kedra::Sonvel;
using namespace Kedra::Filter;
using Kedra::Measure::Measurement;
using Complex = std::complex<double>;
namespace fs = std::filesystem;

// dB of a one-sided spectrum smoothed to 1/6 octave, at `hz`.
std::vector<double> SixthOctaveDb(std::vector<Complex> bins, double binsPerHz,
                                  const std::vector<double>& hz) {
    const int last = static_cast<int>(bins.size()) - 1;
    Kedra::Measure::SmoothMagnitude(bins.data(), bins.data(), last, 6.0);
    std::vector<double> db;
    for (double f : hz)
        db.push_back(20.0 * std::log10(std::abs(
                                bins[static_cast<std::size_t>(std::lround(f * binsPerHz))])));
    return db;
}

std::vector<double> LogPoints(double from, double to, int perOctave) {
    std::vector<double> hz;
    for (double f = from; f <= to * 1.0001; f *= std::exp2(1.0 / perOctave))
        hz.push_back(f);
    return hz;
}

class EqualiserRoom : public ::testing::Test {
protected:
    void SetUp() override {
        dir = SonvelTest::TempDir() / "eq-room";
        fs::remove_all(dir);
        fs::create_directories(dir);
        Conf::SetUserDirectory(dir);
        Conf::Options::Reset();
        Kedra::PAudioII::StreamInitializer::Destroy();
        Kedra::PAudioII::SimulatedSoundCard::ResetParams();
        ctrl = std::make_unique<MainCtrl>(fe);
        ctrl->StartUp("");
        ctrl->Audio().UseSimulated(true, Kedra::PAudioII::SimulatedModel::Room);
        ctrl->ApplyOptions();
        ASSERT_TRUE(ctrl->Action_MeasStart(MainCtrl::PRESENTER_A));
        room = ctrl->Presenter(MainCtrl::PRESENTER_A);
        ASSERT_TRUE(room != nullptr && room->IsInitialized());
    }
    void TearDown() override {
        ctrl.reset();
        Kedra::PAudioII::StreamInitializer::Destroy();
    }

    fs::path dir;
    ScriptedFrontEnd fe;
    std::unique_ptr<MainCtrl> ctrl;
    Measurement* room = nullptr;
};

TEST_F(EqualiserRoom, FitMeetsAFlatTargetAndSoxRunsTheExportedChainAsPredicted) {
    EqDevice sox;
    ASSERT_TRUE(FindEqDevice("sox", sox));
    EqLimits limits;
    limits.fromHz = 30.0;
    limits.toHz = 300.0;
    // The automatic window (about 11 ms) says nothing below 100 Hz: room EQ wants the whole
    // impulse, as a user would set it.
    room->SetImpulseWindowEnabled(false);
    EqFit fit;
    std::string why;
    ASSERT_TRUE(FitEqualiser(*room, EqTarget{}, limits, sox, fit, why)) << why;
    for (const EqFilter& f : fit.filters) {
        EXPECT_TRUE(f.fc >= 30.0 && f.fc <= 300.0 && f.q >= 0.5 && f.q <= 10.0 &&
                    f.gainDb >= -15.0 && f.gainDb <= 6.0)
            << f.fc << " Hz " << f.gainDb << " dB Q " << f.q;
    }
    const int slot = ctrl->PresenterSlot(MainCtrl::PRESENTER_A);
    ASSERT_TRUE(ctrl->Action_EqPrediction(slot, 5, fit.filters, fit.rate));
    Measurement& predicted = *ctrl->List().No(5);

    // The prediction, read through its own 1/6-octave view, lies within 1.5 dB RMS of flat.
    predicted.SetSmoothNOct(6.0);
    predicted.SetSmoothingComplex(false);
    predicted.SetSmoothingEnabled(true);
    const std::vector<double> band = LogPoints(30.0, 300.0, 48);
    double sum = 0.0;
    for (double f : band) {
        const double e = 20.0 * std::log10(std::abs(predicted.GetFInterpolated(f))) - fit.levelDb;
        sum += e * e;
    }
    EXPECT_LT(std::sqrt(sum / band.size()), 1.5) << EqExportText(fit, EqFormat::Text, fit.rate);

    // The measured impulse, one period from -N/2, into sox through the exported chain.
    if (std::system("command -v sox >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "sox is not installed (Debian package sox); the exported chain was not "
                        "checked by it";
    const int n = room->GetN();
    const double* i0 = room->GetI0() - room->GetNHalf();
    double peak = 0.0;
    for (int i = 0; i < n; ++i)
        peak = std::max(peak, std::fabs(i0[i]));
    std::vector<double> in(i0, i0 + n);
    for (double& v : in)
        v /= peak;
    const fs::path inWav = dir / "in.wav", outWav = dir / "out.wav", chain = dir / "chain";
    ASSERT_EQ(Kedra::WaveImExport::ArrayWaveExport(
                  in.data(), n, room->GetSamplerate(), inWav.string(),
                  Kedra::WaveImExport::WaveFormat::Float32, "room", false),
              n);
    // The fitted peaking filters, and shelves with them (sox's bass and treble).
    EqFit shelves;
    shelves.filters = {{EqFilterType::LowShelf, 80.0, 5.0, 0.8},
                       {EqFilterType::HighShelf, 6000.0, -4.0, 0.6},
                       {EqFilterType::Peaking, 1000.0, 3.0, 2.0}};
    ASSERT_TRUE(ctrl->Action_EqPrediction(slot, 6, shelves.filters, fit.rate));
    double largest = 0.0;
    for (const EqFit* f : {&fit, &shelves}) {
        Measurement& expected = *ctrl->List().No(f == &fit ? 5 : 6);
        SonvelTest::WriteBytes(chain, EqExportText(*f, EqFormat::Sox, fit.rate));
        const std::string command = "sox '" + inWav.string() + "' '" + outWav.string() +
                                    "' $(cat '" + chain.string() + "') 2>'" +
                                    (dir / "sox.err").string() + "'";
        ASSERT_EQ(std::system(command.c_str()), 0) << SonvelTest::ReadBytes(dir / "sox.err");

        Kedra::WaveImExport::WaveInfo info;
        float* raw = nullptr;
        ASSERT_EQ(Kedra::WaveImExport::ArrayWaveImport(outWav.string(), info, raw), n);
        std::vector<double> out(raw, raw + n);
        Mem::FreeArrayNoRef(raw);
        std::vector<Complex> soxBins(static_cast<std::size_t>(n / 2 + 1));
        Kedra::Math::FFTPow2TimeToFreq(out.data(), soxBins.data(), n, false, false);

        // The prediction, at the level the chain plays it: the export's scale and the preamp.
        const double gain = std::pow(10.0, -EqPreampDb(f->filters, fit.rate) / 20.0) / peak;
        std::vector<Complex> predictedBins(expected.GetF0(), expected.GetF0() + n / 2 + 1);
        for (Complex& c : predictedBins)
            c *= gain;
        const std::vector<double> audible = LogPoints(20.0, 20000.0, 12);
        const auto soxDb = SixthOctaveDb(soxBins, room->GetBinsPerHz(), audible);
        const auto predictedDb = SixthOctaveDb(predictedBins, room->GetBinsPerHz(), audible);
        for (std::size_t i = 0; i < audible.size(); ++i) {
            largest = std::max(largest, std::fabs(soxDb[i] - predictedDb[i]));
            EXPECT_NEAR(soxDb[i], predictedDb[i], 0.2)
                << audible[i] << " Hz" << (f == &fit ? "" : ", shelves");
        }
    }
    std::printf("RMS of the prediction re flat %.3f dB (fit says %.3f); sox against the "
                "prediction: largest "
                "difference %.5f dB\n",
                std::sqrt(sum / band.size()), fit.rmsAfter, largest);
}

} // namespace
