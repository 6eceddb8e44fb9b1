// SPDX-License-Identifier: GPL-3.0-or-later
// How quickly a key press is heard and a release is served:
//  1. note-on entering midi_input_handler -> the first mixed block carrying
//     the note, with the clock-paced file device (plug-wav) at 1024 and 128
//     frames per block, in blocks and in ms;
//  2. lateness of queued note-offs behind their due time, with the main
//     loop's own pacing (sleep min(20, max(5, due - now)) ms, then serve);
//  3. Google Benchmark: CPU cost of one handler call (note-on + note-off).
// Figures go to standard output; the benchmarks follow.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/sample_sets.h"
#include "app/settings.h"
#include "core/clock.h"
#include "engine/fbs.h"
#include "midi/midi_input.h"
#include "midi/voices.h"

namespace {

constexpr int kWaveFrames = 44100 * 4;

// Block counter and the block that first carried sound, from the master
// callback on the device thread.
std::atomic<long> blocks_mixed{0};
std::atomic<long> first_loud_block{-1};
std::atomic<double> first_loud_time{0.0};

void FBS_CALL watch_block(int16_t* block, int32_t channels, int32_t frames) {
  long index = blocks_mixed.fetch_add(1) + 1;
  if (first_loud_block.load() >= 0) return;
  for (int i = 0; i < channels * frames; i++) {
    if (block[i] != 0) {
      first_loud_time.store(program_clock());
      first_loud_block.store(index);
      return;
    }
  }
}

std::string temp_folder;

bool copy_file(const std::string& from, const std::string& to) {
  std::ifstream in(from, std::ios::binary);
  std::ofstream out(to, std::ios::binary);
  if (!in || !out) return false;
  out << in.rdbuf();
  return true;
}

// Engine on `plugin` (a file of the run folder or the test plug-in folder)
// copied under the name `as`, nine constant waves, 24 sounds each.
bool start_engine(const std::string& plugin, const char* as, int frames, int device) {
  char folder[] = "/tmp/qd_midi_bench_XXXXXX";
  if (!mkdtemp(folder)) return false;
  temp_folder = folder;
  if (!copy_file(plugin, temp_folder + "/" + as)) return false;
  FBS_SET_PLUGPATH((temp_folder + "/").c_str());
  if (!FBS_INIT(44100, 2, 3, frames, device)) return false;
  for (int w = 0; w < kSampleWaves; w++) {
    int32_t wave = -1;
    void* data = nullptr;
    if (!FBS_CREATE_WAVE(kWaveFrames, &wave, &data)) return false;
    int16_t* samples = static_cast<int16_t*>(data);
    for (int i = 0; i < kWaveFrames * 2; i++) samples[i] = 1000;
    for (int j = 1; j <= kSoundsPerSample; j++) {
      if (!FBS_CREATE_SOUND(wave, &sound[w][j])) return false;
      void* play = nullptr;
      FBS_GET_SOUNDPOINTERS(sound[w][j], &sound_start[w][j], &play, &sound_end[w][j]);
    }
  }
  free_all_voices();
  type_offset.store(6);
  build_speed_table(6);
  build_velocity_curve(0, 2);
  return true;
}

void stop_engine() {
  FBS_DISABLE_MASTERCALLBACK();
  silence_all_voices();
  FBS_EXIT();
  std::string command = "rm -rf '" + temp_folder + "'";
  if (std::system(command.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", temp_folder.c_str());
}

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0.0;
  std::sort(values.begin(), values.end());
  size_t index = (size_t)(p * (values.size() - 1) + 0.5);
  return values[index];
}

uint32_t pack(int status, int data1, int data2) {
  return (uint32_t)status | ((uint32_t)data1 << 8) | ((uint32_t)data2 << 16);
}

void measure_note_on_latency(int frames) {
  std::string plugin = std::string(QD_RUN_DIR) + "plug-wav.so";
  if (!start_engine(plugin, "plug-wav.so", frames, -1)) {
    std::printf("note-on latency at %d frames: engine with %s did not start\n", frames, plugin.c_str());
    return;
  }
  FBS_SET_MASTERCALLBACK(watch_block);
  FBS_ENABLE_MASTERCALLBACK();
  double block_ms = 1000.0 * FBS_GET_PLUGFRAMES() / 44100.0;
  std::mt19937 random(7);
  std::vector<double> delay_ms, delay_blocks;
  for (int i = 0; i < 120; i++) {
    // Arrive at a random point inside a block.
    std::this_thread::sleep_for(std::chrono::microseconds((long)(random() % (long)(block_ms * 1000 + 1))));
    first_loud_block.store(-1);
    long before = blocks_mixed.load();
    double t0 = program_clock();
    midi_input_handler(1, 0x3C3, 0, pack(0x90, 60, 100), 0);
    while (first_loud_block.load() < 0 && program_clock() - t0 < 2.0)
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    if (first_loud_block.load() >= 0) {
      delay_ms.push_back((first_loud_time.load() - t0) * 1000.0);
      delay_blocks.push_back((double)(first_loud_block.load() - before));
    }
    voice_note_end(60, 0);
    // Wait for silence: two whole blocks after the release.
    long now_block = blocks_mixed.load();
    while (blocks_mixed.load() < now_block + 2) std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  std::printf(
      "note-on -> first mixed block, %d frames (%.2f ms a block, %d notes): median %.2f ms "
      "(%.0f blocks), 95%% %.2f ms, worst %.2f ms (%.0f blocks); the device adds %d buffers\n",
      FBS_GET_PLUGFRAMES(), block_ms, (int)delay_ms.size(), percentile(delay_ms, 0.5),
      percentile(delay_blocks, 0.5), percentile(delay_ms, 0.95), percentile(delay_ms, 1.0),
      percentile(delay_blocks, 1.0), FBS_GET_PLUGBUFFERS());
  stop_engine();
}

void measure_note_off_lateness(double seconds) {
  std::string plugin = std::string(QD_TEST_PLUGIN_DIR) + "plug_test.so";
  if (!start_engine(plugin, "plug-wav.so", 1024, -1)) {
    std::printf("note-off lateness: engine with the test plug-in did not start\n");
    return;
  }
  note_off_delay.store(0.08);
  // A player thread: notes of random length on 40 keys, about 25 a second.
  struct Pending {
    int key;
    double due;
  };
  std::mutex pending_mutex;
  std::vector<Pending> pending;
  std::atomic<int> stop{0};
  std::thread player([&] {
    std::mt19937 random(11);
    int key_down[128] = {0};
    while (!stop.load()) {
      int key = 40 + random() % 40;
      if (!key_down[key]) {
        {
          // A new press makes an earlier release of the key moot.
          std::lock_guard<std::mutex> lock(pending_mutex);
          pending.erase(std::remove_if(pending.begin(), pending.end(),
                                       [&](const Pending& p) { return p.key == key; }),
                        pending.end());
        }
        midi_input_handler(1, 0x3C3, 0, pack(0x90, key, 90), 0);
        key_down[key] = 1;
      } else {
        double t = program_clock();
        midi_input_handler(1, 0x3C3, 0, pack(0x80, key, 0), 0);
        key_down[key] = 0;
        std::lock_guard<std::mutex> lock(pending_mutex);
        pending.push_back({key, t + 0.08});
      }
      std::this_thread::sleep_for(std::chrono::microseconds(20000 + random() % 40000));
    }
  });
  // The main loop's pacing and service.
  std::vector<double> late_ms;
  double end = program_clock() + seconds;
  while (program_clock() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(note_off_sleep_ms(program_clock())));
    serve_note_off_queue();
    double now = program_clock();
    std::lock_guard<std::mutex> lock(pending_mutex);
    std::lock_guard<std::mutex> voices(voice_mutex);
    for (size_t i = 0; i < pending.size();) {
      bool sounding = false;
      for (int w = 0; w < kSampleWaves && !sounding; w++)
        for (int j = 1; j <= kSoundsPerSample; j++)
          if (voice_key[w][j] == pending[i].key && voice_channel[w][j] == 0) sounding = true;
      if (!sounding && now >= pending[i].due - 0.0005) {
        late_ms.push_back((now - pending[i].due) * 1000.0);
        pending.erase(pending.begin() + (long)i);
      } else if (!sounding) {
        pending.erase(pending.begin() + (long)i);  // pressed again meanwhile
      } else {
        i++;
      }
    }
  }
  stop.store(1);
  player.join();
  std::printf(
      "queued note-off lateness behind its due time over %.0f s (%d releases): median %.2f ms, "
      "95%% %.2f ms, worst %.2f ms\n",
      seconds, (int)late_ms.size(), percentile(late_ms, 0.5), percentile(late_ms, 0.95),
      percentile(late_ms, 1.0));
  stop_engine();
}

// ---- CPU cost ----

bool bench_engine_ready = false;

void BM_HandlerNoteOnAndOff(benchmark::State& state) {
  if (!bench_engine_ready) {
    state.SkipWithError("engine did not start");
    return;
  }
  int key = 40;
  for (auto _ : state) {
    rate_gate_time.store(0.0);  // every call passes the gate
    midi_input_handler(1, 0x3C3, 0, pack(0x90, key, 100), 0);
    midi_input_handler(1, 0x3C3, 0, pack(0x80, key, 0), 0);
    if (++key > 100) {
      key = 40;
      silence_all_voices();
      std::lock_guard<std::mutex> lock(voice_mutex);
      queue_read = queue_write;
    }
  }
  state.SetItemsProcessed(state.iterations() * 2);
}
BENCHMARK(BM_HandlerNoteOnAndOff);

void BM_QueueServiceIdle(benchmark::State& state) {
  for (auto _ : state) serve_note_off_queue();
}
BENCHMARK(BM_QueueServiceIdle);

}  // namespace

int main(int argc, char** argv) {
  bool figures = true;
  for (int i = 1; i < argc; i++)
    if (std::string(argv[i]) == "--no-figures") figures = false;
  if (figures) {
    measure_note_on_latency(1024);
    measure_note_on_latency(128);
    measure_note_off_lateness(20.0);
  }
  bench_engine_ready = start_engine(std::string(QD_TEST_PLUGIN_DIR) + "plug_test.so", "plug-wav.so", 1024, -1);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  if (bench_engine_ready) stop_engine();
  return 0;
}
