// SPDX-License-Identifier: GPL-3.0-or-later
// SFZ instruments: the text read into regions, each with every opcode that
// the <control>, <global>, <master> and <group> headers above it give it,
// and the regions that one key at one velocity starts.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

enum SfzLoop { kSfzNoLoop, kSfzLoopContinuous };

struct SfzRegion {
  std::string sample;  // as written, with default_path before it
  int lokey = 0, hikey = 127;  // -1: no key plays the region
  int lovel = 1, hivel = 127;
  int keycenter = 60;    // pitch_keycenter
  bool keycenter_from_sample = false;  // pitch_keycenter=sample: the sample file's own root
  int keytrack = 100;    // pitch_keytrack, cents per key
  double tune = 0;       // cents
  int transpose = 0;     // keys
  double volume = 0;     // dB
  int64_t offset = 0;    // first frame played
  int64_t end = -1;      // last frame played; -1: the sample's last
  SfzLoop loop_mode = kSfzNoLoop;
  bool loop_mode_set = false;
  int64_t loop_start = -1, loop_end = -1;  // -1: the sample's own loop; loop_end is its last frame
  bool on_attack = true;  // played at the note's start (not at its release, not by a controller)
};

// Reads SFZ text (a leading byte-order mark is skipped). Opcodes the set
// maker does not use are passed over; a value of one it uses that does not
// read, or lies outside its range, is an error: false with a one-line
// reason that names the line. Key values may be numbers or note names
// (c4 = 60, c#4 or db4 = 61). "#define $NAME value" lines are honoured
// in the names and values after them; "#include" is refused (the caller
// puts the files in first: import/sfz_source.h).
bool parse_sfz(const std::string& text, std::vector<SfzRegion>* regions, std::string* error);

// The regions that `key` at `velocity` starts, in the file's order.
std::vector<const SfzRegion*> sfz_regions(const std::vector<SfzRegion>& regions, int key, int velocity);
