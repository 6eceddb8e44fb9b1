// SPDX-License-Identifier: GPL-3.0-or-later
// Master effect chain run on every mixed block (automatic volume, reverb,
// equalizer, master level) and the switch that routes blocks through it.
#pragma once
#include <atomic>
#include <cstdint>

#include "engine/fbs.h"

// Output format, read once after the engine has started. Written by the main
// thread before the callback is installed; the mixer thread reads plug_bits
// (every block), plug_channels (every block) and plug_rate (every block
// under automatic volume), the main thread all three.
extern std::atomic<int> plug_bits;
extern std::atomic<int> plug_rate;
extern std::atomic<int> plug_channels;
// The output rates the filters are computed for: a rate outside them (no
// device runs there) is taken as the nearest end.
constexpr int kEffectRateMin = 4000;
constexpr int kEffectRateMax = 192000;
// 1024 / (frames per engine buffer clamped to 64..4096). Written by the main
// thread after the engine has started, read by the mixer thread at every
// level analysis.
extern std::atomic<float> block_factor;

// Times the equalizer's filter states or the reverb line were found no
// longer finite and started again (a guard: the ranges of the settings keep
// them finite). Written by the mixer thread, read by any.
extern std::atomic<unsigned> effect_state_resets;

// Values of one block the chain works on; the rest pass untouched.
constexpr int kChainMaxValues = 18000;

// Switches the engine's call of master_callback on when any effect is on, and
// sets the engine's master volume (1.0 under automatic volume, else 0.95).
// Main thread, after every change of autovol_mode, reverb_mode, equalizer_on.
void update_effect_routing();

// The chain run on every mixed block, in place (frames x channels 16-bit
// values, interleaved): per value automatic gain and compression, reverb,
// equalizer and master_level, then the clip to -32767..32767; every
// analysis_frames(plug_rate) frames the level analysis. The settings are
// read once per block. A block is left untouched when the output is not
// 16-bit. Registered with FBS_SET_MASTERCALLBACK at every sample cycle.
// Mixer thread: it never allocates, locks or waits.
extern "C" void FBS_CALL master_callback(int16_t* block, int32_t channels, int32_t frames);
// The same chain value by value, each setting read afresh for every value:
// the plain twin the block chain is checked and measured against.
extern "C" void FBS_CALL master_callback_plain(int16_t* block, int32_t channels, int32_t frames);
