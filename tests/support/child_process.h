// SPDX-License-Identifier: GPL-3.0-or-later
// Child processes of the system tests: a shell command's output, a program
// started in its own process group with its output in files, waiting for
// it and ending it with whatever it started. Header-only, like audio_check.h.
#pragma once
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

inline double now_s() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}
inline void sleep_s(double s) { std::this_thread::sleep_for(std::chrono::duration<double>(s)); }

// Runs a shell command (bounded by `timeout`) and gives its output.
inline std::string shell(const std::string& command, int* status = nullptr) {
  std::string out;
  FILE* p = popen(("timeout 10 " + command + " 2>/dev/null").c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int st = pclose(p);
  if (status) *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return out;
}

inline bool have_program(const char* name) {
  int status = 0;
  shell(std::string("sh -c 'command -v ") + name + "'", &status);
  return status == 0;
}

// Starts argv[0] in its own process group, standard output and error to
// files, in folder `cwd`.
inline pid_t spawn(const std::vector<std::string>& args, const std::string& out, const std::string& err,
            const std::string& cwd = "/") {
  pid_t pid = fork();
  if (pid != 0) return pid;
  setpgid(0, 0);
  prctl(PR_SET_PDEATHSIG, SIGKILL);  // no stray server or program if the test is killed
  int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  int e = err == out ? dup(o) : open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  int n = open("/dev/null", O_RDONLY);
  if (o < 0 || e < 0 || n < 0 || chdir(cwd.c_str()) != 0) _exit(126);
  dup2(n, 0);
  dup2(o, 1);
  dup2(e, 2);
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  execvp(argv[0], argv.data());
  _exit(127);
}

// Waits up to `seconds` for the child to end; its exit status, or -1 when it
// still runs (-2 when killed by a signal).
inline int wait_exit(pid_t pid, double seconds) {
  double deadline = now_s() + seconds;
  for (;;) {
    int status = 0;
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
    if (r < 0) return -2;
    if (now_s() > deadline) return -1;
    sleep_s(0.05);
  }
}

// Ends a child started by spawn() and whatever it started in its group.
inline void stop_child(pid_t* pid) {
  if (*pid <= 0) return;
  kill(-*pid, SIGTERM);
  if (wait_exit(*pid, 5.0) == -1) {
    kill(-*pid, SIGKILL);
    wait_exit(*pid, 5.0);
  }
  *pid = 0;
}

// Polls `done` every 20 ms up to `seconds`; whether it came true.
inline bool poll_until(double seconds, const std::function<bool()>& done) {
  double deadline = now_s() + seconds;
  while (!done()) {
    if (now_s() > deadline) return false;
    sleep_s(0.02);
  }
  return true;
}

// How many times `what` stands in `text`.
inline size_t count_of(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
  return n;
}
