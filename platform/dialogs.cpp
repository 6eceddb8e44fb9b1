// SPDX-License-Identifier: GPL-3.0-or-later
// The program's dialogs: notice and confirm boxes (zenity, else the display
// back end's message boxes), the file dialog (zenity, or a file-name prompt
// in the window), and the console line input of the value prompts. Threads: main thread only.
#include "platform/dialogs.h"
#include "platform/dialogs_headless.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iostream>

#include "core/shared_state.h"
#include "core/text_file.h"
#include "core/text_number.h"
#include "platform/process.h"
#include "platform/wait_pass.h"
#include "platform/window_backend.h"
#include "platform/window.h"

namespace {

// Headless answers and what was asked; owned by the main thread.
std::deque<std::string> scripted_answers;
std::vector<DialogRecord> history;

constexpr size_t kFilterListMax = 200;  // longest filter list the dialog takes
constexpr size_t kTitleMax = 32;        // longest file dialog title
constexpr size_t kLineMax = 255;        // longest console line
constexpr int kWaitPassMs = 50;         // the wait pass's period while a box is open

void (*notice_sink)(const std::string& text) = nullptr;

std::string next_answer(const std::string& fallback) {
  if (scripted_answers.empty()) return fallback;
  std::string a = scripted_answers.front();
  scripted_answers.pop_front();
  return a;
}

bool display_usable() { return !win_is_headless() && has_display(); }

// Keeps a zenity dialog modal above the program's window on X11.
void add_zenity_parent(std::vector<std::string>* args) {
  const WindowDisplayTable* display = win_display();
  unsigned long x11_window = display ? display->x11_id(win_native_handle()) : 0;
  if (!x11_window) return;
  args->push_back("--modal");
  args->push_back("--attach=" + std::to_string(x11_window));
}

std::string find_in_path(const char* program);
std::string run_capture(const std::string& program, const std::vector<std::string>& args, int* status);

// The same box through zenity, for desktops where SDL has no message box
// (an X server without the fonts it needs): 1 for OK, 0 for Cancel or a
// closed box, -1 when zenity is not there.
int zenity_box(const std::string& text, const std::string& title, bool with_cancel) {
  std::string zenity = find_in_path("zenity");
  if (zenity.empty()) return -1;
  std::vector<std::string> args = {with_cancel ? "--question" : "--info", "--title=" + title, "--text=" + text,
                                   "--no-markup", "--ok-label=OK"};
  if (with_cancel) args.push_back("--cancel-label=Cancel");
  add_zenity_parent(&args);
  int status = -1;
  run_capture(zenity, args, &status);
  if (status < 0 || status == 127) return -1;
  return status == 0 ? 1 : 0;
}

// Texts may break lines with a lone "\r"; the desktop's boxes want "\n".
std::string unix_lines(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); i++) {
    if (text[i] != '\r') { out += text[i]; continue; }
    if (i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += '\n';
  }
  return out;
}

// A box by whichever means the desktop has; -1 when none. zenity comes
// first: its box is a process of its own, which the wait for it can close
// when the program is asked to end, while the display's own box holds the
// main thread until it is answered.
int show_box(const std::string& text, const std::string& title, bool with_cancel) {
  if (quit_signal.load()) return 0;  // the program ends: no box, as if closed
  std::string shown = unix_lines(text);
  int pressed = zenity_box(shown, title, with_cancel);
  if (quit_signal.load()) return 0;
  const WindowDisplayTable* display = win_display();
  if (pressed < 0 && display)
    pressed = display->message_box(win_native_handle(), shown.c_str(), title.c_str(), with_cancel);
  return pressed;
}

