// SPDX-License-Identifier: GPL-3.0-or-later
// The response bound of the equalizer and the key tone.
//
// A stage y += c (x - y) has the response c / (1 - (1 - c) z^-1). Its pole
// 1 - c turns negative once c passes 1 (a split above a sixth of the rate),
// and its gain at half the rate, c / (2 - c), grows without limit as c
// nears 2: at 20 kHz and 44.1 kHz one stage gains 94 there and four stages
// 10^7.9. Below that, the bands still add with different phases, so a low
// and a high band with the mid band cut can add up to several dB above
// either gain. The rule: the whole response stays within 1 dB of the
// largest band gain. A filter over it first has its coefficients held at
// the highest value that ends the resonance's share of the excess, then
// all three gains lowered together by what is left.
#include "effects/three_band_bound.h"

#include <algorithm>
#include <cmath>
#include <complex>

namespace {

constexpr double kAllowedDb = 1.0;
// What a changed filter is brought to, a little inside the rule, so that
// float coefficients and a measurement between the grid's points keep it.
constexpr double kTargetDb = 0.95;
// A coefficient of 1 puts the pole at 0: no stage rings at any setting.
constexpr double kNoRingCoef = 1.0;
// Points of the frequency grid, spaced evenly on a log scale from
// kLowestOmega (5 Hz at 192 kHz) to half the rate, then refined around the
// highest one.
constexpr int kGridPoints = 480;
constexpr double kLowestOmega = 1.6e-4;
constexpr double kPi = 3.14159265358979323846;

struct Shape {
  double low_coef, high_coef, low_gain, mid_gain, high_gain;
  int order;
};

double magnitude(const Shape& s, double omega) {
  std::complex<double> z1 = std::polar(1.0, -omega);
  std::complex<double> hl = std::pow(s.low_coef / (1.0 - (1.0 - s.low_coef) * z1), s.order);
  std::complex<double> hh = std::pow(s.high_coef / (1.0 - (1.0 - s.high_coef) * z1), s.order);
  std::complex<double> delay = std::pow(z1, s.order - 1);
  return std::abs(s.low_gain * hl + s.mid_gain * (hh - hl) + s.high_gain * (delay - hh));
}

double omega_at(int i) {
  return kLowestOmega * std::pow(kPi / kLowestOmega, (double)i / (kGridPoints - 1));
}

double peak(const Shape& s) {
  int best = 0;
  double best_value = 0.0;
  for (int i = 0; i < kGridPoints; i++) {
    double m = magnitude(s, omega_at(i));
    if (m > best_value) best_value = m, best = i;
  }
  // Golden-section search between the neighbours of the highest point.
  double a = best > 0 ? omega_at(best - 1) : 0.0, b = omega_at(std::min(best + 1, kGridPoints - 1));
  const double r = 0.6180339887498949;
  for (int k = 0; k < 40; k++) {
    double c = b - r * (b - a), d = a + r * (b - a);
    if (magnitude(s, c) > magnitude(s, d)) b = d; else a = c;
  }
  return std::max({best_value, magnitude(s, 0.5 * (a + b)), magnitude(s, 0.0)});
}

Shape shape_of(const ThreeBandFilter& f, int order) {
  return {f.low_coef, f.high_coef, f.low_gain, f.mid_gain, f.high_gain, order};
}

Shape capped(Shape s, double cap) {
  s.low_coef = std::min(s.low_coef, cap);
  s.high_coef = std::min(s.high_coef, cap);
  return s;
}

}  // namespace

double three_band_peak(const ThreeBandFilter& f, int order) {
  return peak(shape_of(f, std::clamp(order, 1, kThreeBandMaxOrder)));
}

bool three_band_bound(ThreeBandFilter& f, int order) {
  if (order < 1 || order > kThreeBandMaxOrder) return false;  // such a filter is not run
  double largest = std::max({std::fabs(f.low_gain), std::fabs(f.mid_gain), std::fabs(f.high_gain)});
  if (!(largest > 0.0)) return false;
  Shape s = shape_of(f, order);
  if (peak(s) <= largest * std::pow(10.0, kAllowedDb / 20.0)) return false;

  double target = largest * std::pow(10.0, kTargetDb / 20.0);
  double top = std::max(s.low_coef, s.high_coef);
  if (top > kNoRingCoef) {
    // Hold the coefficients no lower than it takes: the highest cap whose
    // peak meets the target, or comes within 0.1 dB of what no ringing at
    // all leaves.
    double goal = std::max(target, peak(capped(s, kNoRingCoef)) * std::pow(10.0, 0.1 / 20.0));
    double meets = kNoRingCoef, fails = top;
    for (int k = 0; k < 40; k++) {
      double mid = 0.5 * (meets + fails);
      (peak(capped(s, mid)) <= goal ? meets : fails) = mid;
    }
    s = capped(s, meets);
    f.low_coef = (float)s.low_coef;
    f.high_coef = (float)s.high_coef;
    s = shape_of(f, order);
  }
  double left = peak(s);
  if (left > target) {
    float scale = (float)(target / left);
    f.low_gain *= scale;
    f.mid_gain *= scale;
    f.high_gain *= scale;
  }
  return true;
}
