// SPDX-License-Identifier: GPL-3.0-or-later
// master_callback on a stereo 1024-frame block of piano-like material:
// nothing but the master level (the baseline), each stage alone, and all on
// (automatic volume with the strongest compressor, reverb3, equalizer of
// order 4). Counter value = ns per 16-bit value.
// Then each stage alone and all on, by blocks (master_callback) against
// value by value (master_callback_plain), at 64 and 1024 frames.
// Then the mixer of 127 voices with and without the whole chain, one block
// per iteration, measured together: a block is 23.2 ms of sound at 44100 Hz,
// so 232 us per block is 1 % of one core.
// Needs the test plug-in (build target plug_test) for the mixer cases.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "app/settings.h"
#include "bench/bench_voices.h"
#include "effects/autovol.h"
#include "effects/equalizer.h"
#include "effects/master_chain.h"
#include "effects/reverb.h"

namespace {

using bench_voices::kFrames;
constexpr int kValues = 2 * kFrames;

enum Stages { kNone, kAutovol, kCompression, kReverb, kEqualizer, kAll };
const char* const kStageNames[] = {"master level only", "automatic gain", "compression 4", "reverb3",
                                   "equalizer order 4", "all on"};

void set_stages(int stages) {
  plug_bits = 16;
  plug_rate = 44100;
  plug_channels = 2;
  master_level = 0.8f;
  autovol_mode = stages == kAutovol ? 1 : (stages == kCompression || stages == kAll ? 5 : 0);
  reverb_mode = stages == kReverb || stages == kAll ? 3 : 0;
  equalizer_on = stages == kEqualizer || stages == kAll ? 1 : 0;
  eq_bands.order = 4;
  setup_reverb();
  compute_eq_coefficients();
  restart_autovol_state(0.0);
}

// Three decaying partials, the two channels a little apart.
std::vector<int16_t> piano_block() {
  std::vector<int16_t> v(kValues);
  for (int f = 0; f < kFrames; f++) {
    double t = f / 44100.0;
    double x = 0;
    for (int k = 1; k <= 3; k++) x += 6000.0 / k * std::sin(2 * M_PI * 220.0 * k * t) * std::exp(-t * k);
    v[2 * f] = (int16_t)x;
    v[2 * f + 1] = (int16_t)(0.9 * x);
  }
  return v;
}

void BM_Chain(benchmark::State& state) {
  int stages = (int)state.range(0);
  state.SetLabel(kStageNames[stages]);
  set_stages(stages);
  std::vector<int16_t> in = piano_block(), block(kValues);
  for (auto _ : state) {
    std::memcpy(block.data(), in.data(), sizeof(int16_t) * kValues);
    master_callback(block.data(), 2, kFrames);
    benchmark::DoNotOptimize(block.data());
  }
  state.counters["value"] = benchmark::Counter((double)state.iterations() * kValues,
                                               benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_Chain)->ArgName("stages")->DenseRange(kNone, kAll)->Unit(benchmark::kMicrosecond);

// stages, frames, and 1 for the block chain or 0 for the value-by-value one.
void BM_BlockAgainstValue(benchmark::State& state) {
  int stages = (int)state.range(0), frames = (int)state.range(1);
  bool blocks = state.range(2) != 0;
  state.SetLabel(std::string(kStageNames[stages]) + (blocks ? ", by blocks" : ", value by value"));
  set_stages(stages);
  std::vector<int16_t> in = piano_block(), block(2 * frames);
  void (*chain)(int16_t*, int32_t, int32_t) = blocks ? master_callback : master_callback_plain;
  int at = 0;
  for (auto _ : state) {
    std::memcpy(block.data(), in.data() + at, sizeof(int16_t) * 2 * frames);
    at = (at + 2 * frames) % kValues;
    chain(block.data(), 2, frames);
    benchmark::DoNotOptimize(block.data());
  }
  state.counters["value"] = benchmark::Counter((double)state.iterations() * 2 * frames,
                                               benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_BlockAgainstValue)
    ->ArgNames({"stages", "frames", "blocks"})
    ->ArgsProduct({{kAutovol, kCompression, kReverb, kEqualizer, kAll}, {64, 1024}, {0, 1}})
    ->Unit(benchmark::kMicrosecond);

// One block of the mixer with 127 playing voices (varied speeds, volume and
// pan), with the chain off (0) or all on (1).
void BM_MixerAndChain(benchmark::State& state) {
  if (!bench_voices::open_engine()) {
    state.SkipWithError("engine did not open (build target plug_test)");
    return;
  }
  bool chain_on = state.range(0) != 0;
  state.SetLabel(chain_on ? "127 voices + all on" : "127 voices");
  set_stages(kAll);
  FBS_SET_MASTERCALLBACK(master_callback);
  if (chain_on) FBS_ENABLE_MASTERCALLBACK();
  std::vector<int16_t> out(kValues);
  FbsPlugRecord* rec = fbs_record();
  int iterations = 0;
  for (auto _ : state) {
    // Every few seconds of sound the voices start over, so they keep playing.
    if (iterations++ % 200 == 0) bench_voices::start_voices(bench_voices::kMaxVoices, true);
    rec->buffer = out.data();
    fbs_fill(rec);
    benchmark::DoNotOptimize(out.data());
  }
  FBS_DISABLE_MASTERCALLBACK();
}
BENCHMARK(BM_MixerAndChain)->ArgName("chain")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
