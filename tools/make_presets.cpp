// SPDX-License-Identifier: GPL-3.0-or-later
// Writes the five factory presets shown as thumbnails in the full view:
// granpiano, granpiano1, granpiano2, upright and epiano, and grandlayers,
// the layered grand for the P menu (".preset" files in
// the settings format, written by the program's own settings writer). Each
// starts from the defaults and changes the sample set, the effects and the
// velocity response. The sets are those that scripts/make-assets makes:
// 0 grand piano soft (with 5 as its loud layer), 1 bright grand, 3 honky-tonk upright, 4 electric
// piano, 5 grand piano loud.
//
// usage: make_presets OUT_DIR
#include <cstdio>
#include <string>

#include "app/settings.h"

struct FactoryPreset {
  const char* name;
  void (*apply)();
};

// The grand with its loud layer (sets 0 and 5), medium touch, a light room
// and gentle compression.
static void granpiano() {
  piano_sound = 0;
  velocity_layers = 1;
  velo_mode = 2;
  autovol_mode = 2;
  reverb_mode = 1;
}

// Bright grand in a larger hall, with the equalizer lifting the treble.
static void granpiano1() {
  piano_sound = 1;
  velo_mode = 2;
  autovol_mode = 2;
  reverb_mode = 2;
  reverb2_params = {0.42f, 0.3f, 180, 260};
  equalizer_on = 1;
  eq_bands.lowf = 200;
  eq_bands.highf = 6000;
  eq_bands.lowg = 1.3f;
  eq_bands.midg = 1.0f;
  eq_bands.highg = 1.6f;
}

// The loud grand for expressive playing: full square-law touch, echoes
// baked into each key's sample and the long reverb.
static void granpiano2() {
  piano_sound = 5;
  velo_mode = 3;
  autovol_mode = 3;
  reverb_mode = 3;
  reverb3_params = {0.5f, 0.34f, 240, 330};
  keyrev_on = 1;
  keyrev_params = {0.3f, 0.2f, 90, 140};
}

// Honky-tonk upright: dry, a lighter touch and the key tone filters warming
// the bass.
static void upright() {
  piano_sound = 3;
  velo_mode = 1;
  autovol_mode = 1;
  reverb_mode = 0;
  keytone_mode = 1;
  keytone_bands.lowf = 250;
  keytone_bands.highf = 5000;
  keytone_bands.lowg = 1.6f;
  keytone_bands.midg = 1.0f;
  keytone_bands.highg = 0.8f;
}

// Electric piano: light touch, a soft reverb, rounder treble.
static void epiano() {
  piano_sound = 4;
  velo_mode = 1;
  autovol_mode = 2;
  reverb_mode = 2;
  reverb2_params = {0.35f, 0.25f, 150, 230};
  equalizer_on = 1;
  eq_bands.lowf = 150;
  eq_bands.highf = 7000;
  eq_bands.lowg = 1.5f;
  eq_bands.midg = 1.0f;
  eq_bands.highg = 0.9f;
}

// The layered grand for the widest touch: the full square-law curve
// reaches the loud layer's whole brightness, with reverb 2 and no
// compression to flatten it. Not a thumbnail: loaded with P.
static void grandlayers() {
  piano_sound = 0;
  velocity_layers = 1;
  velo_mode = 3;
  autovol_mode = 0;
  reverb_mode = 2;
}

static const FactoryPreset kPresets[] = {
    {"granpiano", granpiano}, {"granpiano1", granpiano1}, {"granpiano2", granpiano2},
    {"upright", upright},     {"epiano", epiano},         {"grandlayers", grandlayers},
};

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_presets OUT_DIR\n");
    return 2;
  }
  std::string dir = std::string(argv[1]) + "/";
  for (const FactoryPreset& p : kPresets) {
    set_default_settings();
    p.apply();
    preset_name = std::string(p.name) + ".preset";
    preset_bank = 0;
    std::string path = dir + p.name + ".preset";
    if (!write_settings(path.c_str())) {
      std::fprintf(stderr, "make_presets: cannot write %s\n", path.c_str());
      return 1;
    }
  }
  return 0;
}
