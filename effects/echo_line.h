// SPDX-License-Identifier: GPL-3.0-or-later
// The recirculating two-tap delay line of the output reverb and the key
// reverb: each output value is the input plus two earlier outputs, each
// scaled by its gain, and is written back into the line. The line holds
// interleaved values of all channels, one position per value.
#pragma once
#include <cmath>

constexpr int kEchoLineSize = 192000;            // values in a line
constexpr int kEchoMaxDistance = kEchoLineSize - 4;
constexpr int kEchoMinDistance = 2;
// Added to every output value, so the line never sinks into denormals.
constexpr float kEchoOffset = 0.00001f;

// Tap distance in values of a delay of `ms` milliseconds: floor(ms x rate /
// 1000) x channels, clamped to 2..191996 (also for a time that is not a number).
inline int echo_tap_distance(float ms, int rate, int channels) {
  float values = std::floor(ms * static_cast<float>(rate) / 1000.0f) * static_cast<float>(channels);
  if (values > static_cast<float>(kEchoMaxDistance)) return kEchoMaxDistance;
  if (!(values >= static_cast<float>(kEchoMinDistance))) return kEchoMinDistance;
  return static_cast<int>(values);
}

// One step: a tap reads the value written `distance` + 1 positions before
// the one being written. `pos` is the write position 0..kEchoLineSize - 1.
inline float echo_line_step(float* line, int& pos, int distance1, float gain1, int distance2,
                            float gain2, float x) {
  int i1 = pos - distance1 - 1;
  if (i1 < 0) i1 += kEchoLineSize;
  int i2 = pos - distance2 - 1;
  if (i2 < 0) i2 += kEchoLineSize;
  float y = line[i1] * gain1 + x + line[i2] * gain2 + kEchoOffset;
  line[pos] = y;
  if (++pos == kEchoLineSize) pos = 0;
  return y;
}
