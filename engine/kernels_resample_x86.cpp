// SPDX-License-Identifier: GPL-3.0-or-later
// Fast twins of the resampling run kernels for x86 processors, bit-identical
// to the plain ones in kernels_resample.cpp: SSE2 and AVX2 (which brings
// gathers for the nearest family). Stereo taps are paired per channel before
// the multiply-adds: a frame's samples [L0 R0 L1 R1] become [L0 L1 R0 R1], so
// one 32-bit lane sums L0 c0 + L1 c1 and the next R0 c0 + R1 c1.
#include <cstring>

#include "engine/kernels_resample.h"

#if defined(__x86_64__) || defined(__i386__)
#include "engine/kernels_x86.h"

static inline int load16(const uint8_t* p) {
  int16_t v;
  std::memcpy(&v, p, 2);
  return v;
}
static inline int load32(const uint8_t* p) {
  int32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
static inline long long load64(const uint8_t* p) {
  long long v;
  std::memcpy(&v, p, 8);
  return v;
}

// ---- SSE2 ----

QD_SSE2 static inline __m128i round_q15_sse2(__m128i sums) {
  return _mm_srai_epi32(_mm_add_epi32(sums, _mm_set1_epi32(1 << (kCoefShift - 1))), kCoefShift);
}

QD_SSE2 static inline __m128i pairs_sse2(__m128i x) {
  x = _mm_shufflelo_epi16(x, _MM_SHUFFLE(3, 1, 2, 0));
  return _mm_shufflehi_epi16(x, _MM_SHUFFLE(3, 1, 2, 0));
}

// Stereo: [La Ra La' Ra'] and [Lb Rb Lb' Rb'] to the two rounded frames.
QD_SSE2 static inline __m128i two_frames_sse2(__m128i a, __m128i b) {
  const __m128i s = _mm_add_epi32(_mm_unpacklo_epi64(a, b), _mm_unpackhi_epi64(a, b));
  const __m128i r = round_q15_sse2(s);
  return _mm_packs_epi32(r, r);
}

// Mono: four partial sums of output a and of output b to the two rounded samples.
QD_SSE2 static inline __m128i two_samples_sse2(__m128i a, __m128i b) {
  __m128i s = _mm_add_epi32(_mm_unpacklo_epi32(a, b), _mm_unpackhi_epi32(a, b));
  s = _mm_add_epi32(s, _mm_shuffle_epi32(s, _MM_SHUFFLE(1, 0, 3, 2)));
  const __m128i r = round_q15_sse2(s);
  return _mm_packs_epi32(r, r);
}

// Eight samples in two independent halves, so the inserts overlap.
QD_SSE2 void slice16_sse2(void* dest, const uint8_t* src, uint32_t acc, int32_t dstep,
                          size_t count) {
  uint8_t* d = (uint8_t*)dest;
  const uint32_t st = (uint32_t)dstep;
  size_t i = 0;
  for (; i + 8 <= count; i += 8, acc += 8 * st) {
    const uint32_t h = acc + 4 * st;
    __m128i lo = _mm_cvtsi32_si128(load16(src + 2 * (acc >> 16)));
    __m128i hi = _mm_cvtsi32_si128(load16(src + 2 * (h >> 16)));
    lo = _mm_insert_epi16(lo, load16(src + 2 * ((acc + st) >> 16)), 1);
    hi = _mm_insert_epi16(hi, load16(src + 2 * ((h + st) >> 16)), 1);
    lo = _mm_insert_epi16(lo, load16(src + 2 * ((acc + 2 * st) >> 16)), 2);
    hi = _mm_insert_epi16(hi, load16(src + 2 * ((h + 2 * st) >> 16)), 2);
    lo = _mm_insert_epi16(lo, load16(src + 2 * ((acc + 3 * st) >> 16)), 3);
    hi = _mm_insert_epi16(hi, load16(src + 2 * ((h + 3 * st) >> 16)), 3);
    _mm_storeu_si128((__m128i*)(d + 2 * i), _mm_unpacklo_epi64(lo, hi));
  }
  if (i < count) slice16_plain(d + 2 * i, src, acc, dstep, count - i);
}

QD_SSE2 void slice32_sse2(void* dest, const uint8_t* src, uint32_t acc, int32_t dstep,
                          size_t count) {
  uint8_t* d = (uint8_t*)dest;
  const uint32_t st = (uint32_t)dstep;
  size_t i = 0;
  for (; i + 4 <= count; i += 4, acc += 4 * st) {
    const __m128i f0 = _mm_cvtsi32_si128(load32(src + 4 * (acc >> 16)));
    const __m128i f1 = _mm_cvtsi32_si128(load32(src + 4 * ((acc + st) >> 16)));
    const __m128i f2 = _mm_cvtsi32_si128(load32(src + 4 * ((acc + 2 * st) >> 16)));
    const __m128i f3 = _mm_cvtsi32_si128(load32(src + 4 * ((acc + 3 * st) >> 16)));
    _mm_storeu_si128((__m128i*)(d + 4 * i),
                     _mm_unpacklo_epi64(_mm_unpacklo_epi32(f0, f1), _mm_unpacklo_epi32(f2, f3)));
  }
  if (i < count) slice32_plain(d + 4 * i, src, acc, dstep, count - i);
}

QD_SSE2 static inline __m128i cubic16_sums_sse2(const uint8_t* src, const int16_t* rows,
                                                uint32_t acc) {
  return _mm_madd_epi16(_mm_loadl_epi64((const __m128i*)(src + 2 * (acc >> 16))),
                        _mm_loadl_epi64((const __m128i*)cubic_row(rows, acc)));
}

QD_SSE2 void cubic16_sse2(void* dest, const uint8_t* src, uint32_t acc, int32_t dstep, size_t count,
                          const int16_t* rows) {
  uint8_t* d = (uint8_t*)dest;
  const uint32_t st = (uint32_t)dstep;
  size_t i = 0;
  for (; i + 2 <= count; i += 2, acc += 2 * st) {
    const __m128i a = cubic16_sums_sse2(src, rows, acc);
    const __m128i b = cubic16_sums_sse2(src, rows, acc + st);
    const int v = _mm_cvtsi128_si32(two_samples_sse2(a, b));
    std::memcpy(d + 2 * i, &v, 4);
  }
  if (i < count) cubic16_plain(d + 2 * i, src, acc, dstep, count - i, rows);
}

QD_SSE2 static inline __m128i cubic32_sums_sse2(const uint8_t* src, const int16_t* rows,
                                                uint32_t acc) {
  const __m128i c = _mm_loadl_epi64((const __m128i*)cubic_row(rows, acc));
  const __m128i x = _mm_loadu_si128((const __m128i*)(src + 4 * (acc >> 16)));
  return _mm_madd_epi16(pairs_sse2(x), _mm_unpacklo_epi32(c, c));
}

QD_SSE2 void cubic32_sse2(void* dest, const uint8_t* src, uint32_t acc, int32_t dstep, size_t count,
                          const int16_t* rows) {
  uint8_t* d = (uint8_t*)dest;
  const uint32_t st = (uint32_t)dstep;
  size_t i = 0;
  for (; i + 2 <= count; i += 2, acc += 2 * st) {
    const __m128i a = cubic32_sums_sse2(src, rows, acc);
    const __m128i b = cubic32_sums_sse2(src, rows, acc + st);
    _mm_storel_epi64((__m128i*)(d + 4 * i), two_frames_sse2(a, b));
  }
  if (i < count) cubic32_plain(d + 4 * i, src, acc, dstep, count - i, rows);
}

// The 16 coefficients of a fraction between two rows (kernels_resample.cpp):
// c0 holds taps 0-3 and 8-11, c1 taps 4-7 and 12-15.
QD_SSE2 static inline void sinc_coefs_sse2(const int16_t* rows, uint32_t acc, __m128i* c0,
                                           __m128i* c1) {
  const int16_t* r = sinc_row(rows, acc);
  const __m128i s = _mm_set1_epi16(sinc_sub(acc));
  const __m128i one = _mm_set1_epi16(1);
  const __m128i a0 = _mm_loadu_si128((const __m128i*)r);
  const __m128i a1 = _mm_loadu_si128((const __m128i*)(r + 8));
  const __m128i b0 = _mm_loadu_si128((const __m128i*)(r + kSincTaps));
  const __m128i b1 = _mm_loadu_si128((const __m128i*)(r + kSincTaps + 8));
  const __m128i m0 = _mm_mulhi_epi16(_mm_slli_epi16(_mm_sub_epi16(b0, a0), 2), s);
  const __m128i m1 = _mm_mulhi_epi16(_mm_slli_epi16(_mm_sub_epi16(b1, a1), 2), s);
  *c0 = _mm_add_epi16(a0, _mm_srai_epi16(_mm_add_epi16(m0, one), 1));
  *c1 = _mm_add_epi16(a1, _mm_srai_epi16(_mm_add_epi16(m1, one), 1));
}

QD_SSE2 static inline __m128i sinc16_sums_sse2(const uint8_t* src, const int16_t* rows,
                                               uint32_t acc) {
  __m128i c0, c1;
  sinc_coefs_sse2(rows, acc, &c0, &c1);
  const uint8_t* x = src + 2 * (acc >> 16);
  const __m128i s0 = _mm_loadu_si128((const __m128i*)x);
  const __m128i s1 = _mm_loadu_si128((const __m128i*)(x + 16));
  return _mm_add_epi32(_mm_madd_epi16(_mm_unpacklo_epi64(s0, s1), c0),
                       _mm_madd_epi16(_mm_unpackhi_epi64(s0, s1), c1));
}

QD_SSE2 void sinc16_sse2(void* dest, const uint8_t* src, uint32_t acc, int32_t dstep, size_t count,
                         const int16_t* rows) {
  uint8_t* d = (uint8_t*)dest;
  const uint32_t st = (uint32_t)dstep;
  size_t i = 0;
  for (; i + 2 <= count; i += 2, acc += 2 * st) {
    const __m128i a = sinc16_sums_sse2(src, rows, acc);
    const __m128i b = sinc16_sums_sse2(src, rows, acc + st);
    const int v = _mm_cvtsi128_si32(two_samples_sse2(a, b));
    std::memcpy(d + 2 * i, &v, 4);
  }
  if (i < count) sinc16_plain(d + 2 * i, src, acc, dstep, count - i, rows);
}

QD_SSE2 static inline __m128i sinc32_sums_sse2(const uint8_t* src, const int16_t* rows,
                                               uint32_t acc) {
  __m128i c0, c1;
  sinc_coefs_sse2(rows, acc, &c0, &c1);
  const uint8_t* x = src + 4 * (acc >> 16);
  __m128i s =
      _mm_madd_epi16(pairs_sse2(_mm_loadu_si128((const __m128i*)x)), _mm_unpacklo_epi32(c0, c0));
  s = _mm_add_epi32(s, _mm_madd_epi16(pairs_sse2(_mm_loadu_si128((const __m128i*)(x + 16))),
                                      _mm_unpacklo_epi32(c1, c1)));
  s = _mm_add_epi32(s, _mm_madd_epi16(pairs_sse2(_mm_loadu_si128((const __m128i*)(x + 32))),
                                      _mm_unpackhi_epi32(c0, c0)));
  return _mm_add_epi32(s, _mm_madd_epi16(pairs_sse2(_mm_loadu_si128((const __m128i*)(x + 48))),
                                         _mm_unpackhi_epi32(c1, c1)));
}

QD_SSE2 void sinc32_sse2(void* dest, const uint8_t* src, uint32_t acc, int32_t dstep, size_t count,
                         const int16_t* rows) {
  uint8_t* d = (uint8_t*)dest;
  const uint32_t st = (uint32_t)dstep;
  size_t i = 0;
  for (; i + 2 <= count; i += 2, acc += 2 * st) {
    const __m128i a = sinc32_sums_sse2(src, rows, acc);
    const __m128i b = sinc32_sums_sse2(src, rows, acc + st);
    _mm_storel_epi64((__m128i*)(d + 4 * i), two_frames_sse2(a, b));
  }
  if (i < count) sinc32_plain(d + 4 * i, src, acc, dstep, count - i, rows);
}

// ---- AVX2 ----

// Byte shuffle pairing each 128-bit lane's stereo frames per channel.
#define QD_PAIRS_AVX2                                                                            \
  _mm256_setr_epi8(0, 1, 4, 5, 2, 3, 6, 7, 8, 9, 12, 13, 10, 11, 14, 15, 0, 1, 4, 5, 2, 3, 6, 7, \
                   8, 9, 12, 13, 10, 11, 14, 15)

// acc_0 .. acc_7 of eight outputs.
QD_AVX2 static inline __m256i lanes_avx2(uint32_t acc, uint32_t st) {
  return _mm256_setr_epi32((int)acc, (int)(acc + st), (int)(acc + 2 * st), (int)(acc + 3 * st),
                           (int)(acc + 4 * st), (int)(acc + 5 * st), (int)(acc + 6 * st),
                           (int)(acc + 7 * st));
}

QD_AVX2 void slice16_avx2(void* dest, const uint8_t* src, uint32_t acc, int32_t dstep,
                          size_t count) {
  uint8_t* d = (uint8_t*)dest;
  const uint32_t st = (uint32_t)dstep;
  // A gather reads 32 bits, the sample and the next one: only vectors whose
  // units all lie below the run's highest unit go through it.
  const uint32_t last = (acc + (uint32_t)(count - 1) * st) >> 16;
  const uint32_t top = (acc >> 16) > last ? acc >> 16 : last;
  size_t i = 0;
  if (dstep < 0)
    for (; i < count && (acc >> 16) == top; i++, acc += st)
      std::memcpy(d + 2 * i, src + 2 * top, 2);
  const __m256i by = _mm256_set1_epi32((int)(8 * st));
  const __m256i low_words = _mm256_set1_epi32(0xFFFF);
  __m256i a = lanes_avx2(acc, st);
  for (; i + 8 <= count; i += 8, acc += 8 * st, a = _mm256_add_epi32(a, by)) {
    if (dstep >= 0 && ((acc + 7 * st) >> 16) >= top) break;
    const __m256i g = _mm256_i32gather_epi32((const int*)src, _mm256_srli_epi32(a, 16), 2);
    const __m256i w = _mm256_packus_epi32(_mm256_and_si256(g, low_words), _mm256_setzero_si256());
    // packus works per 128-bit lane: samples 0-3 in the low quarter of lane
    // 0, 4-7 in that of lane 1.
    _mm_storeu_si128((__m128i*)(d + 2 * i),
                     _mm256_castsi256_si128(_mm256_permute4x64_epi64(w, _MM_SHUFFLE(3, 1, 2, 0))));
  }
  if (i < count) slice16_plain(d + 2 * i, src, acc, dstep, count - i);
}

QD_AVX2 void slice32_avx2(void* dest, const uint8_t* src, uint32_t acc, int32_t dstep,
                          size_t count) {
  uint8_t* d = (uint8_t*)dest;
  const uint32_t st = (uint32_t)dstep;
  const __m256i by = _mm256_set1_epi32((int)(8 * st));
  __m256i a = lanes_avx2(acc, st);
  size_t i = 0;
  // Forward at less than two units a step, eight outputs come from the 16
  // units from the first one's: two loads and two in-register permutes
  // instead of a gather, while those 16 units lie within the run's units.
  if (dstep >= 0 && dstep < (2 << 16) && count >= 8) {
    const uint32_t last = (acc + (uint32_t)(count - 1) * st) >> 16;
    const __m256i seven = _mm256_set1_epi32(7);
    for (; i + 8 <= count && (acc >> 16) + 15 <= last; i += 8, acc += 8 * st, a = _mm256_add_epi32(a, by)) {
      const uint32_t first = acc >> 16;
      const __m256i at = _mm256_sub_epi32(_mm256_srli_epi32(a, 16), _mm256_set1_epi32((int)first));
      const __m256i low = _mm256_loadu_si256((const __m256i*)(src + 4 * first));
      const __m256i high = _mm256_loadu_si256((const __m256i*)(src + 4 * first + 32));
      const __m256i from_high = _mm256_cmpgt_epi32(at, seven);
      _mm256_storeu_si256((__m256i*)(d + 4 * i),
                          _mm256_blendv_epi8(_mm256_permutevar8x32_epi32(low, at),
                                             _mm256_permutevar8x32_epi32(high, at), from_high));
    }
  }
  for (; i + 8 <= count; i += 8, acc += 8 * st, a = _mm256_add_epi32(a, by))
    _mm256_storeu_si256((__m256i*)(d + 4 * i),
                        _mm256_i32gather_epi32((const int*)src, _mm256_srli_epi32(a, 16), 4));
  if (i < count) slice32_plain(d + 4 * i, src, acc, dstep, count - i);
}

QD_AVX2 static inline __m128i round_q15_avx2(__m128i sums) {
  return _mm_srai_epi32(_mm_add_epi32(sums, _mm_set1_epi32(1 << (kCoefShift - 1))), kCoefShift);
}

QD_AVX2 static inline __m256i round_q15_wide(__m256i sums) {
  return _mm256_srai_epi32(_mm256_add_epi32(sums, _mm256_set1_epi32(1 << (kCoefShift - 1))),
                           kCoefShift);
}

QD_AVX2 static inline __m256i two_rows_avx2(const int16_t* a, const int16_t* b) {
  return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadl_epi64((const __m128i*)a)),
                                 _mm_loadl_epi64((const __m128i*)b), 1);
}

