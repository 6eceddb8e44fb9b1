// SPDX-License-Identifier: GPL-3.0-or-later
// The clamps of the settings' ranges.
#include "core/settings_ranges.h"

#include <cmath>

#include "core/text_number.h"

void clamp_tone_bands(ToneBands& b, const ToneBandRanges& r) {
  b.lowf = clamp_int(b.lowf.load(), r.low_min, r.low_max);
  b.highf = clamp_int(b.highf.load(), r.high_min, r.high_max);
  b.lowg = clamp_single(b.lowg.load(), r.gain_min, r.gain_max);
  b.midg = clamp_single(b.midg.load(), r.gain_min, r.gain_max);
  b.highg = clamp_single(b.highg.load(), r.gain_min, r.gain_max);
  b.order = clamp_int(b.order.load(), 1, r.order_max);
}

void clamp_reverb_params(ReverbParams* p) {
  p->kreverb1 = clamp_single(p->kreverb1, 0.0f, 0.7f);
  p->kreverb2 = clamp_single(p->kreverb2, 0.0f, 0.7f);
  p->Treverb1 = clamp_single(std::nearbyint(p->Treverb1), 10.0f, 1000.0f);
  p->Treverb2 = clamp_single(std::nearbyint(p->Treverb2), 10.0f, 1000.0f);
}

float clamp_keyvol_entry(float v) { return clamp_single(v, 0.01f, 255.0f); }
