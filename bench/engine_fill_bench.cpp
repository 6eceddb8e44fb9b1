// fbs_fill on stereo 1024-frame blocks with 1, 24 and 127 playing sounds:
// at speed 1 with unity gain, and at speeds other than 1 with volume and pan
// (the piano's case), on the plain kernels and on the fastest ones; and the
// piano's case with all 127 sounds under a ramped end for the whole block.
// Counters: frame = ns per output frame, voice_frame = ns per voice-frame.
// Needs the test plug-in (build target plug_test) to open the engine.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "engine/engine_state.h"
#include "engine/fbs.h"
#include "engine/kernel_table.h"
#include "tests/plugins/plug_test_api.h"

namespace {

constexpr int kFrames = 1024;
constexpr int kWaves = 9;
constexpr int kWaveFrames = 44100 * 8;  // 8 s per wave
constexpr int kMaxVoices = 127;

bool engine_ready = false;
int32_t waves[kWaves];
int32_t sounds[kMaxVoices];
std::vector<int16_t> out(kFrames * 2);

bool open_engine() {
  if (engine_ready) return true;
  std::string dir = plugtest::make_plug_folder({{plugtest::built("plug_test.so"), "plug-rtaudio.so"}});
  plugtest::open_copy(dir + "plug-rtaudio.so");
  FBS_SET_PLUGPATH(dir.c_str());
  if (FBS_INIT(44100, 2, 3, kFrames, 0) != 1) return false;
  FBS_SET_MAXCHANNELS(256);
  std::vector<int16_t> samples(static_cast<size_t>(kWaveFrames) * 2);
  for (int w = 0; w < kWaves; w++) {
    for (int i = 0; i < kWaveFrames; i++) {
      double t = static_cast<double>(i) / 44100.0;
      double v = 9000.0 * std::sin(2.0 * M_PI * 55.0 * (w + 1) * t) * std::exp(-t * 0.3);
      samples[2 * i] = static_cast<int16_t>(v);
      samples[2 * i + 1] = static_cast<int16_t>(v * 0.9);
    }
    waves[w] = fbs_wave_store_copy(samples.data(), static_cast<uint32_t>(samples.size() * 2));
  }
  for (int v = 0; v < kMaxVoices; v++) FBS_CREATE_SOUND(waves[v % kWaves], &sounds[v]);
  engine_ready = true;
  return true;
}

// Plays `voices` sounds from staggered positions; varied = pitch ratios of
// the keys around each sample, volume 0.6 and pans across the field.
void start_voices(int voices, bool varied) {
  for (int v = 0; v < kMaxVoices; v++) FBS_SET_SOUNDLOOPS(sounds[v], 0);
  for (int v = 0; v < voices; v++) {
    int32_t s = sounds[v];
    FBS_PLAY_SOUND(s, 0);
    void *st = nullptr, *en = nullptr;
    FBS_GET_SOUNDPOINTERS(s, &st, nullptr, &en);
    uint8_t* begin = static_cast<uint8_t*>(st);
    FBS_SET_SOUNDPOINTERS(s, nullptr, begin + (static_cast<size_t>(v) * 7919 % kWaveFrames) * 4,
                          nullptr);
    if (varied) {
      FBS_SET_SOUNDSPEED(s, static_cast<float>(std::pow(2.0, ((v % 12) - 5) / 12.0)));
      FBS_SET_SOUNDVOLUME(s, 0.6f);
      FBS_SET_SOUNDPAN(s, ((v % 9) - 4) * 0.2f);
    } else {
      FBS_SET_SOUNDSPEED(s, 1.0f);
      FBS_SET_SOUNDVOLUME(s, 1.0f);
      FBS_SET_SOUNDPAN(s, 0.0f);
    }
  }
}

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

BENCHMARK(BM_Fill)
    ->ArgNames({"voices", "varied", "kernels", "ramping"})
    ->ArgsProduct({{1, 24, 127}, {0, 1}, {kKernelsPlain, kKernelsAvx2}, {0}})
    ->Args({127, 1, kKernelsPlain, 1})
    ->Args({127, 1, kKernelsAvx2, 1})
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
