// SPDX-License-Identifier: GPL-3.0-or-later
// Cost of loading an MP3 sample into a wave (FBS_LOAD_MP3FILE: decode into a
// temporary WAV file, read it back, convert) against a bare libmad decode of
// the same 16-second 44.1 kHz stereo file. The file carries the encoder's
// information frame, so the loader's cost includes scanning for it and
// trimming. Prints the overhead of the loader over the bare decode at the end
// (target: below 30 %).
#include <benchmark/benchmark.h>
#include <mad.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "engine/engine_state.h"
#include "engine/fbs.h"
#include "tests/support/engine_test_output.h"

namespace {

std::string g_dir;
std::string g_mp3;

using enginetest::put16;

// A 16-second stereo piano-like tone: decaying partials, as the sample sets are.
bool make_mp3() {
  char tmpl[] = "/tmp/qd_mp3bench_XXXXXX";
  if (mkdtemp(tmpl) == nullptr) return false;
  g_dir = tmpl;
  std::string wav = g_dir + "/tone.wav";
  g_mp3 = g_dir + "/tone.mp3";
  FILE* f = fopen(wav.c_str(), "wb");
  if (!f) return false;
  const uint32_t rate = 44100, frames = rate * 16;
  enginetest::put_wav_header(f, rate, 2, frames * 4);
  for (uint32_t i = 0; i < frames; ++i) {
    double t = (double)i / rate, env = std::exp(-t * 0.4);
    double l = 0.0, r = 0.0;
    for (int k = 1; k <= 6; ++k) {
      l += std::sin(2 * M_PI * 261.6 * k * t) / k;
      r += std::sin(2 * M_PI * 261.6 * k * t + 0.3 * k) / k;
    }
    put16(f, (uint16_t)(int16_t)(9000 * env * l));
    put16(f, (uint16_t)(int16_t)(9000 * env * r));
  }
  fclose(f);
  std::string cmd = "lame --quiet -m s -b 192 '" + wav + "' '" + g_mp3 + "'";
  bool ok = std::system(cmd.c_str()) == 0;
  remove(wav.c_str());
  return ok;
}

// Seconds of one call: on the wall clock, and of the process's CPU time
// (user and system, all threads).
struct Cost {
  double wall, cpu;
};

Cost now() {
  timespec cpu;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu);
  return {std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
              .count(),
          (double)cpu.tv_sec + (double)cpu.tv_nsec * 1e-9};
}

Cost since(const Cost& t0) {
  Cost t = now();
  return {t.wall - t0.wall, t.cpu - t0.cpu};
}

// One FBS_LOAD_MP3FILE of the file; a negative wall time when it failed.
Cost time_loader() {
  std::string tmp = g_dir + "/tmp.wav";
  Cost t0 = now();
  int32_t wave = -1;
  if (FBS_LOAD_MP3FILE(g_mp3.c_str(), &wave, tmp.c_str()) != 1) return {-1.0, -1.0};
  FBS_DESTROY_WAVE(&wave);
  return since(t0);
}

// The file read whole and decoded frame by frame to 16-bit stereo.
Cost time_bare_decode() {
  std::vector<int16_t> pcm(1152 * 2);
  Cost t0 = now();
  FILE* f = fopen(g_mp3.c_str(), "rb");
  fseek(f, 0, SEEK_END);
  long length = ftell(f);
  fseek(f, 0, SEEK_SET);
  std::vector<unsigned char> mp3((size_t)length + MAD_BUFFER_GUARD, 0);
  size_t got = fread(mp3.data(), 1, (size_t)length, f);
  fclose(f);
  struct mad_stream s;
  struct mad_frame fr;
  struct mad_synth sy;
  mad_stream_init(&s);
  mad_frame_init(&fr);
  mad_synth_init(&sy);
  mad_stream_buffer(&s, mp3.data(), got + MAD_BUFFER_GUARD);
  long frames = 0;
  for (;;) {
    if (mad_frame_decode(&fr, &s) != 0) {
      if (MAD_RECOVERABLE(s.error)) continue;
      break;
    }
    mad_synth_frame(&sy, &fr);
    for (int i = 0; i < sy.pcm.length; ++i) {
      pcm[2 * i] = (int16_t)(sy.pcm.samples[0][i] >> 13);
      pcm[2 * i + 1] = (int16_t)(sy.pcm.samples[1][i] >> 13);
    }
    benchmark::DoNotOptimize(pcm.data());
    frames++;
  }
  mad_frame_finish(&fr);
  mad_stream_finish(&s);
  benchmark::DoNotOptimize(frames);
  return since(t0);
}

void BM_LoadMp3File(benchmark::State& state) {
  for (auto _ : state) {
    if (time_loader().wall < 0.0) {
      state.SkipWithError("FBS_LOAD_MP3FILE failed");
      break;
    }
  }
}

void BM_BareLibmadDecode(benchmark::State& state) {
  for (auto _ : state) time_bare_decode();
}

// The overhead: the two are timed in turn, pair after pair, so that other
// load on the machine falls on both alike; the median of the pairs' ratios,
// on the wall clock and in CPU time.
void print_overhead() {
  std::vector<double> wall_ratios, cpu_ratios, loader, bare;
  for (int i = 0; i < 41; ++i) {
    Cost a = time_loader(), b = time_bare_decode();
    if (a.wall < 0.0 || b.wall <= 0.0 || b.cpu <= 0.0) return;
    wall_ratios.push_back(a.wall / b.wall);
    cpu_ratios.push_back(a.cpu / b.cpu);
    loader.push_back(a.wall);
    bare.push_back(b.wall);
  }
  for (std::vector<double>* v : {&wall_ratios, &cpu_ratios, &loader, &bare})
    std::sort(v->begin(), v->end());
  size_t mid = loader.size() / 2;
  printf("FBS_LOAD_MP3FILE %.1f ms, bare libmad decode %.1f ms (medians of %zu pairs), "
         "overhead %.1f %% (CPU time %.1f %%)\n",
         loader[mid] * 1000.0, bare[mid] * 1000.0, loader.size(),
         (wall_ratios[mid] - 1.0) * 100.0, (cpu_ratios[mid] - 1.0) * 100.0);
}

BENCHMARK(BM_LoadMp3File)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_BareLibmadDecode)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  if (!make_mp3()) {
    fprintf(stderr, "could not encode the 16-second MP3 with lame\n");
    return 1;
  }
  enginetest::use_output(44100, 2, 1024);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  print_overhead();
  std::system(("rm -rf '" + g_dir + "'").c_str());
  return 0;
}
