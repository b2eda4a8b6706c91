#include "analyze/SequenceAnalysis.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <complex>
#include <random>
#include <string>
#include <vector>

using namespace Kedra::Analyze;
using Cd = std::complex<double>;

namespace {

const double PI_ = std::acos(-1.0);

// Plain sum X[k] = sum x[m] e^(-i 2 pi k m / n), k = 0 .. n/2, with exact reduced twiddles.
std::vector<Cd> NaiveSpectrum(const std::vector<double>& x) {
    const std::size_t n = x.size();
    std::vector<Cd> out(n / 2 + 1);
    for (std::size_t k = 0; k <= n / 2; ++k) {
        Cd sum = 0.0;
        for (std::size_t m = 0; m < n; ++m) {
            sum += x[m] * std::polar(1.0, -2.0 * PI_ * static_cast<double>((k * m) % n) /
                                              static_cast<double>(n));
        }
        out[k] = sum;
    }
    return out;
}

std::vector<double> Random(int n, unsigned seed, double lo = -1.0, double hi = 1.0) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> dist(lo, hi);
    std::vector<double> x(static_cast<std::size_t>(n));
    for (double& v : x) {
        v = dist(gen);
    }
    return x;
}

// A sinc band-limited to `band` of Nyquist, peaking at `centre` (fractional), Hann-windowed
// over +-40 samples.
std::vector<double> BandLimitedPulse(int n, double centre, double band) {
    std::vector<double> x(static_cast<std::size_t>(n), 0.0);
    for (int m = 0; m < n; ++m) {
        const double t = m - centre;
        if (std::fabs(t) >= 40.0) {
            continue;
        }
        const double s = t == 0.0 ? 1.0 : std::sin(PI_ * band * t) / (PI_ * band * t);
        x[static_cast<std::size_t>(m)] = band * s * 0.5 * (1.0 + std::cos(PI_ * t / 40.0));
    }
    return x;
}

std::vector<double> Pulse(int n, std::initializer_list<std::pair<int, double>> taps) {
    std::vector<double> x(static_cast<std::size_t>(n), 0.0);
    for (const auto& [i, v] : taps) {
        x[static_cast<std::size_t>(i)] = v;
    }
    return x;
}

int Locate(const std::vector<double>& d, TZM method, bool* inverted = nullptr) {
    return FindImpulseIndex(d.data(), static_cast<int>(d.size()), false, method, inverted);
}

} // namespace

TEST(TimeZeroMethod, TextsRoundTripLetterForLetter) {
    const std::vector<std::pair<TZM, std::string>> table = {
        {TZM::FirstPostivePeak, "FirstPostivePeak"},
        {TZM::PostivePeak, "PostivePeak"},
        {TZM::FirstMagnitudePeak, "FirstMagnitudePeak"},
        {TZM::MagnitudePeak, "MagnitudePeak"},
        {TZM::CausalImpulse, "CausalImpulse"}};
    for (std::size_t i = 0; i < table.size(); ++i) {
        EXPECT_EQ(static_cast<int>(table[i].first), static_cast<int>(i));
        EXPECT_EQ(TZMToString(table[i].first), table[i].second);
        EXPECT_EQ(StringToTZM(table[i].second), table[i].first);
    }
    EXPECT_STREQ(TZMToString(static_cast<TZM>(5)), "FirstPostivePeak");
    EXPECT_STREQ(TZMToString(static_cast<TZM>(-1)), "FirstPostivePeak");
}

TEST(TimeZeroMethod, MalformedTextGivesTheDefault) {
    const std::string withNul("MagnitudePeak\0x", 15);
    for (const std::string& text :
         {std::string("magnitudepeak"), std::string(""), std::string("MagnitudePeak "),
          std::string(" MagnitudePeak"), std::string("MagnitudePea"), std::string("PositivePeak"),
          withNul, std::string(100000, 'C'), std::string("\xff\xfe")}) {
        EXPECT_EQ(StringToTZM(text), TZM::FirstPostivePeak) << text.substr(0, 20);
    }
}

