// SPDX-License-Identifier: GPL-3.0-or-later
// Automatic volume and compression: the gain stage of the master chain and
// the level analysis behind it.
#include "effects/autovol.h"

#include <algorithm>
#include <cstring>

#include "core/clock.h"
#include "core/settings_values.h"
#include "effects/master_chain.h"

std::atomic<int> peak_hold{1};
std::atomic<int> frames_since_analysis{0};
std::atomic<float> env_level{0.8f};
std::atomic<float> hold_level{0.8f};
std::atomic<float> auto_gain{1.0f};

float release_weight = 400.0f;
float block_level = 0.0f;
float clip_count = 0.0f;
float comp_threshold = 0.0f;
float comp_ratio = 0.0f;
float comp_makeup = 1.0f;

namespace {

// Compressor of each autovol_mode: threshold base k (k x target_level is the
// threshold in sample units; k / 16384 = 0.83, 0.77, 0.73, 0.7) and ratio.
// Mode 1 computes mode 5's values but never compresses.
struct CompressorMode {
  float threshold_base;
  float ratio;
};
CompressorMode compressor_mode(int mode) {
  switch (mode) {
    case 2: return {13598.72f, 0.44f};
    case 3: return {12615.68f, 0.59f};
    case 4: return {11960.32f, 0.72f};
    default: return {11468.8f, 0.8f};
  }
}

}  // namespace

void restart_level_analysis(double now) {
  peak_hold.store(1);
  analysis_ref_time.store(now + 1.2);
  analysis_now_time.store(now);
  frames_since_analysis.store(99999);
}

void restart_autovol_state(double now) {
  auto_gain.store(1.0f);
  env_level.store(0.8f);
  hold_level.store(0.8f);
  restart_level_analysis(now);
}

float autovol_step(float x, int mode) {
  float size = x < 0.0f ? -x : x;
  if (size > (float)peak_hold.load(std::memory_order_relaxed))
    peak_hold.store((int)size, std::memory_order_relaxed);  // a whole number: the block's own value
  x = x * auto_gain.load(std::memory_order_relaxed);
  if (mode >= 2) {
    float t = comp_threshold, r = comp_ratio;
    if (x > t) x = x - (x - t) * r;
    if (x < -t) x = x - (x + t) * r;
    x = x * comp_makeup;
  }
  return x;
}

void autovol_block(const int16_t* in, float* out, int n, int mode) {
  constexpr auto relaxed = std::memory_order_relaxed;
  // The peak of the values themselves, whole numbers, in integers.
  int peak = 0;
  for (int i = 0; i < n; i++) {
    int size = in[i] < 0 ? -in[i] : in[i];
    peak = size > peak ? size : peak;
  }
  if (peak > peak_hold.load(relaxed)) peak_hold.store(peak, relaxed);
  const float gain = auto_gain.load(relaxed);
  for (int i = 0; i < n; i++) out[i] = (float)in[i] * gain;
  if (mode < 2) return;
  const float t = comp_threshold, r = comp_ratio, makeup = comp_makeup;
  // Four values at a time: both sides of each choice are computed and one
  // kept, which is what the value-by-value branches give.
  typedef float Four __attribute__((vector_size(16)));
  const Four t4 = {t, t, t, t}, r4 = {r, r, r, r}, makeup4 = {makeup, makeup, makeup, makeup};
  int i = 0;
  for (; i + 4 <= n; i += 4) {
    Four x;
    std::memcpy(&x, out + i, sizeof x);
    x = x > t4 ? x - (x - t4) * r4 : x;
    x = x < -t4 ? x - (x + t4) * r4 : x;
    x = x * makeup4;
    std::memcpy(out + i, &x, sizeof x);
  }
  for (; i < n; i++) {
    float x = out[i];
    if (x > t) x = x - (x - t) * r;
    if (x < -t) x = x - (x + t) * r;
    out[i] = x * makeup;
  }
}

void level_analysis(double now) {
  // The time since the previous analysis sets how fast env_level may fall;
  // a reference far ahead of the clock means the clock was reset.
  double ref = std::max(analysis_ref_time.load(), analysis_now_time.load());
  if (clock_went_back(now, ref)) ref = now;
  analysis_ref_time.store(ref);
  analysis_now_time.store(now);
  release_weight = now > ref + 0.001 ? (float)std::max(10.0, 60.0 / (now - ref)) : 7.0f;
  release_weight = release_weight * block_factor.load();

  block_level = (float)peak_hold.load() / 32768.0f;
  float env = env_level.load();
  if (block_level > 0.01f) {
    if (block_level > 0.05f) env = (block_level + release_weight * env) / (1.0f + release_weight);
    if (block_level > 0.9999f) {
      // Clipped in two analyses running: every later note gets 3 % softer.
      clip_count += 1.0f;
      if (clip_count >= 2.0f) {
        clip_count = 2.0f;
        float divisor = voice_divisor.load();
        if (divisor < 3.0f * voice_divisor_ref.load()) voice_divisor.store(divisor * 1.03f);
      }
    } else {
      if (clip_count > 0.0f) clip_count -= 1.4f;
      if (env < 0.9f) {
        float divisor = voice_divisor.load();
        voice_divisor.store(divisor + (voice_divisor_ref.load() - divisor) * 0.01f);
      }
    }
  } else {
    // Quiet: the level is not smoothed, and the analyses of the next 1.2 s
    // release faster.
    analysis_ref_time.store(now + 1.2);
  }
  env = std::max(std::max(env, block_level), 0.01f);
  env_level.store(env);
  float hold = std::min(std::max(hold_level.load(), env), 1.12f * env);
  hold_level.store(hold);
  float target = target_level.load();
  auto_gain.store(std::min(0.5f * target / hold, 5.0f));
  peak_hold.store(1);

  CompressorMode c = compressor_mode(autovol_mode.load());
  comp_threshold = c.threshold_base * target;
  comp_ratio = c.ratio;
  comp_makeup = target / (target - (target - comp_threshold / 16384.0f) * c.ratio);
}