QD_AVX2 void cubic16_avx2(void* dest, const uint8_t* src, uint32_t acc, int32_t dstep, size_t count,
                          const int16_t* rows) {
  uint8_t* d = (uint8_t*)dest;
  const uint32_t st = (uint32_t)dstep;
  size_t i = 0;
  for (; i + 4 <= count; i += 4, acc += 4 * st) {
    const uint32_t a0 = acc, a1 = acc + st, a2 = acc + 2 * st, a3 = acc + 3 * st;
    const __m256i x =
        _mm256_setr_epi64x(load64(src + 2 * (a0 >> 16)), load64(src + 2 * (a1 >> 16)),
                           load64(src + 2 * (a2 >> 16)), load64(src + 2 * (a3 >> 16)));
    const __m256i c = _mm256_setr_epi64x(
        load64((const uint8_t*)cubic_row(rows, a0)), load64((const uint8_t*)cubic_row(rows, a1)),
        load64((const uint8_t*)cubic_row(rows, a2)), load64((const uint8_t*)cubic_row(rows, a3)));
    // Lane 0: outputs 0 and 1, lane 1: outputs 2 and 3, each sum twice.
    const __m256i v = _mm256_madd_epi16(x, c);
    const __m256i r = round_q15_wide(_mm256_hadd_epi32(v, v));
    const __m256i p = _mm256_packs_epi32(r, r);
    const __m128i out =
        _mm_unpacklo_epi32(_mm256_castsi256_si128(p), _mm256_extracti128_si256(p, 1));
    _mm_storel_epi64((__m128i*)(d + 2 * i), out);
  }
  if (i < count) cubic16_plain(d + 2 * i, src, acc, dstep, count - i, rows);
}

