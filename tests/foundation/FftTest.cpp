#include "foundation/Fft.h"
#include "foundation/FftKernelImpl.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <random>
#include <thread>
#include <vector>

using Kedra::Math::FFTPow2FreqRealToTime;
using Kedra::Math::FFTPow2FreqToTime;
using Kedra::Math::FFTPow2TimeToAbsFreq;
using Kedra::Math::FFTPow2TimeToFreq;
using Cd = std::complex<double>;
using Cf = std::complex<float>;

namespace {

const double TAU = 2.0 * std::acos(-1.0);

// The slow, obviously right transform: X[k] = sum x[m] e^(sign i 2 pi k m / n), exact twiddles
// from the reduced index k*m mod n, accumulated in long double.
std::vector<Cd> NaiveDft(const std::vector<Cd>& x, int sign = -1) {
    const std::size_t n = x.size();
    std::vector<Cd> tw(n);
    for (std::size_t j = 0; j < n; ++j) {
        tw[j] = std::polar(1.0, sign * TAU * static_cast<double>(j) / static_cast<double>(n));
    }
    std::vector<Cd> out(n);
    for (std::size_t k = 0; k < n; ++k) {
        long double re = 0, im = 0;
        std::size_t e = 0;
        for (std::size_t m = 0; m < n; ++m) {
            const Cd w = tw[e];
            re += static_cast<long double>(x[m].real()) * w.real() -
                  static_cast<long double>(x[m].imag()) * w.imag();
            im += static_cast<long double>(x[m].real()) * w.imag() +
                  static_cast<long double>(x[m].imag()) * w.real();
            e += k;
            if (e >= n) {
                e %= n;
            }
        }
        out[k] = {static_cast<double>(re), static_cast<double>(im)};
    }
    return out;
}

std::vector<double> RandomSignal(int n, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> dist(-1.0, 1.0);
    std::vector<double> x(static_cast<std::size_t>(n));
    for (double& v : x) {
        v = dist(gen);
    }
    return x;
}

template <typename A, typename B>
double MaxError(const A* got, const B& want, std::size_t count) {
    double e = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        e = std::max(e, std::abs(Cd(got[i]) - Cd(want[i])));
    }
    return e;
}

template <typename B>
double MaxAbs(const B& v, std::size_t count) {
    double m = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        m = std::max(m, std::abs(Cd(v[i])));
    }
    return m;
}

} // namespace

