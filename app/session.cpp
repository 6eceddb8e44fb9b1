// SPDX-License-Identifier: GPL-3.0-or-later
// The instrument as a client of a session manager (NSM API 1.2).
#include "app/session.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "app/screen.h"
#include "app/settings.h"
#include "core/clock.h"
#include "core/paths.h"
#include "core/shared_state.h"
#include "platform/dialogs.h"
#include "platform/osc_link.h"
#include "platform/window.h"

namespace {

// The protocol's error codes that this client sends.
constexpr int kErrGeneral = -1;
constexpr int kErrBadProject = -9;
constexpr int kErrCreateFailed = -10;

// How long the start waits for the manager's answer to the announce, and
// then for its open.
constexpr double kAnswerWaitSeconds = 5.0;
// How often the settings are compared with the saved ones.
constexpr double kDirtyCheckSeconds = 0.5;
// Where the start's last notice stays on the status screen (the watch's row).
constexpr int kNoticeRow = 7;

constexpr const char* kSettingsName = "quillon_darvo.ini";
constexpr const char* kBackupName = "quillon_darvo_backup.ini";

// All written and read by the main thread.
bool joined = false;
bool started = false;         // the first serve_session() has run
std::string saved_settings;  // the settings text as last saved (or as opened)
bool dirty_told = false;      // is_dirty sent and no is_clean since
double next_dirty_check = 0.0;
std::string start_notice;     // the last notice of the start

void tell(const std::string& line) { std::fprintf(stderr, "quillon_darvo: %s\n", line.c_str()); }

// Notices at start under a session: standard error and the text screen.
void notice_without_box(const std::string& text) {
  std::string line = text;
  for (char& c : line)
    if (c == '\r' || c == '\n') c = ' ';
  tell(line);
  start_notice = line;
  // Its line on standard output is the notice's own.
  if (win_is_open()) {
    if (win_cursor_column() != 1) win_print("", true);
    win_print(line, true);
    win_present();
  }
}

bool is_text_arg(const OscMessage& m, size_t i) { return m.args.size() > i && m.args[i].type == 's'; }

// The manager's /reply or /error about our message `about`.
bool answers(const OscMessage& m, const char* about) {
  return (m.path == "/reply" || m.path == "/error") && is_text_arg(m, 0) && m.args[0].text == about;
}

void send_error(const char* about, int code, const std::string& text) {
  osc_send("/error", {osc_text(about), osc_int(code), osc_text(text)});
}

std::string absolute(std::string path) {
  if (!path.empty() && path[0] == '/') return path;
  char cwd[4096];
  if (getcwd(cwd, sizeof cwd) == nullptr) return path;
  return std::string(cwd) + "/" + path;
}

// The manager's open: the session's folder made (or taken as it is) and
// made the program's. "" when done, else what went wrong, with its code.
std::string open_session(const OscMessage& m, std::string* jack_name, int* code) {
  *code = kErrGeneral;
  if (!is_text_arg(m, 0) || !is_text_arg(m, 2) || m.args[0].text.empty())
    return "the open names no folder and client id";
  std::string folder = absolute(m.args[0].text);
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  folder += "/";
  *code = kErrCreateFailed;
  if (!make_folders(folder) || !folder_writable(folder)) return "cannot make or write the folder " + folder;
  *code = kErrBadProject;
  std::string settings = folder + kSettingsName;
  if (access(settings.c_str(), F_OK) == 0 && access(settings.c_str(), R_OK) != 0) return "cannot read " + settings;
  use_session_folder(folder);
  if (!m.args[2].text.empty()) *jack_name = m.args[2].text;
  return "";
}

void save_session() {
  store_window_position();
  std::string text = format_settings();
  std::string folder = session_folder();
  make_folders(folder);  // in case it was removed while the program ran
  bool saved = write_settings((folder + kSettingsName).c_str());
  // The backup as at the program's end; the settings file is what counts.
  if (saved) write_settings((folder + kBackupName).c_str());
  if (!saved) {
    send_error("/nsm/client/save", kErrGeneral, "cannot write " + folder + kSettingsName);
    return;
  }
  saved_settings = text;
  osc_send("/reply", {osc_text("/nsm/client/save"), osc_text("saved")});
  osc_send("/nsm/client/is_clean");
  dirty_told = false;
}

void check_dirty() {
  double now = program_clock();
  if (now < next_dirty_check && now > next_dirty_check - 99.0) return;
  next_dirty_check = now + kDirtyCheckSeconds;
  bool dirty = format_settings() != saved_settings;
  if (dirty == dirty_told) return;
  osc_send(dirty ? "/nsm/client/is_dirty" : "/nsm/client/is_clean");
  dirty_told = dirty;
}

}  // namespace

