// SPDX-License-Identifier: GPL-3.0-or-later
// The reverb2 / reverb3 editor.
#include "effects/reverb_editor.h"

#include "core/shared_state.h"
#include "effects/reverb.h"
#include "effects/reverb_params_file.h"
#include "effects/reverb_sliders.h"
#include "platform/editor_frame.h"
#include "platform/window.h"

namespace {

constexpr float kFullTime = 1000.0f;  // ms of a full slider

ReverbParams* edited = nullptr;
std::string title;
ReverbParams reverb_undo;
ReverbParams reverb_redo;

void redraw() { draw_reverb(*edited, title, -1, -1); }

void open_editor() {
  redraw();
  editor_clear_hint();
  reverb_undo = reverb_redo = *edited;
}

void editor_pass(std::string* key) {
  editor_wait(0.2, 1000);
  *key = editor_poll_key();
  int x, y;
  if (editor_mouse(&x, &y) == 1) {
    draw_reverb(*edited, title, x, y);
    setup_reverb();
  }
}

bool editor_command(char key) {
  switch (key) {
    case 's': {
      {
        InputActiveScope busy;
        save_reverb(*edited);
      }
      redraw();
      setup_reverb();
      return true;
    }
    case 'l': {
      {
        InputActiveScope busy;
        load_reverb(*edited);
      }
      redraw();
      setup_reverb();
      return true;
    }
    case 'u':
      *edited = reverb_undo;
      redraw();
      setup_reverb();
      return true;
    case 'r':
      *edited = reverb_redo;
      redraw();
      setup_reverb();
      return true;
    default:
      return false;
  }
}

}  // namespace

void draw_reverb(ReverbParams& set, const std::string& set_title, int x, int y) {
  draw_reverb_sliders(set, kFullTime, x, y, reverb_undo, reverb_redo);
  win_locate(1, 1);
  win_print(set_title, true);
}

void reverb_editor(int which) {
  if (which != 2 && which != 3) return;
  edited = which == 3 ? &reverb3_params : &reverb2_params;
  title = which == 3 ? "reverb3   [S]save  [L]load" : "reverb2   [S]save  [L]load";
  run_editor({open_editor, editor_pass, editor_command, nullptr, nullptr});
}

void save_reverb(const ReverbParams& set) {
  editor_save_file("reverb", ".rev", [&set](const std::string& path) { return write_reverb_params_file(path, set); });
}

void load_reverb(ReverbParams& set) {
  editor_load_file("reverb", ".rev", [&set](const std::string& path) { return read_reverb_params_file(path, set); });
}