// Every power-of-two transform against the naive DFT, N = 2 .. 2^14.
TEST(FftPow2, AllVariantsAgreeWithNaiveDft) {
    for (int n = 2; n <= (1 << 14); n *= 2) {
        SCOPED_TRACE("N = " + std::to_string(n));
        const std::vector<double> x = RandomSignal(n, 1234u + static_cast<unsigned>(n));
        const std::vector<Cd> truth = NaiveDft(std::vector<Cd>(x.begin(), x.end()));
        const std::size_t bins = static_cast<std::size_t>(n / 2 + 1);
        const double scale = 2.0 / n;
        const double peak = MaxAbs(truth, bins);

        std::vector<Cd> out(bins, Cd(7, 7));
        FFTPow2TimeToFreq(x.data(), out.data(), n, false, false);
        EXPECT_LE(MaxError(out.data(), truth, bins), 1e-9 * peak) << "unscaled";
        EXPECT_EQ(out[0].imag(), 0.0);
        EXPECT_EQ(out[bins - 1].imag(), 0.0);

        FFTPow2TimeToFreq(x.data(), out.data(), n, false, true);
        std::vector<Cd> scaled(bins);
        for (std::size_t k = 0; k < bins; ++k) {
            scaled[k] = truth[k] * scale;
        }
        EXPECT_LE(MaxError(out.data(), scaled, bins), 1e-9 * peak * scale) << "scaled";

        // Centred: the block p[-N/2] .. p[N/2-1] referred to p, i.e. bin k times (-1)^k;
        // the Nyquist bin carries no centring sign.
        FFTPow2TimeToFreq(x.data() + n / 2, out.data(), n, true, false);
        std::vector<Cd> centred(truth.begin(), truth.begin() + static_cast<long>(bins));
        for (std::size_t k = 1; k + 1 < bins; k += 2) {
            centred[k] = -centred[k];
        }
        EXPECT_LE(MaxError(out.data(), centred, bins), 1e-9 * peak) << "centred";

        // A delay d multiplies bins 1 .. N/2-1 by e^(+i 2 pi k d / N).
        const double d = 2.75;
        FFTPow2TimeToFreq(x.data(), out.data(), n, false, false, d);
        std::vector<Cd> delayed(truth.begin(), truth.begin() + static_cast<long>(bins));
        for (std::size_t k = 1; k + 1 < bins; ++k) {
            delayed[k] *= std::polar(1.0, TAU * static_cast<double>(k) * d / n);
        }
        EXPECT_LE(MaxError(out.data(), delayed, bins), 1e-9 * peak) << "delay";

        // Inverses: the naive spectrum goes back to the original samples.
        std::vector<double> back(static_cast<std::size_t>(n), 99.0);
        FFTPow2FreqToTime(truth.data(), back.data(), n, false, false);
        EXPECT_LE(MaxError(back.data(), x, x.size()), 1e-9) << "inverse unscaled";
        FFTPow2FreqToTime(scaled.data(), back.data(), n, false, true);
        EXPECT_LE(MaxError(back.data(), x, x.size()), 1e-9) << "inverse scaled";
        std::vector<double> centredBack(static_cast<std::size_t>(n));
        FFTPow2FreqToTime(centred.data(), centredBack.data() + n / 2, n, true, false);
        EXPECT_LE(MaxError(centredBack.data(), x, x.size()), 1e-9) << "inverse centred";

        // Float input, double output: always scaled.
        const std::vector<float> xf(x.begin(), x.end());
        FFTPow2TimeToFreq(xf.data(), out.data(), n);
        EXPECT_LE(MaxError(out.data(), scaled, bins), 1e-6 * peak * scale) << "float in";

        // Float throughout, scaled; the float inverse returns N/2 times the samples.
        std::vector<Cf> outF(bins);
        FFTPow2TimeToFreq(xf.data(), outF.data(), n);
        EXPECT_LE(MaxError(outF.data(), scaled, bins), 1e-4 * peak * scale) << "float";
        std::vector<Cf> truthF(bins);
        for (std::size_t k = 0; k < bins; ++k) {
            truthF[k] = Cf(truth[k]);
        }
        std::vector<float> backF(static_cast<std::size_t>(n));
        FFTPow2FreqToTime(truthF.data(), backF.data(), n);
        std::vector<double> expectF(x.size());
        for (std::size_t i = 0; i < x.size(); ++i) {
            expectF[i] = x[i] * (n / 2);
        }
        EXPECT_LE(MaxError(backF.data(), expectF, x.size()), 1e-4 * (n / 2)) << "float inverse";

        // Magnitudes of the unscaled sum of a centred block: a circular shift by N/2 does
        // not change magnitudes.
        std::vector<float> mag(bins);
        FFTPow2TimeToAbsFreq(xf.data() + n / 2, mag.data(), n);
        double magErr = 0.0;
        for (std::size_t k = 0; k < bins; ++k) {
            magErr = std::max(magErr, std::fabs(mag[k] - std::abs(truth[k])));
        }
        EXPECT_LE(magErr, 1e-4 * peak) << "magnitudes";
    }
}

