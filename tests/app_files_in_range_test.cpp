// SPDX-License-Identifier: GPL-3.0-or-later
// Settings files, presets and feature files from elsewhere, with every field
// at -5, 0, 1e30, NaN and "abc" (the 128 keys of a ".keyvol" file together,
// every number line of a settings file or preset together), each loaded as
// the program loads it and then played for 60 s on the offline renderer's
// driver: no run of full-scale values is longer than 10 ms, no effect state
// ever stopped being a finite number (its guard never had to start one
// again), and once the kind's defaults are loaded again a note sounds within
// 6 dB of the same note after the same run with the defaults.
// Needs the run folder's WAV set (scripts/make-assets).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <vector>

#include "app/offline_render.h"
#include "app/settings.h"
#include "effects/equalizer.h"
#include "effects/equalizer_editor.h"
#include "effects/keyrev_editor.h"
#include "effects/keytone_editor.h"
#include "effects/master_chain.h"
#include "effects/reverb.h"
#include "effects/reverb_editor.h"
#include "effects/reverb_params_file.h"
#include "effects/sample_pass.h"
#include "effects/tone_bands_file.h"
#include "midi/keyvol_editor.h"
#include "midi/keyvol_file.h"
#include "tests/support/editor_session.h"

namespace {

using editortest::write_text;

const char* const kBadValues[] = {"-5", "0", "1e30", "NaN", "abc"};
constexpr double kPlaySeconds = 60.0;
constexpr int kLongestFullScaleRun = 441;  // frames: 10 ms
// Full scale: at least what the engine gives at its loudest with the effect
// chain off (its master volume 0.95); the chain's own limit is 32767.
constexpr int kFullScale = 31128;

void restart() {
  offline_stop();
  ASSERT_EQ(offline_start(SoundFolders(QD_RUN_DIR "sounds/")), "");
}

void answer(const std::string& path) {
  dialog_script_answer(path);
  dialog_script_answer("yes");
}

// A file kind: the feature it needs on, its default text (taken right after
// the defaults are set), whether its fields go bad one at a time or all
// together, and its load as the program does it: the reading (the editor's
// file command), then what follows it (the editor's pass or set-up; after a
// preset or settings file the instrument starts again).
struct Kind {
  const char* extension;
  void (*switch_on)();
  std::string (*defaults)();
  bool fields_together;
  void (*read)(const std::string& path);
  void (*apply)();
};

const Kind kKinds[] = {
    {".equ", [] { equalizer_on = 1; }, [] { return format_tone_bands(eq_bands); }, false,
     [](const std::string& p) { answer(p), load_equalizer(); }, compute_eq_coefficients},
    {".key", [] { keytone_mode = 1; }, [] { return format_tone_bands(keytone_bands); }, false,
     [](const std::string& p) { answer(p), load_keytone(); }, keytone_pass},
    {".rev", [] { reverb_mode = 3; }, [] { return format_reverb_params(reverb3_params); }, false,
     [](const std::string& p) { answer(p), load_reverb(reverb3_params); }, setup_reverb},
    {".keyrev", [] { keyrev_on = 1; }, [] { return format_reverb_params(keyrev_params); }, false,
     [](const std::string& p) { answer(p), load_keyreverb(); }, keyreverb_pass},
    {".keyvol", [] { keyvol_on = 1; }, [] { return format_keyvol_row(piano_sound); }, true,
     [](const std::string& p) { answer(p), load_keyvol(); }, [] {}},
    {".preset", [] {}, format_settings, true, [](const std::string& p) { load_preset_file(p.c_str()); }, restart},
    {".ini", [] {}, format_settings, true, [](const std::string& p) { read_settings(p.c_str()); }, restart},
};

void read(const Kind& kind, const std::string& text) {
  std::string file = std::string("save/file") + kind.extension;
  write_text(file, text);
  kind.read(file);
}

// The text's lines, with line `field` (0-based) or, for -1, every number
// line at `value`: not the end mark of the key volume map nor a name, nor
// the equalizer's set of a settings file, whose three gains at their most
// (+20 dB each, which its editor sets too) clip any playing; the ".equ"
// file has them go bad one at a time.
std::string with_value(const std::string& text, int field, const std::string& value) {
  std::string out;
  int n = 1;
  for (size_t at = 0, end; at < text.size(); at = end + 2, n++) {
    end = text.find("\r\n", at);
    bool number = n != kFinlistLine && n != 2095 && !(n >= 2097 && n <= 2100) && !(n >= 2067 && n <= 2072);
    out += (field == n - 1 || (field < 0 && number) ? value : text.substr(at, end - at)) + "\r\n";
  }
  return out;
}

// Plays `seconds`, with a chord of three keys every half second and three low
// keys held 8 s of every 10 when `chords`. The longest run of full-scale
// values of either channel, in frames; *level, when asked, the RMS level in
// dB of full scale.
int play(double seconds, bool chords, double* level = nullptr) {
  std::vector<int16_t> block((size_t)offline_block_frames() * 2);
  int run[2] = {0, 0}, longest = 0, held = 0;
  double sum = 0, end = -1;
  size_t count = 0;
  for (OfflineBlock b = offline_begin_block(); b.end < end || end < 0; b = offline_begin_block()) {
    if (end < 0) end = b.start + seconds;
    for (double t = std::ceil(b.start * 2) / 2; chords && t < b.end; t += 0.5) {
      for (int k : {held, held + 4, held + 7}) offline_dispatch(0x80 | k << 8, t);
      int half = (int)(t * 2);
      held = 48 + (half * 5) % 19;
      for (int k : {held, held + 4, held + 7}) offline_dispatch(0x90 | k << 8 | 100 << 16, t);
      for (int k : {36, 40, 45}) {
        if (half % 20 == 0) offline_dispatch(0x90 | k << 8 | 127 << 16, t);
        if (half % 20 == 16) offline_dispatch(0x80 | k << 8, t);
      }
    }
    offline_mix_block(block.data());
    for (size_t v = 0; v < block.size(); v++, count++) {
      run[v & 1] = std::abs(block[v]) >= kFullScale ? run[v & 1] + 1 : 0;
      longest = std::max(longest, run[v & 1]);
      sum += (double)block[v] * block[v];
    }
  }
  for (int k : {held, held + 4, held + 7, 36, 40, 45}) offline_dispatch(0x80 | k << 8, 0);
  if (level) *level = 10 * std::log10(std::max(sum / (double)count, 1e-9) / (32768.0 * 32768.0));
  return longest;
}

struct Played {
  int longest_full_scale;  // frames
  double note_db;          // the note once the defaults are back
};

// 60 s of chords with what was loaded; then the defaults loaded again and,
// after 2 s, one note of a second.
Played play_then_note(const Kind& kind, const std::string& defaults) {
  Played p;
  p.longest_full_scale = play(kPlaySeconds, true);
  read(kind, defaults);
  kind.apply();
  play(2.0, false);
  offline_dispatch(0x90 | 60 << 8 | 100 << 16, 0);
  play(1.0, false, &p.note_db);
  offline_dispatch(0x80 | 60 << 8, 0);
  return p;
}

class FilesFromElsewhere : public ::testing::TestWithParam<Kind> {};

TEST_P(FilesFromElsewhere, EveryFieldAtABadValuePlaysInRangeAndTheDefaultsComeBack) {
  if (access(QD_RUN_DIR "sounds/piano1_60.wav", R_OK) != 0)
    GTEST_SKIP() << "no WAV sample set in the run folder (scripts/make-assets)";
  const Kind& kind = GetParam();
  editortest::SaveFolder folder;
  win_use_headless(true);
  win_open(kEditorWidth, kEditorHeight);
  set_default_settings();
  piano_sound = 1;  // the WAV set
  buffer_size = 512;
  kind.switch_on();
  std::string defaults = kind.defaults();
  ASSERT_EQ(offline_start(SoundFolders(QD_RUN_DIR "sounds/")), "");
  unsigned resets = effect_state_resets.load();
  Played reference = play_then_note(kind, defaults);
  // A file that reads as one already played plays the same: once is enough.
  std::set<std::string> played = {format_settings()};
  int fields = kind.fields_together ? 1 : (int)std::count(defaults.begin(), defaults.end(), '\n');
  for (int field = 0; field < fields; field++) {
    for (const char* bad : kBadValues) {
      SCOPED_TRACE(std::string("field ") + std::to_string(field + 1) + " at " + bad);
      read(kind, with_value(defaults, kind.fields_together ? -1 : field, bad));
      if (!played.insert(format_settings()).second) continue;
      kind.apply();
      Played p = play_then_note(kind, defaults);
      EXPECT_LE(p.longest_full_scale, kLongestFullScaleRun);
      EXPECT_NEAR(p.note_db, reference.note_db, 6.0);
    }
  }
  EXPECT_EQ(effect_state_resets.load(), resets) << "an effect state was no finite number";
  offline_stop();
  win_close();
}

INSTANTIATE_TEST_SUITE_P(Kinds, FilesFromElsewhere, ::testing::ValuesIn(kKinds),
                         [](const ::testing::TestParamInfo<Kind>& i) { return std::string(i.param.extension + 1); });

}  // namespace
