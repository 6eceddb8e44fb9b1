// SPDX-License-Identifier: GPL-3.0-or-later
#include "import/sf2_source.h"

#include <fluidsynth.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "import/sf2_file.h"

struct Sf2Source {
  std::string path;
  Sf2File file;
  int preset = -1;
  int bank = 0, program = 0;
  // The samples each key starts at `voices_velocity`, found once.
  int voices_velocity = -1;
  std::vector<std::vector<Sf2Voice>> voices;
  std::vector<size_t> crossings;
  int64_t work_left = kMostRenderWork;
  // One synthesiser at a time, at the rate of the sample it plays.
  fluid_settings_t* settings = nullptr;
  fluid_synth_t* synth = nullptr;
  double rate = 0;
};

namespace {

// The synthesiser's rates.
constexpr double kLowestRate = 8000, kHighestRate = 96000;
constexpr int kBlock = 4096;
// More samples started by one key is no piano's layering (and more than the
// synthesiser plays at once).
constexpr size_t kMostVoices = 256;
// The instrument zones the synthesiser may look through for one key: more
// would keep it busy for minutes on a crafted file of a few kilobytes.
constexpr size_t kMostCrossings = 1 << 22;
// The synthesiser looks each preset zone's instrument up among those it
// has loaded: preset zones x instruments steps, which real fonts keep under
// half a million and a crafted one of 1.3 MB takes to 900 million (17 s).
constexpr size_t kMostZoneLookups = 64 << 20;

const std::vector<Sf2Voice>& voices_of(Sf2Source* s, int key, int velocity) {
  if (s->voices_velocity != velocity) {
    s->voices = sf2_key_voices(s->file, s->preset, velocity, kMostVoices, &s->crossings);
    s->voices_velocity = velocity;
  }
  return s->voices[key];
}

void drop_synth(Sf2Source* s) {
  if (s->synth) delete_fluid_synth(s->synth);
  if (s->settings) delete_fluid_settings(s->settings);
  s->synth = nullptr;
  s->settings = nullptr;
  s->rate = 0;
}

// A synthesiser at `rate` with the font loaded and the program chosen on
// channel 0: no reverb, no chorus, samples loaded as the program needs them.
bool synth_at(Sf2Source* s, double rate, std::string* error) {
  if (s->synth && s->rate == rate) return true;
  drop_synth(s);
  s->settings = new_fluid_settings();
  fluid_settings_setnum(s->settings, "synth.sample-rate", rate);
  fluid_settings_setint(s->settings, "synth.reverb.active", 0);
  fluid_settings_setint(s->settings, "synth.chorus.active", 0);
  fluid_settings_setint(s->settings, "synth.dynamic-sample-loading", 1);
  fluid_settings_setint(s->settings, "synth.polyphony", 256);
  fluid_settings_setnum(s->settings, "synth.gain", 1.0);
  s->synth = new_fluid_synth(s->settings);
  int id = s->synth ? fluid_synth_sfload(s->synth, s->path.c_str(), 0) : FLUID_FAILED;
  if (id == FLUID_FAILED || fluid_synth_program_select(s->synth, 0, id, s->bank, s->program) != FLUID_OK) {
    drop_synth(s);
    *error = "its samples cannot be read";
    return false;
  }
  fluid_synth_set_interp_method(s->synth, -1, FLUID_INTERP_HIGHEST);
  s->rate = rate;
  return true;
}

}  // namespace

Sf2Source* open_sf2_source(const std::string& path, int bank, int program, std::string* error) {
  // The library's messages would only repeat ours.
  for (int level : {FLUID_ERR, FLUID_WARN, FLUID_INFO, FLUID_DBG}) fluid_set_log_function(level, nullptr, nullptr);
  Sf2Source* s = new Sf2Source;
  s->path = path;
  s->bank = bank;
  s->program = program;
  if (!read_sf2(path, &s->file, error)) {
    delete s;
    return nullptr;
  }
  const size_t lookups = s->file.preset_zones.size() * s->file.instruments.size();
  if (lookups > kMostZoneLookups) {
    *error = "has more preset zones (" + std::to_string(s->file.preset_zones.size()) + ") times instruments (" +
             std::to_string(s->file.instruments.size()) + ") than the synthesiser loads in good time";
    delete s;
    return nullptr;
  }
  s->preset = sf2_find_preset(s->file, bank, program);
  if (s->preset < 0) {
    *error = "has no program " + std::to_string(program) + " in bank " + std::to_string(bank);
    delete s;
    return nullptr;
  }
  return s;
}

void close_sf2_source(Sf2Source* s) {
  if (!s) return;
  drop_synth(s);
  delete s;
}

