// SPDX-License-Identifier: GPL-3.0-or-later
// Fast twins of the block kernels for x86 processors: SSE2 (16 bytes at a
// time) and AVX2 (32 bytes at a time), bit-identical to the plain ones in
// kernels.cpp.
#include <cstring>

#include "engine/kernel_table.h"
#include "engine/kernels_resample.h"

#if defined(__x86_64__) || defined(__i386__)
#include "engine/kernels_x86.h"

// Scalar tails share the plain arithmetic.
static inline int16_t load16(const uint8_t* p) {
  int16_t v;
  std::memcpy(&v, p, 2);
  return v;
}
static inline void store16(uint8_t* p, int16_t v) { std::memcpy(p, &v, 2); }

static inline int16_t mix_one(int16_t a, int16_t b) {
  int32_t sum = (int32_t)a + b;
  return (int16_t)(sum > 32767 ? 32767 : sum < -32768 ? -32768 : sum);
}

static inline int16_t scale_one(int16_t s, int32_t factor) {
  const int64_t product = (int64_t)s * factor;
  if (product > INT32_MAX) return 32767;
  if (product < INT32_MIN) return -32768;
  return (int16_t)((int32_t)product >> 16);
}

static inline int ranges_overlap(const void* a, const void* b, size_t bytes) {
  const uintptr_t x = (uintptr_t)a, y = (uintptr_t)b;
  return x < y + bytes && y < x + bytes;
}

// How the vector scale stays exact: with F = high x 65536 + low (low in
// 0..65535), s x F >> 16 = s x high + floor(s x low / 65536). The second term
// is the signed high half of s times unsigned low (the unsigned high half,
// minus low where s < 0). The sum fits in 32 bits, and saturating it to 16
// bits gives exactly the plain rule (limit of the sign when s x F overflows).
// Per-lane factors let PAN16 scale one channel and pass the other (F = 1.0).

// ---- SSE2 ----

QD_SSE2 static void zero_sse2(void* block, size_t bytes) {
  uint8_t* d = (uint8_t*)block;
  const __m128i z = _mm_setzero_si128();
  size_t i = 0;
  for (; i + 16 <= bytes; i += 16) _mm_storeu_si128((__m128i*)(d + i), z);
  for (; i < bytes; i++) d[i] = 0;
}

QD_SSE2 static void copy_sse2(void* dest, const void* src, size_t bytes) {
  if (ranges_overlap(dest, src, bytes)) {
    std::memmove(dest, src, bytes);
    return;
  }
  uint8_t* d = (uint8_t*)dest;
  const uint8_t* s = (const uint8_t*)src;
  size_t i = 0;
  for (; i + 64 <= bytes; i += 64) {
    __m128i x0 = _mm_loadu_si128((const __m128i*)(s + i));
    __m128i x1 = _mm_loadu_si128((const __m128i*)(s + i + 16));
    __m128i x2 = _mm_loadu_si128((const __m128i*)(s + i + 32));
    __m128i x3 = _mm_loadu_si128((const __m128i*)(s + i + 48));
    _mm_storeu_si128((__m128i*)(d + i), x0);
    _mm_storeu_si128((__m128i*)(d + i + 16), x1);
    _mm_storeu_si128((__m128i*)(d + i + 32), x2);
    _mm_storeu_si128((__m128i*)(d + i + 48), x3);
  }
  for (; i + 16 <= bytes; i += 16)
    _mm_storeu_si128((__m128i*)(d + i), _mm_loadu_si128((const __m128i*)(s + i)));
  for (; i < bytes; i++) d[i] = s[i];
}