TEST(CommonPow2Length, RoundsBothUpAndTakesTheLarger) {
    EXPECT_EQ(CommonPow2Length(1000, 3000), 4096);
    EXPECT_EQ(CommonPow2Length(4096, 4096), 4096);
    EXPECT_EQ(CommonPow2Length(4097, 10), 8192);
    EXPECT_EQ(CommonPow2Length(1, 1), 1);
    EXPECT_EQ(CommonPow2Length(3, 2), 4);
    EXPECT_EQ(CommonPow2Length(0, -5), 1);
    EXPECT_EQ(CommonPow2Length(1 << 30, 5), 1 << 30);
    // 2^31 does not fit an int: a clear zero instead of an overflowed length.
    EXPECT_EQ(CommonPow2Length((1 << 30) + 1, 5), 0);
    EXPECT_EQ(CommonPow2Length(5, INT_MAX), 0);
}

TEST(InverseSpectrum, IsFourOverNTimesTheScaledSpectrum) {
    const int n = 32;
    auto x = Random(n, 11);
    x[0] += 3.0; // keeps every bin away from zero
    const auto truth = NaiveSpectrum(x);
    std::vector<Cd> inv(n / 2 + 1);
    InverseSpectrum(x.data(), n, inv.data());
    for (int k = 0; k <= n / 2; ++k) {
        const Cd scaled = truth[static_cast<std::size_t>(k)] * (2.0 / n);
        const Cd expected = 4.0 / (static_cast<double>(n) * scaled);
        EXPECT_NEAR(std::abs(inv[static_cast<std::size_t>(k)] - expected), 0.0,
                    1e-12 * std::abs(expected))
            << "bin " << k;
    }
}

TEST(InverseSpectrum, ZeroBinsBecomeZeroWithOneWarning) {
    const int n = 16;
    // 1 + e^(-i w) vanishes exactly at Nyquist; 1 - e^(-i w) at DC.
    for (const auto& x : {Pulse(n, {{0, 1.0}, {1, 1.0}}), Pulse(n, {{0, 1.0}, {1, -1.0}})}) {
        const std::size_t before = SonvelTest::ReadLog().size();
        std::vector<Cd> inv(n / 2 + 1);
        InverseSpectrum(x.data(), n, inv.data());
        const auto truth = NaiveSpectrum(x);
        int zeros = 0;
        for (int k = 0; k <= n / 2; ++k) {
            const Cd v = inv[static_cast<std::size_t>(k)];
            ASSERT_TRUE(std::isfinite(v.real()) && std::isfinite(v.imag())) << "bin " << k;
            if (std::abs(truth[static_cast<std::size_t>(k)]) < 1e-9) {
                EXPECT_EQ(v, Cd(0.0, 0.0));
                ++zeros;
            } else {
                const Cd expected = 2.0 / truth[static_cast<std::size_t>(k)];
                EXPECT_NEAR(std::abs(v - expected), 0.0, 1e-12 * std::abs(expected));
            }
        }
        EXPECT_EQ(zeros, 1);
        const std::string added = SonvelTest::ReadLog().substr(before);
        EXPECT_NE(added.find("WARNING InverseSpectrum(16) 1 bins"), std::string::npos) << added;
    }

    std::vector<float> silence(64, 0.0f);
    std::vector<float> inverse(64, 7.0f);
    InverseSequence<float, float>(silence.data(), inverse.data(), 64);
    for (float v : inverse) {
        EXPECT_EQ(v, 0.0f);
    }
}

TEST(InverseSpectrum, RefusesLengthsThatAreNoPowerOfTwo) {
    std::vector<double> x(1000, 1.0);
    std::vector<Cd> inv(501, Cd(7.0, 7.0));
    std::vector<float> xf(1000, 1.0f);
    std::vector<float> invf(1000, 7.0f);
    for (int n : {1000, 0, -4}) {
        InverseSpectrum(x.data(), n, inv.data());
        InverseSequence<float, float>(xf.data(), invf.data(), n);
        CorrelateSpectrum(xf.data(), n, inv.data(), inv.data());
    }
    EXPECT_TRUE(std::all_of(inv.begin(), inv.end(), [](Cd v) { return v == Cd(7.0, 7.0); }));
    EXPECT_TRUE(std::all_of(invf.begin(), invf.end(), [](float v) { return v == 7.0f; }));
    EXPECT_NE(SonvelTest::ReadLog().find("WARNING InverseSpectrum(1000)"), std::string::npos);
}

