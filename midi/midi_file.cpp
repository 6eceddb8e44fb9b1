// SPDX-License-Identifier: GPL-3.0-or-later
// Standard MIDI Files. The reader: the header, every track chunk with
// running status, the tempo map, and the merge of the tracks in time order.
// The writer: one track chunk per track, every status written out.
#include "midi/midi_file.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr uint32_t kDefaultTempo = 500000;  // microseconds per quarter note (120 bpm)

uint32_t be32(const uint8_t* p) {
  return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}
uint32_t be16(const uint8_t* p) { return (uint32_t)p[0] << 8 | p[1]; }

// An event of any track, before the tempo map places it.
struct TickEvent {
  uint64_t tick;
  uint32_t message;
};
struct TempoChange {
  uint64_t tick;
  uint32_t tempo;  // microseconds per quarter note
};

// Reads the events of one track chunk (bytes p..end). Returns an empty text
// or what is wrong; *last_tick is the tick of its last event.
std::string read_track(const uint8_t* p, const uint8_t* end, std::vector<TickEvent>* events,
                       std::vector<TempoChange>* tempos, uint64_t* last_tick) {
  uint64_t tick = 0;
  int running = 0;
  // A variable-length number of at most four bytes (28 bits).
  auto number = [&](uint32_t* value) {
    *value = 0;
    for (int i = 0; i < 4; i++) {
      if (p >= end) return false;
      uint8_t b = *p++;
      *value = *value << 7 | (b & 0x7F);
      if (!(b & 0x80)) return true;
    }
    return false;
  };
  while (p < end) {
    uint32_t delta;
    if (!number(&delta)) return p >= end ? "truncated event" : "delta time longer than four bytes";
    tick += delta;
    *last_tick = tick;
    if (p >= end) return "truncated event";
    int status = *p;
    if (status == 0xFF || status == 0xF0 || status == 0xF7) {
      p++;
      int type = 0;
      if (status == 0xFF) {
        if (p >= end) return "truncated event";
        type = *p++;
      }
      uint32_t length;
      if (!number(&length) || length > (uint32_t)(end - p)) return "truncated event";
      if (type == 0x51) {  // tempo
        if (length != 3) return "tempo event of " + std::to_string(length) + " bytes";
        uint32_t tempo = (uint32_t)p[0] << 16 | (uint32_t)p[1] << 8 | p[2];
        if (tempo == 0) return "tempo of 0";
        tempos->push_back({tick, tempo});
      }
      p += length;
      if (type == 0x2F) break;  // end of track
      continue;
    }
    if (status >= 0xF0) {
      char text[40];
      std::snprintf(text, sizeof text, "unexpected status byte 0x%02X", status);
      return text;
    }
    if (status & 0x80) {
      running = status;
      p++;
    } else if (running == 0) {
      return "data byte without a status";
    }
    int kind = running >> 4;
    int count = kind == 0xC || kind == 0xD ? 1 : 2;
    if (end - p < count) return "truncated event";
    uint32_t message = (uint32_t)running;
    for (int i = 0; i < count; i++) {
      if (p[i] & 0x80) return "status byte inside a message";
      message |= (uint32_t)p[i] << (8 * (i + 1));
    }
    p += count;
    events->push_back({tick, message});
  }
  return "";
}

}  // namespace