QD_SSE2 static void mix16_sse2(void* dest, const void* a, const void* b, size_t count) {
  uint8_t* d = (uint8_t*)dest;
  const uint8_t* pa = (const uint8_t*)a;
  const uint8_t* pb = (const uint8_t*)b;
  size_t i = 0;
  for (; i + 16 <= count; i += 16) {
    __m128i a0 = _mm_loadu_si128((const __m128i*)(pa + 2 * i));
    __m128i a1 = _mm_loadu_si128((const __m128i*)(pa + 2 * i + 16));
    __m128i b0 = _mm_loadu_si128((const __m128i*)(pb + 2 * i));
    __m128i b1 = _mm_loadu_si128((const __m128i*)(pb + 2 * i + 16));
    _mm_storeu_si128((__m128i*)(d + 2 * i), _mm_adds_epi16(a0, b0));
    _mm_storeu_si128((__m128i*)(d + 2 * i + 16), _mm_adds_epi16(a1, b1));
  }
  for (; i + 8 <= count; i += 8) {
    __m128i x = _mm_loadu_si128((const __m128i*)(pa + 2 * i));
    __m128i y = _mm_loadu_si128((const __m128i*)(pb + 2 * i));
    _mm_storeu_si128((__m128i*)(d + 2 * i), _mm_adds_epi16(x, y));
  }
  for (; i < count; i++) store16(d + 2 * i, mix_one(load16(pa + 2 * i), load16(pb + 2 * i)));
}

// Eight samples times per-lane 16.16 factors given as high and low halves.
QD_SSE2 static inline __m128i scale8_sse2(__m128i s, __m128i high, __m128i low) {
  const __m128i negative = _mm_srai_epi16(s, 15);
  const __m128i frac = _mm_sub_epi16(_mm_mulhi_epu16(s, low), _mm_and_si128(negative, low));
  const __m128i lo = _mm_mullo_epi16(s, high);
  const __m128i hi = _mm_mulhi_epi16(s, high);
  const __m128i whole0 = _mm_unpacklo_epi16(lo, hi);
  const __m128i whole1 = _mm_unpackhi_epi16(lo, hi);
  const __m128i frac0 = _mm_srai_epi32(_mm_unpacklo_epi16(frac, frac), 16);
  const __m128i frac1 = _mm_srai_epi32(_mm_unpackhi_epi16(frac, frac), 16);
  return _mm_packs_epi32(_mm_add_epi32(whole0, frac0), _mm_add_epi32(whole1, frac1));
}

// Scales count samples with the factor pair (f_even, f_odd) for even and odd
// sample indices; the vector loop keeps the pairing because it steps by 8.
QD_SSE2 static void scale_pairs_sse2(uint8_t* d, const uint8_t* s, int32_t f_even, int32_t f_odd,
                                     size_t count) {
  const __m128i high = _mm_set_epi16(
      (short)(f_odd >> 16), (short)(f_even >> 16), (short)(f_odd >> 16), (short)(f_even >> 16),
      (short)(f_odd >> 16), (short)(f_even >> 16), (short)(f_odd >> 16), (short)(f_even >> 16));
  const __m128i low =
      _mm_set_epi16((short)(f_odd & 0xFFFF), (short)(f_even & 0xFFFF), (short)(f_odd & 0xFFFF),
                    (short)(f_even & 0xFFFF), (short)(f_odd & 0xFFFF), (short)(f_even & 0xFFFF),
                    (short)(f_odd & 0xFFFF), (short)(f_even & 0xFFFF));
  size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    __m128i x = _mm_loadu_si128((const __m128i*)(s + 2 * i));
    _mm_storeu_si128((__m128i*)(d + 2 * i), scale8_sse2(x, high, low));
  }
  for (; i < count; i++) store16(d + 2 * i, scale_one(load16(s + 2 * i), (i & 1) ? f_odd : f_even));
}

QD_SSE2 static void scale16_sse2(void* dest, const void* src, int32_t factor, size_t count) {
  scale_pairs_sse2((uint8_t*)dest, (const uint8_t*)src, factor, factor, count);
}

QD_SSE2 static void pan16_sse2(void* dest, const void* src, int32_t factor, int first,
                               size_t count) {
  const int32_t unit = 65536;  // 1.0: the sample passes unchanged
  scale_pairs_sse2((uint8_t*)dest, (const uint8_t*)src, first == 0 ? factor : unit,
                   first == 0 ? unit : factor, count);
}