QD_AVX2 static inline __m256i cubic32_sums_avx2(const uint8_t* src, const int16_t* rows, uint32_t a,
                                                uint32_t b, __m256i pairs) {
  const __m256i c = two_rows_avx2(cubic_row(rows, a), cubic_row(rows, b));
  const __m256i x = _mm256_inserti128_si256(
      _mm256_castsi128_si256(_mm_loadu_si128((const __m128i*)(src + 4 * (a >> 16)))),
      _mm_loadu_si128((const __m128i*)(src + 4 * (b >> 16))), 1);
  return _mm256_madd_epi16(_mm256_shuffle_epi8(x, pairs), _mm256_unpacklo_epi32(c, c));
}

QD_AVX2 void cubic32_avx2(void* dest, const uint8_t* src, uint32_t acc, int32_t dstep, size_t count,
                          const int16_t* rows) {
  uint8_t* d = (uint8_t*)dest;
  const uint32_t st = (uint32_t)dstep;
  const __m256i pairs = QD_PAIRS_AVX2;
  // Frame order after the per-lane pack: lane 0 holds outputs 0 and 2, lane 1
  // outputs 1 and 3.
  const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 0, 4, 1, 5);
  size_t i = 0;
  for (; i + 4 <= count; i += 4, acc += 4 * st) {
    const __m256i v01 = cubic32_sums_avx2(src, rows, acc, acc + st, pairs);
    const __m256i v23 = cubic32_sums_avx2(src, rows, acc + 2 * st, acc + 3 * st, pairs);
    const __m256i s =
        _mm256_add_epi32(_mm256_unpacklo_epi64(v01, v23), _mm256_unpackhi_epi64(v01, v23));
    const __m256i r = round_q15_wide(s);
    const __m256i p = _mm256_permutevar8x32_epi32(_mm256_packs_epi32(r, r), order);
    _mm_storeu_si128((__m128i*)(d + 4 * i), _mm256_castsi256_si128(p));
  }
  if (i < count) cubic32_plain(d + 4 * i, src, acc, dstep, count - i, rows);
}

