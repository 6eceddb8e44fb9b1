// SPDX-License-Identifier: GPL-3.0-or-later
// The louder layers' sounds of each voice, and starting and ending them
// together with the voice's own sound.
#include "midi/voice_layers.h"

#include "core/key_samples.h"
#include "core/settings_values.h"
#include "engine/fbs.h"

int voice_layer_count = 1;
LayerZone voice_layer_zones[kLayersMost - 1];
LayerMatch voice_layer_match = unmatched_layers();
int layer_sound[kLayersMost - 1][kSampleWaves][kSoundsPerSample + 1];

namespace {

// The engine's mixing limit before the layers raised it; 0 while not raised.
int32_t mixed_before_layers = 0;

int voice_sound(int layer, int w, int j) { return layer == 0 ? sound[w][j] : layer_sound[layer - 1][w][j]; }

void end_sound(int s, int64_t at, int declick) {
  if (at == kAtOnce)
    FBS_END_SOUND_RAMPED(s, declick);
  else
    FBS_END_SOUND_AT(s, declick, (uint32_t)at);
}

}  // namespace

bool voice_layers_attach(const int (*loud_waves)[kSampleWaves], const LayerZone* zones, const LayerMatch& match,
                         int loud_count, int* failed_layer, int* failed_wave, int* failed_sound) {
  if (loud_count < 0) loud_count = 0;
  if (loud_count > kLayersMost - 1) loud_count = kLayersMost - 1;
  // The inputs are closed, but the lock orders these writes before any
  // voice operation that follows.
  std::lock_guard<std::mutex> lock(voice_mutex);
  voice_layer_count = 1;
  voice_layer_match = match;
  // Every handle -1 first, so a detach after a failure destroys only sounds made.
  for (auto& layer : layer_sound)
    for (auto& row : layer)
      for (int& s : row) s = -1;
  for (int l = 0; l < loud_count; l++) {
    voice_layer_zones[l] = zones[l];
    for (int w = 0; w < kSampleWaves; w++) {
      for (int j = 1; j <= kSoundsPerSample; j++) {
        if (!FBS_CREATE_SOUND(loud_waves[l][w], &layer_sound[l][w][j])) {
          if (failed_layer) *failed_layer = l + 1;
          if (failed_wave) *failed_wave = w;
          if (failed_sound) *failed_sound = j;
          voice_layer_count = l + 1;  // so that detach destroys what was made
          return false;
        }
      }
    }
  }
  voice_layer_count = 1 + loud_count;
  // A note plays up to two sounds: the mixer must take twice as many as
  // without layers, or the sounds beyond its limit would sit out.
  if (loud_count > 0 && mixed_before_layers == 0) {
    int32_t mixed = 0;
    FBS_GET_MAXCHANNELS(&mixed);
    mixed_before_layers = mixed > 0 ? mixed : 1;
    FBS_SET_MAXCHANNELS(2 * mixed_before_layers);
  }
  return true;
}

void voice_layers_detach() {
  std::lock_guard<std::mutex> lock(voice_mutex);
  for (int l = 0; l + 1 < voice_layer_count; l++)
    for (int w = 0; w < kSampleWaves; w++)
      for (int j = 1; j <= kSoundsPerSample; j++) FBS_DESTROY_SOUND(&layer_sound[l][w][j]);
  voice_layer_count = 1;
  if (mixed_before_layers > 0) FBS_SET_MAXCHANNELS(mixed_before_layers);
  mixed_before_layers = 0;
}

bool voice_layers_playing() { return voice_layer_count > 1 && velocity_layers.load() == 1; }

void play_voice_layers(int w, int j, int key, int velocity, float level, int64_t at, int declick) {
  LayerMix mix = layer_mix(velocity, voice_layer_zones, voice_layer_count - 1);
  float low_factor = 0, high_factor = 0;
  layer_factors(mix, voice_layer_match, w, &low_factor, &high_factor);
  float speed = speed_table[key].load();
  for (int l = 0; l < voice_layer_count; l++) {
    float weight = l == mix.low ? mix.low_weight : (l == mix.high ? mix.high_weight : 0.0f);
    float factor = l == mix.low ? low_factor : high_factor;
    int s = voice_sound(l, w, j);
    if (weight < kLayerSilentWeight) {
      end_sound(s, at, declick);
      continue;
    }
    // A start at a frame takes its level and speed with it (midi/voices.cpp).
    if (at == kAtOnce) {
      FBS_SET_SOUNDVOLUME(s, level * factor);
      FBS_SET_SOUNDSPEED(s, speed);
      FBS_PLAY_SOUND_RAMPED(s, 1, declick);
    } else {
      FBS_PLAY_SOUND_AT(s, 1, declick, (uint32_t)at, level * factor, speed);
    }
  }
}

void end_voice_layers(int w, int j, int64_t at, int declick) {
  for (int l = 1; l < voice_layer_count; l++) end_sound(voice_sound(l, w, j), at, declick);
}
