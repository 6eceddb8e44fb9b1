// SPDX-License-Identifier: GPL-3.0-or-later
// The equalizer editor.
#include "effects/equalizer_editor.h"

#include "core/shared_state.h"
#include "effects/equalizer.h"
#include "effects/tone_bands_file.h"
#include "platform/editor_frame.h"

const BandGraph kEqualizerGraph = {
    20.0, 3.3, 2.4, {"20hz", "100hz", "1K", "10K", "25K"}, {1, 9, 22, 35, 41}, 1.0, 20, 950, 1050, 25000,
};

namespace {

ToneBands eq_undo;
ToneBands eq_redo;

void redraw_and_compute() {
  draw_equalizer();
  compute_eq_coefficients();
}

void open_editor() {
  draw_equalizer();
  editor_clear_hint();
  eq_undo = eq_bands;
  eq_redo = eq_bands;
}

void editor_pass(std::string* key) {
  *key = editor_poll_key();
  editor_show_auxvar();
  for (int i = 0; i < 2; i++) {
    bool set;
    if (band_graph_mouse(kEqualizerGraph, eq_bands, eq_undo, eq_redo, draw_equalizer, &set)) compute_eq_coefficients();
    editor_wait(0.15, 150);
  }
}

bool editor_command(char key) {
  switch (key) {
    case 'o':
      eq_bands.order = eq_bands.order >= 4 ? 1 : eq_bands.order + 1;
      draw_equalizer();
      return true;
    case 's': {
      InputActiveScope busy;
      save_equalizer();
      return true;
    }
    case 'l': {
      {
        InputActiveScope busy;
        load_equalizer();
      }
      redraw_and_compute();
      return true;
    }
    case 'u':
      eq_bands = eq_undo;
      redraw_and_compute();
      return true;
    case 'r':
      eq_bands = eq_redo;
      redraw_and_compute();
      return true;
    default:
      return false;
  }
}

}  // namespace

void draw_equalizer() { draw_band_graph(kEqualizerGraph, eq_bands); }

void equalizer_editor() { run_editor({open_editor, editor_pass, editor_command, nullptr, nullptr}); }

void save_equalizer() {
  editor_save_file("equalizer", ".equ", [](const std::string& path) { return write_tone_bands_file(path, eq_bands); });
}

void load_equalizer() {
  editor_load_file("equalizer", ".equ", [](const std::string& path) { return read_tone_bands_file(path, eq_bands, kEqualizerRanges); });
}