TEST(FftPow2, LowerLevelTransformsFollowTheirPacking) {
    for (int n = 2; n <= 4096; n *= 2) {
        SCOPED_TRACE("N = " + std::to_string(n));
        const std::vector<double> x = RandomSignal(n, 77u);
        // Complex transform of the N doubles seen as N/2 complex values, both directions.
        std::vector<Cd> z(static_cast<std::size_t>(n / 2));
        for (std::size_t i = 0; i < z.size(); ++i) {
            z[i] = {x[2 * i], x[2 * i + 1]};
        }
        for (int dir : {+1, -1}) {
            const std::vector<Cd> truth = NaiveDft(z, dir);
            std::vector<double> data = x;
            Kedra::Math::ComplexFFTPow2(data.data(), n, dir);
            EXPECT_LE(MaxError(reinterpret_cast<Cd*>(data.data()), truth, z.size()),
                      1e-9 * MaxAbs(truth, z.size()));
            std::vector<float> dataF(x.begin(), x.end());
            Kedra::Math::ComplexFFTPow2(dataF.data(), n, dir);
            EXPECT_LE(MaxError(reinterpret_cast<Cf*>(dataF.data()), truth, z.size()),
                      1e-4 * MaxAbs(truth, z.size()));
        }
        // Real transform: positive exponent, packed, and the inverse gives N/2 times x.
        const std::vector<Cd> truth = NaiveDft(std::vector<Cd>(x.begin(), x.end()), +1);
        std::vector<double> data = x;
        Kedra::Math::RealFFT(data.data(), n, Kedra::Math::FFT_FORWARD);
        const double tol = 1e-9 * MaxAbs(truth, truth.size());
        EXPECT_NEAR(data[0], truth[0].real(), tol);
        EXPECT_NEAR(data[1], truth[static_cast<std::size_t>(n / 2)].real(), tol);
        for (int k = 1; k < n / 2; ++k) {
            EXPECT_NEAR(data[2 * k], truth[k].real(), tol);
            EXPECT_NEAR(data[2 * k + 1], truth[k].imag(), tol);
        }
        Kedra::Math::RealFFT(data.data(), n, Kedra::Math::FFT_INVERSE);
        for (int i = 0; i < n; ++i) {
            EXPECT_NEAR(data[i], x[i] * (n / 2), 1e-9 * n);
        }
    }
}

TEST(FftPow2, NonPowerOfTwoIsRefusedWithAWarningAndLeavesTheOutput) {
    for (int n : {1000, 0, -8}) {
        const std::string ns = std::to_string(n);
        std::vector<double> in(1024, 1.0);
        std::vector<float> inF(1024, 1.0f);
        std::vector<Cd> outC(600, Cd(5, 5));
        std::vector<Cf> outCF(600, Cf(5, 5));
        std::vector<double> outD(1024, 5.0);
        std::vector<float> outF(1024, 5.0f);

        FFTPow2TimeToFreq(in.data() + 512, outC.data(), n, true, true);
        FFTPow2TimeToFreq(inF.data(), outC.data(), n);
        FFTPow2TimeToFreq(inF.data(), outCF.data(), n);
        FFTPow2FreqToTime(outC.data(), outD.data() + 512, n, true, false);
        FFTPow2FreqToTime(outCF.data(), outF.data(), n);
        FFTPow2FreqRealToTime(in.data(), outD.data() + 512, n);
        FFTPow2TimeToAbsFreq(inF.data() + 512, outF.data(), n);

        EXPECT_TRUE(std::all_of(outC.begin(), outC.end(), [](Cd c) { return c == Cd(5, 5); }));
        EXPECT_TRUE(std::all_of(outCF.begin(), outCF.end(), [](Cf c) { return c == Cf(5, 5); }));
        EXPECT_TRUE(std::all_of(outD.begin(), outD.end(), [](double v) { return v == 5.0; }));
        EXPECT_TRUE(std::all_of(outF.begin(), outF.end(), [](float v) { return v == 5.0f; }));

        const std::string log = SonvelTest::ReadLog();
        for (const char* what : {"FFTPow2TimeToFreq called with non power of two: ",
                                 "FFTPow2FreqToTime called with non power of two: ",
                                 "FFTPow2FreqRealToTime called with non power of two: ",
                                 "FFTPow2TimeToAbsFreq called with non power of two: "}) {
            EXPECT_NE(log.find(std::string("WARNING ") + what + ns + "\n"), std::string::npos)
                << what << ns;
        }
    }
}