// Fades. The weight accumulator of a frame, (left - k) x step + 65535, is
// kept per 32-bit lane and stepped down exactly as the plain loop counts k;
// its high half is the frame's 2.14 weight. Stereo: one frame per 32-bit
// lane, both samples of the frame take its weight. Mono: two accumulator
// vectors give eight frames. The frames after the last whole vector go to the
// plain twin. Vectors run only over at least one whole vector of frames, so
// left is at least that many frames and no accumulator or step overflows.
static inline int32_t fade_accumulator(int32_t left, int32_t step, size_t k) {
  return (left - (int32_t)k) * step + 65535;
}

// Weights of eight samples from frame k on, as 16-bit lanes; advances the
// accumulators past them.
QD_SSE2 static inline __m128i fade_weights8_sse2(__m128i* a0, __m128i* a1, __m128i by,
                                                 int channels) {
  __m128i w;
  if (channels == 2) {
    const __m128i w32 = _mm_srli_epi32(*a0, 16);
    w = _mm_or_si128(w32, _mm_slli_epi32(w32, 16));
    *a0 = _mm_sub_epi32(*a0, by);
  } else {
    w = _mm_packs_epi32(_mm_srli_epi32(*a0, 16), _mm_srli_epi32(*a1, 16));
    *a0 = _mm_sub_epi32(*a0, by);
    *a1 = _mm_sub_epi32(*a1, by);
  }
  return w;
}

// Accumulators of the first vector of frames and their step per vector.
QD_SSE2 static inline void fade_start_sse2(int32_t left, int32_t step, int channels, __m128i* a0,
                                           __m128i* a1, __m128i* by) {
  *a0 = _mm_set_epi32(fade_accumulator(left, step, 3), fade_accumulator(left, step, 2),
                      fade_accumulator(left, step, 1), fade_accumulator(left, step, 0));
  *a1 = _mm_set_epi32(fade_accumulator(left, step, 7), fade_accumulator(left, step, 6),
                      fade_accumulator(left, step, 5), fade_accumulator(left, step, 4));
  *by = _mm_set1_epi32(step * (8 / channels));
}

QD_SSE2 static void fade16_sse2(void* block, int32_t left, int32_t step, int channels,
                                size_t frames) {
  uint8_t* d = (uint8_t*)block;
  size_t k = 0;
  if ((channels == 1 || channels == 2) && frames >= 8 / (size_t)channels) {
    __m128i a0, a1, by;
    fade_start_sse2(left, step, channels, &a0, &a1, &by);
    const size_t per = 8 / (size_t)channels;
    for (; k + per <= frames; k += per, d += 16) {
      const __m128i w = fade_weights8_sse2(&a0, &a1, by, channels);
      const __m128i s = _mm_loadu_si128((const __m128i*)d);
      const __m128i lo = _mm_mullo_epi16(s, w);
      const __m128i hi = _mm_mulhi_epi16(s, w);
      const __m128i p0 = _mm_srai_epi32(_mm_unpacklo_epi16(lo, hi), 14);
      const __m128i p1 = _mm_srai_epi32(_mm_unpackhi_epi16(lo, hi), 14);
      _mm_storeu_si128((__m128i*)d, _mm_packs_epi32(p0, p1));
    }
  }
  if (k < frames) kKernelTablePlain.fade16(d, left - (int32_t)k, step, channels, frames - k);
}

