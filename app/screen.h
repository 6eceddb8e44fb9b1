// SPDX-License-Identifier: GPL-3.0-or-later
// The window's views (compact, full and the prompt window), the status
// screen (the menu) composed of its parts, the window title, and the
// pictures of the full view as a whole. The parts of the full view have
// files of their own: piano_picture, key_display, thumbnails, level_meter,
// master_level_slider, mouse_handler, mouse_keyboard, function_keys; what
// they all draw with is text_area. Only the main loop rebuilds the window
// and redraws the status screen after input; a widget asks for it with
// request_window_rebuild (app/loop_request.h).
//
// Threads: main thread only.
#pragma once
#include <string>

#include "app/text_area.h"

// The window's own title as read once at start (read_base_title); the title
// shown is base_title, four blanks and preset_name.
extern std::string base_title;
void read_base_title();

// Desktop size, read once at start-up before the first window.
extern int desktop_width;
extern int desktop_height;
void read_desktop_size();

// Opens the compact or full view according to full_view, at window_x /
// window_y; the full view also gets its pictures (loaded the first time).
// Leaves the text area cleared with the cursor at row 1.
void build_window();
// Takes the window's place on the desktop into `window_x` / `window_y`, as
// the settings keep it (the compact view's place when the full view shows).
void store_window_position();
// Reopens the window as the prompt window (344 x 293) for the M and set
// prompts, normal colours, cleared.
void open_prompt_window();

// The window title: base_title, four blanks and preset_name.
void show_window_title();
// Redraws the window title and the text area: every feature with its key.
void draw_status_screen();
// The text of the status screen's rows 1..11 as last drawn, one line each,
// also written to standard output as the program's log.
std::string status_screen_text();

// Frees the pictures and thumbnails at exit.
void destroy_pictures();
