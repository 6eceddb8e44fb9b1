// SPDX-License-Identifier: GPL-3.0-or-later
// The resampling families' coefficient tables, made once at process start,
// and the plain run kernels (kernels_resample.h).
#include "engine/kernels_resample.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

// Kaiser window shape of the band-limited kernel: about 80 dB of stop band
// over its 16 taps.
static const double kSincBeta = 8.0;

constexpr int kCubicRows = (1 << kCubicPhaseBits) + 1;
constexpr int kSincRows = (1 << kSincPhaseBits) + 1;

struct ResampleTables {
  int16_t cubic[kCubicRows * kCubicTaps];
  int16_t sinc[kSincTables][kSincRows * kSincTaps];
};

// Rounds a row of weights (summing to 1) at tap distances x to Q15 summing to
// exactly 32768, no coefficient above 32767: what rounding leaves over goes
// one unit at a time to the largest coefficients that can take it, ties to
// the tap nearest the position (after it before before it), so a row depends
// on its distances only, not on where they sit in the row.
static void quantise_row(const double* w, const double* x, int taps, int16_t* out) {
  int q[kSincTaps];
  int sum = 0;
  for (int j = 0; j < taps; j++) {
    q[j] = (int)std::lrint(w[j] * 32768.0);
    if (q[j] > 32767) q[j] = 32767;
    sum += q[j];
  }
  while (sum != 32768) {
    const int unit = sum < 32768 ? 1 : -1;
    int best = -1;
    for (int j = 0; j < taps; j++) {
      if (q[j] + unit > 32767) continue;
      if (best >= 0) {
        if (std::abs(q[j]) != std::abs(q[best])) {
          if (std::abs(q[j]) < std::abs(q[best])) continue;
        } else if (std::fabs(x[j]) != std::fabs(x[best])) {
          if (std::fabs(x[j]) > std::fabs(x[best])) continue;
        } else if (x[j] < x[best]) {
          continue;
        }
      }
      best = j;
    }
    q[best] += unit;
    sum += unit;
  }
  for (int j = 0; j < taps; j++) out[j] = (int16_t)q[j];
}

// Catmull-Rom weight (the cubic Hermite with tangents from the neighbours)
// of a tap at distance x.
static double cubic_weight(double x) {
  const double a = std::fabs(x);
  if (a < 1.0) return (1.5 * a - 2.5) * a * a + 1.0;
  if (a < 2.0) return ((-0.5 * a + 2.5) * a - 4.0) * a + 2.0;
  return 0.0;
}

double bessel_i0(double x) {
  double sum = 1.0, term = 1.0;
  for (int k = 1; term > sum * 1e-17; k++) {
    term *= (x / (2.0 * k)) * (x / (2.0 * k));
    sum += term;
  }
  return sum;
}

// Kaiser window over the 16 taps at distance x; 0 from its edge on, so the
// row of fraction 1.0 is the row of 0 moved by one tap.
static double sinc_window(double x) {
  const double half = kSincTaps / 2;
  if (std::fabs(x) >= half) return 0.0;
  const double r = x / half;
  return bessel_i0(kSincBeta * std::sqrt(1.0 - r * r)) / bessel_i0(kSincBeta);
}

// Sinc of cutoff fc (cycles per sample) at distance x.
static double sinc(double x, double fc) {
  return x == 0.0 ? 2.0 * fc : std::sin(2.0 * M_PI * fc * x) / (M_PI * x);
}

// A row from the weights w of its taps at distances x: normalised to a sum
// of 1 and rounded.
static void finish_row(double* w, const double* x, int taps, int16_t* out) {
  double sum = 0.0;
  for (int j = 0; j < taps; j++) sum += w[j];
  for (int j = 0; j < taps; j++) w[j] /= sum;
  quantise_row(w, x, taps, out);
}

// The rows of fraction r / (rows - 1), taps at distance j - before - r /
// (rows - 1). Every sinc table shares the window, computed once. The
// promises the vector twins rely on (absolute row sums below 2.0,
// neighbouring rows less than 8192 apart) are checked by the engine's tests.
static void make_tables(ResampleTables* t) {
  double w[kSincTaps], x[kSincTaps];
  for (int r = 0; r < kCubicRows; r++) {
    for (int j = 0; j < kCubicTaps; j++) {
      x[j] = j - kCubicBefore - (double)r / (kCubicRows - 1);
      w[j] = cubic_weight(x[j]);
    }
    finish_row(w, x, kCubicTaps, t->cubic + r * kCubicTaps);
  }
  static double window[kSincRows][kSincTaps];
  for (int r = 0; r < kSincRows; r++)
    for (int j = 0; j < kSincTaps; j++)
      window[r][j] = sinc_window(j - kSincBefore - (double)r / (kSincRows - 1));
  for (int k = 0; k < kSincTables; k++) {
    const double fc = 0.5 / std::pow(2.0, k / 12.0);
    for (int r = 0; r < kSincRows; r++) {
      for (int j = 0; j < kSincTaps; j++) {
        x[j] = j - kSincBefore - (double)r / (kSincRows - 1);
        w[j] = sinc(x[j], fc) * window[r][j];
      }
      int16_t row[kSincTaps];
      finish_row(w, x, kSincTaps, row);
      for (int j = 0; j < kSincTaps; j++) t->sinc[k][r * kSincTaps + sinc_tap_slot(j)] = row[j];
    }
  }
}

