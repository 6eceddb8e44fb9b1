// SPDX-License-Identifier: GPL-3.0-or-later
// A float result of an effect as a 16-bit sample value.
#pragma once
#include <cmath>
#include <cstdint>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// Clamped to -32767..32767 (never -32768), rounded to the nearest integer
// with ties to even; a value that is not a number (only absurd settings
// produce one) gives 0.
inline int16_t clamp_to_sample(float v) {
  if (v > 32767.0f) v = 32767.0f;
  if (v < -32767.0f) v = -32767.0f;
  if (v != v) return 0;
#if defined(__SSE2__)
  return static_cast<int16_t>(_mm_cvtss_si32(_mm_set_ss(v)));  // the default rounding mode
#else
  return static_cast<int16_t>(std::nearbyint(v));
#endif
}

// n values through clamp_to_sample, four at a time where the processor
// allows: the same clamp, the same rounding (the default mode), 0 for a
// value that is no number.
inline void clamp_to_samples(const float* in, int16_t* out, int n) {
  int i = 0;
#if defined(__SSE2__)
  const __m128 top = _mm_set1_ps(32767.0f), bottom = _mm_set1_ps(-32767.0f);
  for (; i + 8 <= n; i += 8) {
    __m128 a = _mm_loadu_ps(in + i), b = _mm_loadu_ps(in + i + 4);
    a = _mm_and_ps(a, _mm_cmpord_ps(a, a));  // no number: 0
    b = _mm_and_ps(b, _mm_cmpord_ps(b, b));
    a = _mm_max_ps(_mm_min_ps(a, top), bottom);
    b = _mm_max_ps(_mm_min_ps(b, top), bottom);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packs_epi32(_mm_cvtps_epi32(a), _mm_cvtps_epi32(b)));
  }
#endif
  for (; i < n; i++) out[i] = clamp_to_sample(in[i]);
}
