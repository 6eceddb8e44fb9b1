// SPDX-License-Identifier: GPL-3.0-or-later
// The louder layers' sounds of each voice (core/layer_zones.h): beside the
// voice table's sound[w][j] (layer 0, the loaded set), voice [w][j] owns
// layer_sound[l - 1][w][j] of each louder layer l, made from that layer's
// wave w. A note plays at most two of them; every operation that starts or
// ends a voice's sound goes through the two helpers below, so the layers of
// a note start, restart and end as one.
//
// Threads: the tables and the zones are written by the main thread while
// the MIDI inputs are closed (voice_layers_attach, voice_layers_detach);
// the helpers run under voice_mutex on whichever thread holds it.
#pragma once
#include <cstdint>

#include "core/layer_zones.h"
#include "midi/voices.h"

// Layers of the loaded sounds: 1 when the set plays alone.
extern int voice_layer_count;
// Zone l - 1 lies between layer l - 1 and layer l.
extern LayerZone voice_layer_zones[kLayersMost - 1];
// How the loaded layers compare, wave by wave.
extern LayerMatch voice_layer_match;
extern int layer_sound[kLayersMost - 1][kSampleWaves][kSoundsPerSample + 1];

// Makes the 24 sounds of each wave of `loud_count` louder layers
// (loud_waves[l - 1] for layer l) with their zones and how they compare.
// Returns false with the
// layer, wave and sound that could not be made; the sounds made stay and
// voice_layers_detach destroys them. With a louder layer the engine mixes
// twice as many sounds at once (FBS_SET_MAXCHANNELS, at most 256) until
// the detach. Main thread, MIDI inputs closed, after voices_attach.
bool voice_layers_attach(const int (*loud_waves)[kSampleWaves], const LayerZone* zones, const LayerMatch& match,
                         int loud_count, int* failed_layer, int* failed_wave, int* failed_sound);
// Destroys the louder layers' sounds; the set plays alone again.
void voice_layers_detach();

// True while note-ons share their level between layers: velocity_layers is
// on and louder layers are loaded.
bool voice_layers_playing();

// Starts (or restarts, crossfading) voice [w][j] for `key` at `velocity`:
// each layer the velocity plays gets the note's `level` times its factor
// (layer_factors),
// the speed of the key and a start on frame `at` (kAtOnce: the next block);
// a layer it does not play is ended, in case an earlier note left it
// sounding. Under voice_mutex.
void play_voice_layers(int w, int j, int key, int velocity, float level, int64_t at, int declick);
// Ends the louder layers' sounds of voice [w][j] as its own sound is ended:
// ramped over `declick` frames from frame `at`. Nothing with no louder
// layer loaded. Under voice_mutex.
void end_voice_layers(int w, int j, int64_t at, int declick);
