// SPDX-License-Identifier: GPL-3.0-or-later
// Runs an editor headless on a script: the window is the headless back end,
// the clock is virtual, and every sleep of the editor's waits is one tick of
// the script (the host's note-off due time is far ahead, so each wait is one
// sleep of its longest length). A tick sets the mouse, types keys or answers
// dialogs for the passes that follow; after the last tick the leave key "q"
// is typed. Header-only: tests/support/*.cpp go into every test program,
// this only into those that include it.
#pragma once
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/settings_values.h"
#include "core/shared_state.h"
#include "platform/dialogs.h"
#include "platform/dialogs_headless.h"
#include "platform/editor_frame.h"
#include "platform/window.h"
#include "platform/window_headless.h"

namespace editortest {

using Tick = std::function<void()>;

inline double virtual_now = 100.0;
inline std::vector<Tick> script;
inline size_t ticks_run = 0;
inline bool left_typed = false;
// Runs on every tick as well (e.g. the note-off queue, or filling a block).
inline std::function<void()> on_tick;

inline double virtual_clock() { return virtual_now; }

inline void next_tick(int milliseconds) {
  virtual_now += milliseconds / 1000.0;
  if (on_tick) on_tick();
  if (ticks_run < script.size()) {
    script[ticks_run++]();
  } else if (!left_typed) {
    win_push_key("q");
    left_typed = true;
  }
}

inline double far_due() { return virtual_now + 1000.0; }

// The headless window at the text area's size, an empty key queue, a
// released mouse, the virtual clock and the scripted host.
inline void start(const EditorHost& more = {}) {
  win_use_headless(true);
  win_open(kEditorWidth, kEditorHeight);
  while (!win_poll_key().empty()) {
  }
  win_headless_set_mouse(0, 0, 0, 0);
  dialog_clear_history();
  program_clock = virtual_clock;
  input_active = 0;
  auxvar = 0.0;
  EditorHost host = more;
  host.sleep_ms = next_tick;
  if (!host.next_note_off_due) host.next_note_off_due = far_due;
  set_editor_host(host);
  on_tick = nullptr;
}

inline void finish() {
  set_editor_host({});
  program_clock = steady_seconds;
  on_tick = nullptr;
  win_close();
}

// Runs the editor on the ticks; returns the number of ticks it took (all
// of them, or fewer when it left early).
inline size_t run(void (*editor)(), std::vector<Tick> ticks) {
  script = std::move(ticks);
  ticks_run = 0;
  left_typed = false;
  editor_set_last_position(-1, -1);
  editor();
  return ticks_run;
}

// Ticks.
inline Tick mouse(int x, int y, int buttons) {
  return [=] { win_headless_set_mouse(x, y, 0, buttons); };
}
inline Tick key(const std::string& k) {
  return [=] { win_push_key(k); };
}
inline Tick idle() {
  return [] {};
}
// The answers of the dialogs that follow (file name, then confirm).
inline Tick answers(std::vector<std::string> list) {
  return [=] {
    for (const std::string& a : list) dialog_script_answer(a);
  };
}
// The same tick n times.
inline std::vector<Tick> repeat(const Tick& t, int n) { return std::vector<Tick>(n, t); }
inline std::vector<Tick> operator+(std::vector<Tick> a, const std::vector<Tick>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Texts the dialogs showed, of one kind ("notice", "confirm", "file").
inline std::vector<std::string> dialog_texts(const std::string& kind) {
  std::vector<std::string> out;
  for (const DialogRecord& r : dialog_history())
    if (r.kind == kind) out.push_back(kind == "file" ? r.title : r.text);
  return out;
}

// A folder of its own with "save/" inside, the current folder while it lives.
class SaveFolder {
 public:
  SaveFolder() {
    namespace fs = std::filesystem;
    dir_ = fs::temp_directory_path() / ("qd_editor_" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "save");
    old_ = fs::current_path();
    fs::current_path(dir_);
  }
  ~SaveFolder() {
    std::filesystem::current_path(old_);
    std::filesystem::remove_all(dir_);
  }
  SaveFolder(const SaveFolder&) = delete;
  SaveFolder& operator=(const SaveFolder&) = delete;

 private:
  std::filesystem::path dir_, old_;
};

inline bool same_reverb(const ReverbParams& a, const ReverbParams& b) {
  return a.kreverb1 == b.kreverb1 && a.kreverb2 == b.kreverb2 && a.Treverb1 == b.Treverb1 && a.Treverb2 == b.Treverb2;
}

inline std::string file_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void write_text(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

}  // namespace editortest
