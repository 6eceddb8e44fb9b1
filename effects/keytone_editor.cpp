// SPDX-License-Identifier: GPL-3.0-or-later
// The key tone editor.
#include "effects/keytone_editor.h"

#include <string>

#include "core/clock.h"
#include "core/shared_state.h"
#include "effects/keytone.h"
#include "effects/sample_pass.h"
#include "effects/tone_bands_file.h"
#include "platform/editor_frame.h"
#include "platform/window.h"

const BandGraph kKeytoneGraph = {
    100.0,  2.1, 4.5, {"0.1f0", "0.3f0", "f0", "3f0", "10f0"}, {1, 9, 21, 31, 40}, 1000.0,
    kKeytoneRanges.low_min, kKeytoneRanges.low_max, kKeytoneRanges.high_min, kKeytoneRanges.high_max,
};

int keytone_changed = 0;

namespace {

constexpr double kApplyAfter = 7.0;  // seconds between automatic applications

ToneBands keytone_undo;
ToneBands keytone_redo;
double last_application = 0.0;  // program clock; 0 at program start

void print_apply(const char* text) {
  win_locate(11, 35);
  win_print(text);
  win_present();
}

// The sample pass with "[A]...  " shown while it runs.
void apply() {
  print_apply("[A]...  ");
  keytone_pass();
  keytone_changed = 0;
}

void open_editor() {
  draw_keytone();
  editor_clear_hint();
  keytone_undo = keytone_bands;
  keytone_redo = keytone_bands;
  keytone_changed = 0;
}

void editor_pass(std::string* key) {
  *key = editor_poll_key();
  editor_show_auxvar();
  for (int i = 0; i < 2; i++) {
    bool set;
    band_graph_mouse(kKeytoneGraph, keytone_bands, keytone_undo, keytone_redo, draw_keytone, &set);
    if (set) keytone_changed = 1;
    editor_wait(0.15, 150);
  }
  double now = program_clock();
  // A key typed meanwhile goes first; the application follows a pass later.
  if (keytone_changed && key->empty() &&
      (now > last_application + kApplyAfter || clock_went_back(now, last_application)))
    *key = "A";
}

bool editor_command(char key) {
  switch (key) {
    case 'o':
      keytone_bands.order = keytone_bands.order >= 5 ? 1 : keytone_bands.order + 1;
      keytone_changed = 1;
      draw_keytone();
      return true;
    case 's': {
      InputActiveScope busy;
      save_keytone();
      return true;
    }
    case 'l': {
      InputActiveScope busy;
      load_keytone();
      apply();
      draw_keytone();
      return true;
    }
    case 'x': {
      InputActiveScope busy;
      keytone_mode = (keytone_mode + 1) % 3;
      apply();
      draw_keytone();
      return true;
    }
    case 'a': {
      InputActiveScope busy;
      if (keytone_changed) apply();
      keytone_changed = 0;
      last_application = program_clock();
      return true;
    }
    case 'u':
      keytone_bands = keytone_undo;
      draw_keytone();
      keytone_changed = 1;
      return true;
    case 'r':
      keytone_bands = keytone_redo;
      draw_keytone();
      keytone_changed = 1;
      return true;
    default:
      return false;
  }
}

void after_command() { print_apply(keytone_changed ? "[A]apply" : "[A]ready"); }

void close_editor() {
  if (keytone_changed) keytone_pass();
  keytone_changed = 0;
}

}  // namespace

void draw_keytone() {
  draw_band_graph(kKeytoneGraph, keytone_bands);
  win_locate(11, 35);
  win_print("[A]apply");
  win_locate(11, 27);
  win_print(keytone_mode == 0 ? "[X]off" : (keytone_mode == 1 ? "[X]on" : "[X]on" + win_format_int(keytone_mode)));
}

void keytone_editor() { run_editor({open_editor, editor_pass, editor_command, after_command, close_editor}); }

void save_keytone() {
  editor_save_file("keytone", ".key", [](const std::string& path) { return write_tone_bands_file(path, keytone_bands); });
}

void load_keytone() {
  editor_load_file("keytone", ".key", [](const std::string& path) { return read_tone_bands_file(path, keytone_bands, kKeytoneRanges); });
}
