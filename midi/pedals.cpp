// SPDX-License-Identifier: GPL-3.0-or-later
// The piano pedals: the sustain's depth and damping, the sostenuto's notes
// and the soft pedal's velocity.
#include "midi/pedals.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>

#include "core/settings_values.h"
#include "engine/fbs.h"
#include "midi/midi_input.h"
#include "midi/voice_layers.h"
#include "midi/voices.h"

namespace {

constexpr int kSustain = 64, kSostenuto = 66, kSoft = 67;
// The sustain's depth rises from 0 above this value to 1 at kDepthFull.
constexpr int kDepthZero = 25, kDepthFull = 95;
// A damped note's time to fall 60 dB just above depth 0 and just below 1.
constexpr double kDampShortest = 0.1, kDampLongest = 20.0;
constexpr double kSoftFactor = 0.7;

// Under voice_mutex: the sustain's depth (while pedal_down is 1), whether
// the sostenuto is down, the notes it caught (keys down when it went down)
// and those of them it now holds (their keys came up).
double depth_now = 0.0;
bool sostenuto_down = false;
uint8_t sostenuto_caught[kKeyCount][kMidiChannels];
uint8_t sostenuto_held[kKeyCount][kMidiChannels];

std::atomic<int> soft_down{0};

bool pedals_on() { return pedal_mode.load() == 1; }

// The sustain moved to a value whose depth is above 0: the notes it holds
// take the new depth's damping (voice_mutex held).
void sustain_moved_locked(int value, int64_t at) {
  depth_now = sustain_depth(value);
  pedal_down.store(1);
  for (int w = 0; w < kSampleWaves; w++) {
    for (int j = 1; j <= kSoundsPerSample; j++) {
      int k = voice_key[w][j];
      int ch = voice_channel[w][j];
      if (k > 0 && k < kKeyCount && ch >= 0 && ch < kMidiChannels && held_by_pedal[k][ch] == 1)
        damp_held_voice_locked(w, j, at);
    }
  }
}

// The sostenuto went down (1) or up (0) (voice_mutex held).
void sostenuto_moved_locked(int value, int64_t at) {
  bool down = value != 0;
  if (down == sostenuto_down) return;
  sostenuto_down = down;
  if (down) {
    for (int k = 0; k < kKeyCount; k++)
      for (int ch = 0; ch < kMidiChannels; ch++) sostenuto_caught[k][ch] = note_count[k][ch] > 0;
    return;
  }
  for (int k = 0; k < kKeyCount; k++) {
    for (int ch = 0; ch < kMidiChannels; ch++) {
      // A key down again ends its note itself when it comes up.
      if (sostenuto_held[k][ch] && note_count[k][ch] <= 0) voice_release_after_delay_locked(k, ch, at);
    }
  }
  std::memset(sostenuto_caught, 0, sizeof sostenuto_caught);
  std::memset(sostenuto_held, 0, sizeof sostenuto_held);
}

}  // namespace

double sustain_depth(int value) {
  if (value <= kDepthZero) return 0.0;
  if (value >= kDepthFull) return 1.0;
  return (double)(value - kDepthZero) / (kDepthFull - kDepthZero);
}

double damping_seconds(double depth) {
  if (depth >= 1.0) return 0.0;
  depth = std::max(0.0, depth);
  return kDampShortest * std::pow(kDampLongest / kDampShortest, depth);
}

int soft_velocity(int velocity) {
  if (!pedals_on() || soft_down.load() == 0) return velocity;
  return std::max(1, (int)std::lround(velocity * kSoftFactor));
}

bool piano_pedal(int controller, int value, int64_t at) {
  if (!pedals_on()) return false;
  switch (controller) {
    case kSustain:
      // Depth 0 lets the notes go as the switch pedal does.
      if (sustain_depth(value) <= 0.0)
        voice_pedal_release(at);
      else
        run_with_voices(sustain_moved_locked, value, at);
      return true;
    case kSostenuto: run_with_voices(sostenuto_moved_locked, value >= 64, at); return true;
    case kSoft: soft_down.store(value >= 64); return true;
    default: return false;
  }
}

void piano_pedals_up() {
  soft_down.store(0);
  run_with_voices(sostenuto_moved_locked, 0, kAtOnce);
}

bool sostenuto_holds_locked(int key, int channel) {
  if (!sostenuto_down || !pedals_on() || !sostenuto_caught[key][channel]) return false;
  sostenuto_held[key][channel] = 1;
  return true;
}

void damp_held_voice_locked(int w, int j, int64_t at) {
  if (!pedals_on()) return;
  float seconds = (float)damping_seconds(depth_now);
  // The note's louder layers fade with it.
  for (int l = 0; l < voice_layer_count; l++) {
    int handle = l == 0 ? sound[w][j] : layer_sound[l - 1][w][j];
    if (handle < 0) continue;
    if (at == kAtOnce)
      FBS_SET_SOUNDDAMPING(handle, seconds);
    else
      FBS_SET_SOUNDDAMPING_AT(handle, seconds, (uint32_t)at);
  }
}