std::string find_in_path(const char* program) {
  const char* path = std::getenv("PATH");
  std::string all = path ? path : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  while (start <= all.size()) {
    size_t end = all.find(':', start);
    if (end == std::string::npos) end = all.size();
    std::string dir = all.substr(start, end - start);
    if (dir.empty()) dir = ".";
    std::string candidate = dir + "/" + program;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return "";
}

// Runs a program with the given arguments (no shell, so names and patterns
// pass unchanged) and gives its standard output; *status is its exit status,
// -1 when it could not be run. While it runs the wait pass runs every
// kWaitPassMs; a quit signal kills and reaps it (status -1, as a box
// closed unanswered).
std::string run_capture(const std::string& program, const std::vector<std::string>& args, int* status) {
  *status = -1;
  if (quit_signal.load()) return "";
  int fds[2];
  if (pipe(fds) != 0) return "";
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid < 0) { close(fds[0]); close(fds[1]); return ""; }
  if (pid == 0) {
    dup2(fds[1], 1);
    close(fds[0]);
    close(fds[1]);
    int devnull = open("/dev/null", O_WRONLY);
    if (devnull >= 0) dup2(devnull, 2);  // toolkit warnings are not ours to show
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(fds[1]);
  std::string out;
  char buf[4096];
  bool reading = true;
  int wstatus = 0;
  for (;;) {
    if (quit_signal.load()) {
      kill(pid, SIGKILL);
      while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {}
      close(fds[0]);
      return "";
    }
    pollfd ready = {fds[0], POLLIN, 0};
    if (poll(reading ? &ready : nullptr, reading ? 1 : 0, kWaitPassMs) > 0) {
      ssize_t n = read(fds[0], buf, sizeof buf);
      if (n > 0) out.append(buf, (size_t)n);
      if (n == 0 || (n < 0 && errno != EINTR)) reading = false;
      continue;
    }
    pid_t ended = waitpid(pid, &wstatus, WNOHANG);
    if (ended == pid || (ended < 0 && errno != EINTR)) break;
    run_wait_pass();
  }
  // What it wrote before it ended.
  for (ssize_t n; reading && (n = read(fds[0], buf, sizeof buf)) != 0;) {
    if (n > 0) out.append(buf, (size_t)n);
    else if (errno != EINTR) break;
  }
  close(fds[0]);
  if (WIFEXITED(wstatus)) *status = WEXITSTATUS(wstatus);
  return out;
}

std::string zenity_file_dialog(const std::string& zenity, const std::string& title, bool save,
                               const std::string& folder, const std::vector<FileFilter>& filters) {
  std::vector<std::string> args = {"--file-selection", "--title=" + title};
  if (save) args.push_back("--save");
  add_zenity_parent(&args);
  // zenity opens a folder only when given its full path.
  std::string start = folder;
  if (start.empty() || start[0] != '/') {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd)) start = std::string(cwd) + "/" + start;
  }
  if (!start.empty()) args.push_back("--filename=" + start);
  for (const FileFilter& f : filters) {
    std::string description = f.description;
    for (char& c : description) if (c == '|') c = '/';  // '|' separates zenity's fields
    std::string pattern = f.pattern == "*.*" ? "*" : f.pattern;  // "*.*" means every file
    args.push_back("--file-filter=" + description + " | " + pattern);
  }
  int status = -1;
  std::string out = run_capture(zenity, args, &status);
  if (status != 0) return "";
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

// Without zenity: ask for the file name on the window's text screen. A name
// without "." gets the extension of the first filter ("*.equ" gives ".equ"),
// as the program's own name check would add it; a file that does not exist
// is handed on too, so the caller's "not found :" tells it.
std::string prompt_file_dialog(const std::string& title, const std::string& folder,
                               const std::vector<FileFilter>& filters) {
  if (!win_is_open()) return "";
  if (win_cursor_column() > 1) win_print("", true);
  win_print(title, true);
  win_print("file name: ");
  std::string name = console_read_line();
  size_t a = name.find_first_not_of(' ');
  if (a == std::string::npos) return "";
  name = name.substr(a, name.find_last_not_of(' ') - a + 1);
  const std::string& first = filters.front().pattern;
  if (file_name_part(name).find('.') == std::string::npos && first.compare(0, 2, "*.") == 0 && first != "*.*")
    name += first.substr(1);
  return name[0] == '/' ? name : folder + name;
}

// Without any box (no zenity, and SDL has no fonts on this display): ask
// on the window's text screen, as the file name prompt does.
std::string prompt_confirm(const std::string& text, const std::string& title) {
  if (!win_is_open()) return "no";
  if (win_cursor_column() > 1) win_print("", true);
  win_print(title, true);
  win_print(unix_lines(text), true);
  win_print("[Y]OK  [N]cancel: ");
  std::string answer = console_read_line();
  return !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y') ? "yes" : "no";
}

}  // namespace

void notice(const std::string& text, const std::string& title) {
  if (win_is_headless()) {
    history.push_back(DialogRecord{"notice", title, text, false, {}});
    return;
  }
  // Standard output is the program's log (the status screen goes there too):
  // every notice is one line of it, whatever the box shows or whoever closes it.
  std::string line = text;
  for (char& c : line) if (c == '\r' || c == '\n') c = ' ';
  std::printf("%s: %s\n", title.c_str(), line.c_str());
  std::fflush(stdout);
  if (notice_sink) {
    notice_sink(text);
    return;
  }
  if (display_usable() && show_box(text, title, false) >= 0) return;
  std::fprintf(stderr, "%s: %s\n", title.c_str(), unix_lines(text).c_str());
}

