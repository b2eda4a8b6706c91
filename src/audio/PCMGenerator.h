#pragma once
// Test-signal generators: one sample at a time, pulled by the stream's IO callback or rendered
// into a buffer by the measuring pipeline.
//
// Threads: NextSample/NextFrame run on the audio thread while the generator is installed on
// the stream, otherwise on the caller's thread, never on both at once. They allocate nothing,
// lock nothing and throw nothing. Parameters are plain fields written by the owner before the
// generator is installed; the owner calls Reset after changing them.

#include <cstdint>

namespace Kedra::PAudioII {

enum GeneratorKind : std::int32_t {
    GENERATOR_KIND_PLAIN = 0,
    GENERATOR_KIND_LOG_SWEEP = 7,
    GENERATOR_KIND_SINGLE_SWEEP = 9,
};

// Endless silence unless a kind overrides NextSample.
class PCMGenerator {
public:
    virtual ~PCMGenerator() = default;

    // Writes the next sample, sets isFirst for sample index 0, returns whether more follow.
    virtual bool NextSample(float* out, bool* isFirst) noexcept;
    // One sample copied to every channel of an interleaved frame.
    virtual bool NextFrame(float* frame, int channels, bool* isFirst) noexcept final;
    // Rewinds to sample 0 and recomputes the derived constants.
    virtual void Reset() = 0;
    // True when length, the stream sample rate or a kind's parameters differ from the last
    // call; refreshes the snapshots.
    virtual bool HasChanged();
    // Compares the kind's own parameters with their snapshot and refreshes it.
    virtual bool ParamsChanged();

    void SetTriggerMode(bool on) { triggerMode = on; }
    // Pulls one sample (advancing the generator) and returns it.
    float Amplitude();

    std::int32_t length;
    std::int32_t kind;
    std::int32_t sampleRate;
    std::int32_t lastLength = -1;
    std::int32_t lastSampleRate = -1;
    bool triggerMode = false;

protected:
    explicit PCMGenerator(std::int32_t generatorKind);
    PCMGenerator(const PCMGenerator&) = default;
    PCMGenerator& operator=(const PCMGenerator&) = default;
};

// Adds optional quarter-sine fade-in and fade-out to the sweeps.
class PCMGeneratorFading : public PCMGenerator {
public:
    bool HasChanged() override;

    bool fadeInEnabled = false;
    bool fadeOutEnabled = false;
    float fadeInMs = 10.0f;
    float fadeOutMs = 1.0f;
    float fadeInStep = 0.0f;  // radians per sample
    float fadeOutStep = 0.0f; // radians per sample
    std::int32_t fadeInSamples = 0;
    std::int32_t fadeOutSamples = 0;
    bool lastFadeInEnabled = false;
    bool lastFadeOutEnabled = false;
    float lastFadeInMs = -1.0f;
    float lastFadeOutMs = -1.0f;

protected:
    using PCMGenerator::PCMGenerator;

    // Derives the fade lengths and steps from the stream sample rate read now.
    void SetUpFades();
    // Fade gains for sample i of a run of n samples; the sample at i = n ends at 0 with
    // fade-out on.
    float ApplyFades(float sample, std::int32_t i, std::int32_t n) const noexcept;
};

} // namespace Kedra::PAudioII
