// SPDX-License-Identifier: GPL-3.0-or-later
#include "import/source_note.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>

#include "engine/kernels_resample.h"

bool ratio_allowed(double ratio, int target_key, const std::string& sample, std::string* error) {
  if (ratio <= kMostRatio && ratio >= kLeastRatio) return true;
  char text[200];
  std::snprintf(text, sizeof text, "key %d would play sample %.80s %g times as fast as recorded (%g..%g)", target_key,
                sample.c_str(), ratio, kLeastRatio, kMostRatio);
  *error = text;
  return false;
}

bool spend_render_work(int64_t* left, int64_t cost, int key, std::string* error) {
  if (cost <= *left) return *left -= cost, true;
  *error = "key " + std::to_string(key) + " takes the set past " + std::to_string(kMostRenderWork) +
           " sample frames to render (a piano takes far fewer)";
  return false;
}

void add_pitched(const float* l, const float* r, size_t n, double ratio, size_t frames, float* out_l,
                 float* out_r) {
  if (ratio == 1.0) {
    for (size_t i = 0; i < std::min(n, frames); i++) out_l[i] += l[i], out_r[i] += r[i];
    return;
  }
  float peak = 0;
  for (size_t i = 0; i < n; i++) peak = std::max(peak, std::max(std::fabs(l[i]), std::fabs(r[i])));
  if (peak <= 0 || n == 0) return;
  // Full scale less 1 dB: the band-limited kernel rings a little above a
  // peak that sits on full scale.
  const float scale = 29000.0f / peak;
  std::vector<int16_t> in(2 * n);
  for (size_t i = 0; i < n; i++) {
    in[2 * i] = (int16_t)std::lrint(l[i] * scale);
    in[2 * i + 1] = (int16_t)std::lrint(r[i] * scale);
  }
  uint8_t* start = (uint8_t*)in.data();
  uint8_t* position = start;
  uint8_t* end = start + in.size() * 2;
  int32_t loops = 0;
  uint32_t phase = 0;
  // In runs the converter's byte count holds.
  constexpr size_t kRun = 1 << 16;
  std::vector<int16_t> out(2 * kRun);
  for (size_t done = 0; done < frames; done += kRun) {
    const size_t count = std::min(kRun, frames - done);
    play_resampled((uint8_t*)out.data(), start, start, &position, end, &loops, (float)ratio, (int32_t)(4 * count), &phase,
                   kResampleSinc, 4);
    for (size_t i = 0; i < count; i++) {
      out_l[done + i] += out[2 * i] / scale;
      out_r[done + i] += out[2 * i + 1] / scale;
    }
  }
}
