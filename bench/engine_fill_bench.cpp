// SPDX-License-Identifier: GPL-3.0-or-later
// fbs_fill on stereo 1024-frame blocks with 1, 24 and 127 playing sounds:
// at speed 1 with unity gain, and at speeds other than 1 with volume and pan
// (the piano's case), on the plain kernels and on the fastest ones; the
// piano's case with all 127 sounds under a ramped end for the whole block;
// and 127 sounds all at speeds other than 1 under each resampling family
// (nearest, cubic, band-limited), plain and fastest; and the piano's case
// with 127 sounds on an output at 44.1 and at 48 kHz (a JACK server's rate),
// whose waves the loader converted to it, as the cost of a second of sound.
// Counters: frame = ns per output frame, voice_frame = ns per voice-frame,
// load = seconds of mixing per second of output.
// Needs the test plug-in (build target plug_test) to open the engine.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "bench/bench_voices.h"
#include "engine/kernel_table.h"

namespace {

using namespace bench_voices;

std::vector<int16_t> out(kFrames * 2);

// A ramped end of a second (43 blocks) on every playing sound; given again
// every kRearmBlocks blocks, so each measured block is ramped throughout.
constexpr int kRampFrames = 44100;
constexpr int kRearmBlocks = 40;

void ramp_voices(int voices) {
  for (int v = 0; v < voices; v++) {
    FBS_SET_SOUNDLOOPS(sounds[v], -1);  // drops the running ramp
    FBS_END_SOUND_RAMPED(sounds[v], kRampFrames);
  }
}

// Args: voices, varied (0/1), kernel level (0 plain, 2 fastest available),
// ramping (0/1).
void BM_Fill(benchmark::State& state) {
  if (!open_engine()) {
    state.SkipWithError("engine did not open (build target plug_test)");
    return;
  }
  int voices = static_cast<int>(state.range(0));
  bool varied = state.range(1) != 0;
  int level = kernels_use(static_cast<int>(state.range(2)));
  state.SetLabel(kernels_table(level) ? kernels_table(level)->name : "?");
  start_voices(voices, varied);
  bool ramping = state.range(3) != 0;
  FbsPlugRecord* rec = fbs_record();
  int blocks = 0;
  for (auto _ : state) {
    if (ramping && blocks++ % kRearmBlocks == 0) ramp_voices(voices);
    rec->buffer = out.data();
    fbs_fill(rec);
    benchmark::DoNotOptimize(out.data());
  }
  double per_block = static_cast<double>(state.iterations());
  state.counters["frame"] = benchmark::Counter(per_block * kFrames,
                                               benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["voice_frame"] = benchmark::Counter(
      per_block * kFrames * voices, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  kernels_use(kernels_best_level());
}

// Args: resampling family (FBS_SET_RESAMPLEMODE), kernel level.
void BM_FillFamily(benchmark::State& state) {
  if (!open_engine()) {
    state.SkipWithError("engine did not open (build target plug_test)");
    return;
  }
  FBS_SET_RESAMPLEMODE(static_cast<int32_t>(state.range(0)));
  int level = kernels_use(static_cast<int>(state.range(1)));
  static const char* const kFamilies[3] = {"nearest", "cubic", "band-limited"};
  state.SetLabel(std::string(kFamilies[state.range(0)]) + " " + kernels_table(level)->name);
  start_voices(kMaxVoices, true, true);
  FbsPlugRecord* rec = fbs_record();
  for (auto _ : state) {
    rec->buffer = out.data();
    fbs_fill(rec);
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["voice_frame"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * kFrames * kMaxVoices,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  kernels_use(kernels_best_level());
  FBS_SET_RESAMPLEMODE(0);
}

// Args: output rate, resampling family. The waves are loaded as the
// instrument loads 44.1 kHz sample files for that rate.
void BM_FillAtRate(benchmark::State& state) {
  if (!open_engine()) {
    state.SkipWithError("engine did not open (build target plug_test)");
    return;
  }
  const int32_t rate = static_cast<int32_t>(state.range(0));
  if (FBS_INIT(rate, 2, 3, kFrames, 0) != 1 || !make_waves(true)) {
    state.SkipWithError("engine did not open at the rate");
    return;
  }
  FBS_SET_RESAMPLEMODE(static_cast<int32_t>(state.range(1)));
  state.SetLabel(std::to_string(rate) + " Hz " + kernels()->name);
  start_voices(kMaxVoices, true);
  FbsPlugRecord* rec = fbs_record();
  for (auto _ : state) {
    rec->buffer = out.data();
    fbs_fill(rec);
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["load"] = benchmark::Counter(static_cast<double>(state.iterations()) * kFrames / rate,
                                              benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  FBS_SET_RESAMPLEMODE(0);
  FBS_INIT(44100, 2, 3, kFrames, 0);
  make_waves(false);
}

BENCHMARK(BM_FillAtRate)
    ->ArgNames({"rate", "family"})
    ->ArgsProduct({{44100, 48000}, {0, 2}})
    ->Unit(benchmark::kMicrosecond);

BENCHMARK(BM_FillFamily)
    ->ArgNames({"family", "kernels"})
    ->ArgsProduct({{0, 1, 2}, {kKernelsPlain, kKernelsSse2, kKernelsAvx2}})
    ->Unit(benchmark::kMicrosecond);

BENCHMARK(BM_Fill)
    ->ArgNames({"voices", "varied", "kernels", "ramping"})
    ->ArgsProduct({{1, 24, 127}, {0, 1}, {kKernelsPlain, kKernelsAvx2}, {0}})
    ->Args({127, 1, kKernelsPlain, 1})
    ->Args({127, 1, kKernelsAvx2, 1})
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
