// SPDX-License-Identifier: GPL-3.0-or-later
// The kernel variants behind the exported routines of kernels.h: one table of
// unchecked implementations per instruction set, the one in force chosen once
// at process start. Internal to the engine, its tests and benchmarks.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

// Unchecked implementations: pointers are non-null, counts are > 0, blocks may
// sit at any byte address. count is in 16-bit samples, bytes in bytes.
struct KernelTable {
  const char* name;  // "plain", "sse2", "avx2"
  void (*zero)(void* block, size_t bytes);
  void (*copy)(void* dest, const void* src, size_t bytes);
  void (*mix16)(void* dest, const void* a, const void* b, size_t count);
  // factor is the 16.16 fixed-point factor nearest(65536 x gain).
  void (*scale16)(void* dest, const void* src, int32_t factor, size_t count);
  // Scales every second sample from the first (first = 0: left, 1: right)
  // and copies the others; count samples in all.
  void (*pan16)(void* dest, const void* src, int32_t factor, int first, size_t count);
  // Fades over `frames` frames of `channels` samples (in place), frame k
  // weighted by w = fade_weight(left - k, step); needs frames <= left and
  // left x step <= kFadeFull. fade16: block = floor(block x w / kFadeUnit),
  // the block falls towards silence. xfade16: dest = floor((dest x (kFadeUnit
  // - w) + falling x w) / kFadeUnit), falling fades out as dest fades in; each
  // result lies between its two inputs, so a crossfade never overshoots.
  void (*fade16)(void* block, int32_t left, int32_t step, int channels, size_t frames);
  void (*xfade16)(void* dest, const void* falling, int32_t left, int32_t step, int channels,
                  size_t frames);
  // The WAV loader's conversion of 16-bit source samples: dest = nearest(gain
  // x (float)(src x kWavScale16)), the product first rounded to float, then
  // to the nearest integer (ties to even). gain at most 32767, so every
  // result fits 16 bits. dest may be src or lie before it (forward in place).
  void (*wav16)(void* dest, const void* src, double gain, size_t count);
  // Run kernels of the resampling families, mono (16) and stereo (32): the
  // nearest unit, the 4-point cubic and the 16-tap band-limited kernel over
  // `rows` (kernels_resample.h says what they read and write).
  void (*slice16)(void* dest, const uint8_t* src, uint32_t acc, int32_t dstep, size_t count);
  void (*slice32)(void* dest, const uint8_t* src, uint32_t acc, int32_t dstep, size_t count);
  void (*cubic16)(void* dest, const uint8_t* src, uint32_t acc, int32_t dstep, size_t count,
                  const int16_t* rows);
  void (*cubic32)(void* dest, const uint8_t* src, uint32_t acc, int32_t dstep, size_t count,
                  const int16_t* rows);
  void (*sinc16)(void* dest, const uint8_t* src, uint32_t acc, int32_t dstep, size_t count,
                 const int16_t* rows);
  void (*sinc32)(void* dest, const uint8_t* src, uint32_t acc, int32_t dstep, size_t count,
                 const int16_t* rows);
};

// 1 / 65534 as the WAV loader scales 16-bit source samples: full scale lands
// at about -0.5..+0.5, as 8-bit samples divided by 256 do.
constexpr double kWavScale16 = 1.5259254723787308e-05;

// Fade weights are 2.14 fixed point (kFadeUnit = 1.0), so a weight and its
// complement both fit a signed 16-bit lane. A fade is (left, step): left
// frames to go, and a slope of step per frame in 2.30 fixed point (kFadeFull =
// 1.0); a fade from 1.0 over n frames has step kFadeFull / n. The weight of a
// frame with `left` frames to go is rounded up, so a fade from 1.0 starts at
// exactly 1.0 (the remainder of kFadeFull / n is below 65536) and reaches 0
// only after its last frame.
constexpr int32_t kFadeUnit = 1 << 14;
constexpr int32_t kFadeFull = 1 << 30;
inline int32_t fade_weight(int32_t left, int32_t step) {
  return (int32_t)(((int64_t)left * step + 65535) >> 16);
}

// Variant levels, in order of preference.
enum KernelLevel { kKernelsPlain = 0, kKernelsSse2 = 1, kKernelsAvx2 = 2 };

// The table in force. Constant-initialised to the plain set, so calls made
// before start-up selection are correct too. Written by kernels_select() and
// kernels_use(), read by every thread that calls a kernel.
extern std::atomic<const KernelTable*> g_kernels;

inline const KernelTable* kernels(void) { return g_kernels.load(std::memory_order_relaxed); }

// Installs the fastest set the processor supports. Runs once (also from a
// static initialiser at process start); later calls do nothing. Thread-safe.
void kernels_select(void);
// Forces a set (tests and benchmarks): installs the level asked for, or the
// best supported level below it. Returns the level installed.
int kernels_use(int level);
// The best level this processor supports, and the level in force.
int kernels_best_level(void);
int kernels_level(void);
// A variant table by level (null when it is not built in or not supported),
// for comparing variants directly.
const KernelTable* kernels_table(int level);

// The 16.16 fixed-point factor nearest(65536 x gain), ties to even; NaN
// gives 0 and values beyond the 32-bit range are held at its limits.
int32_t kernel_fixed_factor(float gain);

// The variant tables themselves. The fast ones are null on other processors.
extern const KernelTable kKernelTablePlain;
const KernelTable* kernels_table_sse2(void);
const KernelTable* kernels_table_avx2(void);
