// SPDX-License-Identifier: GPL-3.0-or-later
// Automatic volume and compression: the gain applied to every value of the
// output, and the level analysis that sets that gain, the compressor and the
// voices' divisor about ten times a second.
#pragma once
#include <atomic>
#include <cstdint>

#include "core/shared_state.h"  // target_level, voice_divisor(_ref), the analysis times

// ---- Level analysis state ----
// Written by the mixer thread in the analysis and by the main thread when it
// restarts the analysis (start-up, [A], the autovolmidi prompt). The main
// loop's level meter reads peak_hold.
extern std::atomic<int> peak_hold;               // largest |input value| since the last analysis
extern std::atomic<int> frames_since_analysis;   // 99999 forces an analysis on the next block
extern std::atomic<float> env_level;             // smoothed peak, fraction of full scale
extern std::atomic<float> hold_level;            // between env_level and 1.12 x env_level
extern std::atomic<float> auto_gain;             // at most 5

// Mixer thread only: the rest of the analysis and the compressor it sets.
extern float release_weight;   // weight of the old env_level in the smoothing
extern float block_level;      // peak_hold / 32768 at the last analysis
extern float clip_count;       // analyses that saw a clipped peak, at most 2
extern float comp_threshold;   // in sample units
extern float comp_ratio;       // share of the excess above the threshold removed
extern float comp_makeup;

// Frames between two analyses at 44100 Hz: about ten a second. At another
// output rate the same time passes between two (analysis_frames).
constexpr int kAnalysisFrames = 4400;
inline int analysis_frames(int rate) {
  return rate > 0 ? (int)((int64_t)kAnalysisFrames * rate / 44100) : kAnalysisFrames;
}

// Restarts the level analysis: peak_hold 1, reference time now + 1.2 s,
// frames_since_analysis 99999. Main thread.
void restart_level_analysis(double now);
// Restarts the automatic-volume state when [A] switches it on (mode 1).
// Main thread.
void restart_autovol_state(double now);

// The automatic gain of one input value for autovol_mode `mode` (1..5):
// notes its peak, applies auto_gain and, from mode 2 on, compresses.
// Mixer thread.
float autovol_step(float x, int mode);

// n values of a block through autovol_step(value, mode), from `in` to
// `out`, with the gain and the compressor read once. Mixer thread.
void autovol_block(const int16_t* in, float* out, int n, int mode);

// One analysis at program-clock time `now`, run by the chain every
// analysis_frames(plug_rate) frames while automatic volume is on. Mixer thread.
void level_analysis(double now);