TEST(InverseSequence, ConvolvedWithTheSequenceGivesNTimesAUnitImpulse) {
    const int n = 64;
    const auto noise = Random(n, 5);
    std::vector<float> x(n);
    for (int i = 0; i < n; ++i) {
        x[static_cast<std::size_t>(i)] = static_cast<float>((i == 3 ? 1.0 : 0.0) + 0.3 * noise[i]);
    }
    std::vector<float> g(n);
    InverseSequence<float, float>(x.data(), g.data(), n);
    for (int k = 0; k < n; ++k) {
        double sum = 0.0;
        for (int m = 0; m < n; ++m) {
            sum += static_cast<double>(g[static_cast<std::size_t>(m)]) * x[(k - m + n) % n];
        }
        EXPECT_NEAR(sum / n, k == 0 ? 1.0 : 0.0, 2e-5) << "lag " << k;
    }
}

TEST(CorrelateSpectrum, IsHalfTheScaledRecordingTimesTheInverse) {
    const int n = 32;
    const auto r = Random(n, 3);
    std::vector<float> rf(r.begin(), r.end());
    const auto inverse = Random(n + 2, 4);
    std::vector<Cd> inv(n / 2 + 1);
    for (int k = 0; k <= n / 2; ++k) {
        inv[static_cast<std::size_t>(k)] = {inverse[2 * k], inverse[2 * k + 1]};
    }
    const auto truth = NaiveSpectrum(std::vector<double>(rf.begin(), rf.end()));
    std::vector<Cd> out(n / 2 + 1);
    CorrelateSpectrum(rf.data(), n, inv.data(), out.data());
    for (int k = 0; k <= n / 2; ++k) {
        const std::size_t i = static_cast<std::size_t>(k);
        const Cd expected = 0.5 * (truth[i] * (2.0 / n)) * inv[i];
        EXPECT_NEAR(std::abs(out[i] - expected), 0.0, 1e-12) << "bin " << k;
    }
    // Writing over the inverse itself gives the same product.
    CorrelateSpectrum(rf.data(), n, inv.data(), inv.data());
    for (std::size_t i = 0; i < inv.size(); ++i) {
        EXPECT_EQ(inv[i], out[i]);
    }
}

TEST(CorrelateInTime, MatchesTheDirectCircularSumAndFindsADelay) {
    for (int n : {1, 2, 4, 8, 64}) {
        const auto a = Random(n, 20u + static_cast<unsigned>(n));
        const auto b = Random(n, 40u + static_cast<unsigned>(n));
        std::vector<double> out(static_cast<std::size_t>(n));
        CorrelateInTime<double, double, double>(a.data(), b.data(), out.data(), n);
        for (int k = 0; k < n; ++k) {
            double sum = 0.0;
            for (int m = 0; m < n; ++m) {
                sum += a[static_cast<std::size_t>(m)] * b[static_cast<std::size_t>((m + k) % n)];
            }
            EXPECT_NEAR(out[static_cast<std::size_t>(k)], sum, 1e-12 * n) << n << " lag " << k;
        }
        // In place over either input.
        auto inA = a;
        CorrelateInTime<double, double, double>(inA.data(), b.data(), inA.data(), n);
        auto inB = b;
        CorrelateInTime<double, double, double>(a.data(), inB.data(), inB.data(), n);
        for (std::size_t i = 0; i < out.size(); ++i) {
            EXPECT_NEAR(inA[i], out[i], 1e-12 * n);
            EXPECT_NEAR(inB[i], out[i], 1e-12 * n);
        }
    }

    const int n = 256;
    const auto a = Random(n, 9);
    std::vector<double> delayed(n);
    for (int m = 0; m < n; ++m) {
        delayed[static_cast<std::size_t>((m + 37) % n)] = a[static_cast<std::size_t>(m)];
    }
    std::vector<double> c(n);
    CorrelateInTime<double, double, double>(a.data(), delayed.data(), c.data(), n);
    EXPECT_EQ(std::max_element(c.begin(), c.end()) - c.begin(), 37);

    std::vector<double> untouched(12, 5.0);
    CorrelateInTime<double, double, double>(a.data(), a.data(), untouched.data(), 12);
    EXPECT_TRUE(std::all_of(untouched.begin(), untouched.end(), [](double v) { return v == 5.0; }));
}