QD_SSE2 static void xfade16_sse2(void* dest, const void* falling, int32_t left, int32_t step,
                                 int channels, size_t frames) {
  uint8_t* d = (uint8_t*)dest;
  const uint8_t* f = (const uint8_t*)falling;
  size_t k = 0;
  if ((channels == 1 || channels == 2) && frames >= 8 / (size_t)channels) {
    __m128i a0, a1, by;
    fade_start_sse2(left, step, channels, &a0, &a1, &by);
    const __m128i unit = _mm_set1_epi16(kFadeUnit);
    const size_t per = 8 / (size_t)channels;
    for (; k + per <= frames; k += per, d += 16, f += 16) {
      const __m128i w = fade_weights8_sse2(&a0, &a1, by, channels);
      const __m128i rise = _mm_sub_epi16(unit, w);
      const __m128i x = _mm_loadu_si128((const __m128i*)d);
      const __m128i y = _mm_loadu_si128((const __m128i*)f);
      // Each 32-bit lane: dest x (unit - w) + falling x w, exact in 32 bits.
      const __m128i p0 = _mm_madd_epi16(_mm_unpacklo_epi16(x, y), _mm_unpacklo_epi16(rise, w));
      const __m128i p1 = _mm_madd_epi16(_mm_unpackhi_epi16(x, y), _mm_unpackhi_epi16(rise, w));
      _mm_storeu_si128((__m128i*)d,
                       _mm_packs_epi32(_mm_srai_epi32(p0, 14), _mm_srai_epi32(p1, 14)));
    }
  }
  if (k < frames)
    kKernelTablePlain.xfade16(d, f, left - (int32_t)k, step, channels, frames - k);
}

// The WAV conversion runs the plain arithmetic lane by lane: int to double,
// times the scale, rounded to float and back, times the gain, then rounded
// to the nearest integer by the same MXCSR rule as the plain loop.
QD_SSE2 static inline __m128d wav2_sse2(__m128i x32, __m128d scale, __m128d gain) {
  const __m128d v = _mm_cvtps_pd(_mm_cvtpd_ps(_mm_mul_pd(_mm_cvtepi32_pd(x32), scale)));
  return _mm_mul_pd(v, gain);
}

// Four 32-bit samples to four 32-bit results.
QD_SSE2 static inline __m128i wav4_sse2(__m128i x32, __m128d scale, __m128d gain) {
  const __m128i lo = _mm_cvtpd_epi32(wav2_sse2(x32, scale, gain));
  const __m128i hi = _mm_cvtpd_epi32(wav2_sse2(_mm_srli_si128(x32, 8), scale, gain));
  return _mm_unpacklo_epi64(lo, hi);
}

QD_SSE2 static void wav16_sse2(void* dest, const void* src, double gain, size_t count) {
  uint8_t* d = (uint8_t*)dest;
  const uint8_t* s = (const uint8_t*)src;
  const __m128d scale = _mm_set1_pd(kWavScale16), g = _mm_set1_pd(gain);
  size_t i = 0;
  // Each vector is loaded whole before it is stored: in place stays exact.
  for (; i + 8 <= count; i += 8) {
    const __m128i x = _mm_loadu_si128((const __m128i*)(s + 2 * i));
    const __m128i x0 = _mm_srai_epi32(_mm_unpacklo_epi16(x, x), 16);
    const __m128i x1 = _mm_srai_epi32(_mm_unpackhi_epi16(x, x), 16);
    _mm_storeu_si128((__m128i*)(d + 2 * i),
                     _mm_packs_epi32(wav4_sse2(x0, scale, g), wav4_sse2(x1, scale, g)));
  }
  if (i < count) kKernelTablePlain.wav16(d + 2 * i, s + 2 * i, gain, count - i);
}

static const KernelTable kKernelTableSse2 = {"sse2",       zero_sse2,    copy_sse2,    mix16_sse2,
                                             scale16_sse2, pan16_sse2,   fade16_sse2,  xfade16_sse2,
                                             wav16_sse2,   slice16_sse2, slice32_sse2, cubic16_sse2,
                                             cubic32_sse2, sinc16_sse2,  sinc32_sse2};

// ---- AVX2 ----

QD_AVX2 static void zero_avx2(void* block, size_t bytes) {
  uint8_t* d = (uint8_t*)block;
  const __m256i z = _mm256_setzero_si256();
  size_t i = 0;
  for (; i + 32 <= bytes; i += 32) _mm256_storeu_si256((__m256i*)(d + i), z);
  for (; i < bytes; i++) d[i] = 0;
}