TEST(FftPow2, SmallAndSpecialSignals) {
    // N = 2: DC = x0 + x1, Nyquist = x0 - x1; scaling 2/N = 1.
    const double two[2] = {3.0, 1.0};
    Cd out2[2];
    FFTPow2TimeToFreq(two, out2, 2, false, true);
    EXPECT_EQ(out2[0], Cd(4.0, 0.0));
    EXPECT_EQ(out2[1], Cd(2.0, 0.0));

    // A constant 1 scaled gives DC = 2, not 1.
    std::vector<double> ones(64, 1.0);
    std::vector<Cd> spec(33);
    FFTPow2TimeToFreq(ones.data(), spec.data(), 64, false, true);
    EXPECT_NEAR(spec[0].real(), 2.0, 1e-12);
    for (std::size_t k = 1; k < spec.size(); ++k) {
        EXPECT_NEAR(std::abs(spec[k]), 0.0, 1e-12);
    }

    // A unit impulse at time zero, centred: flat spectrum with zero phase.
    std::vector<double> imp(64, 0.0);
    imp[32] = 1.0;
    FFTPow2TimeToFreq(imp.data() + 32, spec.data(), 64, true, false);
    for (const Cd& c : spec) {
        EXPECT_NEAR(c.real(), 1.0, 1e-12);
        EXPECT_NEAR(c.imag(), 0.0, 1e-12);
    }

    // At index 3 with delay 3: flat except the Nyquist bin, which keeps (-1)^3.
    std::fill(imp.begin(), imp.end(), 0.0);
    imp[3] = 1.0;
    FFTPow2TimeToFreq(imp.data(), spec.data(), 64, false, false, 3.0);
    for (std::size_t k = 0; k + 1 < spec.size(); ++k) {
        EXPECT_NEAR(spec[k].real(), 1.0, 1e-12) << k;
        EXPECT_NEAR(spec[k].imag(), 0.0, 1e-12) << k;
    }
    EXPECT_NEAR(spec[32].real(), -1.0, 1e-12);

    // An all-ones zero-phase spectrum is a single 1 at the centre pointer.
    std::vector<double> flat(33, 1.0);
    std::vector<double> t(64, 9.0);
    FFTPow2FreqRealToTime(flat.data(), t.data() + 32, 64);
    for (int i = 0; i < 64; ++i) {
        EXPECT_NEAR(t[static_cast<std::size_t>(i)], i == 32 ? 1.0 : 0.0, 1e-12) << i;
    }
}

