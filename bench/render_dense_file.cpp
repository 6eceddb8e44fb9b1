// SPDX-License-Identifier: GPL-3.0-or-later
// Writes the dense performance that bench/render_vs_peer renders: chords of
// six keys across the keyboard every quarter second for a minute, each key
// held three seconds, so more than 60 notes sound at once for most of it,
// with the sustain pedal going down and up every four seconds. The same file
// every time (a fixed random sequence).
//
// usage: bench_render_dense_file OUT.mid
#include <cstdio>
#include <cstdint>
#include <vector>

#include "midi/midi_file.h"

constexpr int kTicksPerQuarter = 480;  // at 120 bpm: 960 ticks a second
constexpr int kTicksPerSecond = 960;
constexpr int kSeconds = 60;
constexpr int kChordTicks = kTicksPerSecond / 4;
constexpr int kChordKeys = 6;
constexpr int kHoldTicks = 3 * kTicksPerSecond;
constexpr int kLowKey = 24, kHighKey = 104;

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: bench_render_dense_file OUT.mid\n");
    return 2;
  }
  uint32_t seed = 12345;
  auto random = [&seed](int n) {
    seed = seed * 1664525u + 1013904223u;
    return (int)((seed >> 8) % (uint32_t)n);
  };
  std::vector<MidiTrackEvent> track = {{0, midi_tempo_event(500000)}};
  int chords = (kSeconds - 3) * kTicksPerSecond / kChordTicks;
  for (int c = 0; c < chords; c++) {
    uint32_t at = (uint32_t)(c * kChordTicks);
    // A chord of six keys a few semitones apart, rooted anywhere on the keyboard.
    int key = kLowKey + random(kHighKey - kLowKey - 24);
    for (int k = 0; k < kChordKeys; k++) {
      key += 2 + random(4);
      uint8_t velocity = (uint8_t)(40 + random(80));
      track.push_back({at, {0x90, (uint8_t)key, velocity}});
      track.push_back({at + kHoldTicks, {0x80, (uint8_t)key, 0}});
    }
    if (c % 16 == 0) track.push_back({at, {0xB0, 64, 127}});
    if (c % 16 == 12) track.push_back({at, {0xB0, 64, 0}});
  }
  track.push_back({(uint32_t)(kSeconds * kTicksPerSecond), {0xB0, 64, 0}});
  std::vector<uint8_t> data = write_midi_file(0, kTicksPerQuarter, {track});
  FILE* f = std::fopen(argv[1], "wb");
  if (!f || std::fwrite(data.data(), 1, data.size(), f) != data.size() || std::fclose(f) != 0) {
    std::fprintf(stderr, "bench_render_dense_file: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
