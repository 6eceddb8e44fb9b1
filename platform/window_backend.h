// SPDX-License-Identifier: GPL-3.0-or-later
// Contract between the portable part of the window layer (window.cpp: the
// framebuffer, text, drawing, images, headless input; bmp.cpp: pictures;
// dialogs.cpp and process.cpp) and a display back end (window_sdl.cpp: the
// real window, its events, keyboard and mouse, message boxes). A back end
// fills one table of functions; the program that links it installs it
// (window_sdl.h). Without one, a window that is not headless is its
// framebuffer alone, as on a desktop where no window can be opened.
// Threads: main thread only.
#pragma once
#include <cstdint>
#include <deque>
#include <string>

// The 8 x 8 glyph of a character: 8 rows, bit 7 is the leftmost pixel.
const uint8_t* font8x8_glyph(unsigned char c);

// A key code from the display, and whether the key's auto-repeat made it
// (a key held down sends its code again and again).
struct DisplayKey {
  std::string code;
  bool repeat;
};

struct WindowDisplayTable {
  // Creates the window or resizes the one that exists; false when no window
  // could be made.
  bool (*open)(int width, int height, const char* title);
  void (*close)();
  void (*present)(const uint32_t* pixels, int width, int height);
  void (*set_title)(const char* title);
  bool (*get_position)(int* x, int* y);
  void (*set_position)(int x, int y);
  void* (*handle)();
  // Desktop size and depth; false when the video subsystem is not available.
  bool (*desktop_info)(int* width, int* height, int* depth);
  // Takes every waiting event: key codes go to the queue, wheel steps are
  // added to *wheel. Returns true when the window needs to be drawn again.
  bool (*pump)(std::deque<DisplayKey>* keys, int* wheel);
  bool (*key_down)(int scan_code);
  // Position and button mask (bit 0 left, 1 right, 2 middle).
  bool (*mouse)(int* x, int* y, int* buttons);
  // A message box with OK (and Cancel) above the window `parent` (a
  // win_native_handle(), may be null); the id of the pressed button (1 OK,
  // 0 Cancel), or -1 when no box could be shown.
  int (*message_box)(void* parent, const char* text, const char* title, bool with_cancel);
  // The X11 window id of a win_native_handle(), 0 for none or without X11.
  unsigned long (*x11_id)(void* handle);
  // Starts the video subsystem if needed; false when it cannot start.
  bool (*video_available)();
};

// The headless back end's table (window_headless.cpp), which
// win_use_headless(true) puts in place of the installed one.
const WindowDisplayTable* win_headless_display();

// Installs the display back end (null: none); a window open on the old one
// is closed. The installed one, or null.
void win_install_display(const WindowDisplayTable* table);
const WindowDisplayTable* win_display();
