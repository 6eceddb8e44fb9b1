// SPDX-License-Identifier: GPL-3.0-or-later
// The whole sample pass over nine 16 s stereo waves (the WAV set of the run
// folder, scripts/make-assets first; noise when it is missing): key tone
// order 5 plus key reverb, key tone only, both stages off, the key reverb
// pass alone ([Y]), and the unfiltered copy taken after a load. Counters give
// the nanoseconds per value and the memory of the pass buffers. The CPU
// column is the time of all the pass's threads; the real time is what the
// main thread waits.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "app/sample_sets.h"
#include "app/settings.h"
#include "effects/echo_line.h"
#include "effects/master_chain.h"
#include "effects/sample_pass.h"
#include "engine/fbs.h"
#include "tests/support/engine_test_output.h"

namespace {

int waves[kSamplesPerSet] = {-1, -1, -1, -1, -1, -1, -1, -1, -1};
long total_values = 0;

bool make_waves() {
  if (waves[0] >= 0) return true;
  enginetest::use_output(44100, 2, 1024);
  plug_rate = 44100;
  plug_channels = 2;
  if (!load_sample_set(1, waves, std::string(QD_RUN_DIR) + "sounds/").empty()) {
    for (int w = 0; w < kSamplesPerSet; w++) {
      void* data = nullptr;
      if (!FBS_CREATE_WAVE(kPassValues / 2, &waves[w], &data)) return false;
      uint32_t x = 12345u + w;
      for (int j = 0; j < kPassValues; j++) {
        x = x * 1664525u + 1013904223u;
        static_cast<int16_t*>(data)[j] = static_cast<int16_t>(x >> 16);
      }
    }
  }
  copy_unfiltered_samples(waves);
  total_values = 0;
  for (int w = 0; w < kSamplesPerSet; w++) total_values += pass_length(w);
  return true;
}

void run(benchmark::State& state, int mode, int order, int reverb, void (*pass)()) {
  if (!make_waves()) {
    state.SkipWithError("no waves");
    return;
  }
  set_default_settings();
  keytone_mode = mode;
  keytone_bands.order = order;
  keyrev_on = reverb;
  keytone_pass();  // the key tone the key reverb pass alone works on
  for (auto _ : state) pass();
  state.counters["ns_per_value"] =
      benchmark::Counter(static_cast<double>(total_values) * state.iterations(),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  // What the unfiltered copy holds at 44100 Hz (the pages a pass touches)
  // and the key reverb lines of two workers.
  state.counters["buffers_MiB"] = static_cast<double>(kSamplesPerSet * (kPassValues + 1) * sizeof(int16_t) +
                                                      2 * 2 * kEchoLineSize * sizeof(float)) /
                                  (1024.0 * 1024.0);
}

void BM_PassKeyToneOrder5AndKeyReverb(benchmark::State& s) { run(s, 1, 5, 1, keytone_pass); }
void BM_PassKeyToneOrder5Only(benchmark::State& s) { run(s, 1, 5, 0, keytone_pass); }
void BM_PassKeyToneOrder1Only(benchmark::State& s) { run(s, 1, 1, 0, keytone_pass); }
void BM_PassBothStagesOff(benchmark::State& s) { run(s, 0, 1, 0, keytone_pass); }
void BM_KeyReverbPassAlone(benchmark::State& s) { run(s, 1, 5, 1, keyreverb_pass); }
void BM_UnfilteredCopy(benchmark::State& s) {
  run(s, 0, 1, 0, [] { copy_unfiltered_samples(waves); });
}

BENCHMARK(BM_PassKeyToneOrder5AndKeyReverb)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_PassKeyToneOrder5Only)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_PassKeyToneOrder1Only)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_PassBothStagesOff)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_KeyReverbPassAlone)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_UnfilteredCopy)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

}  // namespace

BENCHMARK_MAIN();
