// SPDX-License-Identifier: GPL-3.0-or-later
// The bottom of the window's drawing: the text area's colours and sizes,
// which view is shown, the clip between the text area and the whole window,
// the status screen's own lines, the hint, and the pictures' loader. Every
// widget draws through these; none of them opens or rebuilds the window.
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

// Drawing limited to the text area in the normal colours (the state between
// all drawing), or allowed over the whole window.
void restrict_to_text_area();
void allow_whole_window();
// Drawing over the whole window while it lives, then the text area again.
struct WholeWindowScope {
  WholeWindowScope() { allow_whole_window(); }
  WholeWindowScope(const WholeWindowScope&) = delete;
  WholeWindowScope& operator=(const WholeWindowScope&) = delete;
  ~WholeWindowScope() { restrict_to_text_area(); }
};

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
