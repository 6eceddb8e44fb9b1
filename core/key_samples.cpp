// SPDX-License-Identifier: GPL-3.0-or-later
// The key-to-sample rule and the speed table.
#include "core/key_samples.h"

#include <cmath>

#include "core/text_number.h"

std::atomic<float> speed_table[kSpeedTableSize];

// The wave of the octave that holds key + type_offset, the lowest wave for
// keys below the first sample: floor((key + type_offset) / 12) - 1, at least 0.
static int octave_wave(int key, int type_offset) {
  int w = (key + type_offset) / 12 - 1;  // key + type_offset >= -1, and -1 / 12 is 0 as floor is
  return w < 0 ? 0 : w;
}

int key_sample(int key, int type_offset) {
  if (!(12 - type_offset < key && key < 116 - type_offset)) return -1;
  return octave_wave(key, type_offset);
}

void build_speed_table(int type_offset) {
  type_offset = clamp_int(type_offset, -1, 13);
  for (int k = 0; k <= 126 - type_offset && k < kSpeedTableSize; k++) {
    int m = sample_number(octave_wave(k, type_offset));
    speed_table[k].store((float)std::pow(2.0, (k - m) / 12.0), std::memory_order_relaxed);
  }
}
