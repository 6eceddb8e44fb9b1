// SPDX-License-Identifier: GPL-3.0-or-later
// The engine's text output hook.
#include "engine/wav_text.h"

#include <atomic>
#include <cstdio>

// Written by the main thread, read by whichever thread prints.
static std::atomic<void (*)(const char*)> g_text_sink{nullptr};

extern "C" void fbs_set_text_sink(void (*print_line)(const char* line)) {
  g_text_sink.store(print_line, std::memory_order_release);
}

void fbs_print_line(const char* line) {
  void (*sink)(const char*) = g_text_sink.load(std::memory_order_acquire);
  if (sink != nullptr) {
    sink(line);
  } else {
    fputs(line, stdout);
    fputc('\n', stdout);
    fflush(stdout);
  }
}
