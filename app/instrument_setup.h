// SPDX-License-Identifier: GPL-3.0-or-later
// The instrument's set-up between the engine's start and the MIDI ports, one
// sequence for the live program's engine and sample cycles and for the
// offline renderer, so that both play the same instrument: the output format
// and the effects, the sample set with its unfiltered copy and the key tone
// pass, the sounds, the speed table and velocity curve, the level analysis,
// the master callback and the routing.
//
// Threads: main thread, while no MIDI input is open.
#pragma once
#include <string>

#include "app/sample_sets.h"
#include "core/key_samples.h"

// Set whose nine waves are loaded; -1 before the first load and after an
// engine restart (forces a reload).
extern int loaded_sound;
// The wave handles of the loaded set (w = 0..8); -1 when not loaded.
extern int wave[kSamplesPerSet];

// buffer_size clamped to the engine's range 100..2048.
int clamp_buffer_size(int frames);

// After FBS_INIT: block_factor from the engine's frames per buffer (clamped
// to 64..4096).
void read_block_factor();

// The output format (plug_bits, plug_rate, plug_channels) from the engine.
void read_output_format();

// The effects' start-up, after read_output_format and before the sample pass
// of a set load: the reverb, key reverb and equalizer settings clamped, the
// reverb set up and the equalizer coefficients computed.
void install_effects();

// The sample cycle, with the engine running: the output format and the
// effects; piano_sound falls back to set 0 when it is not complete in
// `folders`; when it differs from loaded_sound the waves held are destroyed,
// `loading` is told (when given) how many of the set's samples are in, from
// 0 on, as the set is loaded with its unfiltered copy, and its louder layers
// as velocity_layers asks (app/velocity_layers.h); then the key tone pass,
// the sounds (voices_attach), the speed table
// and the resampling family (resample_mode), the velocity curve, the level
// analysis restarted at `now`, the master callback and the effect routing.
// Returns an empty text, or the fatal text of a set that cannot be loaded or
// of "error create sound w,j"; the caller shows it and stops the engine.
std::string set_up_sample_set(const SoundFolders& folders, double now, void (*loading)(int loaded, int total));
