// SPDX-License-Identifier: GPL-3.0-or-later
// The headless display back end: a window that is its framebuffer alone,
// with the desktop, the held keys and the mouse a test scripts
// (window_headless.h). It fills the same table as the real back end
// (window_backend.h); win_use_headless(true) selects it.
#include "platform/window_headless.h"

#include "platform/window_backend.h"

namespace {

// All of the following is owned by the main thread.
int desktop_w = 1280, desktop_h = 1024, desktop_depth = 24;
bool keys_down[256] = {};
bool mouse_present = false;
int mouse_x = 0, mouse_y = 0, mouse_buttons = 0;
bool wheel_set = false;  // a wheel position waits for the next pump
int wheel_position = 0;

bool open(int, int, const char*) { return true; }
void close() {}
void present(const uint32_t*, int, int) {}
void set_title(const char*) {}
// No position of its own: the window layer keeps the last one set.
bool get_position(int*, int*) { return false; }
void set_position(int, int) {}
void* handle() { return nullptr; }

bool desktop_info(int* width, int* height, int* depth) {
  *width = desktop_w;
  *height = desktop_h;
  *depth = desktop_depth;
  return true;
}

// Keys come only through win_push_key; the wheel is the position scripted.
bool pump(std::deque<DisplayKey>*, int* wheel) {
  if (wheel_set) *wheel = wheel_position;
  wheel_set = false;
  return false;
}

bool key_down(int scan_code) { return keys_down[scan_code]; }

bool mouse(int* x, int* y, int* buttons) {
  if (!mouse_present) return false;
  *x = mouse_x;
  *y = mouse_y;
  *buttons = mouse_buttons;
  return true;
}

int message_box(void*, const char*, const char*, bool) { return -1; }
unsigned long x11_id(void*) { return 0; }
bool video_available() { return false; }

const WindowDisplayTable kHeadlessDisplay = {open,   close,        present, set_title, get_position,
                                             set_position, handle, desktop_info, pump, key_down,
                                             mouse,  message_box,  x11_id,  video_available};

}  // namespace

const WindowDisplayTable* win_headless_display() { return &kHeadlessDisplay; }

void win_headless_set_desktop(int width, int height, int depth) {
  desktop_w = width;
  desktop_h = height;
  desktop_depth = depth;
}

void win_headless_set_key_down(int scan_code, bool down) {
  if (scan_code >= 0 && scan_code <= 255) keys_down[scan_code] = down;
}

void win_headless_set_mouse(int x, int y, int wheel, int buttons) {
  mouse_present = true;
  mouse_x = x;
  mouse_y = y;
  mouse_buttons = buttons;
  wheel_position = wheel;
  wheel_set = true;
}

void win_headless_remove_mouse() { mouse_present = false; }