static const ResampleTables& tables(void) {
  static ResampleTables* const made = [] {
    static ResampleTables storage;
    make_tables(&storage);
    return &storage;
  }();
  return *made;
}

void resample_tables_make(void) { tables(); }

const int16_t* cubic_rows(void) { return tables().cubic; }

const int16_t* sinc_rows(uint64_t step) {
  int k = 0;
  if (step > 65536) {
    // The first semitone at or above the speed (a hair of tolerance, so a
    // key's speed in single precision lands on its own semitone).
    const double semitones = 12.0 * std::log2((double)step / 65536.0) - 1e-3;
    k = semitones >= kSincTables - 1 ? kSincTables - 1 : (int)std::ceil(semitones);
  }
  return tables().sinc[k];
}

// ---- Plain run kernels ----

static inline int16_t load16(const uint8_t* p) {
  int16_t v;
  std::memcpy(&v, p, 2);
  return v;
}
static inline void store16(uint8_t* p, int16_t v) { std::memcpy(p, &v, 2); }

static inline int16_t round_q15(int32_t sum) {
  const int32_t v = (sum + (1 << (kCoefShift - 1))) >> kCoefShift;
  return (int16_t)(v > 32767 ? 32767 : v < -32768 ? -32768 : v);
}

void slice16_plain(void* dest, const uint8_t* src, uint32_t acc, int32_t dstep, size_t count) {
  uint8_t* d = (uint8_t*)dest;
  for (size_t i = 0; i < count; i++, acc += (uint32_t)dstep)
    std::memcpy(d + 2 * i, src + 2 * (acc >> 16), 2);
}

void slice32_plain(void* dest, const uint8_t* src, uint32_t acc, int32_t dstep, size_t count) {
  uint8_t* d = (uint8_t*)dest;
  for (size_t i = 0; i < count; i++, acc += (uint32_t)dstep)
    std::memcpy(d + 4 * i, src + 4 * (acc >> 16), 4);
}

// The 16 coefficients (storage order) of a fraction between two sinc rows:
// row + round((next - row) x sub / 512), formed as the vector twins do, with
// a high-half multiply giving one bit more and a rounding shift.
static inline void sinc_coefs(const int16_t* rows, uint32_t acc, int16_t* c) {
  const int16_t* r0 = sinc_row(rows, acc);
  const int16_t* r1 = r0 + kSincTaps;
  const int32_t s = sinc_sub(acc);
  for (int j = 0; j < kSincTaps; j++) {
    const int32_t d = (int16_t)((r1[j] - r0[j]) * 4);
    const int32_t m = (d * s) >> 16;
    c[j] = (int16_t)(r0[j] + ((m + 1) >> 1));
  }
}

void cubic16_plain(void* dest, const uint8_t* src, uint32_t acc, int32_t dstep, size_t count,
                   const int16_t* rows) {
  uint8_t* d = (uint8_t*)dest;
  for (size_t i = 0; i < count; i++, acc += (uint32_t)dstep) {
    const int16_t* c = cubic_row(rows, acc);
    const uint8_t* x = src + 2 * (acc >> 16);
    int32_t sum = 0;
    for (int j = 0; j < kCubicTaps; j++) sum += c[j] * load16(x + 2 * j);
    store16(d + 2 * i, round_q15(sum));
  }
}

void cubic32_plain(void* dest, const uint8_t* src, uint32_t acc, int32_t dstep, size_t count,
                   const int16_t* rows) {
  uint8_t* d = (uint8_t*)dest;
  for (size_t i = 0; i < count; i++, acc += (uint32_t)dstep) {
    const int16_t* c = cubic_row(rows, acc);
    const uint8_t* x = src + 4 * (acc >> 16);
    int32_t left = 0, right = 0;
    for (int j = 0; j < kCubicTaps; j++) {
      left += c[j] * load16(x + 4 * j);
      right += c[j] * load16(x + 4 * j + 2);
    }
    store16(d + 4 * i, round_q15(left));
    store16(d + 4 * i + 2, round_q15(right));
  }
}

void sinc16_plain(void* dest, const uint8_t* src, uint32_t acc, int32_t dstep, size_t count,
                  const int16_t* rows) {
  uint8_t* d = (uint8_t*)dest;
  for (size_t i = 0; i < count; i++, acc += (uint32_t)dstep) {
    int16_t c[kSincTaps];
    sinc_coefs(rows, acc, c);
    const uint8_t* x = src + 2 * (acc >> 16);
    int32_t sum = 0;
    for (int j = 0; j < kSincTaps; j++) sum += c[sinc_tap_slot(j)] * load16(x + 2 * j);
    store16(d + 2 * i, round_q15(sum));
  }
}

void sinc32_plain(void* dest, const uint8_t* src, uint32_t acc, int32_t dstep, size_t count,
                  const int16_t* rows) {
  uint8_t* d = (uint8_t*)dest;
  for (size_t i = 0; i < count; i++, acc += (uint32_t)dstep) {
    int16_t c[kSincTaps];
    sinc_coefs(rows, acc, c);
    const uint8_t* x = src + 4 * (acc >> 16);
    int32_t left = 0, right = 0;
    for (int j = 0; j < kSincTaps; j++) {
      left += c[sinc_tap_slot(j)] * load16(x + 4 * j);
      right += c[sinc_tap_slot(j)] * load16(x + 4 * j + 2);
    }
    store16(d + 4 * i, round_q15(left));
    store16(d + 4 * i + 2, round_q15(right));
  }
}
