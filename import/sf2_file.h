// SPDX-License-Identifier: GPL-3.0-or-later
// The preset layer of a SoundFont 2 or 3 file (.sf2, .sf3): its presets,
// instruments, zones and sample headers, read and checked without the sample
// data, and the zones that one key at one velocity sounds. The sound itself
// is the synthesiser's (import/sf2_note.h).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct Sf2Generator {
  uint16_t oper;
  int16_t amount;
};

struct Sf2Preset {
  std::string name;
  int program;
  int bank;
  uint32_t first_zone;  // into Sf2File::preset_zones
};

struct Sf2Instrument {
  std::string name;
  uint32_t first_zone;  // into Sf2File::instrument_zones
};

struct Sf2Sample {
  std::string name;
  uint32_t rate;    // Hz
  int root;         // the key it was recorded at (0..127)
  int correction;   // cents to add when it plays
};

// Each table ends with its terminal record, as in the file, so that zone i
// of a preset runs to the first zone of the next one; a zone's generators
// run likewise to the next zone's first.
struct Sf2File {
  std::vector<Sf2Preset> presets;
  std::vector<uint32_t> preset_zones;  // first generator of each preset zone
  std::vector<Sf2Generator> preset_generators;
  std::vector<Sf2Instrument> instruments;
  std::vector<uint32_t> instrument_zones;
  std::vector<Sf2Generator> instrument_generators;
  std::vector<Sf2Sample> samples;
};

// Reads the preset layer of a SoundFont file. False with a one-line reason
// in *error for anything that is not a well-formed SoundFont.
bool read_sf2(const std::string& path, Sf2File* font, std::string* error);
// The same from the bytes of the "pdta" list (the body after its "pdta" tag).
bool parse_sf2_pdta(const uint8_t* data, size_t size, Sf2File* font, std::string* error);

// The preset of a bank and program, or -1.
int sf2_find_preset(const Sf2File& font, int bank, int program);

// One sample that a key starts: where it plays relative to its own pitch at
// its own rate, in cents, is scale x (key - root) + tune.
struct Sf2Voice {
  int sample;
  int root;         // the overriding root key, or the sample's
  int scale;        // cents per key (100 unless the zones scale the tuning)
  int tune;         // coarse x 100 + fine + the sample's correction, cents
  int attenuation;  // centibels, instrument and preset added
};

// The samples that each key 0..127 at `velocity` starts on a preset, in the
// file's order; a key that no zone holds has none. A key that starts more
// than `most` keeps `most` + 1 and no more; `*crossings` (when not null)
// gets, for each key, how many instrument zones a player looks through for
// it (the sum of the zone counts of the instruments its preset zones name).
// One pass over the zones and keys, whatever the file.
std::vector<std::vector<Sf2Voice>> sf2_key_voices(const Sf2File& font, int preset, int velocity, size_t most,
                                                  std::vector<size_t>* crossings);