void set_notice_sink(void (*sink)(const std::string& text)) { notice_sink = sink; }

std::string confirm(const std::string& text, const std::string& title) {
  if (win_is_headless()) {
    history.push_back(DialogRecord{"confirm", title, text, false, {}});
    return next_answer("no") == "yes" ? "yes" : "no";
  }
  if (!display_usable()) return "no";
  int pressed = show_box(text, title, true);
  if (pressed < 0) return prompt_confirm(text, title);
  return pressed == 1 ? "yes" : "no";
}

bool file_dialog_parse(const std::string& pattern, std::string* folder, std::vector<FileFilter>* filters) {
  std::string p = pattern;
  for (char& c : p) if (c == '\\') c = '/';
  size_t slash = p.rfind('/');
  std::string masks = slash == std::string::npos ? p : p.substr(slash + 1);
  *folder = slash == std::string::npos ? "" : p.substr(0, slash + 1);
  filters->clear();
  size_t length = 0;
  size_t start = 0;
  while (start <= masks.size()) {
    size_t end = masks.find(';', start);
    if (end == std::string::npos) end = masks.size();
    std::string item = masks.substr(start, end - start);
    if (!item.empty()) {
      size_t comma = item.find(',');
      std::string pat = item.substr(0, comma);
      std::string desc = comma == std::string::npos ? "" : item.substr(comma + 1);
      filters->push_back(FileFilter{desc + " (" + pat + ")", pat});
    }
    start = end + 1;
  }
  filters->push_back(FileFilter{"All  (*.*)", "*.*"});
  // The list as the dialog takes it: each text and pattern ends in a zero.
  for (const FileFilter& f : *filters) length += f.description.size() + 1 + f.pattern.size() + 1;
  return length <= kFilterListMax;
}

std::string file_dialog(const std::string& title, const std::string& pattern) {
  std::string folder;
  std::vector<FileFilter> filters;
  bool fits = file_dialog_parse(pattern, &folder, &filters);
  bool save = title.find("save") != std::string::npos;
  std::string shown_title = title.substr(0, kTitleMax);
  if (win_is_headless()) {
    history.push_back(DialogRecord{"file", shown_title, folder, save, filters});
    return fits ? next_answer("") : "";
  }
  if (!fits) return "";
  std::string zenity = display_usable() ? find_in_path("zenity") : "";
  if (!zenity.empty()) return zenity_file_dialog(zenity, shown_title, save, folder, filters);
  return prompt_file_dialog(shown_title, folder, filters);
}

std::string console_read_line() {
  if (!win_is_open()) {
    std::string line;
    if (!std::getline(std::cin, line)) return "";
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
  }
  std::string line;
  for (;;) {
    // A quit signal gives up the line, as the close button does.
    if (quit_signal.load()) break;
    std::string key = win_poll_typed_key();
    if (key.empty()) {
      // Nobody types into the headless window: an empty queue ends the line.
      if (win_is_headless()) break;
      win_sleep_ms(10);
      run_wait_pass();
      continue;
    }
    if (key == "\r") break;
    if (key.size() == 2 && (unsigned char)key[0] == 255) {
      if (key[1] == 107) break;  // close button: give up the line
      continue;
    }
    unsigned char c = (unsigned char)key[0];
    if (c == 8) {
      if (line.empty()) continue;
      line.pop_back();
      int row = win_cursor_row(), column = win_cursor_column() - 1;
      if (column < 1 && row > 1) { row--; column = win_text_columns(); }
      if (column < 1) column = 1;
      win_locate(row, column);
      win_print(" ");
      win_locate(row, column);
      continue;
    }
    if (c < 32 || c == 127 || line.size() >= kLineMax) continue;
    line += (char)c;
    win_print(std::string(1, (char)c));
    win_present();
  }
  win_print("", true);
  return line;
}

int console_read_int() {
  double v = std::nearbyint(finite_leading_number(console_read_line()));
  if (v > 2147483647.0) return 2147483647;
  if (v < -2147483648.0) return -2147483647 - 1;
  return (int)v;
}

void dialog_script_answer(const std::string& answer) { scripted_answers.push_back(answer); }
const std::vector<DialogRecord>& dialog_history() { return history; }
void dialog_clear_history() {
  history.clear();
  scripted_answers.clear();
}
