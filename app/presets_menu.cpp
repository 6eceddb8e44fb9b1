// SPDX-License-Identifier: GPL-3.0-or-later
// The presets menu and the preset flows.
#include "app/presets_menu.h"

#include <sys/stat.h>

#include "app/device_watch.h"
#include "app/main_loop.h"
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

void presets_menu() {
  // Like a prompt, the menu holds the main thread: the note-off queue is not
  // served meanwhile, so note-offs end their notes at once.
  input_active = 1;
  show_hint(true);
  win_clear();
  win_locate(1, 4);
  win_print("presets");
  win_locate(4, 4);
  win_print("[L]load     [S]save");
  win_locate(8, 4);
  win_print("other keys => exit");
  key_text.clear();
  while (key_text.empty() && !quit_signal.load()) {
    win_sleep_ms(100);
    watch_devices(false);
    key_text = win_poll_key();
    if (key_text == "s" || key_text == "S") {
      save_preset();
    } else if (key_text == "l" || key_text == "L") {
      load_preset_dialog();
    }
  }
  input_active = 0;
}

void save_preset() {
  key_text.clear();
  std::string name;
  if (!ask_preset_name("save preset", &name)) return;
  if (confirm("save in " + name + " ?", "save preset") != "yes") return;
  // A preset that could not be written is reported; the menu stays open.
  if (!save_preset_file(name.c_str())) {
    notice("not saved :" + name, "notice");
    return;
  }
  notice("preset saved as " + name, "notice");
  show_window_title();
  key_text = " ";
}

void load_preset_dialog() {
  key_text.clear();
  std::string name;
  if (!ask_preset_name("load preset", &name)) return;
  if (!regular_file(name)) {
    notice("not found :" + name, "notice");
    return;
  }
  if (confirm("load " + name + " ?", "load preset") == "yes") load_preset(name);
}

bool load_preset(const std::string& path) {
  if (!load_preset_file(path.c_str())) return false;
  key_text = "reload";
  show_window_title();
  return true;
}

bool load_thumbnail_preset(int bank, int slot) {
  bool loaded = load_preset(thumbnail_preset_path(bank, slot));
  preset_bank = bank;
  if (loaded) post_pending_key("reload");
  return loaded;
}
