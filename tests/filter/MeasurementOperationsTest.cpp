#include "filter/MeasurementOperations.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <functional>
#include <random>
#include <vector>

#include "audio/SimulatedSoundCard.h"
#include "foundation/Fft.h"

using Kedra::Measure::ApplyMinimumPhase;
using Kedra::Measure::Match;
using Kedra::Measure::Measurement;
using Kedra::Measure::Operation;
using Kedra::Measure::Stitch;
using Cd = std::complex<double>;
using Response = std::function<Cd(double)>;

namespace {

const double PI = std::acos(-1.0);
const double DEG = 180.0 / PI;

double Db(double x) {
    return 20.0 * std::log10(x);
}

// Analog sections at s = j f / fc.
Cd Highpass2(double f, double fc, double q) {
    const Cd s(0.0, f / fc);
    return s * s / (s * s + s / q + 1.0);
}

Cd Lowpass1(double f, double fc) {
    return 1.0 / Cd(1.0, f / fc);
}

Cd Delay(double f, double samples, double fs) {
    return std::polar(1.0, -2.0 * PI * f * samples / fs);
}

// A record whose spectrum at its bins is h(f), time zero at the centre.
void Fill(Measurement& m, int fs, int nHalf, const Response& h) {
    std::vector<Cd> spectrum(static_cast<std::size_t>(nHalf) + 1);
    for (int k = 0; k <= nHalf; ++k)
        spectrum[static_cast<std::size_t>(k)] = h(k * 0.5 * fs / nHalf);
    spectrum.back() = spectrum.back().real(); // a real signal's Nyquist bin is real
    m.InitializeFreq(spectrum.data(), nHalf, fs, nHalf, 0, 0.0, 0.0, true);
    ASSERT_TRUE(m.IsInitialized());
}

// A smooth response that is nowhere 0.
Cd Smooth(double f) {
    return 0.2 + Highpass2(f, 90.0, 0.6) * Lowpass1(f, 6000.0);
}

} // namespace

TEST(MeasurementOperations, SameGridArithmeticAndName) {
    const int fs = 48000, nHalf = 4096;
    Measurement a("Left"), b("Right"), r("old");
    Fill(a, fs, nHalf, Smooth);
    Fill(b, fs, nHalf, [](double f) { return Lowpass1(f, 2000.0) * Delay(f, 2.0, 48000.0); });

    ASSERT_TRUE(Operation("/", a, a, r));
    EXPECT_EQ(r.GetLabel(), "(Left) / (Left)");
    EXPECT_EQ(r.GetNHalf(), nHalf);
    EXPECT_EQ(r.GetSamplerate(), fs);
    const Cd* f = r.GetF();
    for (int k = 0; k <= nHalf; ++k)
        ASSERT_LT(std::abs(f[k] - 1.0), 1e-12) << k;

    ASSERT_TRUE(Operation("-", a, a, r));
    EXPECT_EQ(r.GetLabel(), "(Left) - (Left)");
    f = r.GetF();
    for (int k = 0; k <= nHalf; ++k)
        ASSERT_EQ(f[k], 0.0) << k;

    const double df = 0.5 * fs / nHalf;
    ASSERT_TRUE(Operation("*", a, b, r));
    EXPECT_EQ(r.GetLabel(), "(Left) * (Right)");
    f = r.GetF();
    for (int k = 0; k < nHalf; ++k) {
        const Cd truth = Smooth(k * df) * Lowpass1(k * df, 2000.0) * Delay(k * df, 2.0, fs);
        ASSERT_LT(std::abs(f[k] - truth), 1e-12) << k;
    }
    ASSERT_TRUE(Operation("+", a, b, r));
    f = r.GetF();
    for (int k = 0; k < nHalf; ++k) {
        const Cd truth = Smooth(k * df) + Lowpass1(k * df, 2000.0) * Delay(k * df, 2.0, fs);
        ASSERT_LT(std::abs(f[k] - truth), 1e-12) << k;
    }
    // B / A, written over A itself.
    ASSERT_TRUE(Operation("/", b, a, a));
    EXPECT_EQ(a.GetLabel(), "(Right) / (Left)");
    f = a.GetF();
    for (int k = 0; k < nHalf; ++k) {
        const Cd truth = Lowpass1(k * df, 2000.0) * Delay(k * df, 2.0, fs) / Smooth(k * df);
        ASSERT_LT(std::abs(f[k] - truth), 1e-12) << k;
    }
}