std::string read_midi_file(const uint8_t* data, size_t size, MidiFile* out) {
  *out = MidiFile();
  if (size > kMidiFileMaxBytes) return "larger than " + std::to_string(kMidiFileMaxBytes >> 20) + " MiB";
  if (size < 14 || std::string((const char*)data, 4) != "MThd") return "not a MIDI file";
  uint32_t header_length = be32(data + 4);
  if (header_length < 6 || header_length > size - 8) return "truncated header";
  int format = (int)be16(data + 8);
  int declared = (int)be16(data + 10);
  uint32_t division = be16(data + 12);
  if (format > 1) return "format " + std::to_string(format) + " is not supported";
  if (declared == 0) return "no tracks";
  // Seconds per tick: with the top bit set the division is SMPTE frames per
  // second (negated) times ticks per frame, and the tempo does not apply.
  double smpte_tick = 0.0;
  if (division & 0x8000) {
    int fps = 256 - (int)(division >> 8);
    int per_frame = (int)(division & 0xFF);
    if (per_frame == 0) return "division of 0 ticks per frame";
    smpte_tick = 1.0 / ((fps == 29 ? 29.97 : fps) * per_frame);
  } else if (division == 0) {
    return "division of 0 ticks per quarter note";
  }

  std::vector<TickEvent> events;
  std::vector<TempoChange> tempos;
  uint64_t last_tick = 0;
  int tracks = 0;
  size_t at = 8 + header_length;
  while (tracks < declared && at < size) {
    if (size - at < 8) return "truncated chunk";
    uint32_t length = be32(data + at + 4);
    if (length > size - at - 8) return "chunk length past the end of the file";
    if (std::string((const char*)data + at, 4) == "MTrk") {
      tracks++;
      uint64_t track_last = 0;
      std::string error = read_track(data + at + 8, data + at + 8 + length, &events, &tempos, &track_last);
      if (!error.empty()) return error + " in track " + std::to_string(tracks);
      last_tick = std::max(last_tick, track_last);
    }
    at += 8 + (size_t)length;  // other chunks are passed over
  }
  if (tracks < declared)
    return "holds " + std::to_string(tracks) + " of the " + std::to_string(declared) + " tracks its header names";

  // Tracks were read one after the other: a stable sort keeps, at equal
  // ticks, the order of the tracks and of each track.
  std::stable_sort(events.begin(), events.end(),
                   [](const TickEvent& a, const TickEvent& b) { return a.tick < b.tick; });
  std::stable_sort(tempos.begin(), tempos.end(),
                   [](const TempoChange& a, const TempoChange& b) { return a.tick < b.tick; });
  // The tempo map: seconds at the start of the current tempo, walked along
  // with the events.
  size_t next_tempo = 0;
  uint64_t tempo_tick = 0;
  double tempo_seconds = 0.0;
  double tick_seconds = smpte_tick > 0.0 ? smpte_tick : kDefaultTempo * 1e-6 / division;
  auto seconds_at = [&](uint64_t tick) {
    if (smpte_tick > 0.0) return (double)tick * smpte_tick;
    while (next_tempo < tempos.size() && tempos[next_tempo].tick <= tick) {
      tempo_seconds += (double)(tempos[next_tempo].tick - tempo_tick) * tick_seconds;
      tempo_tick = tempos[next_tempo].tick;
      tick_seconds = tempos[next_tempo].tempo * 1e-6 / division;
      next_tempo++;
    }
    return tempo_seconds + (double)(tick - tempo_tick) * tick_seconds;
  };
  out->events.reserve(events.size());
  for (const TickEvent& e : events) out->events.push_back({seconds_at(e.tick), e.message});
  out->end_seconds = seconds_at(last_tick);
  out->format = format;
  out->tracks = tracks;
  return "";
}

namespace {

void put_be(std::vector<uint8_t>& out, uint32_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; i--) out.push_back((uint8_t)(value >> (8 * i)));
}

// Seven bits a byte, the high bit set on every byte but the last.
void put_number(std::vector<uint8_t>& out, uint32_t value) {
  uint8_t bytes[5];
  int n = 0;
  do {
    bytes[n++] = value & 0x7F;
    value >>= 7;
  } while (value != 0);
  while (n > 1) out.push_back(bytes[--n] | 0x80);
  out.push_back(bytes[0]);
}

}  // namespace

std::vector<uint8_t> write_midi_file(int format, int ticks_per_quarter,
                                     std::vector<std::vector<MidiTrackEvent>> tracks) {
  std::vector<uint8_t> file = {'M', 'T', 'h', 'd'};
  put_be(file, 6, 4);
  put_be(file, (uint32_t)format, 2);
  put_be(file, (uint32_t)tracks.size(), 2);
  put_be(file, (uint32_t)ticks_per_quarter, 2);
  const std::vector<uint8_t> end_of_track = {0xFF, 0x2F, 0x00};
  for (std::vector<MidiTrackEvent>& events : tracks) {
    std::stable_sort(events.begin(), events.end(),
                     [](const MidiTrackEvent& a, const MidiTrackEvent& b) { return a.tick < b.tick; });
    if (events.empty() || events.back().bytes != end_of_track)
      events.push_back({events.empty() ? 0 : events.back().tick, end_of_track});
    std::vector<uint8_t> chunk;
    uint32_t tick = 0;
    for (const MidiTrackEvent& e : events) {
      put_number(chunk, e.tick - tick);
      tick = e.tick;
      chunk.insert(chunk.end(), e.bytes.begin(), e.bytes.end());
    }
    file.insert(file.end(), {'M', 'T', 'r', 'k'});
    put_be(file, (uint32_t)chunk.size(), 4);
    file.insert(file.end(), chunk.begin(), chunk.end());
  }
  return file;
}

std::vector<uint8_t> midi_tempo_event(uint32_t microseconds) {
  return {0xFF, 0x51, 0x03, (uint8_t)(microseconds >> 16), (uint8_t)(microseconds >> 8), (uint8_t)microseconds};
}
