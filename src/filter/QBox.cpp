#include "filter/QBox.h"

#include "filter/Design.h"
#include "filter/MinimumPhase.h"
#include "foundation/Fft.h"
#include "foundation/KedraLogger.h"

#include <algorithm>
#include <cmath>

namespace Kedra::Filter {
namespace {

constexpr double LOG_FLOOR = 1e-10;

int PowerOfTwoAtLeast(int n, int lowest, int highest) {
    int p = lowest;
    while (p < n && p < highest) {
        p *= 2;
    }
    return p;
}

} // namespace

double QBox::Amplitude(double f) const {
    if (!(fc_ > 0.0)) {
        return 1.0;
    }
    if (!(q_ > 0.0)) {
        return 0.0;
    }
    const double x = f / fc_;
    const double b = x * x;
    if (b <= 1.0) {
        return b / std::sqrt(b / (q_ * q_) + (b - 1.0) * (b - 1.0));
    }
    // The same divided through by b, which stays finite for any large f.
    const double u = 1.0 / b;
    return 1.0 / std::sqrt(u / (q_ * q_) + (1.0 - u) * (1.0 - u));
}

QBoxResponse::QBoxResponse(int n2, double fs)
    : n2_(PowerOfTwoAtLeast(n2, 16, 1 << 22)), m_(n2_ / 2), fs_(fs), df2_(fs / n2_),
      response_(static_cast<std::size_t>(n2_ / 2) + 1) {}

void QBoxResponse::Set(double q, double fc) {
    if (q != q_ || fc != fc_) {
        q_ = q;
        fc_ = fc;
        dirty_ = true;
    }
}

void QBoxResponse::SetMinimumPhase(bool on) {
    if (on != minimumPhase_) {
        minimumPhase_ = on;
        dirty_ = true;
    }
}

void QBoxResponse::SetMagnitude(bool on) {
    if (on != magnitude_) {
        magnitude_ = on;
        dirty_ = true;
    }
}

const std::complex<double>* QBoxResponse::Response() {
    if (dirty_) {
        Recompute();
    }
    return response_.get();
}

std::complex<double> QBoxResponse::Value(double f) {
    Response();
    return interpolator_.Value(f * n2_ / fs_);
}

void QBoxResponse::Recompute() {
    const QBox model(q_, fc_);
    std::complex<double>* r = response_.get();
    if (minimumPhase_) {
        Mem::Array<double> m(static_cast<std::size_t>(m_) + 1);
        Mem::Array<double> l(static_cast<std::size_t>(m_) + 1);
        for (int i = 0; i <= m_; ++i) {
            m[i] = model.Amplitude(i * df2_);
            l[i] = std::log(m[i] + LOG_FLOOR);
        }
        RepairLogAtZeroDc(m.get(), l.get(), m_ + 1);
        // Real cepstrum (the exact inverse), centred: c[-m] .. c[m - 1].
        Mem::Array<double> cepstrum(static_cast<std::size_t>(n2_));
        double* c = cepstrum.get() + m_;
        Math::FFTPow2FreqRealToTime(l.get(), c, n2_);
        c[0] = 0.0;
        for (int k = 1; k < m_; ++k) {
            c[-k] = -c[-k];
        }
        // c[-m] stays: it belongs to both ends of the period.
        Math::FFTPow2TimeToFreq(c, r, n2_, /*centred*/ true, /*scaled*/ false);
        for (int i = 0; i <= m_; ++i) {
            const double phi = r[i].imag();
            const std::complex<double> phasor(std::cos(phi), std::sin(phi));
            r[i] = magnitude_ ? m[i] * phasor : phasor;
        }
    } else if (magnitude_) {
        for (int i = 0; i <= m_; ++i) {
            r[i] = {model.Amplitude(i * df2_), 0.0};
        }
    } else {
        std::fill(r, r + m_ + 1, std::complex<double>(1.0, 0.0));
    }
    interpolator_.SetSamples(0, m_, r);
    changed_ = true;
    dirty_ = false;
}

EffectQBox::EffectQBox(Design& owner)
    : Effect(owner, "QBox"),
      response_(std::clamp(16 * owner.Grid().n, 1 << 18, 1 << 22), owner.Grid().fs) {
    deferred_ = true;
}

bool EffectQBox::Set(double q, double fc) {
    if (!(q > 0.0) || !(fc > 0.0) || !std::isfinite(q) || !std::isfinite(fc)) {
        return false;
    }
    response_.Set(q, fc);
    initialised_ = true;
    Update();
    return true;
}

void EffectQBox::UpdateElement() {
    if (!initialised_) {
        Logging::KedraLogger::LogText("WARNING EffectQBox::" + Owner().Name() +
                                      "::UpdateElement() Called without Design initialized.\n");
        return;
    }
    EffectResponse& r = Response();
    std::complex<double>* h = r.Raw();
    const double df = Grid().df;
    const int bins = r.Bins();
    for (int i = 0; i < bins; ++i) {
        h[i] = response_.Value(i * df);
    }
    response_.ClearChanged();
    r.MarkChanged();
    NotifyDependents();
}

} // namespace Kedra::Filter