TEST(MeasurementOperations, DifferentGridsAverageOntoTheFinerFasterGrid) {
    const Response ha = [](double f) { return Highpass2(f, 50.0, 0.7) * Lowpass1(f, 9000.0); };
    const Response hb = [](double f) { return Lowpass1(f, 3000.0) * Highpass2(f, 30.0, 0.5); };
    Measurement a("A48"), b("B44"), r;
    Fill(a, 48000, 8192, ha);
    Fill(b, 44100, 4096, hb);
    for (bool swapped : {false, true}) {
        ASSERT_TRUE(swapped ? Operation("*", b, a, r) : Operation("*", a, b, r));
        EXPECT_EQ(r.GetNHalf(), 8192);
        EXPECT_EQ(r.GetSamplerate(), 48000);
        const double* mag = r.GetA();
        double worst = 0.0;
        for (int k = 1; k < 8192; ++k) {
            const double f = k * 48000.0 / 16384.0;
            if (f < 100.0 || f > 20000.0)
                continue;
            worst = std::max(worst, std::fabs(Db(mag[k]) - Db(std::abs(ha(f) * hb(f)))));
        }
        EXPECT_LT(worst, 0.1) << "swapped " << swapped;
    }

    // An input already on the result grid maps bin to bin, not half a bin off.
    Measurement flat("Flat");
    Fill(flat, 44100, 4096, [](double) { return Cd(1.0, 0.0); });
    ASSERT_TRUE(Operation("*", a, flat, r));
    for (int k = 0; k < 8192; ++k)
        ASSERT_LT(std::abs(r.GetF()[k] - a.GetF()[k]), 1e-12 * (1.0 + std::abs(a.GetF()[k]))) << k;
}

TEST(MeasurementOperations, RefusalsLeaveTheResultAlone) {
    Measurement a("A"), empty("E"), r("kept");
    Fill(a, 48000, 1024, Smooth);
    Fill(r, 48000, 256, [](double) { return Cd(3.0, 0.0); });
    EXPECT_FALSE(Operation("/", a, empty, r));
    EXPECT_FALSE(Operation("*", empty, a, r));
    EXPECT_FALSE(Operation("^", a, a, r));
    EXPECT_FALSE(Operation("", a, a, r));
    EXPECT_EQ(r.GetLabel(), "kept");
    EXPECT_EQ(r.GetNHalf(), 256);
    EXPECT_NEAR(r.GetA()[10], 3.0, 1e-12);

    // A divisor of exactly 0 (a silent measurement): non-finite values, but a result and no
    // crash. (A high-pass's zero at DC comes back from the impulse only to rounding level.)
    Measurement zero("Z");
    Fill(zero, 48000, 1024, [](double) { return Cd(0.0, 0.0); });
    ASSERT_EQ(zero.GetF()[0], 0.0);
    ASSERT_TRUE(Operation("/", a, zero, r));
    EXPECT_FALSE(std::isfinite(std::abs(r.GetF()[0])));
}

TEST(MeasurementOperations, MatchLevelAndTime) {
    const int fs = 48000, nHalf = 8192;
    const Response hb = [](double f) { return Lowpass1(f, 4000.0) * Highpass2(f, 40.0, 0.8); };
    Measurement a("A"), b("B");
    Fill(b, fs, nHalf, hb);

    Fill(a, fs, nHalf, [&](double f) { return 2.0 * hb(f); });
    ASSERT_TRUE(Match(a, b, 1000.0, 400.0, false));
    EXPECT_NEAR(a.GetAmplitude(), 0.5, 1e-12);
    EXPECT_EQ(a.GetCurrentOffset(), 0.0);
    for (int k = 0; k < nHalf; ++k)
        ASSERT_LT(std::abs(a.GetF()[k] - b.GetF()[k]), 1e-9) << k;

    // A band reaching below 0 Hz starts at bin 0 and still matches.
    Fill(a, fs, nHalf, [&](double f) { return 3.0 * hb(f); });
    ASSERT_TRUE(Match(a, b, 50.0, 400.0, false));
    EXPECT_NEAR(a.GetAmplitude(), 1.0 / 3.0, 1e-12);

    for (double delay : {3.0, -2.5}) {
        Fill(a, fs, nHalf, [&](double f) { return hb(f) * Delay(f, delay, fs); });
        ASSERT_TRUE(Match(a, b, 1500.0, 600.0, true));
        EXPECT_NEAR(a.GetCurrentOffset(), delay, 0.02) << delay;
        EXPECT_NEAR(a.GetAmplitude(), 1.0, 1e-9);
        for (int k = 1; k < 2000; ++k)
            ASSERT_LT(std::abs(a.GetF()[k] - b.GetF()[k]), 0.01 * std::abs(b.GetF()[k])) << k;
    }

    // B's phase at fc near +pi and A's, one sample earlier, just past it: the shorter way
    // round is one sample, not a turn the other way.
    Measurement d("D"), e("E");
    const double d0 = (2.0 * PI - 3.0) / (2.0 * PI * 1500.0 / fs);
    Fill(e, fs, nHalf, [&](double f) { return Delay(f, d0, fs); });
    Fill(d, fs, nHalf, [&](double f) { return Delay(f, d0 - 1.0, fs); });
    ASSERT_TRUE(Match(d, e, 1500.0, 600.0, true));
    EXPECT_NEAR(d.GetCurrentOffset(), -1.0, 0.01);

    // A at another rate and length: level matched through the frequency mapping.
    Measurement c("C");
    Fill(c, 44100, 4096, [&](double f) { return 2.0 * hb(f); });
    ASSERT_TRUE(Match(c, b, 1000.0, 400.0, false));
    EXPECT_NEAR(c.GetAmplitude(), 0.5, 0.005);
}

