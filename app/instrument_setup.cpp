// SPDX-License-Identifier: GPL-3.0-or-later
// The instrument's set-up between the engine's start and the MIDI ports,
// shared by the live program and the offline renderer.
#include "app/instrument_setup.h"

#include "app/sample_sets.h"
#include "app/velocity_layers.h"
#include "core/settings_ranges.h"
#include "core/text_number.h"
#include "effects/autovol.h"
#include "effects/equalizer.h"
#include "effects/master_chain.h"
#include "effects/reverb.h"
#include "effects/sample_pass.h"
#include "engine/fbs.h"
#include "midi/voices.h"

int loaded_sound = -1;
int wave[kSamplesPerSet] = {-1, -1, -1, -1, -1, -1, -1, -1, -1};

int clamp_buffer_size(int frames) { return clamp_int(frames, kBufferSizeMin, kBufferSizeMax); }

void read_block_factor() { block_factor = 1024.0f / clamp_int(FBS_GET_PLUGFRAMES(), 64, 4096); }

void read_output_format() {
  plug_bits = FBS_GET_PLUGBITS();
  plug_rate = FBS_GET_PLUGRATE();
  plug_channels = FBS_GET_PLUGCHANNELS();
}

void install_effects() {
  clamp_reverb_params(&reverb2_params);
  clamp_reverb_params(&reverb3_params);
  clamp_reverb_params(&keyrev_params);
  setup_reverb();
  clamp_eq_settings();
  compute_eq_coefficients();
}

std::string set_up_sample_set(const SoundFolders& folders, double now, void (*loading)(int loaded, int total)) {
  // The effects first: the sample pass below uses the output format and the
  // clamped key reverb parameters.
  read_output_format();
  install_effects();
  // The output may run at another rate than the samples (a JACK server's):
  // they are then converted by the band-limited kernel, not by repeated frames.
  FBS_SET_WAVECONVERTER(1);
  if (!sample_set_complete(piano_sound, folders)) piano_sound = 0;
  if (piano_sound != loaded_sound) {
    // Waves kept for a reload of the same set are still held when that set
    // has since become incomplete and set 0 is loaded instead.
    for (int w = 0; w < kSamplesPerSet; w++)
      if (wave[w] >= 0) FBS_DESTROY_WAVE(&wave[w]);
    drop_layer_waves();
    loaded_sound = piano_sound;
    if (loading) loading(0, kSamplesPerSet);
    std::string failure = load_sample_set(loaded_sound, wave, folders, loading);
    if (!failure.empty()) return failure;
    copy_unfiltered_samples(wave);
  }
  set_up_layers(loaded_sound, wave, folders);
  keytone_pass();

  int failed_wave = 0, failed_sound = 0;
  if (!voices_attach(wave, &failed_wave, &failed_sound))
    return "error create sound " + std::to_string(failed_wave) + "," + std::to_string(failed_sound);
  std::string layer_failure = attach_layer_sounds();
  if (!layer_failure.empty()) return layer_failure;

  build_speed_table(type_offset);
  FBS_SET_RESAMPLEMODE(resample_mode);
  build_velocity_curve(loaded_sound, velo_mode);
  restart_level_analysis(now);
  FBS_SET_MASTERCALLBACK(master_callback);
  update_effect_routing();
  return "";
}
