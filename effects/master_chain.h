// Master effect chain run on every mixed block (automatic volume, reverb,
// equalizer, master level) and the switch that routes blocks through it.
#pragma once
#include <atomic>
#include <cstdint>

#include "engine/fbs.h"

// Output format, read once after the engine has started. Written by the main
// thread before the callback is installed, read by the mixer thread.
extern std::atomic<int> plug_bits;
extern std::atomic<int> plug_rate;
extern std::atomic<int> plug_channels;
// 1024 / (frames per engine buffer clamped to 64..4096).
extern std::atomic<float> block_factor;

// Level analysis state. Written by the mixer thread while it runs and by the
// main thread when it restarts the analysis (start-up, [A], autovolmidi). The
// analysis times and the gain values the MIDI input sets are in
// core/shared_state.h.
extern std::atomic<int> peak_hold;               // largest |value| since the last analysis
extern std::atomic<int> frames_since_analysis;   // 99999 forces an analysis on the next block
extern std::atomic<float> env_level;
extern std::atomic<float> hold_level;
extern std::atomic<float> auto_gain;

// Restarts the level analysis: peak_hold 1, reference time now + 1.2 s,
// frames_since_analysis 99999. Main thread.
void restart_level_analysis(double now);
// Restarts the automatic-volume state when [A] switches it on (mode 1).
// Main thread.
void restart_autovol_state(double now);

// Switches the engine's call of master_callback on when any effect is on, and
// sets the engine's master volume (1.0 under automatic volume, else 0.95).
// Main thread, after every change of autovol_mode, reverb_mode, equalizer_on.
void update_effect_routing();

// The chain run on every mixed block, in place (block of frames x channels
// 16-bit values). Registered with FBS_SET_MASTERCALLBACK at every sample
// cycle. Mixer thread.
extern "C" void FBS_CALL master_callback(int16_t* block, int32_t channels, int32_t frames);