TEST(FindImpulseIndex, FirstPeakMethodsNeedATwiceLargerLaterPeak) {
    const auto close = Pulse(200, {{50, 0.6}, {80, 1.0}});
    EXPECT_EQ(Locate(close, TZM::FirstPostivePeak), 50);
    EXPECT_EQ(Locate(close, TZM::PostivePeak), 80);
    EXPECT_EQ(Locate(close, TZM::FirstMagnitudePeak), 50);
    EXPECT_EQ(Locate(close, TZM::MagnitudePeak), 80);

    const auto small = Pulse(200, {{50, 0.4}, {80, 1.0}});
    EXPECT_EQ(Locate(small, TZM::FirstPostivePeak), 80);
    EXPECT_EQ(Locate(small, TZM::FirstMagnitudePeak), 80);

    // Ties keep the earlier index in the plain methods.
    const auto tie = Pulse(200, {{60, 1.0}, {90, 1.0}});
    EXPECT_EQ(Locate(tie, TZM::PostivePeak), 60);
    EXPECT_EQ(Locate(tie, TZM::MagnitudePeak), 60);

    // An unknown method value behaves as the default.
    EXPECT_EQ(Locate(close, static_cast<TZM>(17)), 50);
}

TEST(FindImpulseIndex, NegativePeaksAndTheInvertedFlag) {
    bool inverted = false;
    const auto negativeFirst = Pulse(200, {{40, -1.0}, {60, 0.4}});
    EXPECT_EQ(Locate(negativeFirst, TZM::MagnitudePeak, &inverted), 40);
    EXPECT_TRUE(inverted);
    EXPECT_EQ(Locate(negativeFirst, TZM::FirstMagnitudePeak, &inverted), 40);
    EXPECT_TRUE(inverted);
    EXPECT_EQ(Locate(negativeFirst, TZM::FirstPostivePeak, &inverted), 60);
    EXPECT_TRUE(inverted);

    // Neither dominates: the first-magnitude method takes the earlier one.
    const auto comparable = Pulse(200, {{40, -0.6}, {60, 1.0}});
    EXPECT_EQ(Locate(comparable, TZM::FirstMagnitudePeak, &inverted), 40);
    EXPECT_FALSE(inverted);

    const auto negativeLater = Pulse(200, {{40, 0.6}, {60, -1.0}});
    EXPECT_EQ(Locate(negativeLater, TZM::MagnitudePeak, &inverted), 60);
    EXPECT_FALSE(inverted);
    const auto dominantLater = Pulse(200, {{40, 0.3}, {60, -1.0}});
    EXPECT_EQ(Locate(dominantLater, TZM::FirstMagnitudePeak, &inverted), 60);
    EXPECT_TRUE(inverted);

    // An inverted band-limited pulse: its positive sidelobes do not hide the inversion.
    auto band = BandLimitedPulse(200, 100.0, 0.8);
    for (double& v : band) {
        v = -v;
    }
    for (TZM method : {TZM::FirstPostivePeak, TZM::PostivePeak, TZM::FirstMagnitudePeak,
                       TZM::MagnitudePeak, TZM::CausalImpulse}) {
        inverted = false;
        Locate(band, method, &inverted);
        EXPECT_TRUE(inverted) << TZMToString(method);
    }
    EXPECT_EQ(Locate(band, TZM::FirstMagnitudePeak), 100);
    EXPECT_EQ(Locate(band, TZM::MagnitudePeak), 100);

    // A lone inverted pulse (no positive sample at all) is found by the magnitude methods.
    const auto lone = Pulse(200, {{120, -1.0}});
    EXPECT_EQ(Locate(lone, TZM::FirstMagnitudePeak, &inverted), 120);
    EXPECT_TRUE(inverted);
    EXPECT_EQ(Locate(lone, TZM::CausalImpulse), 119);
}

