// SPDX-License-Identifier: GPL-3.0-or-later
// The presets menu and the preset flows.
#include "app/presets_menu.h"

#include "app/device_watch.h"
#include "app/loop_request.h"
#include "app/screen.h"
#include "app/settings.h"
#include "core/shared_state.h"
#include "platform/editor_frame.h"
#include "platform/window.h"

std::string presets_menu() {
  // Like a prompt, the menu holds the main thread: the note-off queue is not
  // served meanwhile, so note-offs end their notes at once.
  InputActiveScope typing;
  show_hint(true);
  win_clear();
  win_locate(1, 4);
  win_print("presets");
  win_locate(4, 4);
  win_print("[L]load     [S]save");
  win_locate(8, 4);
  win_print("other keys => exit");
  while (!quit_signal.load()) {
    win_sleep_ms(100);
    watch_devices(false);
    std::string key = win_poll_key();
    if (key == "s" || key == "S") {
      if (save_preset()) return "";
    } else if (key == "l" || key == "L") {
      if (load_preset_dialog()) return "";
    } else if (!key.empty()) {
      return key;
    }
  }
  return "";
}

// The presets go through the editors' file flow: the same dialog in the
// save folder, name checks, confirmation and notices.
bool save_preset() {
  if (!editor_save_file("preset", ".preset", [](const std::string& path) { return save_preset_file(path.c_str()); }))
    return false;
  show_window_title();
  return true;
}

bool load_preset_dialog() { return editor_load_file("preset", ".preset", load_preset); }

bool load_preset(const std::string& path) {
  if (!load_preset_file(path.c_str())) return false;
  request_reload();
  show_window_title();
  return true;
}

bool load_thumbnail_preset(int bank, int slot) {
  bool loaded = load_preset(thumbnail_preset_path(bank, slot));
  preset_bank = bank;
  return loaded;
}
