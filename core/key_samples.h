// SPDX-License-Identifier: GPL-3.0-or-later
// Which sample plays a key, and how fast: the rule shared by the sample sets
// (loading, the split keys I and O) and the voices (note-on, note-off).
#pragma once
#include <atomic>

constexpr int kSamplesPerSet = 9;    // one sample per octave, notes 12, 24, ..., 108
constexpr int kKeyCount = 128;       // key numbers 0..127
constexpr int kSpeedTableSize = 128; // keys 0..126 - type_offset, type_offset >= -1

// Sample number (the key that plays it at its own speed) of wave w = 0..8.
inline int sample_number(int w) { return 12 * (w + 1); }

// Wave index 0..8 that plays key number k, or -1 when the key is silent
// (outside 12 - type_offset < k < 116 - type_offset): wave
// floor((k + type_offset) / 12) - 1.
int key_sample(int key, int type_offset);

// Playback speed of each key number relative to its sample, 2^((k - m) / 12).
// Written by the main thread (set load, I and O keys), read by the MIDI threads.
extern std::atomic<float> speed_table[kSpeedTableSize];

// Fills speed_table for k = 0..126 - type_offset (type_offset is clamped to
// -1..13). Main thread.
void build_speed_table(int type_offset);
