// SPDX-License-Identifier: GPL-3.0-or-later
// Process set-up: the working folder, the scheduling priority and the check
// for a usable display, and the quit signals. Threads: main thread, at
// start-up; the quit signals' handler on whichever thread takes them.
#include "platform/process.h"

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "core/shared_state.h"
#include "platform/window_backend.h"

std::string process_exe_folder() {
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "./";
  path[n] = 0;
  std::string folder(path);
  size_t slash = folder.rfind('/');
  if (slash == std::string::npos) return "./";
  return folder.substr(0, slash + 1);
}

bool process_enter_exe_folder() {
  std::string folder = process_exe_folder();
  return folder != "./" && chdir(folder.c_str()) == 0;
}

namespace {

// Async-signal-safe: one store to a lock-free atomic.
void quit_signalled(int) { quit_signal.store(1); }

}  // namespace

void process_catch_quit_signals() {
  struct sigaction action = {};
  action.sa_handler = quit_signalled;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;  // the waits poll the flag; no call needs interrupting
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
}

void process_raise_priority() {
  // Only privileged users may lower the nice value; others keep theirs.
  (void)setpriority(PRIO_PROCESS, 0, -10);
}

bool has_display() {
  const char* x11 = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  if ((!x11 || !*x11) && (!wayland || !*wayland)) return false;
  const WindowDisplayTable* display = win_display();
  return display && display->video_available();
}
