// SPDX-License-Identifier: GPL-3.0-or-later
// Test programs print the stack of a thread that crashes, so a fault that
// shows once in many runs leaves more than "SegFault" behind. Sanitizer
// builds keep their own, better reports.
#include <execinfo.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <initializer_list>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QD_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(undefined_behavior_sanitizer)
#define QD_SANITIZED 1
#endif
#endif

#ifndef QD_SANITIZED
namespace {

void print_stack(int signal_number) {
  const char* name = strsignal(signal_number);
  const char head[] = "\n*** crash: ";
  (void)!write(STDERR_FILENO, head, sizeof head - 1);
  (void)!write(STDERR_FILENO, name, strlen(name));
  (void)!write(STDERR_FILENO, "\n", 1);
  void* frames[64];
  backtrace_symbols_fd(frames, backtrace(frames, 64), STDERR_FILENO);
  signal(signal_number, SIG_DFL);
  raise(signal_number);
}

struct InstallCrashTrace {
  InstallCrashTrace() {
    void* warm[1];
    backtrace(warm, 1);  // loads the unwinder now, not inside the handler
    for (int s : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT}) signal(s, print_stack);
  }
} install_crash_trace;

}  // namespace
#endif
