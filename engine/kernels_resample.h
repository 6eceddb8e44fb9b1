// SPDX-License-Identifier: GPL-3.0-or-later
// Resampling for speeds other than 1: the three kernel families, their
// coefficient tables and the run kernels the variant tables point to.
// Internal to the engine, its tests and benchmarks.
//
// A run kernel writes `count` outputs of a region that the caller has checked
// holds every sample they read. Output i stands at acc_i = acc + i x dstep
// (32-bit arithmetic; the caller keeps every acc_i in 0..2^31 - 1), a 16.16
// position in units (samples or stereo frames) from `src`:
// - nearest: the unit at acc_i >> 16;
// - cubic and band-limited: the units from acc_i >> 16 on, one per tap,
//   weighted by the row of the fraction acc_i & 0xFFFF, summed, rounded to
//   nearest (halves up) and saturated to 16 bits.
// All arithmetic is integer and exact, so every variant gives the same bits.
#pragma once
#include <cstddef>
#include <cstdint>

enum ResampleFamily { kResampleNearest = 0, kResampleCubic = 1, kResampleSinc = 2 };

// Taps before and after the unit at or below a position that a family reads:
// the 4-point cubic reads 1 before and 2 after, the 16-tap sinc 7 and 8.
constexpr int kCubicTaps = 4;
constexpr int kCubicBefore = 1;
constexpr int kSincTaps = 16;
constexpr int kSincBefore = 7;

// Coefficients are Q15 (32768 = 1.0, held at 32767): every row sums to
// exactly 32768, so the level of a steady signal does not depend on the
// fraction, and no row's absolute sum reaches 2.0, so no sum of 16 products of
// 16-bit samples leaves 32 bits.
constexpr int kCoefShift = 15;

// Cubic rows: 1024 fractions and the one of 1.0, 4 coefficients each, taken
// at the nearest fraction (the half step of 1/2048 is far below the cubic's
// own error).
constexpr int kCubicPhaseBits = 10;
// Sinc rows: 128 fractions and the one of 1.0, 16 coefficients each; the
// coefficients of a fraction between two rows are interpolated linearly from
// its 9 lower bits, rounded, which keeps the rows' sum within a few units.
constexpr int kSincPhaseBits = 7;
// Band-limited tables: cutoff at half the sample rate up to speed 1, then one
// table for each semitone up to two octaves, its cutoff lowered by 1/speed;
// faster speeds use the last one.
constexpr int kSincTables = 25;

// Rows of the cubic, and of the band-limited table for a 16.16 speed step.
// Sinc rows keep their 16 taps in the order 0-3, 8-11, 4-7, 12-15, so that
// the vector twins pair taps with stereo frames without moving samples
// across 128-bit lanes. The tables are made once, on first use (a few
// milliseconds); FBS_SET_RESAMPLEMODE makes them before the mixer may need
// them, so the mixer never does.
const int16_t* cubic_rows(void);
const int16_t* sinc_rows(uint64_t step);
void resample_tables_make(void);
// The modified Bessel function I0, of which Kaiser windows are made.
double bessel_i0(double x);
// Storage position of tap j (0..15) in a sinc row.
inline int sinc_tap_slot(int j) { return ((j >> 2) & 1) * 8 + (j >> 3) * 4 + (j & 3); }

// The cubic row nearest a position's fraction; the sinc row at or below it,
// and the 9 bits below that row as the multiplier of the difference to the
// next row (shifted to 15 bits for a high-half multiply).
inline const int16_t* cubic_row(const int16_t* rows, uint32_t acc) {
  const uint32_t t = acc & 0xFFFF;
  return rows + ((t + (1u << (15 - kCubicPhaseBits))) >> (16 - kCubicPhaseBits)) * kCubicTaps;
}
inline const int16_t* sinc_row(const int16_t* rows, uint32_t acc) {
  return rows + ((acc & 0xFFFF) >> (16 - kSincPhaseBits)) * kSincTaps;
}
inline int16_t sinc_sub(uint32_t acc) {
  return (int16_t)((acc & ((1u << (16 - kSincPhaseBits)) - 1)) << (kSincPhaseBits - 1));
}

