// SPDX-License-Identifier: GPL-3.0-or-later
// The equalizer and the key tone never lift any frequency more than 1 dB
// above their largest band gain: over a table of orders, splits and gains,
// the largest gain of the real filter's impulse response, read from its
// spectrum.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "app/settings.h"
#include "effects/equalizer.h"
#include "effects/keytone.h"
#include "effects/master_chain.h"
#include "tests/support/engine_test_output.h"
#include "tests/support/fft.h"

namespace {

constexpr size_t kLength = 32768;  // long enough for a 5-stage chain at 11 Hz to die away
constexpr double kToleranceDb = 0.01;

// An impulse far above the stages' tiny offset against denormals, which
// would otherwise add to the lowest bins.
constexpr float kImpulse = 1000.0f;

// Largest magnitude of the spectrum of the response of `step` to a unit
// impulse, from 0 to half the rate.
double largest_gain(const std::function<float(float, int)>& step) {
  std::vector<std::complex<double>> a(kLength);
  for (size_t i = 0; i < kLength; i++) a[i] = step(i == 0 ? kImpulse : 0.0f, (int)i) / kImpulse;
  fft_in_place(a);
  double most = 0.0;
  for (size_t b = 0; b <= kLength / 2; b++) most = std::max(most, std::abs(a[b]));
  return most;
}

struct Gains {
  float low, mid, high;
};
// Gains far apart in every direction, and the defaults.
const Gains kGains[] = {{2.0f, 1.0f, 1.2f}, {0.0f, 1.0f, 10.0f}, {10.0f, 0.0f, 10.0f}, {0.1f, 10.0f, 0.1f}};

double overshoot_db(double measured, double largest_band_gain) {
  return 20.0 * std::log10(measured / largest_band_gain);
}

class ThreeBandBound : public ::testing::Test {
 protected:
  void SetUp() override {
    enginetest::use_output(44100, 1, 256);
    plug_rate = 44100;
    plug_channels = 1;
    set_default_settings();
  }
  void TearDown() override { set_default_settings(); }
};

TEST_F(ThreeBandBound, EqualizerStaysWithinOneDecibelOfItsLargestGain) {
  double worst = -1e9;
  equalizer_on = 1;
  for (int order = 1; order <= 4; order++)
    for (int lowf : {20, 500, 16000})
      for (int highf : {1000, 8000, 12000, 16000, 20000})
        for (const Gains& g : kGains) {
          eq_bands.order = order;
          eq_bands.lowf = lowf;
          eq_bands.highf = highf;
          eq_bands.lowg = g.low;
          eq_bands.midg = g.mid;
          eq_bands.highg = g.high;
          compute_eq_coefficients();
          double db = overshoot_db(largest_gain(equalizer_step), std::max({g.low, g.mid, g.high}));
          worst = std::max(worst, db);
          EXPECT_LE(db, 1.0 + kToleranceDb) << "order " << order << ", splits " << lowf << " / " << highf
                                             << ", gains " << g.low << " / " << g.mid << " / " << g.high;
        }
  std::printf("equalizer: largest response above the largest gain %.2f dB\n", worst);
}

TEST_F(ThreeBandBound, KeyToneStaysWithinOneDecibelOfItsLargestGainInBothModes) {
  double worst = -1e9;
  for (int mode : {1, 2})
    for (int order : {1, 2, 4, 5})
      for (int lowf : {100, 4499})
        for (int highf : {4501, 10000})
          for (const Gains& g : kGains)
            for (int wave : {2, 5, 6, 8}) {
              keytone_mode = mode;
              keytone_bands.lowf = lowf;
              keytone_bands.highf = highf;
              keytone_bands.lowg = std::max(g.low, 0.1f);
              keytone_bands.midg = std::max(g.mid, 0.1f);
              keytone_bands.highg = std::max(g.high, 0.1f);
              // The band gains as the mode and the held splits make them,
              // seen with no filter to run.
              keytone_bands.order = 0;
              ThreeBandFilter seen = keytone_setup(wave).left;
              double largest = std::max({std::fabs(seen.low_gain), std::fabs(seen.mid_gain),
                                         std::fabs(seen.high_gain)});
              keytone_bands.order = order;
              ThreeBandFilter left = keytone_setup(wave).left;
              double measured = largest_gain([order, &left](float x, int) {
                switch (order) {
                  case 1: return keytone_step<1>(left, x);
                  case 2: return keytone_step<2>(left, x);
                  case 4: return keytone_step<4>(left, x);
                  default: return keytone_step<5>(left, x);
                }
              });
              double db = overshoot_db(measured, largest);
              worst = std::max(worst, db);
              EXPECT_LE(db, 1.0 + kToleranceDb) << "mode " << mode << ", order " << order << ", wave " << wave
                                                 << ", splits " << lowf << " / " << highf << ", gains " << g.low
                                                 << " / " << g.mid << " / " << g.high;
            }
  std::printf("key tone: largest response above the largest gain %.2f dB\n", worst);
}

}  // namespace