QD_AVX2 static void copy_avx2(void* dest, const void* src, size_t bytes) {
  if (ranges_overlap(dest, src, bytes)) {
    std::memmove(dest, src, bytes);
    return;
  }
  uint8_t* d = (uint8_t*)dest;
  const uint8_t* s = (const uint8_t*)src;
  size_t i = 0;
  for (; i + 128 <= bytes; i += 128) {
    __m256i x0 = _mm256_loadu_si256((const __m256i*)(s + i));
    __m256i x1 = _mm256_loadu_si256((const __m256i*)(s + i + 32));
    __m256i x2 = _mm256_loadu_si256((const __m256i*)(s + i + 64));
    __m256i x3 = _mm256_loadu_si256((const __m256i*)(s + i + 96));
    _mm256_storeu_si256((__m256i*)(d + i), x0);
    _mm256_storeu_si256((__m256i*)(d + i + 32), x1);
    _mm256_storeu_si256((__m256i*)(d + i + 64), x2);
    _mm256_storeu_si256((__m256i*)(d + i + 96), x3);
  }
  for (; i + 32 <= bytes; i += 32)
    _mm256_storeu_si256((__m256i*)(d + i), _mm256_loadu_si256((const __m256i*)(s + i)));
  for (; i < bytes; i++) d[i] = s[i];
}

QD_AVX2 static void mix16_avx2(void* dest, const void* a, const void* b, size_t count) {
  uint8_t* d = (uint8_t*)dest;
  const uint8_t* pa = (const uint8_t*)a;
  const uint8_t* pb = (const uint8_t*)b;
  size_t i = 0;
  for (; i + 32 <= count; i += 32) {
    __m256i a0 = _mm256_loadu_si256((const __m256i*)(pa + 2 * i));
    __m256i a1 = _mm256_loadu_si256((const __m256i*)(pa + 2 * i + 32));
    __m256i b0 = _mm256_loadu_si256((const __m256i*)(pb + 2 * i));
    __m256i b1 = _mm256_loadu_si256((const __m256i*)(pb + 2 * i + 32));
    _mm256_storeu_si256((__m256i*)(d + 2 * i), _mm256_adds_epi16(a0, b0));
    _mm256_storeu_si256((__m256i*)(d + 2 * i + 32), _mm256_adds_epi16(a1, b1));
  }
  for (; i + 16 <= count; i += 16) {
    __m256i x = _mm256_loadu_si256((const __m256i*)(pa + 2 * i));
    __m256i y = _mm256_loadu_si256((const __m256i*)(pb + 2 * i));
    _mm256_storeu_si256((__m256i*)(d + 2 * i), _mm256_adds_epi16(x, y));
  }
  for (; i < count; i++) store16(d + 2 * i, mix_one(load16(pa + 2 * i), load16(pb + 2 * i)));
}

// As scale8_sse2 on 16 samples; unpack and pack both work within 128-bit
// lanes, so the sample order comes back unchanged.
QD_AVX2 static inline __m256i scale16x_avx2(__m256i s, __m256i high, __m256i low) {
  const __m256i negative = _mm256_srai_epi16(s, 15);
  const __m256i frac =
      _mm256_sub_epi16(_mm256_mulhi_epu16(s, low), _mm256_and_si256(negative, low));
  const __m256i lo = _mm256_mullo_epi16(s, high);
  const __m256i hi = _mm256_mulhi_epi16(s, high);
  const __m256i whole0 = _mm256_unpacklo_epi16(lo, hi);
  const __m256i whole1 = _mm256_unpackhi_epi16(lo, hi);
  const __m256i frac0 = _mm256_srai_epi32(_mm256_unpacklo_epi16(frac, frac), 16);
  const __m256i frac1 = _mm256_srai_epi32(_mm256_unpackhi_epi16(frac, frac), 16);
  return _mm256_packs_epi32(_mm256_add_epi32(whole0, frac0), _mm256_add_epi32(whole1, frac1));
}

