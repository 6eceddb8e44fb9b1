// SPDX-License-Identifier: GPL-3.0-or-later
// Block kernels: the plain implementations of the routines that have faster
// twins (zero, copy, mix, scale, pan, fades), the choice of variant at process
// start, and the exported entries that check arguments and call the variant.
#include "engine/kernels.h"

#include <cmath>
#include <cstring>
#include <mutex>

#include "engine/cpu.h"
#include "engine/kernel_table.h"
#include "engine/kernels_resample.h"

// Samples may sit at odd addresses (callers pass byte blocks), so they are
// read and written through memcpy, which compiles to plain moves.
static inline int16_t load16(const uint8_t* p) {
  int16_t v;
  std::memcpy(&v, p, 2);
  return v;
}
static inline void store16(uint8_t* p, int16_t v) { std::memcpy(p, &v, 2); }

// 1 when the two byte ranges share at least one byte.
static inline int ranges_overlap(const void* a, const void* b, size_t bytes) {
  const uintptr_t x = (uintptr_t)a, y = (uintptr_t)b;
  return x < y + bytes && y < x + bytes;
}

// ---- Plain implementations ----

static void zero_plain(void* block, size_t bytes) {
  uint8_t* d = (uint8_t*)block;
  for (size_t i = 0; i < bytes; i++) d[i] = 0;
}

static void copy_plain(void* dest, const void* src, size_t bytes) {
  // Overlapping blocks get move semantics in every variant, so all agree.
  if (ranges_overlap(dest, src, bytes)) {
    std::memmove(dest, src, bytes);
    return;
  }
  uint8_t* d = (uint8_t*)dest;
  const uint8_t* s = (const uint8_t*)src;
  for (size_t i = 0; i < bytes; i++) d[i] = s[i];
}

static void mix16_plain(void* dest, const void* a, const void* b, size_t count) {
  uint8_t* d = (uint8_t*)dest;
  const uint8_t* pa = (const uint8_t*)a;
  const uint8_t* pb = (const uint8_t*)b;
  for (size_t i = 0; i < count; i++) {
    int32_t sum = (int32_t)load16(pa + 2 * i) + (int32_t)load16(pb + 2 * i);
    if (sum > 32767) sum = 32767;
    if (sum < -32768) sum = -32768;
    store16(d + 2 * i, (int16_t)sum);
  }
}

// One sample times a 16.16 factor: the 32-bit product shifted right by 16
// (rounding toward minus infinity), or the 16-bit limit of its sign when the
// product does not fit in 32 bits.
static inline int16_t scale_one(int16_t s, int32_t factor) {
  const int64_t product = (int64_t)s * factor;
  if (product > INT32_MAX) return 32767;
  if (product < INT32_MIN) return -32768;
  return (int16_t)((int32_t)product >> 16);
}

static void scale16_plain(void* dest, const void* src, int32_t factor, size_t count) {
  uint8_t* d = (uint8_t*)dest;
  const uint8_t* s = (const uint8_t*)src;
  for (size_t i = 0; i < count; i++) store16(d + 2 * i, scale_one(load16(s + 2 * i), factor));
}

static void pan16_plain(void* dest, const void* src, int32_t factor, int first, size_t count) {
  uint8_t* d = (uint8_t*)dest;
  const uint8_t* s = (const uint8_t*)src;
  for (size_t i = 0; i < count; i++) {
    const int16_t v = load16(s + 2 * i);
    store16(d + 2 * i, (int)(i & 1) == first ? scale_one(v, factor) : v);
  }
}

static void fade16_plain(void* block, int32_t left, int32_t step, int channels, size_t frames) {
  uint8_t* d = (uint8_t*)block;
  for (size_t k = 0; k < frames; k++) {
    const int32_t w = fade_weight(left - (int32_t)k, step);
    for (int c = 0; c < channels; c++, d += 2) store16(d, (int16_t)((load16(d) * w) >> 14));
  }
}

static void xfade16_plain(void* dest, const void* falling, int32_t left, int32_t step,
                          int channels, size_t frames) {
  uint8_t* d = (uint8_t*)dest;
  const uint8_t* f = (const uint8_t*)falling;
  for (size_t k = 0; k < frames; k++) {
    const int32_t w = fade_weight(left - (int32_t)k, step);
    for (int c = 0; c < channels; c++, d += 2, f += 2)
      store16(d, (int16_t)((load16(d) * (kFadeUnit - w) + load16(f) * w) >> 14));
  }
}