TEST(FindImpulseIndex, CentredResultsAreRelativeToTheMiddle) {
    for (TZM method :
         {TZM::FirstPostivePeak, TZM::PostivePeak, TZM::FirstMagnitudePeak, TZM::MagnitudePeak}) {
        auto d = Pulse(64, {{32, 1.0}});
        EXPECT_EQ(FindImpulseIndex(d.data() + 32, 64, true, method, nullptr), 0);
        d = Pulse(64, {{40, 1.0}});
        EXPECT_EQ(FindImpulseIndex(d.data() + 32, 64, true, method, nullptr), 8);
        d = Pulse(64, {{10, 1.0}});
        EXPECT_EQ(FindImpulseIndex(d.data() + 32, 64, true, method, nullptr), -22);
    }
}

TEST(FindImpulseIndex, CausalImpulseWalksBackToTheStartOfTheRise) {
    // Hand-traced: the smoothed rise peaks at 100; walking back, |d| first falls to
    // 10^-1.5 of the peak at 95 (0.01 <= 0.0316).
    const auto rise = Pulse(
        200, {{95, 0.01}, {96, 0.05}, {97, 0.2}, {98, 0.5}, {99, 0.9}, {100, 1.0}, {101, 0.5}});
    EXPECT_EQ(Locate(rise, TZM::FirstPostivePeak), 100);
    EXPECT_EQ(Locate(rise, TZM::CausalImpulse), 95);

    // Stops where the smoothed magnitude stops falling backwards: the bump at 90 holds the
    // walk at 92 even though the samples there are still above the threshold.
    const auto bump =
        Pulse(200, {{90, 0.3}, {91, 0.2}, {92, 0.1}, {93, 0.2}, {94, 0.6}, {95, 1.0}});
    EXPECT_EQ(Locate(bump, TZM::CausalImpulse), 92);

    // A single sample: the walk stops on the empty sample before it.
    EXPECT_EQ(Locate(Pulse(200, {{100, 1.0}}), TZM::CausalImpulse), 99);

    // Never below 2 unless the located peak itself lies below 3.
    std::vector<double> ramp(50, 0.0);
    for (int i = 0; i <= 10; ++i) {
        ramp[static_cast<std::size_t>(i)] = 0.1 + 0.09 * i;
    }
    EXPECT_EQ(Locate(ramp, TZM::FirstPostivePeak), 9); // the smoothed ramp tops out at 9
    EXPECT_EQ(Locate(ramp, TZM::CausalImpulse), 2);
    EXPECT_EQ(Locate(Pulse(50, {{1, 1.0}}), TZM::CausalImpulse), 1);
}

TEST(FindImpulseIndex, TinyOrMissingDataGivesIndexZero) {
    bool inverted = true;
    EXPECT_EQ(FindImpulseIndex(nullptr, 100, false, TZM::CausalImpulse, &inverted), 0);
    EXPECT_FALSE(inverted);
    EXPECT_EQ(FindImpulseIndex(nullptr, 100, true, TZM::CausalImpulse, nullptr), -50);
    // Exactly sized heap blocks, so that a sanitizer build catches any read outside.
    for (int n = -3; n < 3; ++n) {
        std::vector<double> d(static_cast<std::size_t>(std::max(n, 1)), -1.0);
        for (TZM method : {TZM::FirstPostivePeak, TZM::MagnitudePeak, TZM::CausalImpulse}) {
            EXPECT_EQ(FindImpulseIndex(d.data(), n, false, method, &inverted), 0);
            const int centre = n > 0 ? n / 2 : 0;
            EXPECT_EQ(FindImpulseIndex(d.data() + centre, n, true, method, &inverted), -centre);
        }
    }
    std::vector<double> three = {0.0, 1.0, 0.0};
    EXPECT_EQ(FindImpulseIndex(three.data(), 3, false, TZM::PostivePeak, nullptr), 1);
    EXPECT_EQ(FindImpulseIndex(three.data() + 1, 3, true, TZM::CausalImpulse, nullptr), 0);

    std::vector<double> nan(16, std::nan(""));
    EXPECT_EQ(Locate(nan, TZM::CausalImpulse), 0);
}

