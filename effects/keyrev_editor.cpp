// SPDX-License-Identifier: GPL-3.0-or-later
// The key reverb editor.
#include "effects/keyrev_editor.h"

#include <string>

#include "core/settings_values.h"
#include "core/shared_state.h"
#include "effects/keyrev.h"
#include "effects/reverb_params_file.h"
#include "effects/reverb_sliders.h"
#include "effects/sample_pass.h"
#include "platform/editor_frame.h"
#include "platform/window.h"

int keyrev_changed = 0;

namespace {

constexpr float kFullTime = 400.0f;  // ms of a full slider

ReverbParams keyrev_undo;
ReverbParams keyrev_redo;

void print_switch(const char* text) {
  win_locate(1, 34);
  win_print(text);
  win_present();
}

void open_editor() {
  draw_keyreverb(-1, -1);
  editor_clear_hint();
  keyrev_undo = keyrev_redo = keyrev_params;
  keyrev_changed = 0;
}

void editor_pass(std::string* key) {
  editor_wait(0.2, 1000);
  *key = editor_poll_key();
  int x, y;
  if (editor_mouse(&x, &y) == 1) draw_keyreverb(x, y);
}

bool editor_command(char key) {
  switch (key) {
    case 's': {
      {
        InputActiveScope busy;
        save_keyreverb();
      }
      draw_keyreverb(-1, -1);
      return true;
    }
    case 'l': {
      {
        InputActiveScope busy;
        load_keyreverb();
      }
      draw_keyreverb(-1, -1);
      return true;
    }
    case 'y': {
      InputActiveScope busy;
      print_switch("[Y]...  ");
      if (keyrev_on == 1) {
        keyrev_on = 0;
        editor_sleep_ms(100);
      } else {
        keyrev_on = 1;
      }
      keyreverb_pass();
      keyrev_changed = 0;
      return true;
    }
    case 'u':
      keyrev_params = keyrev_undo;
      draw_keyreverb(-1, -1);
      keyrev_changed = 1;
      return true;
    case 'r':
      keyrev_params = keyrev_redo;
      draw_keyreverb(-1, -1);
      keyrev_changed = 1;
      return true;
    default:
      return false;
  }
}

void after_command() {
  if (keyrev_changed) {
    keyrev_on = 1;
    print_switch("[Y]...  ");
    keyreverb_pass();
    keyrev_changed = 0;
  }
  print_switch(keyrev_on == 1 ? "[Y]on   " : "[Y]off  ");
}

void close_editor() {
  if (keyrev_changed) keyreverb_pass();
  keyrev_changed = 0;
}

}  // namespace

void draw_keyreverb(int x, int y) {
  if (draw_reverb_sliders(keyrev_params, kFullTime, x, y, keyrev_undo, keyrev_redo)) keyrev_changed = 1;
  win_locate(1, 1);
  win_print("keyreverb   [S]save  [L]load");
  win_locate(1, 34);
  win_print("[A]apply");
}

void keyrev_editor() { run_editor({open_editor, editor_pass, editor_command, after_command, close_editor}); }

void save_keyreverb() {
  editor_save_file("keyreverb", ".keyrev",
                   [](const std::string& path) { return write_reverb_params_file(path, keyrev_params); });
}

void load_keyreverb() {
  if (editor_load_file("keyreverb", ".keyrev",
                       [](const std::string& path) { return read_reverb_params_file(path, keyrev_params); }))
    keyrev_changed = 1;
}
