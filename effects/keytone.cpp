// SPDX-License-Identifier: GPL-3.0-or-later
// Key tone filters: per-wave coefficients and gains.
#include "effects/keytone.h"

#include <cmath>

#include "core/key_samples.h"
#include "core/settings_values.h"
#include "effects/master_chain.h"
#include "effects/three_band_bound.h"
#include "engine/fbs.h"

namespace {

// Gain factor of every band in mode 2, whose outer bands change sign.
constexpr float kInvertedGain = 0.82f;
// Splits at or above rate / 3.4 are held there, and that band takes the mid gain.
constexpr double kRateToLimit = 3.4;

}  // namespace

float keytone_scale(int wave) { return 0.9f * std::pow(2.0f, static_cast<float>(wave - 5)); }

KeyToneWave keytone_setup(int wave) {
  KeyToneWave k;
  if (wave < 0 || wave >= kSamplesPerSet) return k;
  int rate = FBS_GET_PLUGRATE();
  rate = rate < kEffectRateMin ? kEffectRateMin : (rate > kEffectRateMax ? kEffectRateMax : rate);
  float r = static_cast<float>(rate);
  float s = keytone_scale(wave);
  float low_split = static_cast<float>(keytone_bands.lowf.load()) * s;
  float high_split = static_cast<float>(keytone_bands.highf.load()) * s;
  float lowg = keytone_bands.lowg.load(), midg = keytone_bands.midg.load(), highg = keytone_bands.highg.load();

  ThreeBandFilter& f = k.left;
  f.low_coef = three_band_coef(low_split / r);
  f.high_coef = three_band_coef(high_split / r);
  f.low_gain = lowg;
  f.mid_gain = midg;
  f.high_gain = highg;
  if (keytone_mode == 2) {
    f.low_gain = -kInvertedGain * lowg;
    f.mid_gain = kInvertedGain * midg;
    f.high_gain = -kInvertedGain * highg;
  }
  float limit = static_cast<float>(std::nearbyint(rate / kRateToLimit));  // 12971 at 44100 Hz
  if (low_split >= limit) {
    f.low_coef = three_band_coef(limit / r);
    f.low_gain = midg;
  }
  if (high_split >= limit) {
    f.high_coef = three_band_coef(limit / r);
    f.high_gain = midg;
  }
  k.order = keytone_bands.order.load();
  // The same bound as the equalizer's: within 1 dB of the largest gain.
  three_band_bound(f, k.order);
  three_band_clear(f);
  k.right = f;
  return k;
}