// The 16 coefficients of a fraction between two rows: lane 0 holds taps 0-3
// and 8-11, lane 1 taps 4-7 and 12-15.
QD_AVX2 static inline __m256i sinc_coefs_avx2(const int16_t* rows, uint32_t acc) {
  const int16_t* r = sinc_row(rows, acc);
  const __m256i a = _mm256_loadu_si256((const __m256i*)r);
  const __m256i b = _mm256_loadu_si256((const __m256i*)(r + kSincTaps));
  const __m256i m = _mm256_mulhi_epi16(_mm256_slli_epi16(_mm256_sub_epi16(b, a), 2),
                                       _mm256_set1_epi16(sinc_sub(acc)));
  return _mm256_add_epi16(a, _mm256_srai_epi16(_mm256_add_epi16(m, _mm256_set1_epi16(1)), 1));
}

QD_AVX2 static inline __m256i sinc16_sums_avx2(const uint8_t* src, const int16_t* rows,
                                               uint32_t acc) {
  const __m256i x = _mm256_loadu_si256((const __m256i*)(src + 2 * (acc >> 16)));
  return _mm256_madd_epi16(_mm256_permute4x64_epi64(x, _MM_SHUFFLE(3, 1, 2, 0)),
                           sinc_coefs_avx2(rows, acc));
}

