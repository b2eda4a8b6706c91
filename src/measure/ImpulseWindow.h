#pragma once
// The time window a measurement applies to its impulse before taking the windowed spectrum:
// flat between start and end (samples relative to the impulse position), with raised-cosine
// tapers centred on each edge.

namespace Kedra::Measure {

class ImpulseWindow {
public:
    ImpulseWindow(int start = -10, int end = 10) : start_(start), end_(end) {}

    int GetStart() const { return start_; }
    int GetEnd() const { return end_; }
    // Each returns true when the value changed (and marks the derived constants stale).
    bool SetStart(int start);
    bool SetEnd(int end);
    bool GetLockStart() const { return lockStart_; }
    void SetLockStart(bool lock) { lockStart_ = lock; }

    double Amplitude(double x);

    // Taper lengths in samples; a taper rises from 0 to full gain over its length.
    int GetLeftTaper();
    int GetRightTaper();
    int GetLeftZero();
    int GetLeftFlat();
    int GetRightFlat();
    int GetRightZero();

private:
    void Update();

    int start_;
    int end_;
    bool lockStart_ = false;
    bool dirty_ = true;
    int left_ = 0;
    int right_ = 0;
    int leftZero_ = 0;
    int leftFlat_ = 0;
    int rightFlat_ = 0;
    int rightZero_ = 0;
    double leftStep_ = 0.0;  // pi / left taper
    double rightStep_ = 0.0; // pi / right taper
};

} // namespace Kedra::Measure