QD_AVX2 static void scale_pairs_avx2(uint8_t* d, const uint8_t* s, int32_t f_even, int32_t f_odd,
                                     size_t count) {
  // Each 32-bit lane holds one (even, odd) pair: the low 16 bits go first.
  const uint32_t high_pair = ((uint32_t)(uint16_t)(f_odd >> 16) << 16) | (uint16_t)(f_even >> 16);
  const uint32_t low_pair =
      ((uint32_t)(uint16_t)(f_odd & 0xFFFF) << 16) | (uint16_t)(f_even & 0xFFFF);
  const __m256i high = _mm256_set1_epi32((int)high_pair);
  const __m256i low = _mm256_set1_epi32((int)low_pair);
  size_t i = 0;
  for (; i + 16 <= count; i += 16) {
    __m256i x = _mm256_loadu_si256((const __m256i*)(s + 2 * i));
    _mm256_storeu_si256((__m256i*)(d + 2 * i), scale16x_avx2(x, high, low));
  }
  for (; i < count; i++) store16(d + 2 * i, scale_one(load16(s + 2 * i), (i & 1) ? f_odd : f_even));
}

QD_AVX2 static void scale16_avx2(void* dest, const void* src, int32_t factor, size_t count) {
  scale_pairs_avx2((uint8_t*)dest, (const uint8_t*)src, factor, factor, count);
}

QD_AVX2 static void pan16_avx2(void* dest, const void* src, int32_t factor, int first,
                               size_t count) {
  const int32_t unit = 65536;
  scale_pairs_avx2((uint8_t*)dest, (const uint8_t*)src, first == 0 ? factor : unit,
                   first == 0 ? unit : factor, count);
}

// Fades on sixteen samples at a time. Stereo: eight frames, one per 32-bit
// lane in order. Mono: packing works within 128-bit lanes, so the first
// accumulator vector holds frames 0-3 and 8-11 and the second 4-7 and 12-15;
// packed, the weights come out in frame order.
QD_AVX2 static inline __m256i fade_weights16_avx2(__m256i* a0, __m256i* a1, __m256i by,
                                                  int channels) {
  __m256i w;
  if (channels == 2) {
    const __m256i w32 = _mm256_srli_epi32(*a0, 16);
    w = _mm256_or_si256(w32, _mm256_slli_epi32(w32, 16));
    *a0 = _mm256_sub_epi32(*a0, by);
  } else {
    w = _mm256_packs_epi32(_mm256_srli_epi32(*a0, 16), _mm256_srli_epi32(*a1, 16));
    *a0 = _mm256_sub_epi32(*a0, by);
    *a1 = _mm256_sub_epi32(*a1, by);
  }
  return w;
}

QD_AVX2 static inline void fade_start_avx2(int32_t left, int32_t step, int channels, __m256i* a0,
                                           __m256i* a1, __m256i* by) {
  static const int first[2][8] = {{0, 1, 2, 3, 8, 9, 10, 11}, {4, 5, 6, 7, 12, 13, 14, 15}};
  int32_t v0[8], v1[8];
  for (int i = 0; i < 8; i++) {
    v0[i] = fade_accumulator(left, step, channels == 2 ? (size_t)i : (size_t)first[0][i]);
    v1[i] = fade_accumulator(left, step, (size_t)first[1][i]);
  }
  *a0 = _mm256_loadu_si256((const __m256i*)v0);
  *a1 = _mm256_loadu_si256((const __m256i*)v1);
  *by = _mm256_set1_epi32(step * (16 / channels));
}

QD_AVX2 static void fade16_avx2(void* block, int32_t left, int32_t step, int channels,
                                size_t frames) {
  uint8_t* d = (uint8_t*)block;
  size_t k = 0;
  if ((channels == 1 || channels == 2) && frames >= 16 / (size_t)channels) {
    __m256i a0, a1, by;
    fade_start_avx2(left, step, channels, &a0, &a1, &by);
    const size_t per = 16 / (size_t)channels;
    for (; k + per <= frames; k += per, d += 32) {
      const __m256i w = fade_weights16_avx2(&a0, &a1, by, channels);
      const __m256i s = _mm256_loadu_si256((const __m256i*)d);
      const __m256i lo = _mm256_mullo_epi16(s, w);
      const __m256i hi = _mm256_mulhi_epi16(s, w);
      const __m256i p0 = _mm256_srai_epi32(_mm256_unpacklo_epi16(lo, hi), 14);
      const __m256i p1 = _mm256_srai_epi32(_mm256_unpackhi_epi16(lo, hi), 14);
      _mm256_storeu_si256((__m256i*)d, _mm256_packs_epi32(p0, p1));
    }
  }
  if (k < frames) kKernelTablePlain.fade16(d, left - (int32_t)k, step, channels, frames - k);
}