TEST(MeasurementOperations, MatchRefusesWithoutDataOrBand) {
    Measurement a("A"), b("B"), empty("E");
    Fill(a, 48000, 1024, Smooth);
    Fill(b, 48000, 1024, [](double f) { return 2.0 * Smooth(f); });
    EXPECT_FALSE(Match(a, empty, 1000.0, 100.0, true));
    EXPECT_FALSE(Match(empty, a, 1000.0, 100.0, true));
    // No bin strictly inside a band of zero width, or of negative width.
    EXPECT_FALSE(Match(a, b, 1000.0, 0.0, true));
    EXPECT_FALSE(Match(a, b, 1000.0, -300.0, true));
    EXPECT_FALSE(Match(a, b, std::nan(""), 100.0, true));
    EXPECT_FALSE(Match(a, b, 1000.0, INFINITY, true));
    Measurement r("R");
    EXPECT_FALSE(Stitch(a, b, -INFINITY, 100.0, true, r));
    EXPECT_FALSE(r.IsInitialized());
    // A silent reference: scaling A by 0 would destroy it.
    Measurement silent("S");
    Fill(silent, 48000, 1024, [](double) { return Cd(0.0, 0.0); });
    EXPECT_FALSE(Match(a, silent, 1000.0, 400.0, false));
    EXPECT_EQ(a.GetAmplitude(), 1.0);
    EXPECT_EQ(a.GetCurrentOffset(), 0.0);
    EXPECT_NEAR(a.GetA()[20], std::abs(Smooth(20 * 48000.0 / 2048.0)), 1e-12);

    // Absurd but finite bands are pulled onto the spectrum: the whole of it here.
    EXPECT_TRUE(Match(a, b, 1e300, 1e300, false));
    EXPECT_NEAR(a.GetAmplitude(), 2.0, 1e-9);
}

TEST(MeasurementOperations, StitchOnTheSameGridFollowsTheCrossFade) {
    const int fs = 48000, nHalf = 4096; // df = 5.859375 Hz
    Measurement a("Near"), b("Far"), r("Result");
    Fill(a, fs, nHalf, [](double f) { return 4.0 * Smooth(f) * Lowpass1(f, 800.0); });
    Fill(b, fs, nHalf, [](double f) { return Smooth(f) * Highpass2(f, 150.0, 1.0); });
    const double df = 0.5 * fs / nHalf;
    // Band edges on bins 41 and 61: an even distance with bin 51 in the middle.
    const double fc = 51 * df, bw = 20 * df;
    ASSERT_TRUE(Stitch(a, b, fc, bw, false, r));
    EXPECT_EQ(r.GetLabel(), "Result");
    EXPECT_NE(a.GetAmplitude(), 1.0); // A itself was matched
    const Cd* fr = r.GetF();
    const Cd* fa = a.GetF();
    const Cd* fb = b.GetF();
    for (int k = 0; k <= 41; ++k)
        ASSERT_LT(std::abs(fr[k] - fa[k]), 1e-12) << k;
    for (int k = 61; k < nHalf; ++k)
        ASSERT_LT(std::abs(fr[k] - fb[k]), 1e-12) << k;
    EXPECT_LT(std::abs(fr[51] - 0.5 * (fa[51] + fb[51])), 1e-12);
    EXPECT_LT(std::abs(fr[46] - (0.75 * fa[46] + 0.25 * fb[46])), 1e-12);

    Measurement empty;
    EXPECT_FALSE(Stitch(a, empty, fc, bw, false, r));
    EXPECT_FALSE(Stitch(empty, b, fc, bw, false, r));
}

