// SPDX-License-Identifier: GPL-3.0-or-later
// A take's file, through the MIDI file writer.
#include "midi/take_writer.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "midi/midi_file.h"

namespace {

// A delta time has at most four bytes of seven bits. A longer pause is
// bridged by empty text events (which a reader skips).
constexpr uint32_t kLongestDelta = 0x0FFFFFFF;
const std::vector<uint8_t> kEmptyText = {0xFF, 0x01, 0x00};

int data_bytes(int status) { return (status >> 4) == 0xC || (status >> 4) == 0xD ? 1 : 2; }

// Ticks per quarter note and tempo (µs per quarter note) whose tick is
// exactly 1 / rate s, the tempo as near 500000 µs as the division (below
// 32768) allows; false when none fits the file's fields.
bool tick_format(uint32_t rate, int* ticks_per_quarter, uint32_t* tempo) {
  if (rate == 0) return false;
  uint32_t g = std::gcd(1000000u, rate);
  uint32_t q = rate / g, t = 1000000u / g;
  if (q > 32767 || t > 500000) return false;
  uint32_t m = std::min(500000u / t, 32767u / q);
  *ticks_per_quarter = (int)(q * m);
  *tempo = t * m;
  return true;
}

}  // namespace

bool take_keeps(uint32_t message) {
  int status = message & 0xFF;
  if (status < 0x80 || status >= 0xF0) return false;
  uint32_t data = message >> 8 & (data_bytes(status) == 1 ? 0xFF : 0xFFFF);
  return (data & 0x8080) == 0;
}

std::vector<uint8_t> take_file_bytes(std::vector<TakeEvent> events, uint32_t ticks_per_second) {
  events.erase(std::remove_if(events.begin(), events.end(), [](const TakeEvent& e) { return !take_keeps(e.message); }),
               events.end());
  if (events.empty()) return {};
  std::stable_sort(events.begin(), events.end(),
                   [](const TakeEvent& a, const TakeEvent& b) { return a.seconds < b.seconds; });
  if (events.size() > kTakeMostEvents) events.resize(kTakeMostEvents);

  int ticks_per_quarter = 0;
  uint32_t tempo = 0;
  double span = (events.back().seconds - events[0].seconds) * ticks_per_second;
  if (!(span < 4294967295.0) || !tick_format(ticks_per_second, &ticks_per_quarter, &tempo)) {
    ticks_per_second = kTakeMillisecondTicks;
    tick_format(ticks_per_second, &ticks_per_quarter, &tempo);
  }
  std::vector<MidiTrackEvent> track;
  track.reserve(events.size() + 1);
  track.push_back({0, midi_tempo_event(tempo)});
  uint32_t last = 0;
  for (const TakeEvent& e : events) {
    double ticks = std::nearbyint((e.seconds - events[0].seconds) * ticks_per_second);
    uint32_t tick = ticks < 4294967295.0 ? (uint32_t)ticks : 4294967295u;  // 49 days of milliseconds
    for (; tick - last > kLongestDelta; last += kLongestDelta) track.push_back({last + kLongestDelta, kEmptyText});
    last = tick;
    std::vector<uint8_t> bytes = {(uint8_t)e.message};
    for (int i = 1; i <= data_bytes(e.message & 0xFF); i++) bytes.push_back((uint8_t)(e.message >> (8 * i)));
    track.push_back({tick, std::move(bytes)});
  }
  return write_midi_file(0, ticks_per_quarter, {std::move(track)});
}
