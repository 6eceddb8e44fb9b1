// SPDX-License-Identifier: GPL-3.0-or-later
// The presets menu and the preset flows.
#include "app/presets_menu.h"

#include <sys/stat.h>

#include "app/device_watch.h"
#include "app/loop_request.h"
#include "app/screen.h"
#include "app/settings.h"
#include "core/paths.h"
#include "core/shared_state.h"
#include "platform/dialogs.h"
#include "platform/window.h"

namespace {

bool regular_file(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The file dialog in the user's "save" folder, and its name checked as
// check_preset_name() does: true for a good name; a name with another
// extension is shown as "bad name ". A name given relative to the dialog's
// folder is made whole.
bool ask_preset_name(const char* title, std::string* name) {
  std::string folder = user_data_folder() + "save/";
  make_folders(folder);
  std::string chosen = file_dialog(title, folder + "*.preset");
  int checked = check_preset_name(chosen, *name);
  if (checked < 0) notice("bad name " + *name, "notice");
  if (checked != 1) return false;
  if ((*name)[0] != '/') *name = folder + *name;
  return true;
}

}  // namespace

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

bool save_preset() {
  std::string name;
  if (!ask_preset_name("save preset", &name)) return false;
  if (confirm("save in " + name + " ?", "save preset") != "yes") return false;
  // A preset that could not be written is reported; the menu stays open.
  if (!save_preset_file(name.c_str())) {
    notice("not saved :" + name, "notice");
    return false;
  }
  notice("preset saved as " + name, "notice");
  show_window_title();
  return true;
}

bool load_preset_dialog() {
  std::string name;
  if (!ask_preset_name("load preset", &name)) return false;
  if (!regular_file(name)) {
    notice("not found :" + name, "notice");
    return false;
  }
  return confirm("load " + name + " ?", "load preset") == "yes" && load_preset(name);
}

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