namespace {

// The simulated speaker without its travel time: the truth of both stitch tests.
struct Speaker {
    Kedra::PAudioII::DeviceModel model{
        Kedra::PAudioII::DeviceModelParams::For(Kedra::PAudioII::SimulatedModel::Speaker, 48000)};
    Cd operator()(double f) const {
        return model.Response(f) * Delay(f, -model.DelaySamples(), 48000.0);
    }
};

// Near field: accurate up to 350 Hz, then a treble error growing to several dB, and a level
// of a close microphone. Far field: 0.4 ms later and accurate from 250 Hz up, with a room's
// ripple and bass loss below.
Cd NearField(const Speaker& s, double f) {
    const double e = f > 350.0 ? 1.0 + 0.6 * std::sin(std::min(f - 350.0, 1000.0) / 700.0) : 1.0;
    return 8.0 * s(f) * Cd(e, 0.2 * (e - 1.0));
}

Cd FarField(const Speaker& s, double f) {
    Cd e = 1.0;
    if (f < 250.0) {
        const double depth = (250.0 - f) / 250.0;
        e = Cd(1.0 - 0.5 * depth + 0.3 * depth * std::cos(f / 9.0), 0.2 * depth);
    }
    return s(f) * e * Delay(f, 0.0004 * 48000.0, 48000.0);
}

void ExpectStitchedSpeaker(Measurement& result, const Speaker& s, double maxDb) {
    const double* mag = result.GetA();
    const double df = result.GetHzPerBin();
    double worst = 0.0, worstF = 0.0;
    for (int k = 1; k < result.GetNHalf(); ++k) {
        const double f = k * df;
        if (f < 20.0 || f > 20000.0)
            continue;
        const double err = std::fabs(Db(mag[k]) - Db(std::abs(s(f))));
        if (err > worst) {
            worst = err;
            worstF = f;
        }
    }
    EXPECT_LT(worst, maxDb) << "at " << worstF << " Hz";
}

} // namespace

TEST(MeasurementOperations, StitchNearAndFarFieldOfTheSimulatedSpeaker) {
    const Speaker speaker;
    const Response near = [&](double f) { return NearField(speaker, f); };
    const Response far = [&](double f) { return FarField(speaker, f); };
    {
        Measurement a("Near"), b("Far"), r;
        Fill(a, 48000, 1 << 15, near);
        Fill(b, 48000, 1 << 15, far);
        ASSERT_TRUE(Stitch(a, b, 300.0, 60.0, true, r));
        // B lags by 19.2 samples: A's time zero moves that much earlier.
        EXPECT_NEAR(a.GetCurrentOffset(), -0.0004 * 48000.0, 0.3);
        ExpectStitchedSpeaker(r, speaker, 0.3);
    }
    {
        // Near field on a shorter record at 44.1 kHz, far field at 48 kHz.
        Measurement a("Near"), b("Far"), r;
        Fill(a, 44100, 1 << 13, near);
        Fill(b, 48000, 1 << 15, far);
        ASSERT_TRUE(Stitch(a, b, 300.0, 60.0, true, r));
        EXPECT_EQ(r.GetSamplerate(), 48000);
        EXPECT_EQ(r.GetNHalf(), 1 << 15);
        ExpectStitchedSpeaker(r, speaker, 0.3);
    }
}

namespace {

// h[0 .. count] of the spectrum of a sampled impulse response given by its samples from 0.
std::vector<Cd> SpectrumOf(const std::vector<double>& impulse, int count) {
    const int n = 2 * count;
    std::vector<double> t(static_cast<std::size_t>(n), 0.0);
    for (std::size_t i = 0; i < impulse.size() && i < static_cast<std::size_t>(count); ++i)
        t[static_cast<std::size_t>(count) + i] = impulse[i];
    std::vector<Cd> h(static_cast<std::size_t>(count) + 1);
    Kedra::Math::FFTPow2TimeToFreq(t.data() + count, h.data(), n, true, false);
    return h;
}

} // namespace