// The transforms share cached tables; two threads with different lengths must not disturb
// each other.
TEST(FftPow2, ConcurrentCallsGiveTheSameResults) {
    const int sizes[2] = {1 << 12, 1 << 13};
    std::vector<std::vector<Cd>> expected(2);
    std::vector<std::vector<double>> inputs(2);
    for (int t = 0; t < 2; ++t) {
        inputs[t] = RandomSignal(sizes[t], 5u + static_cast<unsigned>(t));
        expected[t].resize(static_cast<std::size_t>(sizes[t] / 2 + 1));
        FFTPow2TimeToFreq(inputs[t].data(), expected[t].data(), sizes[t], false, true);
    }
    std::vector<int> mismatches(2, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            std::vector<Cd> out(expected[t].size());
            for (int rep = 0; rep < 50; ++rep) {
                FFTPow2TimeToFreq(inputs[t].data(), out.data(), sizes[t], false, true);
                if (out != expected[t]) {
                    ++mismatches[t];
                }
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    EXPECT_EQ(mismatches[0], 0);
    EXPECT_EQ(mismatches[1], 0);
}

// Machines without AVX2 take the portable double kernels; force them here so they are
// checked on every machine, large sizes included (the cache-blocked recursion starts there).
// The other test cases run the widest kernels the machine has; these check the narrower
// ones, which other machines run.
TEST(FftPow2, EveryKernelAgreesWithNaiveDft) {
    using Kedra::Math::detail::fft::SetVectorKernelsEnabled;
    using Kedra::Math::detail::fft::SetWideKernelsEnabled;
    struct Restore {
        ~Restore() {
            SetVectorKernelsEnabled(true);
            SetWideKernelsEnabled(true);
        }
    } restore;
    const int big = 1 << 16;
    const std::vector<double> xBig = RandomSignal(big, 98u);
    for (const char* kernels : {"portable", "AVX2", "widest"}) {
        SCOPED_TRACE(kernels);
        SetVectorKernelsEnabled(kernels != std::string("portable"));
        SetWideKernelsEnabled(kernels == std::string("widest"));
        for (int n : {2, 8, 64, 1024, 1 << 13}) {
            SCOPED_TRACE("N = " + std::to_string(n));
            const std::vector<double> x = RandomSignal(n, 99u);
            const std::vector<Cd> truth = NaiveDft(std::vector<Cd>(x.begin(), x.end()));
            const std::size_t bins = static_cast<std::size_t>(n / 2 + 1);
            std::vector<Cd> out(bins);
            FFTPow2TimeToFreq(x.data(), out.data(), n, false, false);
            EXPECT_LE(MaxError(out.data(), truth, bins), 1e-9 * MaxAbs(truth, bins));
            std::vector<Cd> delayed(truth.begin(), truth.end());
            for (std::size_t k = 1; k + 1 < bins; ++k) {
                delayed[k] *= std::polar(1.0, TAU * static_cast<double>(k) * 0.3 / n);
            }
            std::vector<Cd> outDelayed(bins);
            FFTPow2TimeToFreq(x.data(), outDelayed.data(), n, false, false, 0.3);
            EXPECT_LE(MaxError(outDelayed.data(), delayed, bins), 1e-9 * MaxAbs(truth, bins))
                << "delay";
            std::vector<double> back(static_cast<std::size_t>(n));
            FFTPow2FreqToTime(out.data(), back.data(), n, false, false);
            EXPECT_LE(MaxError(back.data(), x, x.size()), 1e-9);
        }
        // Past the block size, against spot bins summed directly.
        std::vector<Cd> out(static_cast<std::size_t>(big / 2 + 1));
        FFTPow2TimeToFreq(xBig.data(), out.data(), big, false, false);
        for (int k : {0, 1, 777, big / 4 + 3, big / 2 - 1, big / 2}) {
            long double re = 0, im = 0;
            for (int m = 0; m < big; ++m) {
                const double ang =
                    -TAU * static_cast<double>((static_cast<long long>(k) * m) % big) / big;
                re += xBig[static_cast<std::size_t>(m)] * std::cos(ang);
                im += xBig[static_cast<std::size_t>(m)] * std::sin(ang);
            }
            EXPECT_LE(std::abs(out[static_cast<std::size_t>(k)] -
                               Cd(static_cast<double>(re), static_cast<double>(im))),
                      1e-9 * std::sqrt(static_cast<double>(big)))
                << k;
        }
        std::vector<double> back(xBig.size());
        FFTPow2FreqToTime(out.data(), back.data(), big, false, false);
        EXPECT_LE(MaxError(back.data(), xBig, xBig.size()), 1e-9);
    }
}

// The forward transform reads the caller's samples where they lie, so samples stored in
// the bins' own array, wholly or shifted, must give the same bins; likewise bins stored
// in the output array of the inverse.
TEST(FftPow2, SamplesSharingStorageWithTheBins) {
    for (int n : {16, 1 << 12, 1 << 15}) {
        SCOPED_TRACE("N = " + std::to_string(n));
        const auto count = static_cast<std::size_t>(n);
        const std::vector<double> x = RandomSignal(n, 7u);
        std::vector<Cd> truth(count / 2 + 1);
        FFTPow2TimeToFreq(x.data() + n / 2, truth.data(), n, true, false);
        for (std::size_t shift : {std::size_t{0}, std::size_t{1}, std::size_t{2}}) {
            std::vector<Cd> bins(count / 2 + 2);
            auto* storage = reinterpret_cast<double*>(bins.data());
            std::copy(x.begin(), x.end(), storage + shift);
            FFTPow2TimeToFreq(storage + shift + n / 2, bins.data(), n, true, false);
            EXPECT_EQ(MaxError(bins.data(), truth, truth.size()), 0.0) << "shift " << shift;
        }
        std::vector<double> samples(count + 2);
        auto* inPlace = reinterpret_cast<Cd*>(samples.data());
        std::copy(truth.begin(), truth.end(), inPlace);
        FFTPow2FreqToTime(inPlace, samples.data() + n / 2, n, true, false);
        EXPECT_LE(MaxError(samples.data(), x, x.size()), 1e-12) << "inverse in place";
    }
}

namespace {

void CheckMixedRadixAllBins(int n) {
    SCOPED_TRACE("n = " + std::to_string(n));
    const std::vector<double> re = RandomSignal(n, 11u);
    const std::vector<double> im = RandomSignal(n, 12u);
    std::vector<Cd> x(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        x[static_cast<std::size_t>(i)] = {re[static_cast<std::size_t>(i)],
                                          im[static_cast<std::size_t>(i)]};
    }
    const std::vector<double> reCopy = re;
    const std::vector<double> imCopy = im;
    std::vector<double> yRe(x.size()), yIm(x.size());
    ASSERT_TRUE(Kedra::Math::MixedRadixFFT(n, re.data(), im.data(), yRe.data(), yIm.data()));
    EXPECT_EQ(re, reCopy);
    EXPECT_EQ(im, imCopy);
    const std::vector<Cd> truth = NaiveDft(x);
    const double peak = MaxAbs(truth, truth.size());
    double err = 0.0;
    for (std::size_t k = 0; k < x.size(); ++k) {
        err = std::max(err, std::abs(Cd(yRe[k], yIm[k]) - truth[k]));
    }
    EXPECT_LE(err, 1e-9 * peak);
}

// For lengths where the full naive DFT is too slow: a spread of bins, each summed directly.
void CheckMixedRadixSomeBins(int n) {
    SCOPED_TRACE("n = " + std::to_string(n));
    const std::vector<double> re = RandomSignal(n, 21u);
    const std::vector<double> im = RandomSignal(n, 22u);
    std::vector<double> yRe(re.size()), yIm(re.size());
    ASSERT_TRUE(Kedra::Math::MixedRadixFFT(n, re.data(), im.data(), yRe.data(), yIm.data()));
    const auto un = static_cast<std::uint64_t>(n);
    double err = 0.0, peak = 0.0;
    for (std::uint64_t k : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{2}, un / 7, un / 3,
                            un / 2, un / 2 + 1, un - 2, un - 1, un * 5 / 11}) {
        long double sr = 0, si = 0;
        for (std::uint64_t m = 0; m < un; ++m) {
            const double ang = -TAU * static_cast<double>((k * m) % un) / n;
            const double c = std::cos(ang), s = std::sin(ang);
            sr += re[m] * c - im[m] * s;
            si += re[m] * s + im[m] * c;
        }
        const Cd truth(static_cast<double>(sr), static_cast<double>(si));
        err = std::max(err, std::abs(Cd(yRe[k], yIm[k]) - truth));
        peak = std::max(peak, std::abs(truth));
    }
    // The bins of a random signal have magnitude about sqrt(n); the error is relative to that.
    EXPECT_LE(err, 1e-9 * std::max(peak, std::sqrt(static_cast<double>(n))));
}

} // namespace

TEST(MixedRadix, AgreesWithNaiveDftForAnyLength) {
    for (int n : {1, 2, 3, 5, 7, 16, 30, 143, 1000, 1001, 4096}) {
        CheckMixedRadixAllBins(n);
    }
}

TEST(MixedRadix, LargePrimesNeitherFailNorKillTheProcess) {
    CheckMixedRadixSomeBins(104723); // prime, the largest the table-based design could do
    CheckMixedRadixSomeBins(104743); // the first prime above that limit
    CheckMixedRadixSomeBins(2 * 3 * 104729);
}

TEST(MixedRadix, FactorsFollowTheRadixRules) {
    using V = std::vector<int>;
    EXPECT_EQ(Kedra::Math::MixedRadixFactors(1), V{1});
    EXPECT_EQ(Kedra::Math::MixedRadixFactors(16), (V{4, 4}));
    EXPECT_EQ(Kedra::Math::MixedRadixFactors(143), V{143});
    EXPECT_EQ(Kedra::Math::MixedRadixFactors(1000), (V{10, 10, 10}));
    EXPECT_EQ(Kedra::Math::MixedRadixFactors(1001), V{1001});
    EXPECT_EQ(Kedra::Math::MixedRadixFactors(4096), (V{8, 8, 8, 8}));
    // Radices are taken from the largest; the list is reversed into pass order.
    EXPECT_EQ(Kedra::Math::MixedRadixFactors(60), (V{2, 3, 10}));
    EXPECT_EQ(Kedra::Math::MixedRadixFactors(128), (V{4, 4, 8}));
    EXPECT_TRUE(Kedra::Math::MixedRadixFactors(0).empty());
    double xr = 0, xi = 0, yr = 0, yi = 0;
    EXPECT_FALSE(Kedra::Math::MixedRadixFFT(0, &xr, &xi, &yr, &yi));
}

TEST(FftWorkspace, OddLengthTransformsAreCentredOnTheCallersPointer) {
    auto& ws = Kedra::Math::FFTWorkspace::Instance();
    for (int n : {15, 1001}) {
        SCOPED_TRACE("n = " + std::to_string(n));
        ws.SetLength(n);
        ASSERT_EQ(ws.Length(), n);
        const int half = ws.Half();
        const std::vector<double> block = RandomSignal(n, 3u);
        const double* t = block.data() + half; // t[-half] .. t[half]

        // Truth: X[k] = sum_j t[j] e^(-i 2 pi k j / n) over j = -half .. half.
        std::vector<Cd> rotated(static_cast<std::size_t>(n));
        for (int i = 0; i < n; ++i) {
            rotated[static_cast<std::size_t>(i)] = i <= half ? t[i] : t[i - n];
        }
        const std::vector<Cd> truth = NaiveDft(rotated);
        std::vector<Cd> spec(static_cast<std::size_t>(half + 1));
        ws.TimeToSpectrum(t, spec.data());
        EXPECT_LE(MaxError(spec.data(), truth, spec.size()), 1e-9 * MaxAbs(truth, truth.size()));

        // A real signal is recovered from its half spectrum.
        std::vector<double> back(static_cast<std::size_t>(n), 0.0);
        ws.SpectrumToTime(spec.data(), back.data() + half);
        EXPECT_LE(MaxError(back.data(), block, block.size()), 1e-9);

        // A zero-phase spectrum gives a symmetric impulse; a flat one a unit impulse at 0.
        std::vector<double> flat(static_cast<std::size_t>(half + 1), 1.0);
        ws.RealSpectrumToTime(flat.data(), back.data() + half);
        for (int i = -half; i <= half; ++i) {
            EXPECT_NEAR(back[static_cast<std::size_t>(i + half)], i == 0 ? 1.0 : 0.0, 1e-12);
        }
    }
    Kedra::Math::FFTWorkspace::ReleaseInstance();
    EXPECT_EQ(Kedra::Math::FFTWorkspace::Instance().Length(), -1);
}
