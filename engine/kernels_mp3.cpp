// SPDX-License-Identifier: GPL-3.0-or-later
// MP3 frame routines: decoder samples (32-bit fixed point) to 16-bit PCM in
// the output's channel count, and frames written into the stream's ring, at
// the output rate or resampled by nearest neighbour.
#include <cmath>
#include <cstring>

#include "engine/kernels.h"

// Decoder samples have 28 fraction bits (1.0 = 0x10000000); 16-bit PCM keeps
// the top 15 of them, so a shift by 13 with the limits held at +-1.0.
static inline int16_t conv(int32_t x) {
  if (x > 0x0FFFFFFF) return 32767;
  if (x < -0x10000000) return -32768;
  return (int16_t)(x >> 13);
}

static inline void put16(uint8_t* d, int16_t v) { std::memcpy(d, &v, 2); }

// Ring bounds check shared by the ring writers: the ring must hold a unit,
// and a position outside the ring restarts at its start.
static inline int ring_ok(uint8_t* ring_start, uint8_t** position, uint8_t* ring_end,
                          uintptr_t unit) {
  if (!ring_start || !position || !ring_end || ring_end < ring_start) return 0;
  if ((uintptr_t)(ring_end - ring_start) < unit) return 0;
  if (*position < ring_start || *position > ring_end - unit) *position = ring_start;
  return 1;
}

// Writes count units of source into the ring, taking source unit
// floor(j x step / 65536) for write j. The ring wraps to its start whenever a
// unit no longer fits before its end (for rings of whole units: whenever the
// position reaches the end).
static void ring_write(uint8_t* ring_start, uint8_t** position, uint8_t* ring_end,
                       const uint8_t* source, uint64_t step, size_t count, size_t unit) {
  uint8_t* p = *position;
  uint64_t fraction = 0;
  const uint8_t* s = source;
  for (size_t j = 0; j < count; j++) {
    std::memcpy(p, s, unit);
    p += unit;
    if ((size_t)(ring_end - p) < unit) p = ring_start;
    fraction += step;
    s += unit * (fraction >> 16);
    fraction &= 0xFFFF;
  }
  *position = p;
}

// A resampling ratio must be a positive finite number: otherwise the source
// would run backwards or nowhere sensible.
static inline int ratio_ok(float ratio) { return ratio > 0.0f && std::isfinite(ratio); }

// 16.16 step of a resampling ratio: nearest(65536 x ratio), ties to even.
static uint64_t ratio_step(float ratio) {
  double x = (double)ratio * 65536.0;
  if (x > 4294967296.0) x = 4294967296.0;
  return (uint64_t)std::nearbyint(x);
}

extern "C" {

void FBS_CALL COPYMP3FRAME(uint8_t* ring_start, uint8_t** position, uint8_t* ring_end,
                           const void* source, int32_t bytes) {
  if (bytes < 4 || !source || !ring_ok(ring_start, position, ring_end, 4)) return;
  // Whole runs up to the ring's end: the same as one unit at a time.
  const uint8_t* s = (const uint8_t*)source;
  size_t left = (size_t)bytes / 4;
  uint8_t* p = *position;
  while (left > 0) {
    size_t run = (size_t)(ring_end - p) / 4;
    if (run > left) run = left;
    std::memmove(p, s, run * 4);
    p += run * 4;
    s += run * 4;
    left -= run;
    if ((size_t)(ring_end - p) < 4) p = ring_start;
  }
  *position = p;
}

void FBS_CALL COPYSLICEMP3FRAME16(uint8_t* ring_start, uint8_t** position, uint8_t* ring_end,
                                  const void* source, float ratio, int32_t bytes) {
  if (bytes < 2 || !source || !ratio_ok(ratio) || !ring_ok(ring_start, position, ring_end, 2))
    return;
  ring_write(ring_start, position, ring_end, (const uint8_t*)source, ratio_step(ratio),
             (size_t)bytes / 2, 2);
}

void FBS_CALL COPYSLICEMP3FRAME32(uint8_t* ring_start, uint8_t** position, uint8_t* ring_end,
                                  const void* source, float ratio, int32_t bytes) {
  if (bytes < 4 || !source || !ratio_ok(ratio) || !ring_ok(ring_start, position, ring_end, 4))
    return;
  ring_write(ring_start, position, ring_end, (const uint8_t*)source, ratio_step(ratio),
             (size_t)bytes / 4, 4);
}

void FBS_CALL SCALEMP3FRAME_22_16(void* dest, const int32_t* left, const int32_t* right,
                                  int32_t count) {
  if (!dest || !left || !right || count <= 0) return;
  uint8_t* d = (uint8_t*)dest;
  for (int32_t i = 0; i < count; i++) {
    put16(d + 4 * i, conv(left[i]));
    put16(d + 4 * i + 2, conv(right[i]));
  }
}

void FBS_CALL SCALEMP3FRAME_21_16(void* dest, const int32_t* left, const int32_t* right,
                                  int32_t count) {
  if (!dest || !left || !right || count <= 0) return;
  uint8_t* d = (uint8_t*)dest;
  for (int32_t i = 0; i < count; i++)
    put16(d + 2 * i, (int16_t)(((int32_t)conv(left[i]) + conv(right[i])) >> 2));
}

void FBS_CALL SCALEMP3FRAME_12_16(void* dest, const int32_t* samples, int32_t count) {
  if (!dest || !samples || count <= 0) return;
  uint8_t* d = (uint8_t*)dest;
  for (int32_t i = 0; i < count; i++) {
    const int16_t v = conv(samples[i]);
    put16(d + 4 * i, v);
    put16(d + 4 * i + 2, v);
  }
}

void FBS_CALL SCALEMP3FRAME_11_16(void* dest, const int32_t* samples, int32_t count) {
  if (!dest || !samples || count <= 0) return;
  uint8_t* d = (uint8_t*)dest;
  for (int32_t i = 0; i < count; i++) put16(d + 2 * i, conv(samples[i]));
}

}  // extern "C"
