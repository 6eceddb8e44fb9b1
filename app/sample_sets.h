// SPDX-License-Identifier: GPL-3.0-or-later
// Piano sample sets: how the nine sample files of a set are named and found,
// which sets are complete, stepping through them, loading a set into engine
// waves, and the two per-set tables read at note-on (speed and velocity).
// The key-to-sample rule and the speed table are core/key_samples.h.
#pragma once
#include <string>

#include "core/key_samples.h"
#include "core/paths.h"
#include "core/settings_values.h"
#include "core/shared_state.h"

// Where the sets are looked for: the user's own folder (empty for none), whose
// sets override or add to the shipped ones by number, and the shipped folder.
// Both end in "/". A single folder converts to the shipped folder alone.
struct SoundFolders {
  SoundFolders(const std::string& shipped_only) : shipped(shipped_only) {}
  SoundFolders(const char* shipped_only) : shipped(shipped_only) {}
  SoundFolders(const std::string& user_folder, const std::string& shipped_folder)
      : user(user_folder), shipped(shipped_folder) {}
  std::string user;
  std::string shipped;
};
// The program's folders (core/paths.h).
SoundFolders program_sound_folders();

// The folder whose files a set is loaded from: the user's folder when it
// holds every sample of the set, else the shipped folder.
std::string sample_set_folder(int set, const SoundFolders& folders = program_sound_folders());

// "piano" for set 0, "piano" + set number otherwise. Sets outside 0..14 are
// clamped into that range.
std::string sample_set_prefix(int set);

// File names of sample number n of a set. MP3 form: folder + prefix + "_" + n
// + ".mp3"; WAV form the same with ".wav", except set 0: folder + "piano" + n
// + ".wav" (no underscore). `folder` ends in "/".
std::string sample_mp3_name(int set, int n, const std::string& folder = shipped_sounds_folder());
std::string sample_wav_name(int set, int n, const std::string& folder = shipped_sounds_folder());

// 1 when every sample of the set exists in at least one form in one of the
// folders, else 0. Set 0 is always complete (a missing file of it shows at
// load time); sets outside 0..14 never are.
int sample_set_complete(int set, const SoundFolders& folders = program_sound_folders());

// The next complete set after `set`, wrapping to 0 after the last (N key).
int next_sample_set(int set, const SoundFolders& folders = program_sound_folders());

// The nearest complete set below `set`, wrapping from 0 to the highest
// complete set; 1 always goes to 0 (B key).
int previous_sample_set(int set, const SoundFolders& folders = program_sound_folders());

// Digit key d: set d when complete, else the nearest complete set below it,
// else 0 (previous_sample_set(d + 1)).
int digit_sample_set(int digit, const SoundFolders& folders = program_sound_folders());

// Loads the nine samples of `set` into waves[0..8] with the engine's MP3 and
// WAV loaders (MP3 form preferred). Returns an empty text on success, or the
// fatal text "error loading mp3 " / "error loading wav " followed by the file
// name; the caller shows it and ends the program. On failure the waves loaded
// so far are destroyed and every handle is -1. `progress`, when given, is
// told after each sample how many of them are in. Main thread only; the
// engine must be running (FBS_INIT).
std::string load_sample_set(int set, int waves[kSamplesPerSet],
                            const SoundFolders& folders = program_sound_folders(),
                            void (*progress)(int loaded, int total) = nullptr);

// Curve constant of a set prefix: "piano" 0.71, "piano1" 0.72, "piano2" 0.7,
// "piano3" 0.74, "piano4" 0.75, "piano5" 0.79, "piano6" 0.7, "piano7" 0.5,
// any other 0.79.
float velocity_constant(const std::string& prefix);

// Fills velocity_curve (core/shared_state.h) for the loaded set and velo_mode (0 linear, 1 half
// the set's constant, 2 the constant, 3 full square law). Main thread.
void build_velocity_curve(int loaded_set, int velo_mode);

// Set prompt helpers. The listing line of set s: " 0 -> piano" for set 0,
// " s -> pianos" for a complete set, " s ->" for an incomplete one.
std::string set_prompt_line(int set, const SoundFolders& folders = program_sound_folders());

// Applies the answer typed at the set prompt. Its leading number is
// rounded; the result is that set when it is complete and not `piano_sound`,
// else -1 (also for an empty answer): nothing changes.
int set_prompt_answer(const char* answer, int piano_sound,
                      const SoundFolders& folders = program_sound_folders());
