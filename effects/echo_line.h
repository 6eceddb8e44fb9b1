// SPDX-License-Identifier: GPL-3.0-or-later
// The recirculating two-tap delay line of the output reverb and the key
// reverb: each output value is the input plus two earlier outputs, each
// scaled by its gain, and is written back into the line. The line holds
// interleaved values of all channels, one position per value.
#pragma once
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <initializer_list>

// The longest tap distance: 191996 values at 44100 Hz (2.18 s of stereo),
// the same time at any other rate up to 192000 Hz, which the line holds.
constexpr int kEchoMaxDistance44100 = 191996;
constexpr int kEchoLineSize = 836000;  // values in a line
constexpr int kEchoMinDistance = 2;
inline int echo_max_distance(int rate) {
  const int64_t scaled = rate > 0 ? (int64_t)kEchoMaxDistance44100 * rate / 44100 : kEchoMaxDistance44100;
  return (int)(scaled < kEchoLineSize - 4 ? scaled : kEchoLineSize - 4) & ~1;  // even: stereo keeps its sides
}
// Added to every output value, so the line never sinks into denormals.
constexpr float kEchoOffset = 0.00001f;

// Tap distance in values of a delay of `ms` milliseconds: floor(ms x rate /
// 1000) x channels, clamped to 2..echo_max_distance(rate) (191996 at 44100
// Hz; 2 also for a time that is not a number).
inline int echo_tap_distance(float ms, int rate, int channels) {
  float values = std::floor(ms * static_cast<float>(rate) / 1000.0f) * static_cast<float>(channels);
  const int longest = echo_max_distance(rate);
  if (values > static_cast<float>(longest)) return longest;
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

// n values through the line from `in` to `out`, the same values n calls of
// echo_line_step give, in runs that neither tap reads into (a run is at most
// the shorter distance + 1 long) and that wrap nowhere, so each run is a
// plain loop the compiler vectorises. The line holds `size` values, more
// than the longer distance (kEchoLineSize for a line that any distance may
// read; a shorter one, silent at the start, gives the same values for
// distances below its size). in and out may be the same. Returns false when
// a value written was no finite number.
inline bool echo_line_block(float* line, int size, int& pos, int distance1, float gain1, int distance2,
                            float gain2, const float* in, float* out, int n) {
  constexpr int kRun = 256;
  const int shortest = (distance1 < distance2 ? distance1 : distance2) + 1;
  int not_finite = 0;
  for (int j = 0; j < n;) {
    int i1 = pos - distance1 - 1;
    if (i1 < 0) i1 += size;
    int i2 = pos - distance2 - 1;
    if (i2 < 0) i2 += size;
    int len = n - j;
    for (int limit : {kRun, shortest, size - pos, size - i1, size - i2})
      len = len < limit ? len : limit;
    if (len < 1) len = 1;  // a distance below 2, which the clamp never gives: value by value
    const float* tap1 = line + i1;
    const float* tap2 = line + i2;
    const float* x = in + j;
    float y[kRun];
    for (int k = 0; k < len; k++) y[k] = tap1[k] * gain1 + x[k] + tap2[k] * gain2 + kEchoOffset;
    float* written = line + pos;
    float* to = out + j;
    for (int k = 0; k < len; k++) {
      written[k] = y[k];
      to[k] = y[k];
      not_finite |= !(std::fabs(y[k]) <= FLT_MAX);
    }
    pos += len;
    if (pos == size) pos = 0;
    j += len;
  }
  return not_finite == 0;
}
