// SPDX-License-Identifier: GPL-3.0-or-later
// Sample set costs on the generated sets of the run folder (scripts/make-assets
// first): loading set 0 (nine MP3 files) without the sample cache, with it
// cold (emptied before every load, which then decodes and writes the
// entries) and warm (filled before timing), loading set 1 (nine WAV files), a
// whole set switch as the main loop does it (216 sounds and nine waves
// destroyed, the next set loaded and its 216 sounds made; the loop's fixed
// sleeps left out), the same with the key tone and key reverb passes on
// (CPU time of all threads), resident memory with a set loaded, and the cheap per-key
// tables. The engine runs on the test plug-in, which never mixes here.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "app/sample_sets.h"
#include "app/settings.h"
#include "core/settings_values.h"
#include "effects/master_chain.h"
#include "effects/sample_pass.h"
#include "engine/fbs.h"

namespace {

const std::string kSounds = std::string(QD_RUN_DIR) + "sounds/";
constexpr int kSoundsPerSample = 24;

bool start_engine() {
  static int started = -1;
  if (started >= 0) return started == 1;
  started = 0;
  char tmpl[] = "/tmp/qd_bench_XXXXXX";
  if (mkdtemp(tmpl) == nullptr) return false;
  std::string dir = std::string(tmpl) + "/";
  std::string copy = "cp '" QD_TEST_PLUGIN_DIR "plug_test.so' '" + dir + "plug-rtaudio.so'";
  if (std::system(copy.c_str()) != 0) return false;
  FBS_SET_PLUGPATH(dir.c_str());
  started = FBS_INIT(44100, 2, 3, 1024, 0) == 1 ? 1 : 0;
  // The engine has loaded its plug-in; the copy is no longer needed.
  std::system(("rm -rf '" + dir + "'").c_str());
  return started == 1;
}

// Resident set size of this process in KiB, from /proc/self/status.
long resident_kib() {
  FILE* f = std::fopen("/proc/self/status", "r");
  if (f == nullptr) return -1;
  char line[256];
  long kib = -1;
  while (std::fgets(line, sizeof line, f))
    if (std::strncmp(line, "VmRSS:", 6) == 0) kib = std::atol(line + 6);
  std::fclose(f);
  return kib;
}

struct LoadedSet {
  int waves[kSamplesPerSet];
  int sounds[kSamplesPerSet][kSoundsPerSample];
};

bool load_with_sounds(int set, LoadedSet& s) {
  if (!load_sample_set(set, s.waves, kSounds).empty()) return false;
  for (int w = 0; w < kSamplesPerSet; w++)
    for (int j = 0; j < kSoundsPerSample; j++)
      if (FBS_CREATE_SOUND(s.waves[w], &s.sounds[w][j]) != 1) return false;
  return true;
}

void unload(LoadedSet& s) {
  for (int w = 0; w < kSamplesPerSet; w++) {
    for (int j = 0; j < kSoundsPerSample; j++) FBS_DESTROY_SOUND(&s.sounds[w][j]);
    FBS_DESTROY_WAVE(&s.waves[w]);
  }
}

bool ready(benchmark::State& state) {
  if (!start_engine()) {
    state.SkipWithError("engine with the test plug-in did not start");
    return false;
  }
  if (access((kSounds + "piano_12.mp3").c_str(), R_OK) != 0 || !sample_set_complete(1, kSounds)) {
    state.SkipWithError("no generated sets in the run folder: run scripts/make-assets");
    return false;
  }
  return true;
}

// First, before other loads have grown the heap.
void BM_ResidentMemory(benchmark::State& state) {
  if (!ready(state)) return;
  long before = resident_kib(), after = before;
  for (auto _ : state) {
    LoadedSet s;
    if (!load_with_sounds(0, s)) {
      state.SkipWithError("load failed");
      return;
    }
    after = resident_kib();
    unload(s);
  }
  state.counters["rss_before_MiB"] = before / 1024.0;
  state.counters["rss_loaded_MiB"] = after / 1024.0;
  state.counters["set_MiB"] = (after - before) / 1024.0;
}
BENCHMARK(BM_ResidentMemory)->Unit(benchmark::kMillisecond)->Iterations(1);

// The sample cache a load uses: none, cold or warm.
enum CacheUse { kNoCache, kColdCache, kWarmCache };

void BM_LoadSet(benchmark::State& state) {
  if (!ready(state)) return;
  int set = (int)state.range(0);
  CacheUse cache = (CacheUse)state.range(1);
  char tmpl[] = "/tmp/qd_bench_cache_XXXXXX";
  std::string folder = cache != kNoCache && mkdtemp(tmpl) ? std::string(tmpl) + "/" : "";
  fbs_set_sample_cache(folder.c_str());
  int waves[kSamplesPerSet];
  if (cache == kWarmCache) {
    if (!load_sample_set(set, waves, kSounds).empty()) state.SkipWithError("load failed");
    for (int& w : waves) FBS_DESTROY_WAVE(&w);
  }
  for (auto _ : state) {
    if (cache == kColdCache) {
      state.PauseTiming();
      std::system(("rm -f '" + folder + "'*").c_str());
      state.ResumeTiming();
    }
    if (!load_sample_set(set, waves, kSounds).empty()) {
      state.SkipWithError("load failed");
      break;
    }
    state.PauseTiming();
    for (int& w : waves) FBS_DESTROY_WAVE(&w);
    state.ResumeTiming();
  }
  fbs_set_sample_cache(nullptr);
  if (!folder.empty()) std::system(("rm -rf '" + folder + "'").c_str());
}
// Set 0: nine MP3 files, without the cache, cold and warm; set 1: nine WAV files.
BENCHMARK(BM_LoadSet)
    ->Args({0, kNoCache})
    ->Args({0, kColdCache})
    ->Args({0, kWarmCache})
    ->Args({1, kNoCache})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

// Switches between set 0 and set state.range(0) for every iteration; with
// `passes`, the unfiltered copy and the sample pass follow each load, as the
// main loop runs them.
void switch_sets(benchmark::State& state, bool passes) {
  LoadedSet current;
  auto load = [&](int set) {
    if (!load_with_sounds(set, current)) {
      state.SkipWithError("load failed");
      return false;
    }
    if (passes) {
      copy_unfiltered_samples(current.waves);
      keytone_pass();
    }
    return true;
  };
  if (!load(0)) return;  // with passes, the buffers are made before timing
  int next = (int)state.range(0);
  int other = 0;
  for (auto _ : state) {
    unload(current);
    std::swap(next, other);
    if (!load(other)) return;
  }
  unload(current);
}

void BM_SwitchSet(benchmark::State& state) {
  if (!ready(state)) return;
  switch_sets(state, false);
}
// Switching between set 0 (MP3) and set 1 (WAV), or set 2 (MP3).
BENCHMARK(BM_SwitchSet)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->Iterations(6);

// The same switch with the key tone (order 5) and the key reverb on.
void BM_SwitchSetWithPasses(benchmark::State& state) {
  if (!ready(state)) return;
  set_default_settings();
  plug_rate = 44100;
  plug_channels = 2;
  keytone_mode = 1;
  keytone_bands.order = 5;
  keyrev_on = 1;
  switch_sets(state, true);
  set_default_settings();
}
BENCHMARK(BM_SwitchSetWithPasses)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->Iterations(6)->MeasureProcessCPUTime();

// B/N and the digits look at up to 14 x 18 file names on disk.
void BM_NextSet(benchmark::State& state) {
  int set = 0;
  for (auto _ : state) benchmark::DoNotOptimize(set = next_sample_set(set, kSounds));
}
BENCHMARK(BM_NextSet);

void BM_BuildTables(benchmark::State& state) {
  for (auto _ : state) {
    build_speed_table(6);
    build_velocity_curve(0, 2);
  }
}
BENCHMARK(BM_BuildTables);

}  // namespace

BENCHMARK_MAIN();
