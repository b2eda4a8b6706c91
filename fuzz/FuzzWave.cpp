// Wave, FLAC and AIFF files from memory through every reader entry point. What the frame count says
// and what the readers hand back must agree.

#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "exchange/WaveFile.h"
#include "foundation/Mem.h"

namespace {

constexpr int CAPACITY = 4096;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace W = Kedra::WaveImExport;
    const Kedra::Fuzz::Input input(data, size);
    const W::WaveInfo info = W::WaveMemoryInfo(input.Bytes());

    W::WaveInfo imported;
    float* samples = nullptr;
    const int frames = W::ArrayWaveImportMemory(input.Bytes(), imported, samples);
    Mem::FreeArray(samples);
    if (frames < 0 || (frames > 0 && frames > imported.frames))
        Kedra::Fuzz::Fail("imported " + std::to_string(frames) + " of " +
                          std::to_string(imported.frames) + " frames");

    std::vector<float> f(CAPACITY);
    std::vector<double> d(CAPACITY);
    const bool readF = W::WaveMemoryToArray(input.Bytes(), f.data(), CAPACITY, 1.0);
    const bool readD = W::WaveMemoryToArray(input.Bytes(), d.data(), CAPACITY, 0.5);
    if (readF != readD)
        Kedra::Fuzz::Fail("float and double readers disagree");
    if (readF && info.frames <= 0)
        Kedra::Fuzz::Fail("frames read from a file whose info says it has none");
    return 0;
}
