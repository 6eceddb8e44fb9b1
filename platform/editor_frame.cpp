// SPDX-License-Identifier: GPL-3.0-or-later
// The editor frame: the loop, the mouse read, the waits and the file commands
// shared by every editor.
#include "platform/editor_frame.h"

#include <cctype>
#include <cmath>

#include "core/clock.h"
#include "core/paths.h"
#include "core/shared_state.h"
#include "core/text_file.h"
#include "platform/dialogs.h"
#include "platform/wait_pass.h"
#include "platform/window.h"

namespace {

EditorHost host = {};
const EditorKeyRow* key_row = nullptr;
int last_x = -1;
int last_y = -1;

}  // namespace

void set_editor_host(const EditorHost& h) { host = h; }

void set_editor_key_row(const EditorKeyRow* row) { key_row = row; }
const EditorKeyRow* editor_key_row() { return key_row; }

void run_editor(const EditorScreen& screen) {
  if (screen.open) screen.open();
  for (;;) {
    std::string key;
    if (screen.pass) screen.pass(&key);
    if (quit_signal.load()) break;  // the program ends: leave as any other key would
    if (!key.empty()) {
      bool own = key.size() == 1 && screen.command &&
                 screen.command(static_cast<char>(tolower(static_cast<unsigned char>(key[0]))));
      if (!own) break;
    }
    if (screen.after_command) screen.after_command();
  }
  if (screen.close) screen.close();
}

std::string editor_poll_key() { return win_poll_key(); }

bool editor_mouse_read(int* x, int* y, int* buttons) {
  bool read = win_mouse(x, y, nullptr, buttons);
  if (host.mouse_keyboard) host.mouse_keyboard(*x, *y, read ? *buttons : 0);
  if (*x > kEditorWidth || *y > kEditorHeight) *buttons = 0;
  return read;
}

int editor_mouse(int* x, int* y) {
  int buttons = 0;
  if (!editor_mouse_read(x, y, &buttons)) {
    buttons = 0;
    *x = -1;
  }
  if (*x < 0) buttons = 0;
  return buttons;
}

bool editor_new_position(int x, int y) {
  if (x == last_x && y == last_y) return false;
  last_x = x;
  last_y = y;
  return true;
}

void editor_set_last_position(int x, int y) {
  last_x = x;
  last_y = y;
}
int editor_last_x() { return last_x; }
int editor_last_y() { return last_y; }

void editor_wait(double seconds, int max_sleep_ms, bool key_marks) {
  double deadline = program_clock() + seconds;
  for (;;) {
    double now = program_clock();
    if (!before_deadline(now, deadline) || quit_signal.load()) break;
    double due = host.next_note_off_due ? host.next_note_off_due() : now;
    double ms = (due - now) * 1000.0;
    if (!(ms >= 5.0)) ms = 5.0;  // a due time that is no number waits the least
    if (ms > max_sleep_ms) ms = max_sleep_ms;
    editor_sleep_ms(static_cast<int>(std::floor(ms)));
    if (host.serve_note_offs) host.serve_note_offs();
    run_wait_pass();
    if (key_marks) {
      editor_show_keys_down();
      editor_show_keys_up();
    }
  }
}

void editor_show_keys_down() {
  if (host.keys_down) host.keys_down();
}

void editor_show_keys_up() {
  if (host.keys_up) host.keys_up();
}

void editor_show_auxvar() {
  double aux = auxvar.load();
  if (std::fabs(aux) > 0.00001) {
    win_locate(4, 1);
    win_print("auxvar=" + win_format_double(aux) + " ");
  }
}

void editor_clear_hint() {
  if (host.clear_hint) host.clear_hint();
}

int editor_coord(double v) {
  if (std::isnan(v)) return 0;
  if (v > 10000.0) return 10000;
  if (v < -10000.0) return -10000;
  return static_cast<int>(std::nearbyint(v));
}

void editor_sleep_ms(int milliseconds) {
  if (host.sleep_ms)
    host.sleep_ms(milliseconds);
  else
    win_sleep_ms(milliseconds);
}

namespace {

// The dialog and the name checks common to saving and loading: the checked
// name, or "" when the command ends here.
std::string ask_file_name(const std::string& title, const std::string& extension) {
  std::string folder = user_data_folder() + "save/";
  make_folders(folder);
  std::string chosen = file_dialog(title, folder + "*" + extension);
  std::string name;
  int checked = check_file_name(chosen, extension, &name);
  if (checked < 0) notice("bad name " + name, "notice");
  return checked > 0 ? name : std::string();
}

}  // namespace

bool editor_save_file(const std::string& feature, const std::string& extension,
                      const std::function<bool(const std::string& path)>& write) {
  std::string title = "save " + feature;
  std::string name = ask_file_name(title, extension);
  if (name.empty()) return false;
  if (confirm("save in " + name + " ?", title) != "yes") return false;
  if (!write(name)) {
    notice("not saved :" + name, "notice");
    return false;
  }
  notice(feature + " saved as " + name, "notice");
  return true;
}

bool editor_load_file(const std::string& feature, const std::string& extension,
                      const std::function<bool(const std::string& path)>& read) {
  std::string title = "load " + feature;
  std::string name = ask_file_name(title, extension);
  if (name.empty()) return false;
  if (!regular_file_exists(name)) {
    notice("not found :" + name, "notice");
    return false;
  }
  if (confirm("load " + name + " ?", title) != "yes") return false;
  return read(name);
}