int join_session(const std::string& executable_name, std::string* jack_name) {
  const char* url = std::getenv("NSM_URL");
  if (url == nullptr) return -1;
  std::string error = osc_open(url);
  if (!error.empty()) {
    tell(std::string("NSM_URL '") + url + "' is " + error + "; running without a session manager");
    return -1;
  }
  if (!osc_send("/nsm/server/announce", {osc_text("Quillon Darvo"), osc_text(":dirty:"), osc_text(executable_name),
                                         osc_int(1), osc_int(2), osc_int(static_cast<int>(getpid()))})) {
    // A host name that does not resolve, say.
    tell(std::string("cannot send to the session manager at ") + url + "; running without it");
    osc_close();
    return -1;
  }
  bool announced = false;
  double deadline = steady_seconds() + kAnswerWaitSeconds;
  while (steady_seconds() < deadline) {
    if (quit_signal.load()) {
      osc_close();
      return 0;
    }
    OscMessage m;
    if (!osc_receive(&m, 50)) continue;
    if (answers(m, "/nsm/server/announce")) {
      if (m.path == "/error") {
        std::string why = is_text_arg(m, 2) ? m.args[2].text : "";
        tell("the session manager refused the program (" + why + "); running without it");
        osc_close();
        return -1;
      }
      if (!announced) deadline = steady_seconds() + kAnswerWaitSeconds;
      announced = true;
      std::string manager = is_text_arg(m, 2) ? m.args[2].text : "";
      std::printf("session manager %s\n", manager.c_str());
    } else if (m.path == "/nsm/client/open") {
      int code = 0;
      std::string failure = open_session(m, jack_name, &code);
      if (failure.empty()) {
        joined = true;
        set_notice_sink(notice_without_box);
        osc_send("/reply", {osc_text("/nsm/client/open"), osc_text("opened " + session_folder())});
        std::printf("session folder %s, JACK name %s\n", session_folder().c_str(), jack_name->c_str());
        std::fflush(stdout);
        return -1;
      }
      send_error("/nsm/client/open", code, failure);
      if (code != kErrGeneral) {
        tell("cannot open the session: " + failure);
        osc_close();
        return 1;
      }
    }
  }
  tell(std::string(announced ? "no open from the session manager at " : "no answer from the session manager at ") +
       url + " within 5 s; running without it");
  osc_close();
  return -1;
}

bool in_session() { return joined; }

void serve_session() {
  if (!joined) return;
  if (!started) {
    started = true;
    set_notice_sink(nullptr);
    if (!start_notice.empty()) show_status_line(kNoticeRow, start_notice);
    saved_settings = format_settings();
    next_dirty_check = program_clock() + kDirtyCheckSeconds;
  }
  OscMessage m;
  // A few at a time: the loop that serves stays responsive.
  for (int taken = 0; taken < 8 && osc_receive(&m, 0); taken++) {
    if (m.path == "/nsm/client/save") save_session();
    // Anything else (session_is_loaded, the manager's replies) needs no answer.
  }
  check_dirty();
}
