// SPDX-License-Identifier: GPL-3.0-or-later
// The master effect chain: every value of a mixed block passes automatic
// gain, reverb, equalizer and master level in single precision, in that
// order, and is clipped and rounded back. The stages work on runs of the
// block, each in a loop of its own, and read their settings once per block
// (a change made by another thread is heard from the next block); every
// value still sees the arithmetic of the value-by-value chain kept beside
// it, in the same order, so the two give the same output bit for bit.
#include "effects/master_chain.h"

#include <utility>

#include "core/clock.h"
#include "core/settings_values.h"
#include "effects/autovol.h"
#include "effects/equalizer.h"
#include "effects/reverb.h"
#include "effects/sample_clamp.h"

std::atomic<int> plug_bits{16};
std::atomic<int> plug_rate{44100};
std::atomic<int> plug_channels{2};
std::atomic<float> block_factor{1.0f};
std::atomic<unsigned> effect_state_resets{0};

void update_effect_routing() {
  int autovol = autovol_mode.load();
  if (autovol >= 1 || reverb_mode.load() >= 1 || equalizer_on.load() >= 1) {
    FBS_ENABLE_MASTERCALLBACK();
  } else {
    FBS_DISABLE_MASTERCALLBACK();
  }
  FBS_SET_MASTERVOLUME(autovol >= 1 ? 1.0f : 0.95f);
}

namespace {

// Every analysis_frames(plug_rate) frames under automatic volume, the level
// analysis.
void count_analysis_frames(int32_t frames) {
  constexpr auto relaxed = std::memory_order_relaxed;
  if (autovol_mode.load(relaxed) < 1) return;
  int64_t passed = (int64_t)frames_since_analysis.load(relaxed) + frames;
  if (passed > analysis_frames(plug_rate.load(relaxed))) {
    frames_since_analysis.store(0, relaxed);
    level_analysis(program_clock());
  } else {
    frames_since_analysis.store((int)passed, relaxed);
  }
}

// Values the stages work on in one go: small enough to stay in the first
// level cache, even, so every run starts at an even place of the block.
constexpr int kChainRun = 1024;
// The run between two stages. Mixer thread.
float chain_values[2][kChainRun];

}  // namespace

extern "C" void FBS_CALL master_callback(int16_t* block, int32_t channels, int32_t frames) {
  constexpr auto relaxed = std::memory_order_relaxed;
  if (block == nullptr || channels < 1 || frames < 1) return;
  int64_t n = (int64_t)channels * frames;
  if (n > kChainMaxValues) n = kChainMaxValues;
  if (plug_bits.load(relaxed) != 16) return;
  const int autovol = autovol_mode.load(relaxed);
  const bool reverb = reverb_mode.load(relaxed) >= 1;
  const bool equalizer = equalizer_on.load(relaxed) == 1;
  const float level = master_level.load(relaxed);
  for (int at = 0; at < (int)n; at += kChainRun) {
    const int len = (int)n - at < kChainRun ? (int)n - at : kChainRun;
    int16_t* values = block + at;
    float* work = chain_values[0];
    float* next = chain_values[1];
    if (autovol >= 1) {
      autovol_block(values, work, len, autovol);
    } else {
      for (int i = 0; i < len; i++) work[i] = values[i];
    }
    if (reverb) {
      reverb_block(work, next, len);
      std::swap(work, next);
    }
    if (equalizer) {
      equalizer_block(work, next, len);
      std::swap(work, next);
    }
    for (int i = 0; i < len; i++) work[i] = work[i] * level;
    clamp_to_samples(work, values, len);  // -32767..32767, ties to even
  }
  count_analysis_frames(frames);
}

extern "C" void FBS_CALL master_callback_plain(int16_t* block, int32_t channels, int32_t frames) {
  constexpr auto relaxed = std::memory_order_relaxed;
  if (block == nullptr || channels < 1 || frames < 1) return;
  int64_t n = (int64_t)channels * frames;
  if (n > kChainMaxValues) n = kChainMaxValues;
  if (plug_bits.load(relaxed) != 16) return;
  for (int sample_index = 0; sample_index < (int)n; sample_index++) {
    float work_sample = block[sample_index];
    int autovol = autovol_mode.load(relaxed);
    if (autovol >= 1) work_sample = autovol_step(work_sample, autovol);
    if (reverb_mode.load(relaxed) >= 1) work_sample = reverb_step(work_sample);
    if (equalizer_on.load(relaxed) == 1) work_sample = equalizer_step(work_sample, sample_index);
    work_sample = work_sample * master_level.load(relaxed);
    block[sample_index] = clamp_to_sample(work_sample);  // -32767..32767, ties to even
  }
  count_analysis_frames(frames);
}