TEST(MeasurementOperations, MinimumPhaseKeepsAMinimumPhaseLowpass) {
    // One-pole low-pass y[n] = (1 - p) x[n] + p y[n - 1], minimum phase by construction.
    const int count = 8192;
    const double p = std::exp(-2.0 * PI * 1000.0 / 48000.0);
    std::vector<double> impulse(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i)
        impulse[static_cast<std::size_t>(i)] = (1.0 - p) * std::pow(p, i);
    const std::vector<Cd> truth = SpectrumOf(impulse, count);
    for (bool causal : {false, true}) {
        std::vector<Cd> h = truth;
        ApplyMinimumPhase(h.data(), count, 1e-10, causal);
        double worstDb = 0.0, worstDeg = 0.0;
        for (int k = 0; k <= count; ++k) {
            const auto i = static_cast<std::size_t>(k);
            worstDb = std::max(worstDb, std::fabs(Db(std::abs(h[i])) - Db(std::abs(truth[i]))));
            worstDeg = std::max(
                worstDeg,
                std::fabs(std::remainder(std::arg(h[i]) - std::arg(truth[i]), 2.0 * PI)) * DEG);
        }
        EXPECT_LT(worstDb, 0.01) << causal;
        EXPECT_LT(worstDeg, 0.5) << causal;
    }
}

TEST(MeasurementOperations, MinimumPhaseOfADelayIsFlatZeroPhase) {
    const int count = 1024;
    std::vector<Cd> h(count + 1);
    for (int k = 0; k <= count; ++k)
        h[static_cast<std::size_t>(k)] = std::polar(0.5, -PI * k * 37.0 / count);
    ApplyMinimumPhase(h.data(), count, 1e-10, false);
    for (int k = 0; k <= count; ++k)
        ASSERT_LT(std::abs(h[static_cast<std::size_t>(k)] - 0.5), 1e-12) << k;
}

TEST(MeasurementOperations, CausalMinimumPhaseHasNothingBeforeTimeZero) {
    const int count = 2048, n = 2 * count;
    std::mt19937 random(7);
    std::normal_distribution<double> noise(0.0, 1.0);
    std::vector<double> impulse(300);
    for (double& x : impulse)
        x = noise(random);
    // Made non-causal: the impulse sits 100 samples before time zero as well.
    std::vector<double> t(static_cast<std::size_t>(n), 0.0);
    for (std::size_t i = 0; i < impulse.size(); ++i)
        t[static_cast<std::size_t>(count - 100) + i] = impulse[i];
    std::vector<Cd> h(count + 1);
    Kedra::Math::FFTPow2TimeToFreq(t.data() + count, h.data(), n, true, false);

    ApplyMinimumPhase(h.data(), count, 1e-10, true);
    Kedra::Math::FFTPow2FreqToTime(h.data(), t.data() + count, n, true, false);
    double peak = 0.0;
    for (double x : t)
        peak = std::max(peak, std::fabs(x));
    ASSERT_GT(peak, 0.1);
    for (int i = 0; i < count; ++i)
        ASSERT_LT(std::fabs(t[static_cast<std::size_t>(i)]), 1e-12 * peak) << i - count;
}

TEST(MeasurementOperations, MinimumPhaseOfTheClosedBoxIsItsAnalyticPhase) {
    const int count = 1 << 16;
    const double fs = 48000.0, df = fs / (2.0 * count);
    for (double q : {0.5, 0.7, 1.2}) {
        for (double fc : {40.0, 60.0, 200.0}) {
            std::vector<Cd> h(count + 1);
            for (int k = 0; k <= count; ++k)
                h[static_cast<std::size_t>(k)] = std::abs(Highpass2(k * df, fc, q));
            h[0] = 1e-9; // a trace of DC must stay real
            ApplyMinimumPhase(h.data(), count, 1e-10, false);
            EXPECT_EQ(h[0], Cd(1e-9, 0.0));
            double worst = 0.0, worstF = 0.0;
            for (int k = 1; k <= count; ++k) {
                const double f = k * df;
                if (f < fc / 4 || f > fs / 4)
                    continue;
                const double d = std::remainder(std::arg(h[static_cast<std::size_t>(k)]) -
                                                    std::arg(Highpass2(f, fc, q)),
                                                2.0 * PI);
                if (std::fabs(d) * DEG > worst) {
                    worst = std::fabs(d) * DEG;
                    worstF = f;
                }
            }
            EXPECT_LT(worst, 1.0) << "Q " << q << " fc " << fc << " at " << worstF << " Hz";
        }
    }
}

TEST(MeasurementOperations, MinimumPhaseRefusesALengthThatIsNoPowerOfTwo) {
    std::vector<Cd> h(101, Cd(0.0, 1.0));
    ApplyMinimumPhase(h.data(), 100, 1e-10, true);
    for (const Cd& x : h)
        ASSERT_EQ(x, Cd(0.0, 1.0));
    ApplyMinimumPhase(h.data(), 0, 1e-10, true);
    ApplyMinimumPhase(nullptr, 64, 1e-10, true);
    EXPECT_EQ(h[0], Cd(0.0, 1.0));
}
