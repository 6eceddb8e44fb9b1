// SPDX-License-Identifier: GPL-3.0-or-later
// The program's ends: fatal errors, the normal end, the end after a quit signal.
#include "app/program_end.h"

#include <cstdio>
#include <cstdlib>

#include "app/instrument_setup.h"
#include "app/screen.h"
#include "app/session.h"
#include "app/settings.h"
#include "app/take.h"
#include "core/bounded_call.h"
#include "core/paths.h"
#include "core/shared_state.h"
#include "engine/fbs.h"
#include "midi/keyvol_editor.h"
#include "midi/midi_input.h"
#include "platform/dialogs.h"
#include "platform/process.h"
#include "platform/window.h"

namespace {

// One fatal notice: the text on a line of its own, then one waiting key is
// discarded and the keyboard polled every 100 ms until a key arrives (in a
// session the text goes to standard error instead of the wait).
void fatal_notice(const std::string& text) {
  print_line(text);
  win_present();
  // Under a session manager nothing waits for a key: the manager shows the end.
  if (in_session()) {
    std::fprintf(stderr, "quillon_darvo: %s\n", text.c_str());
    return;
  }
  FBS_GET_KEYCODE();
  while (FBS_GET_KEYCODE() == 0 && quit_signal.load() == 0) win_sleep_ms(100);
}

// Writes the settings into the settings folder. A file that cannot be
// written gets a notice; the one there before stays whole.
void save_settings_file(const char* name) {
  std::string path = config_folder() + name;
  make_folders(config_folder());
  if (!write_settings(path.c_str())) notice("not saved :" + path, "notice");
}

}  // namespace

int fatal_start_up_error(const std::string& text, const std::string& second_notice) {
  fatal_notice(text);
  if (!second_notice.empty()) fatal_notice(second_notice);
  return 1;
}

void stop_engine() {
  FBS_DISABLE_MASTERCALLBACK();
  FBS_STOP();
  FBS_EXIT();
}

[[noreturn]] void sample_pass_fatal(const std::string& text) {
  fatal_notice(text);
  close_midi_ports();
  stop_engine();
  win_close();
  std::exit(1);
}

int program_end() {
  take_end();
  store_window_position();
  // In a session only the manager's save writes them.
  if (!in_session()) {
    save_settings_file("quillon_darvo.ini");
    win_sleep_ms(100);
    save_settings_file("quillon_darvo_backup.ini");
  }
  destroy_pictures();
  destroy_key_markers();
  return 0;
}

int end_after_quit_signal() {
  int status = program_end();
  if (run_at_most(kCloseWaitSeconds, [] {
        close_midi_ports();
        stop_engine();
      }))
    return status;
  std::fputs("quillon_darvo: a device did not close within a second; ending without it\n", stderr);
  win_close();
  remove_private_scratch_folder();
  std::fflush(nullptr);
  std::_Exit(status);
}
