#include "analyze/MeasurementViews.h"

#include <algorithm>

#include "measure/Measurement.h"

namespace Kedra::Measure {

std::vector<RoomBandResult> RoomAcousticsOf(Measurement& m) {
    if (!m.IsInitialized() || m.GetIData() == nullptr)
        return {};
    const int fs = m.GetSamplerate();
    const int position = std::clamp(m.GetImpulsePosition(), 0, m.GetDataLength());
    const int from = std::max(0, position - fs / 100);
    int to = std::min(m.GetDataLength(), position + m.GetDataLength() / 2);
    // A log sweep's harmonic products are no part of the decay.
    if (m.GetSignalType() == 1)
        to =
            std::min(to, SweepLinearEnd(m.GetDataLength(), position, fs, m.GetSignalTypeFactor1()));
    return AnalyzeRoom(m.GetIData() + from, to - from, fs);
}

void GroupDelayOf(Measurement& m, std::vector<double>& delay, std::vector<double>* excess) {
    delay.clear();
    if (excess != nullptr)
        excess->clear();
    if (!m.IsInitialized())
        return;
    const std::complex<double>* f = m.GetF();
    delay = GroupDelay(f, m.GetNBins(), m.GetHzPerBin());
    if (excess != nullptr)
        *excess = ExcessGroupDelay(f, m.GetNBins(), m.GetHzPerBin(), delay);
}

void EnergyTimeOf(Measurement& m, double octaveMidband, std::vector<double>& timesMs,
                  std::vector<double>& db, double* peakDb) {
    timesMs.clear();
    db.clear();
    if (!m.IsInitialized())
        return;
    const int half = m.GetNHalf();
    db = EnergyTimeCurve(m.GetI() - half, m.GetN(), m.GetSamplerate(), octaveMidband, peakDb);
    timesMs.resize(db.size());
    for (std::size_t n = 0; n < db.size(); ++n)
        timesMs[n] = (static_cast<double>(n) - half) * 1000.0 / m.GetSamplerate();
}

Waterfall WaterfallOf(Measurement& m, const WaterfallSettings& settings) {
    if (!m.IsInitialized())
        return {};
    // Time zero lies the fractional offset after the centred view's middle sample.
    return CumulativeSpectralDecay(m.GetI() - m.GetNHalf(), m.GetN(),
                                   m.GetNHalf() + m.GetIFracOffset(), m.GetSamplerate(), settings);
}

} // namespace Kedra::Measure
