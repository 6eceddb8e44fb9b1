// SPDX-License-Identifier: GPL-3.0-or-later
// The window's keyboard as the engine's key source.
#include "app/key_source.h"

#include "engine/fbs.h"
#include "platform/window.h"

namespace {

constexpr int kKeyClose = 256 + 107;  // the window's close button

// The rest of the last window key code: an extended key is handed out as 255
// and then its scan code.
std::string key_source_rest;

int window_key_source() {
  if (key_source_rest.empty()) key_source_rest = win_poll_key();
  if (key_source_rest.empty()) return 0;
  unsigned char c = static_cast<unsigned char>(key_source_rest[0]);
  key_source_rest.erase(0, 1);
  return c;
}

}  // namespace

void install_key_source() { fbs_set_key_source(window_key_source); }

std::string key_text_for_code(int code) {
  if (code == 0 || code == kKeyClose) return "";
  char c = static_cast<char>(code & 0xFF);
  if (c == '\0') return "";
  return std::string(1, c);
}

void discard_waiting_keys() {
  while (FBS_GET_KEYCODE() != 0) {
  }
}