bool sf2_source_has_key(Sf2Source* s, int key, int velocity) {
  return !voices_of(s, key, velocity).empty();
}

bool sf2_source_note(Sf2Source* s, int play_key, int target_key, int velocity, size_t frames, SourceNote* note,
                     std::string* error) {
  const std::vector<Sf2Voice>& voices = voices_of(s, play_key, velocity);
  if (voices.empty()) return *error = "no zone for key " + std::to_string(play_key), false;
  if (voices.size() > kMostVoices || s->crossings[play_key] > kMostCrossings)
    return *error = "key " + std::to_string(play_key) + " starts more than " + std::to_string(kMostVoices) +
                    " samples or crosses more than " + std::to_string(kMostCrossings) + " zones",
           false;
  // The loudest sample leads; the others (a quieter layer, the other side
  // of a stereo pair) are played against it.
  const Sf2Voice lead = *std::min_element(voices.begin(), voices.end(), [](const Sf2Voice& a, const Sf2Voice& b) {
    return a.attenuation < b.attenuation;
  });
  const Sf2Sample& sample = s->file.samples[lead.sample];
  const double rate = std::clamp((double)sample.rate, kLowestRate, kHighestRate);

  // Tuning every key by d cents moves the played key to the lead sample's
  // own pitch. The synthesiser places a key at
  //   scale/100 x (T[key] - T[f]) + T[f] + coarse x 100 + fine
  // (f the whole key below the root less the correction), and plays the
  // sample as recorded where that equals root x 100 - correction.
  const int correction = sample.correction;
  const int f = (int)((100.0 * lead.root - correction) / 100.0);
  const double d = 100.0 * (lead.root - f) - lead.tune - lead.scale * (play_key - f);
  double pitch[128];
  for (int k = 0; k < 128; k++) pitch[k] = 100.0 * k + d;

  // Plays the key for as long as the note needs `ratio` times its frames,
  // tuned or at the font's own pitch; false with the reason when the ratio
  // or the work is past its bound.
  std::vector<float> l, r;
  auto play = [&](bool tuned, double ratio) {
    if (!ratio_allowed(ratio, target_key, sample.name, error)) return false;
    const size_t wanted = (size_t)std::ceil(frames * ratio) + kBlock;
    // Every voice is rendered for every frame.
    if (!spend_render_work(&s->work_left, (int64_t)(wanted * voices.size()), target_key, error)) return false;
    // Loaded only for a note within the bounds.
    if (!synth_at(s, rate, error)) return false;
    if (tuned) {
      fluid_synth_activate_key_tuning(s->synth, 0, 0, "lead sample", pitch, 0);
      fluid_synth_activate_tuning(s->synth, 0, 0, 0, 0);
    }
    l.clear();
    r.clear();
    l.reserve(wanted);
    r.reserve(wanted);
    fluid_synth_noteon(s->synth, 0, play_key, velocity);
    float bl[kBlock], br[kBlock];
    while (l.size() < wanted && fluid_synth_get_active_voice_count(s->synth) > 0) {
      fluid_synth_write_float(s->synth, kBlock, bl, 0, 1, br, 0, 1);
      l.insert(l.end(), bl, bl + kBlock);
      r.insert(r.end(), br, br + kBlock);
    }
    fluid_synth_all_sounds_off(s->synth, 0);
    fluid_synth_write_float(s->synth, kBlock, bl, 0, 1, br, 0, 1);
    if (tuned) fluid_synth_deactivate_tuning(s->synth, 0, 0);
    return true;
  };
  auto silent = [&]() {
    for (size_t i = 0; i < l.size(); i++)
      if (l[i] != 0 || r[i] != 0) return false;
    return true;
  };
  // Input frames per output frame, from the synthesiser's rate and the
  // lead sample's pitch to the target key's.
  double ratio = rate / kSetRate * std::pow(2.0, ((double)lead.scale * (target_key - lead.root) + lead.tune) / 1200.0);
  if (!play(true, ratio)) return false;
  if (silent()) {
    // The synthesiser drops a voice whose loop is a few frames long (10 in
    // a small General MIDI bank's top samples) when it steps through it at
    // the sample's own speed, though it plays the key: then it plays the
    // key at the font's pitch, and the converter moves it from there.
    ratio = rate / kSetRate * std::pow(2.0, (double)lead.scale * (target_key - play_key) / 1200.0);
    if (!play(false, ratio)) return false;
  }

  note->left.assign(frames, 0.0f);
  note->right.assign(frames, 0.0f);
  add_pitched(l.data(), r.data(), l.size(), ratio, frames, note->left.data(), note->right.data());
  note->sample = sample.name;
  note->root = lead.root;
  return true;
}
