// SPDX-License-Identifier: GPL-3.0-or-later
// A take's file, through the MIDI file writer.
#include "midi/take_writer.h"

#include <algorithm>
#include <cmath>

#include "midi/midi_file.h"

namespace {

// A delta time has at most four bytes of seven bits. A longer pause is
// bridged by empty text events (which a reader skips).
constexpr uint32_t kLongestDelta = 0x0FFFFFFF;
const std::vector<uint8_t> kEmptyText = {0xFF, 0x01, 0x00};

int data_bytes(int status) { return (status >> 4) == 0xC || (status >> 4) == 0xD ? 1 : 2; }

}  // namespace

bool take_keeps(uint32_t message) {
  int status = message & 0xFF;
  if (status < 0x80 || status >= 0xF0) return false;
  uint32_t data = message >> 8 & (data_bytes(status) == 1 ? 0xFF : 0xFFFF);
  return (data & 0x8080) == 0;
}

std::vector<uint8_t> take_file_bytes(std::vector<TakeEvent> events) {
  events.erase(std::remove_if(events.begin(), events.end(), [](const TakeEvent& e) { return !take_keeps(e.message); }),
               events.end());
  if (events.empty()) return {};
  std::stable_sort(events.begin(), events.end(),
                   [](const TakeEvent& a, const TakeEvent& b) { return a.seconds < b.seconds; });
  if (events.size() > kTakeMostEvents) events.resize(kTakeMostEvents);

  std::vector<MidiTrackEvent> track;
  track.reserve(events.size() + 1);
  track.push_back({0, midi_tempo_event(kTakeTempo)});
  uint32_t last = 0;
  for (const TakeEvent& e : events) {
    double ms = std::nearbyint((e.seconds - events[0].seconds) * 1000.0);
    uint32_t tick = ms < 4294967295.0 ? (uint32_t)ms : 4294967295u;  // 49 days
    for (; tick - last > kLongestDelta; last += kLongestDelta) track.push_back({last + kLongestDelta, kEmptyText});
    last = tick;
    std::vector<uint8_t> bytes = {(uint8_t)e.message};
    for (int i = 1; i <= data_bytes(e.message & 0xFF); i++) bytes.push_back((uint8_t)(e.message >> (8 * i)));
    track.push_back({tick, std::move(bytes)});
  }
  return write_midi_file(0, kTakeTicksPerQuarter, {std::move(track)});
}