// Plain run kernels (the reference twins).
void slice16_plain(void* dest, const uint8_t* src, uint32_t acc, int32_t dstep, size_t count);
void slice32_plain(void* dest, const uint8_t* src, uint32_t acc, int32_t dstep, size_t count);
void cubic16_plain(void* dest, const uint8_t* src, uint32_t acc, int32_t dstep, size_t count,
                   const int16_t* rows);
void cubic32_plain(void* dest, const uint8_t* src, uint32_t acc, int32_t dstep, size_t count,
                   const int16_t* rows);
void sinc16_plain(void* dest, const uint8_t* src, uint32_t acc, int32_t dstep, size_t count,
                  const int16_t* rows);
void sinc32_plain(void* dest, const uint8_t* src, uint32_t acc, int32_t dstep, size_t count,
                  const int16_t* rows);

#if defined(__x86_64__) || defined(__i386__)
// Their SSE2 and AVX2 twins (kernels_resample_x86.cpp).
void slice16_sse2(void* dest, const uint8_t* src, uint32_t acc, int32_t dstep, size_t count);
void slice32_sse2(void* dest, const uint8_t* src, uint32_t acc, int32_t dstep, size_t count);
void cubic16_sse2(void* dest, const uint8_t* src, uint32_t acc, int32_t dstep, size_t count,
                  const int16_t* rows);
void cubic32_sse2(void* dest, const uint8_t* src, uint32_t acc, int32_t dstep, size_t count,
                  const int16_t* rows);
void sinc16_sse2(void* dest, const uint8_t* src, uint32_t acc, int32_t dstep, size_t count,
                 const int16_t* rows);
void sinc32_sse2(void* dest, const uint8_t* src, uint32_t acc, int32_t dstep, size_t count,
                 const int16_t* rows);
void slice16_avx2(void* dest, const uint8_t* src, uint32_t acc, int32_t dstep, size_t count);
void slice32_avx2(void* dest, const uint8_t* src, uint32_t acc, int32_t dstep, size_t count);
void cubic16_avx2(void* dest, const uint8_t* src, uint32_t acc, int32_t dstep, size_t count,
                  const int16_t* rows);
void cubic32_avx2(void* dest, const uint8_t* src, uint32_t acc, int32_t dstep, size_t count,
                  const int16_t* rows);
void sinc16_avx2(void* dest, const uint8_t* src, uint32_t acc, int32_t dstep, size_t count,
                 const int16_t* rows);
void sinc32_avx2(void* dest, const uint8_t* src, uint32_t acc, int32_t dstep, size_t count,
                 const int16_t* rows);
#endif

// The carried phase of a sound: the fraction of its position (low 16 bits)
// and whether it has passed a loop seam since it was started (kPhaseWrapped),
// which tells the taps behind a position to read the loop's other end.
constexpr uint32_t kPhaseWrapped = 1u << 16;

// Plays bytes of a region at a speed other than 1 into dest (null: moves
// only) with a family, as the slice routines do (kernels.h): positions,
// loops and zeros after the end are the nearest family's. phase carries the
// fraction from call to call under every family (null: it starts at 0, as
// in the exported slice routines), so a sound keeps its pitch whatever the
// block size. Taps outside the region read
// the loop's other end where playing goes on past it (more loops ahead, or a
// seam passed behind); before the first wrap, taps below the start read the
// wave down to its first byte `begin`, so the part of a wave before its loop
// plays under every family; any other tap is silence. unit is 2 (mono) or 4
// (stereo); needs bytes a positive multiple of unit and speed != 0.
void play_resampled(uint8_t* dest, uint8_t* begin, uint8_t* start, uint8_t** position, uint8_t* end,
                    int32_t* loops, float speed, int32_t bytes, uint32_t* phase, int family, int unit);