TEST(FractionalPeakOffset, RecoversSubSampleDelaysOfEitherPolarity) {
    for (double delay : {0.3, -0.3, 0.0, 0.45, -0.1}) {
        auto x = BandLimitedPulse(101, 50.0 + delay, 0.95);
        EXPECT_NEAR(FractionalPeakOffset(x.data() + 50), delay, 0.05) << delay;
        for (double& v : x) {
            v = -v;
        }
        EXPECT_NEAR(FractionalPeakOffset(x.data() + 50), delay, 0.05) << "inverted " << delay;
    }
    // Band-limited to half of Nyquist: bin 7 is empty and the fallback estimate answers.
    for (double delay : {0.3, -0.3, 0.0}) {
        const auto x = BandLimitedPulse(101, 50.0 + delay, 0.5);
        EXPECT_NEAR(FractionalPeakOffset(x.data() + 50), delay, 0.05) << "low band " << delay;
    }
    std::vector<double> silence(15, 0.0);
    EXPECT_EQ(FractionalPeakOffset(silence.data() + 7), 0.0);
    std::vector<double> nan(15, std::nan(""));
    EXPECT_EQ(FractionalPeakOffset(nan.data() + 7), 0.0);
    EXPECT_EQ(FractionalPeakOffset(nullptr), 0.0);
}

TEST(DelaySpectrum, MatchesAnAnalyticDelay) {
    const int n = 64; // samples; spectrum bins 0 .. 32
    const auto x = Random(n, 77);
    const auto spectrum = NaiveSpectrum(x);
    for (int shift : {1, 3, 5, -7, 0}) {
        std::vector<Cd> delayed(n / 2 + 1);
        DelaySpectrum(spectrum.data(), delayed.data(), n / 2, static_cast<double>(shift));
        std::vector<double> shifted(n);
        for (int m = 0; m < n; ++m) {
            shifted[static_cast<std::size_t>(((m + shift) % n + n) % n)] =
                x[static_cast<std::size_t>(m)];
        }
        const auto truth = NaiveSpectrum(shifted);
        for (std::size_t k = 0; k < truth.size(); ++k) {
            EXPECT_NEAR(std::abs(delayed[k] - truth[k]), 0.0, 1e-11) << shift << " bin " << k;
        }
    }

    // Fractional delay of a sum of cosines on bins below Nyquist: exact in closed form.
    const std::vector<std::pair<int, double>> tones = {{1, 0.2}, {7, 1.1}, {19, -0.4}, {31, 2.0}};
    auto tone = [&](double t) {
        double s = 0.0;
        for (const auto& [k, phase] : tones) {
            s += std::cos(2.0 * PI_ * k * t / n + phase);
        }
        return s;
    };
    for (double delay : {2.5, -1.25, 0.01}) {
        std::vector<double> signal(n);
        std::vector<double> truthSignal(n);
        for (int m = 0; m < n; ++m) {
            signal[static_cast<std::size_t>(m)] = tone(m);
            truthSignal[static_cast<std::size_t>(m)] = tone(m - delay);
        }
        auto bins = NaiveSpectrum(signal);
        const auto truth = NaiveSpectrum(truthSignal);
        DelaySpectrum(bins.data(), bins.data(), n / 2, delay); // in place
        for (std::size_t k = 0; k < truth.size(); ++k) {
            EXPECT_NEAR(std::abs(bins[k] - truth[k]), 0.0, 1e-9) << delay << " bin " << k;
        }
    }

    // The Nyquist bin stays real and keeps its sign for a small delay.
    std::vector<Cd> flat(n / 2 + 1, Cd(1.0, 0.0));
    DelaySpectrum(flat.data(), flat.data(), n / 2, 0.01);
    EXPECT_EQ(flat[n / 2], Cd(1.0, 0.0));
}

