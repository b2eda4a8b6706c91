#pragma once
// The time window that corresponds to complex 1/n-octave smoothing at one frequency: a
// Blackman window whose half-gain points lie fs / (2 B) samples either side of its centre,
// B being the width in Hz of the 1/n-octave band around the frequency. The impulse view
// draws it to show how much of the impulse the smoothing keeps.

namespace Kedra::Measure {

class SmoothingImpulseWindow {
public:
    SmoothingImpulseWindow(double nOct, int sampleRate, double frequency);

    void SetFrequency(double frequency);
    // Recomputes the half width from the N-octave value, sample rate and frequency. Values
    // that give no finite positive width (a frequency, N-octave value or sample rate that is
    // not positive) leave an empty window.
    void UpdateConstants();

    // Gain at x samples from the centre; 0 at and beyond the half width.
    double Amplitude(double x) const;
    // Distance of the half-gain point from the centre, in samples.
    double GetMiddle() const;

    double GetHalfWidth() const { return halfWidth_; }
    double GetNOct() const { return nOct_; }
    double GetFrequency() const { return frequency_; }
    int GetSamplerate() const { return sampleRate_; }

private:
    double nOct_;
    double frequency_;
    int sampleRate_;
    double halfWidth_ = 0.0;
    double step_ = 0.0; // pi / half width
};

} // namespace Kedra::Measure
