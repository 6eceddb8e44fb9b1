// SPDX-License-Identifier: GPL-3.0-or-later
// A float result of an effect as a 16-bit sample value.
#pragma once
#include <cmath>
#include <cstdint>
#if defined(__SSE2__)
#include <xmmintrin.h>
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