TEST(ExtendToNyquist, FillsAboveTheCutOffWithTheLevelAndPhaseThere) {
    const int n = 2048;      // Nyquist bin of a 4096-sample spectrum
    const int cutoff = 1600; // the data stays flat up to bin 1800
    const double delay = 0.4;
    std::vector<Cd> x(n + 1, Cd(0.0, 0.0));
    for (int k = 0; k <= 1800; ++k) {
        x[static_cast<std::size_t>(k)] = std::polar(1.0, -PI_ * k * delay / n);
    }
    auto extended = x;
    double estimate = 99.0;
    ASSERT_TRUE(ExtendToNyquist(extended.data(), n, cutoff, &estimate, true, -30.0));
    // Reported as the time by which the band edge lies earlier: a delay is negative.
    EXPECT_NEAR(estimate, -delay, 0.01);
    for (int k = 0; k <= cutoff; ++k) {
        ASSERT_EQ(extended[static_cast<std::size_t>(k)], x[static_cast<std::size_t>(k)]);
    }
    const int fade = (n - cutoff) / 100;
    for (int k = cutoff + fade + 1; k < n; ++k) {
        const Cd v = extended[static_cast<std::size_t>(k)];
        EXPECT_NEAR(std::abs(v), 1.0, 0.01) << "bin " << k;
        EXPECT_NEAR(std::abs(v / std::abs(v) - std::polar(1.0, -PI_ * k * delay / n)), 0.0, 0.01)
            << "bin " << k;
    }
    EXPECT_EQ(extended[n].imag(), 0.0);
    EXPECT_NEAR(std::fabs(extended[n].real()), 1.0, 0.01);

    // Without the request the estimate stays 0; the extension is the same.
    auto again = x;
    estimate = 99.0;
    ASSERT_TRUE(ExtendToNyquist(again.data(), n, cutoff, &estimate, false, -30.0));
    EXPECT_EQ(estimate, 0.0);
    EXPECT_EQ(again, extended);

    // Cut off hard at the cut-off bin: the extension fades in from the measured zeros and
    // settles at the level the short window sees at the edge (about half the passband).
    std::vector<Cd> cut(n + 1, Cd(0.0, 0.0));
    std::fill(cut.begin(), cut.begin() + cutoff + 1, Cd(1.0, 0.0));
    ASSERT_TRUE(ExtendToNyquist(cut.data(), n, cutoff, nullptr, true, -30.0));
    const double level = std::abs(cut[static_cast<std::size_t>(cutoff + fade + 1)]);
    EXPECT_NEAR(level, 0.5, 0.05);
    EXPECT_GT(std::abs(cut[static_cast<std::size_t>(cutoff + 1)]), 0.0);
    for (int k = cutoff + 2; k <= cutoff + fade + 1; ++k) {
        EXPECT_GT(std::abs(cut[static_cast<std::size_t>(k)]),
                  std::abs(cut[static_cast<std::size_t>(k - 1)]))
            << "bin " << k;
    }
    for (int k = cutoff + fade + 1; k < n; ++k) {
        EXPECT_NEAR(std::abs(cut[static_cast<std::size_t>(k)]), level, 1e-9);
    }
}

TEST(ExtendToNyquist, LeavesSpectraItCannotOrNeedNotExtendUntouched) {
    const int n = 2048;
    std::vector<Cd> rolledOff(n + 1);
    for (int k = 0; k <= n; ++k) {
        rolledOff[static_cast<std::size_t>(k)] = 1.0 / (1.0 + std::pow(k / 100.0, 4.0));
    }
    auto copy = rolledOff;
    double estimate = 99.0;
    EXPECT_FALSE(ExtendToNyquist(copy.data(), n, 1600, &estimate, true, -30.0));
    EXPECT_EQ(copy, rolledOff);
    EXPECT_EQ(estimate, 0.0);

    std::vector<Cd> flat(n + 1, Cd(1.0, 0.0));
    const auto original = flat;
    for (const auto& [length, cutoff] : std::vector<std::pair<int, int>>{
             {32, 20}, {n, n - 1}, {n, n}, {n, 1}, {n, -5}, {1000, 600}, {0, 0}, {-64, 10}}) {
        EXPECT_FALSE(ExtendToNyquist(flat.data(), length, cutoff, &estimate, true, -30.0))
            << length << " " << cutoff;
    }
    EXPECT_FALSE(ExtendToNyquist(nullptr, n, 1600, &estimate, true, -30.0));
    std::vector<Cd> silent(n + 1, Cd(0.0, 0.0));
    EXPECT_FALSE(ExtendToNyquist(silent.data(), n, 1600, &estimate, true, -30.0));
    EXPECT_EQ(flat, original);
}