QD_AVX2 static void xfade16_avx2(void* dest, const void* falling, int32_t left, int32_t step,
                                 int channels, size_t frames) {
  uint8_t* d = (uint8_t*)dest;
  const uint8_t* f = (const uint8_t*)falling;
  size_t k = 0;
  if ((channels == 1 || channels == 2) && frames >= 16 / (size_t)channels) {
    __m256i a0, a1, by;
    fade_start_avx2(left, step, channels, &a0, &a1, &by);
    const __m256i unit = _mm256_set1_epi16(kFadeUnit);
    const size_t per = 16 / (size_t)channels;
    for (; k + per <= frames; k += per, d += 32, f += 32) {
      const __m256i w = fade_weights16_avx2(&a0, &a1, by, channels);
      const __m256i rise = _mm256_sub_epi16(unit, w);
      const __m256i x = _mm256_loadu_si256((const __m256i*)d);
      const __m256i y = _mm256_loadu_si256((const __m256i*)f);
      const __m256i p0 =
          _mm256_madd_epi16(_mm256_unpacklo_epi16(x, y), _mm256_unpacklo_epi16(rise, w));
      const __m256i p1 =
          _mm256_madd_epi16(_mm256_unpackhi_epi16(x, y), _mm256_unpackhi_epi16(rise, w));
      _mm256_storeu_si256((__m256i*)d,
                          _mm256_packs_epi32(_mm256_srai_epi32(p0, 14), _mm256_srai_epi32(p1, 14)));
    }
  }
  if (k < frames)
    kKernelTablePlain.xfade16(d, f, left - (int32_t)k, step, channels, frames - k);
}

QD_AVX2 static inline __m128i wav4_avx2(__m128i x32, __m256d scale, __m256d gain) {
  const __m256d v = _mm256_cvtps_pd(_mm256_cvtpd_ps(_mm256_mul_pd(_mm256_cvtepi32_pd(x32), scale)));
  return _mm256_cvtpd_epi32(_mm256_mul_pd(v, gain));
}

QD_AVX2 static void wav16_avx2(void* dest, const void* src, double gain, size_t count) {
  uint8_t* d = (uint8_t*)dest;
  const uint8_t* s = (const uint8_t*)src;
  const __m256d scale = _mm256_set1_pd(kWavScale16), g = _mm256_set1_pd(gain);
  size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    const __m256i x = _mm256_cvtepi16_epi32(_mm_loadu_si128((const __m128i*)(s + 2 * i)));
    const __m128i r0 = wav4_avx2(_mm256_castsi256_si128(x), scale, g);
    const __m128i r1 = wav4_avx2(_mm256_extracti128_si256(x, 1), scale, g);
    _mm_storeu_si128((__m128i*)(d + 2 * i), _mm_packs_epi32(r0, r1));
  }
  if (i < count) kKernelTablePlain.wav16(d + 2 * i, s + 2 * i, gain, count - i);
}

static const KernelTable kKernelTableAvx2 = {"avx2",       zero_avx2,    copy_avx2,    mix16_avx2,
                                             scale16_avx2, pan16_avx2,   fade16_avx2,  xfade16_avx2,
                                             wav16_avx2,   slice16_avx2, slice32_avx2, cubic16_avx2,
                                             cubic32_avx2, sinc16_avx2,  sinc32_avx2};

const KernelTable* kernels_table_sse2(void) { return &kKernelTableSse2; }
const KernelTable* kernels_table_avx2(void) { return &kKernelTableAvx2; }

#else  // not x86: only the plain set

const KernelTable* kernels_table_sse2(void) { return nullptr; }
const KernelTable* kernels_table_avx2(void) { return nullptr; }

#endif
