// SPDX-License-Identifier: GPL-3.0-or-later
// A note as a source plays it, and the step every source shares: moving
// sound to another pitch and rate with the engine's band-limited converter.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

// The rate of every sample file the instrument ships.
constexpr int kSetRate = 44100;

// One key's note: stereo at kSetRate, at the key's pitch.
struct SourceNote {
  std::vector<float> left, right;
  std::string sample;  // the sample that leads it
  int root = 0;        // the key that sample was recorded at
};

// Adds `frames` outputs of the stereo sound l, r (n frames) played `ratio`
// times faster (input frames per output frame, > 0) into out_l and out_r,
// with the engine's 16-tap band-limited converter; silence after its end.
// A ratio of exactly 1 copies. The sound is carried at full 16-bit scale
// through the converter whatever its level.
void add_pitched(const float* l, const float* r, size_t n, double ratio, size_t frames, float* out_l,
                 float* out_r);