static void wav16_plain(void* dest, const void* src, double gain, size_t count) {
  uint8_t* d = (uint8_t*)dest;
  const uint8_t* s = (const uint8_t*)src;
  for (size_t i = 0; i < count; i++) {
    const float x = (float)((double)load16(s + 2 * i) * kWavScale16);
    store16(d + 2 * i, (int16_t)std::nearbyint(gain * (double)x));
  }
}

const KernelTable kKernelTablePlain = {"plain",       zero_plain,    copy_plain,    mix16_plain,
                                       scale16_plain, pan16_plain,   fade16_plain,  xfade16_plain,
                                       wav16_plain,   slice16_plain, slice32_plain, cubic16_plain,
                                       cubic32_plain, sinc16_plain,  sinc32_plain};

// ---- Choosing the variant ----

std::atomic<const KernelTable*> g_kernels{&kKernelTablePlain};

const KernelTable* kernels_table(int level) {
  if (level == kKernelsPlain) return &kKernelTablePlain;
  if (level == kKernelsSse2 && cpu_features().sse2) return kernels_table_sse2();
  if (level == kKernelsAvx2 && cpu_features().avx2) return kernels_table_avx2();
  return nullptr;
}

int kernels_best_level(void) {
  for (int level = kKernelsAvx2; level > kKernelsPlain; level--)
    if (kernels_table(level)) return level;
  return kKernelsPlain;
}

int kernels_use(int level) {
  if (level > kKernelsAvx2) level = kKernelsAvx2;
  while (level > kKernelsPlain && !kernels_table(level)) level--;
  if (level < kKernelsPlain) level = kKernelsPlain;
  g_kernels.store(kernels_table(level), std::memory_order_relaxed);
  return level;
}

int kernels_level(void) {
  const KernelTable* t = kernels();
  for (int level = kKernelsAvx2; level > kKernelsPlain; level--)
    if (t == kernels_table(level)) return level;
  return kKernelsPlain;
}

void kernels_select(void) {
  static std::once_flag once;
  std::call_once(once, [] { kernels_use(kernels_best_level()); });
}

// Detection and selection at process start, before the program's own code.
static const bool s_kernels_selected = (kernels_select(), true);

int32_t kernel_fixed_factor(float gain) {
  const double x = 65536.0 * (double)gain;
  if (!(x == x)) return 0;
  if (x >= 2147483647.0) return INT32_MAX;
  if (x <= -2147483648.0) return INT32_MIN;
  return (int32_t)std::nearbyint(x);
}

// ---- Exported entries ----

extern "C" {

void FBS_CALL ZERO(void* block, int32_t bytes) {
  if (bytes <= 1 || !block) return;
  kernels()->zero(block, (size_t)bytes);
}

void FBS_CALL ZEROBUFFER(uint8_t* ring_start, uint8_t** position, uint8_t* ring_end,
                         int32_t bytes) {
  if (bytes <= 0 || !ring_start || !position || !ring_end || ring_end <= ring_start) return;
  uint8_t* p = *position;
  // A position outside the ring would write outside it: restart at its start.
  if (p < ring_start || p >= ring_end) p = ring_start;
  size_t left = (size_t)bytes;
  while (left > 0) {
    size_t run = (size_t)(ring_end - p);
    if (run > left) run = left;
    kernels()->zero(p, run);
    p += run;
    left -= run;
    if (p >= ring_end) p = ring_start;
  }
  *position = p;
}

void FBS_CALL COPY(void* dest, const void* src, int32_t bytes) {
  if (bytes <= 1 || !dest || !src) return;
  kernels()->copy(dest, src, (size_t)bytes);
}

void FBS_CALL MIX16(void* dest, const void* a, const void* b, int32_t bytes) {
  if (bytes <= 1 || (bytes & 1) || !dest || !a || !b) return;
  kernels()->mix16(dest, a, b, (size_t)bytes / 2);
}

void FBS_CALL SCALE16(void* dest, const void* src, float factor, int32_t bytes) {
  if (bytes <= 1 || (bytes & 1) || !dest || !src) return;
  kernels()->scale16(dest, src, kernel_fixed_factor(factor), (size_t)bytes / 2);
}

void FBS_CALL PAN16(void* dest, const void* src, float left_gain, float right_gain, int32_t bytes) {
  if (bytes <= 0 || (bytes & 1) || !dest || !src) return;
  if (left_gain == 1.0f && right_gain == 1.0f) return;
  if (left_gain == 1.0f)
    kernels()->pan16(dest, src, kernel_fixed_factor(right_gain), 1, (size_t)bytes / 2);
  else
    kernels()->pan16(dest, src, kernel_fixed_factor(left_gain), 0, (size_t)bytes / 2);
}

}  // extern "C"
