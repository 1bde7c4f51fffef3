// Throughput of the per-block PCM work on the service thread: the four-input mix of the mixer
// and the volume stage's in-place scaling, both on 4096-byte 16-bit stereo blocks.
#include "processing/MMPCM.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

namespace {

constexpr int32_t BlockBytes = 4096;
constexpr int32_t BlockSamples = BlockBytes / 2;

// A ramp that wraps, so that some sums saturate and the clipping paths run.
std::vector<int16_t> Ramp(int step) {
    std::vector<int16_t> samples(BlockSamples);
    for (int32_t i = 0; i < BlockSamples; ++i)
        samples[i] = static_cast<int16_t>(i * step);
    return samples;
}

void MixFourInputs(benchmark::State& state) {
    std::vector<std::vector<int16_t>> inputs;
    for (int step : {7, 13, 29, 61})
        inputs.push_back(Ramp(step));
    TMMMixInfo* info = AllocMixInfo(4);
    info->LeftGain = static_cast<int32_t>(state.range(0));
    info->RightGain = static_cast<int32_t>(state.range(0));
    for (int i = 0; i < 4; ++i)
        info->Inputs[i] = inputs[i].data();
    std::vector<int32_t> accumulator(BlockSamples);
    std::vector<int16_t> dest(BlockSamples);

    for (auto _ : state) {
        benchmark::DoNotOptimize(MixStereo16(BlockBytes, 4, info, accumulator.data(), dest.data()));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * BlockBytes); // bytes of mixed output
    FreeMixInfo(info);
}
BENCHMARK(MixFourInputs)->Arg(PCMUnityGain)->Arg(12000);

void VolumeStereo16(benchmark::State& state) {
    WAVEFORMATEX format;
    MakePCMFormat(format, 16, 2, 44100);
    // Repeated halving drives the block to 0 and -1; the work per sample does not depend on the
    // values, so the block is not refilled between runs.
    std::vector<int16_t> block = Ramp(37);

    for (auto _ : state) {
        benchmark::DoNotOptimize(PCMVolume(&format, block.data(), BlockBytes, 8192, 8192));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * BlockBytes);
}
BENCHMARK(VolumeStereo16);

} // namespace
