// SPDX-License-Identifier: GPL-3.0-or-later
// The window's views (compact, full and the prompt window), the status
// screen (the menu), the hint, the window title, and the pictures of the full
// view as a whole. The parts of the full view have files of their own:
// piano_picture, key_display, thumbnails, level_meter, master_level_slider,
// mouse_handler, mouse_keyboard, function_keys, presets_menu.
//
// Threads: main thread only.
#pragma once
#include <string>

struct WinImage;

// Normal text colours of the status screen.
constexpr unsigned kTextForeground = 0x9BFFFF;
constexpr unsigned kTextBackground = 0x000064;
// The text area (43 x 11 cells) and the window sizes.
constexpr int kTextAreaWidth = 344;
constexpr int kTextAreaHeight = 93;
constexpr int kFullWidth = 700;
constexpr int kFullHeight = 241;
constexpr int kPromptHeight = 293;

// 1 while the full view is on the screen (set when it is built, cleared when
// the compact view is built).
extern int full_view_shown;

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

// Drawing limited to the text area in the normal colours (the state between
// all drawing), or allowed over the whole window.
void restrict_to_text_area();
void allow_whole_window();

// The window title: base_title, four blanks and preset_name.
void show_window_title();
// Redraws the window title and the text area: every feature with its key.
void draw_status_screen();
// The text of the status screen's rows 1..11 as last drawn, one line each,
// also written to standard output as the program's log.
std::string status_screen_text();

// Prints one line of text on a line of its own (from column 1 of the
// cursor's row, or of the next row when the cursor is inside a row) and also
// writes it to standard output, so the program can be followed from a
// terminal.
void print_line(const std::string& text);

// A line of the status screen's own at `row`, column 1: the text cut to the
// text area's width, the rest of the row blank, in the normal colours; the
// whole text also goes to standard output. "" only blanks the row. While
// another screen is shown (hide_status_lines(true)) only the output gets it.
void show_status_line(int row, const std::string& text);
void hide_status_lines(bool hide);

// The full view's hint ("rightclick mouse => show/hide"), or blanks.
void show_hint(bool clear);

// A picture of the full view: a black image of width x height, filled from
// the BMP file only when the file is a BMP of exactly that size. A missing,
// broken or wrongly sized file leaves it black, and nothing is reported.
WinImage* load_picture(const char* path, int width, int height);
// Frees the pictures and thumbnails at exit.
void destroy_pictures();
