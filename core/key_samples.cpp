// The key-to-sample rule and the speed table.
#include "core/key_samples.h"

#include <cmath>

#include "core/text_number.h"

std::atomic<float> speed_table[kSpeedTableSize];

int key_sample(int key, int type_offset) {
  if (!(12 - type_offset < key && key < 116 - type_offset)) return -1;
  return (key + type_offset) / 12 - 1;  // both terms positive here: plain division floors
}

void build_speed_table(int type_offset) {
  type_offset = clamp_int(type_offset, -1, 13);
  for (int k = 0; k <= 126 - type_offset && k < kSpeedTableSize; k++) {
    int octave = (k + type_offset) / 12;  // k + type_offset >= -1, and -1 / 12 is 0 as floor is
    if (octave < 1) octave = 1;
    int m = 12 * octave;
    speed_table[k].store((float)std::pow(2.0, (k - m) / 12.0), std::memory_order_relaxed);
  }
}
