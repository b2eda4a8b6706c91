// The simulated sound card's device models, run block by block as the card's thread runs
// them. Frames per second over the sample rate is how many times faster than real time a
// model can go.

#include "audio/SimulatedSoundCard.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <vector>

namespace {

using namespace Kedra::PAudioII;

void BM_DeviceModel(benchmark::State& state) {
    const auto model = static_cast<SimulatedModel>(state.range(0));
    const int fs = static_cast<int>(state.range(1));
    DeviceModel device(DeviceModelParams::For(model, fs));
    const int block = std::clamp(device.MinimumDelay(), 1, SimulatedSoundCard::BLOCK_FRAMES);
    // A second of noise, long enough to keep the room's tail busy.
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> u(-0.5f, 0.5f);
    std::vector<float> drive(static_cast<std::size_t>(fs));
    for (float& v : drive)
        v = u(rng);
    std::vector<float> input(static_cast<std::size_t>(block));
    std::size_t at = 0;
    for (auto _ : state) {
        device.Input(input.data(), block);
        device.Drive(drive.data() + at, block);
        at = at + 2 * static_cast<std::size_t>(block) <= drive.size() ? at + block : 0;
        benchmark::DoNotOptimize(input.data());
    }
    state.SetItemsProcessed(state.iterations() * block);
    // Seconds of audio per second: how many times faster than real time.
    state.counters["audio_s"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * block / fs, benchmark::Counter::kIsRate);
    state.SetLabel(std::string(SimulatedModelName(model)) + " at " + std::to_string(fs) + " Hz");
}
BENCHMARK(BM_DeviceModel)
    ->Args({static_cast<int>(SimulatedModel::Speaker), 48000})
    ->Args({static_cast<int>(SimulatedModel::Room), 44100})
    ->Args({static_cast<int>(SimulatedModel::Room), 48000})
    ->Args({static_cast<int>(SimulatedModel::Room), 96000})
    ->Args({static_cast<int>(SimulatedModel::Room), 192000})
    ->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
