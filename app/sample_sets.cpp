// SPDX-License-Identifier: GPL-3.0-or-later
// Piano sample sets: naming, completeness, stepping, loading and the two
// note-on tables that depend on the loaded set.
#include "app/sample_sets.h"

#include <cmath>
#include <cstdlib>

#include "app/settings.h"
#include "core/files.h"
#include "core/text_number.h"
#include "engine/fbs.h"
#include "platform/dialogs.h"
#include "platform/window.h"

std::string sample_set_prefix(int set) {
  set = clamp_int(set, 0, kSetCount - 1);
  if (set == 0) return "piano";
  return "piano" + std::to_string(set);
}

std::string sample_mp3_name(int set, int n, const std::string& folder) {
  return folder + sample_set_prefix(set) + "_" + std::to_string(n) + ".mp3";
}

std::string sample_wav_name(int set, int n, const std::string& folder) {
  // Set 0's WAV files carry no underscore between prefix and number.
  if (clamp_int(set, 0, kSetCount - 1) == 0) return folder + "piano" + std::to_string(n) + ".wav";
  return folder + sample_set_prefix(set) + "_" + std::to_string(n) + ".wav";
}

SoundFolders program_sound_folders() { return SoundFolders(user_sounds_folder(), shipped_sounds_folder()); }

namespace {

// Every sample of the set in one folder, in either form.
bool set_files_in(int set, const std::string& folder) {
  for (int w = 0; w < kSamplesPerSet; w++) {
    int n = sample_number(w);
    if (!file_exists(sample_mp3_name(set, n, folder)) && !file_exists(sample_wav_name(set, n, folder)))
      return false;
  }
  return true;
}

}  // namespace

std::string sample_set_folder(int set, const SoundFolders& folders) {
  if (!folders.user.empty() && set >= 0 && set < kSetCount && set_files_in(set, folders.user)) return folders.user;
  return folders.shipped;
}

int sample_set_complete(int set, const SoundFolders& folders) {
  if (set == 0) return 1;
  if (set < 0 || set >= kSetCount) return 0;
  if (!folders.user.empty() && set_files_in(set, folders.user)) return 1;
  return set_files_in(set, folders.shipped) ? 1 : 0;
}

int next_sample_set(int set, const SoundFolders& folders) {
  if (set >= kSetCount - 1) return 0;
  for (int s = set + 1; s <= kSetCount - 1; s++)
    if (sample_set_complete(s, folders)) return s;
  return 0;
}

int previous_sample_set(int set, const SoundFolders& folders) {
  if (set == 1) return 0;
  int start = set <= 0 ? kSetCount - 1 : (set - 1 < kSetCount - 1 ? set - 1 : kSetCount - 1);
  for (int s = start; s >= 1; s--)
    if (sample_set_complete(s, folders)) return s;
  return 0;
}

int digit_sample_set(int digit, const SoundFolders& folders) {
  return previous_sample_set(digit + 1, folders);
}

std::string load_sample_set(int set, int waves[kSamplesPerSet], const SoundFolders& folders,
                            void (*progress)(int loaded, int total)) {
  const std::string folder = sample_set_folder(set, folders);
  for (int w = 0; w < kSamplesPerSet; w++) waves[w] = -1;
  std::string failure;
  for (int w = 0; w < kSamplesPerSet && failure.empty(); w++) {
    int n = sample_number(w);
    std::string mp3 = sample_mp3_name(set, n, folder);
    if (file_exists(mp3)) {
      if (FBS_LOAD_MP3FILE(mp3.c_str(), &waves[w], "") != 1) failure = "error loading mp3 " + mp3;
    } else {
      std::string wav = sample_wav_name(set, n, folder);
      if (FBS_LOAD_WAVFILE(wav.c_str(), &waves[w]) != 1) failure = "error loading wav " + wav;
    }
    if (progress && failure.empty()) progress(w + 1, kSamplesPerSet);
  }
  if (!failure.empty()) {
    // Leave nothing half loaded behind: the caller ends the program, but a
    // test or a later retry must not see stale handles.
    for (int w = 0; w < kSamplesPerSet; w++) {
      if (waves[w] >= 0) FBS_DESTROY_WAVE(&waves[w]);
      waves[w] = -1;
    }
  }
  return failure;
}

float velocity_constant(const std::string& prefix) {
  static const struct { const char* prefix; float g; } table[] = {
      {"piano", 0.71f},  {"piano1", 0.72f}, {"piano2", 0.7f}, {"piano3", 0.74f},
      {"piano4", 0.75f}, {"piano5", 0.79f}, {"piano6", 0.7f}, {"piano7", 0.5f},
  };
  for (const auto& e : table)
    if (prefix == e.prefix) return e.g;
  return 0.79f;
}

void build_velocity_curve(int loaded_set, int velo_mode) {
  double g = velocity_constant(sample_set_prefix(loaded_set));
  switch (velo_mode) {
    case 0: g = 0; break;
    case 1: g = g / 2; break;
    case 3: g = 1; break;
    default: break;
  }
  // Worked in double and stored as float, so both ends come out exactly 0
  // and 1 whatever the constant.
  for (int v = 0; v < kVelocityCount; v++) {
    double x = v / 127.0;
    double c = g * (1 - (1 - x) * (1 - x)) + (1 - g) * x;
    velocity_curve[v].store((float)c, std::memory_order_relaxed);
  }
}

std::string set_prompt_line(int set, const SoundFolders& folders) {
  if (set == 0) return " 0 -> piano";
  std::string s = std::to_string(set);
  if (sample_set_complete(set, folders)) return " " + s + " -> piano" + s;
  return " " + s + " ->";
}

int set_prompt_answer(const char* answer, int piano_sound, const SoundFolders& folders) {
  if (answer == nullptr || answer[0] == 0) return -1;
  double value = finite_leading_number(answer);
  // Sets outside 0..14 are never complete, so a far-off number changes nothing.
  if (value < -1 || value > kSetCount) return -1;
  int v = (int)std::nearbyint(value);
  if (v == piano_sound || !sample_set_complete(v, folders)) return -1;
  return v;
}
