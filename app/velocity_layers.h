// SPDX-License-Identifier: GPL-3.0-or-later
// Velocity layers of the sample sets: the file that declares them, the
// chain of louder sets a set plays with, and their waves while loaded.
//
// A sounds folder may hold "layers.txt", one pair a line, "BASE LOUD FROM
// TO" (set LOUD is the loud layer of set BASE, crossfaded over velocities
// FROM..TO, core/layer_zones.h); "#" starts a comment. A bad line is named
// in one line on standard error and skipped. The user's folder's lines
// replace the shipped folder's for the same BASE.
//
// Threads: main thread.
#pragma once
#include <string>
#include <vector>

#include "app/sample_sets.h"
#include "core/key_samples.h"
#include "core/layer_zones.h"

constexpr const char* kLayersFileName = "layers.txt";

struct LayerLine {
  int base;
  int loud;
  int from;
  int to;
};

// The pairs of the text of a layers file, in file order. Each bad line (not
// four whole numbers, a set outside 0..14, a set its own layer, a zone not
// within 0..127 or running backwards, a second line for one BASE) is left
// out and described in one line "NAME:LINE: ..." appended to *bad.
std::vector<LayerLine> parse_layers_text(const std::string& text, const std::string& name,
                                         std::vector<std::string>* bad);

// The pairs of folder + "layers.txt" (none without the file); its bad lines
// go to standard error.
std::vector<LayerLine> read_layers_file(const std::string& folder);

// A set and the louder sets it plays with: sets[0] is the set, sets[l] its
// layer l, zones[l - 1] the zone below layer l.
struct LayerChain {
  int count = 1;
  int sets[kLayersMost] = {-1, -1, -1, -1};
  LayerZone zones[kLayersMost - 1] = {};
  // Filled when the layers are loaded (measure_layers).
  LayerMatch match = unmatched_layers();
};

// The chain of `set` in the folders: its loud layer, that layer's loud
// layer and so on, while each is complete, new to the chain and its zone
// starts no lower than the one below it ends (what stops a chain otherwise
// is named on standard error), up to kLayersMost layers.
LayerChain layer_chain(int set, const SoundFolders& folders = program_sound_folders());

// Declares `loud` the loud layer of `base` with the zone from..to in
// folder's layers.txt, replacing an earlier line for `base` and keeping the
// others (bad lines included) and the comments. The file is replaced only
// once the new one is complete. Returns an empty text, or what failed.
std::string declare_loud_layer(const std::string& folder, int base, int loud, int from, int to);

// ---- The layers loaded with the set (main thread) ----

// The chain loaded: count 1 while the set plays alone.
extern LayerChain loaded_layers;
// Waves of the louder layers, layer_waves[l - 1] for layer l; -1 when none.
extern int layer_waves[kLayersMost - 1][kSamplesPerSet];

// After the set `base` is loaded into base_waves, before the sample pass
// (the layers are measured against it as loaded): loads the louder
// layers of its chain when velocity_layers is 1 and they are not loaded yet
// (only the set when it is 0), drops the ones no longer wanted and hands
// the rows to the sample pass. A layer that does not load is named on
// standard error and the chain ends below it; the set plays on.
void set_up_layers(int base, const int base_waves[kSamplesPerSet], const SoundFolders& folders);
// How the first 300 ms of layer l's wave w compare with layer l - 1's
// (waves[l], -1 for none), as the gains and coherences of LayerMatch: the
// waves as loaded, before the sample pass. A silent or missing wave keeps
// gain 1 and coherence 0.
LayerMatch measure_layers(const int (*waves)[kSamplesPerSet], int count);
// Makes the sounds of the layers loaded (midi/voice_layers.h), after
// voices_attach. Returns an empty text or "error create sound l,w,j".
std::string attach_layer_sounds();
// Destroys the louder layers' waves (with the sounds detached).
void drop_layer_waves();

// The loaded set's name on the status screen: its prefix, followed by "+"
// and each louder layer's number while they play ("piano+5").
std::string layered_set_name(int set);

// The L key: velocity_layers on or off. Returns true when the main loop
// must reload `loaded_set` to load its layers.
bool toggle_velocity_layers(int loaded_set);
