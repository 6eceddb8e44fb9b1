// SPDX-License-Identifier: GPL-3.0-or-later
// A note as a source plays it, and the step every source shares: moving
// sound to another pitch and rate with the engine's band-limited converter.
#pragma once
#include <cstddef>
#include <cstdint>
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

// How much faster than recorded a sample may play (five octaves up, or a
// 96 kHz sample over two), and how much slower: a note's frames come from
// `ratio` times as many of the sample's, which the render holds at once.
constexpr double kMostRatio = 32, kLeastRatio = 1.0 / 1024;
// The sample frames a source may render for one set, all notes and all
// their samples or voices together: the pianos of Debian's soundfonts take
// under 32 million (each program 0..7, velocities 100 and 127); a crafted
// file may ask for minutes' worth.
constexpr int64_t kMostRenderWork = 64 << 20;

// False with the reason when `target_key` would play `sample` at `ratio`.
bool ratio_allowed(double ratio, int target_key, const std::string& sample, std::string* error);
// Takes `cost` sample frames from *left; false with the reason when fewer
// are left.
bool spend_render_work(int64_t* left, int64_t cost, int key, std::string* error);

// Adds `frames` outputs of the stereo sound l, r (n frames) played `ratio`
// times faster (input frames per output frame, > 0) into out_l and out_r,
// with the engine's 16-tap band-limited converter; silence after its end.
// A ratio of exactly 1 copies. The sound is carried at full 16-bit scale
// through the converter whatever its level.
void add_pitched(const float* l, const float* r, size_t n, double ratio, size_t frames, float* out_l,
                 float* out_r);
