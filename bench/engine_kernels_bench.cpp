// SPDX-License-Identifier: GPL-3.0-or-later
// Kernel variants on one output block (4096 bytes: 1024 stereo frames): the
// plain set against SSE2 and AVX2, through the exported routines as the mixer
// calls them. The (first) argument is the variant level (0 plain, 1 SSE2, 2
// AVX2).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "engine/kernel_table.h"
#include "engine/kernels.h"

namespace {

const int32_t kBlockBytes = 4096;

struct Blocks {
  std::vector<int16_t> a, b, out;
  Blocks() : a(kBlockBytes / 2), b(kBlockBytes / 2), out(kBlockBytes / 2) {
    std::mt19937 rng(1);
    for (auto& x : a) x = (int16_t)rng();
    for (auto& x : b) x = (int16_t)rng();
  }
};

// Installs the level asked for; skips the run when the processor lacks it.
bool use_level(benchmark::State& state) {
  const int level = (int)state.range(0);
  if (!kernels_table(level)) {
    state.SkipWithError("variant not supported here");
    return false;
  }
  kernels_use(level);
  state.SetLabel(kernels_table(level)->name);
  return true;
}

void BM_Mix16(benchmark::State& state) {
  if (!use_level(state)) return;
  Blocks k;
  for (auto _ : state) {
    MIX16(k.out.data(), k.a.data(), k.b.data(), kBlockBytes);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed((int64_t)state.iterations() * kBlockBytes);
  kernels_use(kernels_best_level());
}
BENCHMARK(BM_Mix16)->DenseRange(kKernelsPlain, kKernelsAvx2);

void BM_Copy(benchmark::State& state) {
  if (!use_level(state)) return;
  Blocks k;
  for (auto _ : state) {
    COPY(k.out.data(), k.a.data(), kBlockBytes);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed((int64_t)state.iterations() * kBlockBytes);
  kernels_use(kernels_best_level());
}
BENCHMARK(BM_Copy)->DenseRange(kKernelsPlain, kKernelsAvx2);

void BM_Scale16(benchmark::State& state) {
  if (!use_level(state)) return;
  Blocks k;
  for (auto _ : state) {
    SCALE16(k.out.data(), k.a.data(), 0.7f, kBlockBytes);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed((int64_t)state.iterations() * kBlockBytes);
  kernels_use(kernels_best_level());
}
BENCHMARK(BM_Scale16)->DenseRange(kKernelsPlain, kKernelsAvx2);

void BM_Pan16(benchmark::State& state) {
  if (!use_level(state)) return;
  Blocks k;
  for (auto _ : state) {
    PAN16(k.out.data(), k.a.data(), 1.0f, 0.4f, kBlockBytes);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed((int64_t)state.iterations() * kBlockBytes);
  kernels_use(kernels_best_level());
}
BENCHMARK(BM_Pan16)->DenseRange(kKernelsPlain, kKernelsAvx2);

// The nearest speed-stepped copy (a semitone up) as the mixer plays a
// sound: second argument 0 forward mono, 1 forward stereo, 2 backward mono,
// 3 backward stereo.
void BM_CopySlice(benchmark::State& state) {
  if (!use_level(state)) return;
  static const FbsCopySliceFn kRoutines[4] = {COPYSLICERIGHT16, COPYSLICERIGHT32, COPYSLICELEFT16,
                                              COPYSLICELEFT32};
  static const char* const kNames[4] = {" right16", " right32", " left16", " left32"};
  const int which = (int)state.range(1);
  state.SetLabel(std::string(kernels()->name) + kNames[which]);
  const float speed = which < 2 ? 1.0594631f : -1.0594631f;
  Blocks k;
  std::vector<int16_t> wave(44100 * 2);
  uint8_t* start = (uint8_t*)wave.data();
  uint8_t* end = start + wave.size() * 2;
  uint8_t* pos = start;
  int32_t loops = 2147483647;
  for (auto _ : state) {
    kRoutines[which](k.out.data(), start, &pos, end, &loops, speed, kBlockBytes);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed((int64_t)state.iterations() * kBlockBytes);
  kernels_use(kernels_best_level());
}
BENCHMARK(BM_CopySlice)->ArgsProduct({{kKernelsPlain, kKernelsSse2, kKernelsAvx2}, {0, 1, 2, 3}});

}  // namespace

BENCHMARK_MAIN();
