// SPDX-License-Identifier: GPL-3.0-or-later
// Keeps a three-band filter's response within 1 dB of its largest band gain.
#pragma once
#include "effects/three_band.h"

// Largest magnitude of the filter's response, 0 to half the rate, for
// `order` stages per chain (1..kThreeBandMaxOrder).
double three_band_peak(const ThreeBandFilter& f, int order);

// Changes f's coefficients and gains, as little as the rule allows, so that
// three_band_peak is at most 1 dB above the largest band gain. A filter that
// already keeps the rule, or whose order is outside
// 1..kThreeBandMaxOrder, is left exactly as it is. Returns whether it
// changed anything. Main thread (the caller's copy, before it is used).
bool three_band_bound(ThreeBandFilter& f, int order);