QD_AVX2 void sinc16_avx2(void* dest, const uint8_t* src, uint32_t acc, int32_t dstep, size_t count,
                         const int16_t* rows) {
  uint8_t* d = (uint8_t*)dest;
  const uint32_t st = (uint32_t)dstep;
  size_t i = 0;
  for (; i + 2 <= count; i += 2, acc += 2 * st) {
    const __m256i h =
        _mm256_hadd_epi32(sinc16_sums_avx2(src, rows, acc), sinc16_sums_avx2(src, rows, acc + st));
    const __m128i q = _mm_add_epi32(_mm256_castsi256_si128(h), _mm256_extracti128_si256(h, 1));
    const __m128i r = round_q15_avx2(_mm_hadd_epi32(q, q));
    const int v = _mm_cvtsi128_si32(_mm_packs_epi32(r, r));
    std::memcpy(d + 2 * i, &v, 4);
  }
  if (i < count) sinc16_plain(d + 2 * i, src, acc, dstep, count - i, rows);
}

QD_AVX2 static inline __m256i sinc32_sums_avx2(const uint8_t* src, const int16_t* rows,
                                               uint32_t acc, __m256i pairs) {
  const __m256i c = sinc_coefs_avx2(rows, acc);
  const uint8_t* x = src + 4 * (acc >> 16);
  const __m256i y0 = _mm256_shuffle_epi8(_mm256_loadu_si256((const __m256i*)x), pairs);
  const __m256i y1 = _mm256_shuffle_epi8(_mm256_loadu_si256((const __m256i*)(x + 32)), pairs);
  return _mm256_add_epi32(_mm256_madd_epi16(y0, _mm256_unpacklo_epi32(c, c)),
                          _mm256_madd_epi16(y1, _mm256_unpackhi_epi32(c, c)));
}

QD_AVX2 void sinc32_avx2(void* dest, const uint8_t* src, uint32_t acc, int32_t dstep, size_t count,
                         const int16_t* rows) {
  uint8_t* d = (uint8_t*)dest;
  const uint32_t st = (uint32_t)dstep;
  const __m256i pairs = QD_PAIRS_AVX2;
  size_t i = 0;
  for (; i + 2 <= count; i += 2, acc += 2 * st) {
    const __m256i a = sinc32_sums_avx2(src, rows, acc, pairs);
    const __m256i b = sinc32_sums_avx2(src, rows, acc + st, pairs);
    const __m256i s = _mm256_add_epi32(_mm256_unpacklo_epi64(a, b), _mm256_unpackhi_epi64(a, b));
    const __m128i r =
        round_q15_avx2(_mm_add_epi32(_mm256_castsi256_si128(s), _mm256_extracti128_si256(s, 1)));
    _mm_storel_epi64((__m128i*)(d + 4 * i), _mm_packs_epi32(r, r));
  }
  if (i < count) sinc32_plain(d + 4 * i, src, acc, dstep, count - i, rows);
}

#endif
