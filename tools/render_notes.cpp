// SPDX-License-Identifier: GPL-3.0-or-later
// Writes the MIDI files from which a piano sample set is rendered: one
// standard MIDI file per sample note 12, 24, ..., 108, each playing that note
// once on a General MIDI program with the key held 14 s in a 16 s file.
//
// usage: render_notes OUT_DIR PROGRAM [VELOCITY]
// writes OUT_DIR/note_12.mid ... OUT_DIR/note_108.mid
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "midi/midi_file.h"

// 480 ticks per quarter note at 120 beats a minute: 960 ticks a second.
constexpr int kTicksPerQuarter = 480;
constexpr int kTicksPerSecond = 960;
constexpr int kHoldSeconds = 14;
constexpr int kTotalSeconds = 16;

static std::vector<uint8_t> note_file(int program, int note, int velocity) {
  const uint8_t n = (uint8_t)note;
  std::vector<MidiTrackEvent> track = {
      {0, midi_tempo_event(500000)},
      {0, {0xC0, (uint8_t)program}},
      {0, {0xB0, 10, 64}},  // centre pan, full channel volume, no sustain pedal
      {0, {0xB0, 7, 127}},
      {0, {0xB0, 64, 0}},
      {0, {0x90, n, (uint8_t)velocity}},
      {kHoldSeconds * kTicksPerSecond, {0x80, n, 0}},
      {kTotalSeconds * kTicksPerSecond, {0xFF, 0x2F, 0x00}},
  };
  return write_midi_file(0, kTicksPerQuarter, {track});  // format 0: a single track
}

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: render_notes OUT_DIR PROGRAM [VELOCITY]\n");
    return 2;
  }
  std::string dir = argv[1];
  int program = std::atoi(argv[2]);
  int velocity = argc > 3 ? std::atoi(argv[3]) : 110;
  if (program < 0 || program > 127 || velocity < 1 || velocity > 127) {
    std::fprintf(stderr, "render_notes: program 0..127, velocity 1..127\n");
    return 2;
  }
  for (int note = 12; note <= 108; note += 12) {
    std::vector<uint8_t> data = note_file(program, note, velocity);
    std::string name = dir + "/note_" + std::to_string(note) + ".mid";
    FILE* f = std::fopen(name.c_str(), "wb");
    if (f == nullptr || std::fwrite(data.data(), 1, data.size(), f) != data.size()) {
      std::fprintf(stderr, "render_notes: cannot write %s\n", name.c_str());
      if (f) std::fclose(f);
      return 1;
    }
    if (std::fclose(f) != 0) return 1;
  }
  return 0;
}
