// SPDX-License-Identifier: GPL-3.0-or-later
// The sample pass: the single route by which the loaded samples are
// rewritten. An untouched copy of the nine waves is kept; run by run, the key
// tone stage filters it, the key reverb stage adds the echoes, and the result
// is written back, clamped to +-32767, into the engine's own wave data. The
// key tone's result is not kept: its filters as the last key tone pass set
// them up are, and the key reverb pass alone filters the copy with them
// again, which gives the same values.
//
// Threads: everything here is called on the main thread, which a pass holds
// until it has ended; a pass shares the waves out among worker threads of
// its own (up to kPassWorkers, the main thread one of them). The mixer
// thread may be playing the waves while a pass rewrites them (see
// store_sample in sample_pass.cpp, and core/threads.md).
//
// The copy is made at the first pass that needs it, when the key tone or the
// key reverb is first switched on, and kept for the program's life; until
// then a pass with both stages off works on the waves alone, with the same
// result. Its rows have room for 16 s at the highest output rate, and a pass
// works on 16 s at the output rate: only the pages it touches take memory
// (about 25 MB at 44100 Hz, 28 MB at 48000 Hz, for each layer of the set
// loaded), and each pass worker's two
// key reverb lines 3.3 MB each.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/key_samples.h"
#include "core/layer_zones.h"
#include "effects/master_chain.h"

constexpr int kPassValues = 1411200;    // 16 s of 44100 Hz stereo, in values
constexpr int kPassMonoValues = kPassValues / 2;
constexpr int kPassRowValues = 16 * kEffectRateMax * 2;  // 16 s of stereo at the highest rate
// Rows of the unfiltered copy: nine per layer of the loaded set, layer l's
// wave w in row l x 9 + w (core/layer_zones.h). Rows of layers not loaded
// take no memory.
constexpr int kPassRows = kSamplesPerSet * kLayersMost;

// Values of stereo output a pass works on: 16 s at plug_rate (kPassValues
// at 44100 Hz), an even count.
int pass_row_values();

// The waves as loaded, before any key tone or key reverb: row w holds the
// first (up to) pass_row_values() values of wave w, the next one 0 (rows of
// a louder layer from 9 on, as kPassRows says). Null until made.
extern int16_t (*unfiltered_samples)[kPassRowValues + 1];
constexpr size_t kUnfilteredBytes = sizeof(int16_t) * kPassRows * (kPassRowValues + 1);

// Threads a pass works on at most, each with its own key reverb lines.
constexpr int kPassWorkers = 4;
// The threads a pass works on: 1 to kPassWorkers, or 0 (the default) for one
// per core up to kPassWorkers. The result is the same for any number. Main
// thread.
void set_sample_pass_workers(int workers);

// Shows the text of a failure to make the unfiltered copy and ends the process with
// status 1; never returns. The default writes the text to standard error.
// The live program installs its fatal notice at start-up.
void set_sample_pass_fatal(void (*fatal)(const std::string& text));

// Keeps the handles of the nine waves just loaded (-1 for none), which every
// later pass rewrites, and takes their unfiltered copy: now when its buffer
// is made, else when a pass makes it (until then nothing but the pass may
// write these waves). Called after each set load.
void copy_unfiltered_samples(const int waves[kSamplesPerSet]);
// The same for the nine waves of louder layer `layer` (1..kLayersMost - 1)
// of the loaded set, all -1 when it has none; the other rows keep theirs.
// Called when the layers loaded change.
void copy_unfiltered_layer(int layer, const int waves[kSamplesPerSet]);

// Values of wave w the pass works on: pass_row_values() for stereo output
// (1411200 at 44100 Hz), half that for mono, at most the wave's length; 0
// when the wave is not there.
int pass_length(int wave);

// The key tone stage for all nine waves (8 down to 0) of every layer loaded
// (the louder first), with the filters of
// keytone_mode and keytone_bands, then the key reverb stage and the
// write-back. After every set load, on [X], and from the key tone editor.
void keytone_pass();

// The key reverb stage (when keyrev_on is 1) and the write-back for all nine
// waves of every layer loaded, on the key tone of the last keytone_pass. On [Y], and from the key
// reverb editor. The first pass_length(w) values of every wave are rewritten
// even with both stages off (-32768 then becomes -32767).
void keyreverb_pass();
