// SPDX-License-Identifier: GPL-3.0-or-later
// Shared set-up of the MIDI tests: a clock the test steps, the loopback port
// back end, the headless dialogs, and the MIDI and voice state put back to
// its start values.
#pragma once
#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "core/clock.h"
#include "engine/fbs.h"

#include "app/sample_sets.h"
#include "app/settings.h"
#include "core/shared_state.h"
#include "effects/master_chain.h"
#include "midi/midi_input.h"
#include "midi/voices.h"
#include "platform/dialogs.h"
#include "platform/dialogs_headless.h"
#include "platform/midi_io.h"
#include "platform/midi_loopback.h"
#include "platform/window.h"
#include "platform/window_headless.h"

namespace midi_test {

inline std::atomic<double> fake_now{1000.0};
inline double fake_clock() { return fake_now.load(); }

// Packs a short message the way a driver hands it over.
inline uint32_t msg(int status, int data1 = 0, int data2 = 0) {
  return (uint32_t)status | ((uint32_t)data1 << 8) | ((uint32_t)data2 << 16);
}

// Calls the handler as the driver would, at the fake time t.
inline void deliver_at(double t, uint32_t message) {
  fake_now.store(t);
  midi_input_handler(1, kMidiShortMessage, 0, message, 0);
}

inline void reset_midi_state() {
  program_clock = fake_clock;
  fake_now.store(1000.0);
  reset_midi_timing();
  auxvar.store(0.0);
  pedal_down.store(0);
  transpose.store(0);
  thru_port.store(0);
  type_offset.store(6);
  autovol_mode.store(0);
  autovolmidi.store(0);
  keyvol_on.store(0);
  note_off_delay.store(0.08);
  input_active.store(0);
  reset_channel_volumes();
  build_speed_table(6);
  build_velocity_curve(0, 2);
  free_all_voices();
  {
    std::lock_guard<std::mutex> lock(voice_mutex);
    queue_read = queue_write = 0;
    for (int k = 0; k < 128; k++)
      for (int ch = 0; ch < 16; ch++) note_on_time[k][ch] = 0.0;
    velocity_average = 0.0f;
    note_counter = note_counter_mark = 0;
    keys_down_count = keys_up_count = 0;
    clear_marks = 0;
  }
  for (std::string& name : midi_in_port_name) name.clear();
  thru_port_name.clear();
  take_pending_key();
  take_pending_message();
  win_use_headless(true);
  dialog_clear_history();
}

// Number of voices of key k on channel ch (0 or 1 in a sane state).
inline int voices_of(int key, int channel) {
  std::lock_guard<std::mutex> lock(voice_mutex);
  int n = 0;
  for (int w = 0; w < kSampleWaves; w++)
    for (int j = 1; j <= kSoundsPerSample; j++)
      if (voice_key[w][j] == key && voice_channel[w][j] == channel) n++;
  return n;
}

inline int queued_note_offs() {
  std::lock_guard<std::mutex> lock(voice_mutex);
  int n = queue_write - queue_read;
  return n < 0 ? n + kNoteOffQueueSize : n;
}

inline int register_key() {
  std::lock_guard<std::mutex> lock(voice_mutex);
  return current_key;
}

// ---- engine with the test plug-in ----
// The test plug-in fills blocks only when asked, on the asking thread, which
// then plays the part of the audio device's thread.
inline int32_t (*plug_fill)(int32_t blocks) = nullptr;
inline const int16_t* (*plug_block)(void) = nullptr;  // the last block filled
constexpr int kTestWaveFrames = 44100;  // one second per sample
constexpr int16_t kTestWaveValue = 1000;

// A wave loaded as the set loader loads a file: the stereo samples as a
// WAV image at `rate`, converted to the output by the band-limited
// converter. -1 when it fails.
inline int32_t load_as_wav(const int16_t* samples, int frames, int rate) {
  const uint32_t bytes = (uint32_t)frames * 4, size = 52 + bytes;
  std::string image(size, '\0');
  auto put = [&](size_t at, uint32_t v, int n) {
    for (int i = 0; i < n; i++) image[at + i] = (char)(v >> (8 * i));
  };
  put(0, 8, 4);
  put(4, size, 4);
  image.replace(8, 16, "RIFF\0\0\0\0WAVEfmt ", 16);
  put(24, 16, 4), put(28, 1, 2), put(30, 2, 2), put(32, (uint32_t)rate, 4), put(36, (uint32_t)rate * 4, 4);
  put(40, 4, 2), put(42, 16, 2);
  image.replace(44, 4, "data");
  put(48, bytes, 4);
  std::memcpy(&image[52], samples, bytes);
  int32_t wave = -1;
  FBS_SET_WAVECONVERTER(1);
  FBS_LOAD_WAVFILE_SHORT(&image[0], &wave);
  return wave;
}

// Starts the engine on a copy of the test plug-in at `rate`, makes nine
// stereo waves of wave_frames frames, of a constant value or as fill(w,
// samples, frames) writes them, and the 24 sounds of each, as the main loop
// does. With a source_rate the waves are written at that rate and loaded as
// WAV files are (load_as_wav). Returns false when something is missing.
inline bool start_test_engine(int frames, int wave_frames = kTestWaveFrames,
                              void (*fill)(int w, int16_t* samples, int frames) = nullptr, int rate = 44100,
                              int source_rate = 0) {
  char folder[] = "/tmp/qd_midi_test_XXXXXX";
  if (!mkdtemp(folder)) return false;
  std::string plug = std::string(folder) + "/plug-wav.so";
  {
    std::ifstream in(QD_TEST_PLUGIN_DIR "plug_test.so", std::ios::binary);
    std::ofstream out(plug, std::ios::binary);
    if (!in || !out) return false;
    out << in.rdbuf();
  }
  FBS_SET_PLUGPATH((std::string(folder) + "/").c_str());
  if (!FBS_INIT(rate, 2, 3, frames, -1)) return false;
  void* module = dlopen(plug.c_str(), RTLD_NOW);
  if (!module) return false;
  plug_fill = reinterpret_cast<int32_t (*)(int32_t)>(dlsym(module, "plug_test_fill"));
  plug_block = reinterpret_cast<const int16_t* (*)(void)>(dlsym(module, "plug_test_block"));
  unlink(plug.c_str());
  rmdir(folder);
  if (!plug_fill || !plug_block) return false;
  int waves[kSampleWaves];
  for (int w = 0; w < kSampleWaves && source_rate > 0; w++) {
    std::vector<int16_t> samples((size_t)wave_frames * 2, kTestWaveValue);
    if (fill) fill(w, samples.data(), wave_frames);
    waves[w] = load_as_wav(samples.data(), wave_frames, source_rate);
    if (waves[w] < 0) return false;
  }
  for (int w = 0; w < kSampleWaves && source_rate <= 0; w++) {
    int32_t wave = -1;
    void* data = nullptr;
    if (!FBS_CREATE_WAVE(wave_frames, &wave, &data)) return false;
    int16_t* samples = static_cast<int16_t*>(data);
    if (fill)
      fill(w, samples, wave_frames);
    else
      for (int i = 0; i < wave_frames * 2; i++) samples[i] = kTestWaveValue;
    waves[w] = wave;
  }
  return voices_attach(waves, nullptr, nullptr);
}

// Stops every sound (between tests).
inline void stop_all_sounds() {
  for (int w = 0; w < kSampleWaves; w++)
    for (int j = 1; j <= kSoundsPerSample; j++) FBS_SET_SOUNDLOOPS(sound[w][j], 0);
}

inline void* play_position(int w, int j) {
  void* play = nullptr;
  FBS_GET_SOUNDPOINTERS(sound[w][j], nullptr, &play, nullptr);
  return play;
}

inline int sound_loops(int w, int j) {
  int32_t loops = -1;
  FBS_GET_SOUNDLOOPS(sound[w][j], &loops);
  return loops;
}

inline float sound_volume(int w, int j) {
  float volume = -1.0f;
  FBS_GET_SOUNDVOLUME(sound[w][j], &volume);
  return volume;
}

// The sound (w, j) that plays key on channel, or false.
inline bool find_voice(int key, int channel, int* w_out, int* j_out) {
  std::lock_guard<std::mutex> lock(voice_mutex);
  for (int w = 0; w < kSampleWaves; w++)
    for (int j = 1; j <= kSoundsPerSample; j++)
      if (voice_key[w][j] == key && voice_channel[w][j] == channel) {
        *w_out = w;
        *j_out = j;
        return true;
      }
  return false;
}

}  // namespace midi_test
