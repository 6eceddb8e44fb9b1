// SPDX-License-Identifier: GPL-3.0-or-later
// The graphics window layer: one window holding a 0xRRGGBB pixel framebuffer,
// 8 x 8 text cells, BMP pictures, keyboard and mouse. Everything on screen and
// every key or mouse read of the program goes through these functions.
//
// Two back ends draw into the same framebuffer:
//  - the display (the real window): the framebuffer is copied onto the
//    window when input is polled or win_present() is called. Its SDL2 back
//    end lives in its own library and is installed by the program that
//    shows a window (window_sdl.h); without it there is no real window.
//  - headless (tests): no video at all; keys, key-down states and the mouse
//    are scripted with the win_headless_* functions of window_headless.h.
// The back end is chosen with win_use_headless() before the first win_open().
// Pictures are decoded by the layer itself (bmp.h), the same for both.
//
// Threads: every function here belongs to the main thread, except
// win_timer() and win_sleep_ms(), which any thread may call.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------
// Back end and screen

// Selects the headless back end (true) or the display (false, the default).
// Call before win_open(); switching closes an open window.
void win_use_headless(bool on);
bool win_is_headless();

// Desktop size and colour depth; window_width/window_height are the open
// window's size (0 when no window is open). The headless desktop is
// 1280 x 1024 x 24 unless win_headless_set_desktop() says otherwise.
struct WinScreenInfo {
  int desktop_width;
  int desktop_height;
  int depth;
  int window_width;
  int window_height;
};
WinScreenInfo win_screen_info();

// Opens the window at width x height, or reopens it at the new size (the
// position is kept). Clears the framebuffer to black, homes the text cursor,
// resets the clip rectangle and the colours (white on black). Returns false
// when the real window could not be made; the framebuffer still exists then,
// so drawing goes on working off screen.
bool win_open(int width, int height);
// Closes the window (also at exit); the framebuffer is released.
void win_close();
bool win_is_open();
int win_width();
int win_height();
// Text grid: win_width() / 8 columns by win_height() / 8 rows.
int win_text_columns();
int win_text_rows();

// Window title; at most 127 characters are kept. The title starts as
// "quillon_darvo" when the window is first opened.
void win_set_title(const char* text);
std::string win_get_title();

// Top-left corner of the window on the desktop.
void win_get_position(int* x, int* y);
void win_set_position(int x, int y);
// The display's handle of the real window (an SDL_Window* for SDL2; nullptr
// when headless, closed or without a display).
void* win_native_handle();

// Copies the framebuffer to the real window now (input polls also do this
// when something was drawn). Harmless when headless.
void win_present();

// ---------------------------------------------------------------------------
// Text

// Fills the clip rectangle (the whole window when none is set) with the
// background colour and moves the cursor to row 1, column 1.
void win_clear();
// Moves the text cursor to the 1-based cell (row, column), clamped to the grid.
void win_locate(int row, int column);
int win_cursor_row();
int win_cursor_column();
// Colours for the following text (0xRRGGBB).
void win_color(uint32_t foreground, uint32_t background);
uint32_t win_foreground();
uint32_t win_background();

// Draws text from the cursor, cell by cell in the current colours, and
// advances the cursor; a text reaching past the last column goes on at
// column 1 of the next row. With newline the cursor then moves to column 1 of
// the next row. Moving below the last row scrolls the grid up one row.
void win_print(const char* text, bool newline = false);
void win_print(const std::string& text, bool newline = false);

// Number forms. Integers: decimal with a leading blank when not negative.
// Floating values: shortest form that reads back as the same value, with at
// most 7 (single) or 16 (double) significant digits, no trailing decimal
// point, exponent form ("1e+20") only when the fixed form would need more
// digits than that. The win_format_* functions give the text without
// printing; win_format_int has no leading blank (numbers on the status
// screen carry none).
void win_print_int(long long value, bool newline = false);
void win_print_single(float value, bool newline = false);
void win_print_double(double value, bool newline = false);
std::string win_format_int(long long value);
std::string win_format_single(float value);
std::string win_format_double(double value);

// Prints value by a picture such as "#.###": the digits before the point as
// needed, exactly as many decimals as the picture has '#' after its point,
// rounded to nearest. Text before and after the '#'/'.' field is printed as is.
void win_print_using(const char* picture, double value, bool newline = false);
std::string win_format_using(const char* picture, double value);

// ---------------------------------------------------------------------------
// Drawing on the window (pixels, (0,0) top left; all corners inclusive;
// everything is limited to the window and the clip rectangle)

enum WinLineMode { kWinLine = 0, kWinBox = 1, kWinFilledBox = 2 };

void win_pixel(int x, int y, uint32_t color);
void win_line(int x1, int y1, int x2, int y2, uint32_t color, WinLineMode mode = kWinLine);
void win_circle(int x, int y, int radius, uint32_t color, bool filled = false);

// Clip rectangle: drawing, text and win_clear() only touch pixels inside the
// rectangle (x1, y1)-(x2, y2), corners included, in any corner order.
// win_reset_clip() restores the whole window.
void win_set_clip(int x1, int y1, int x2, int y2);
void win_reset_clip();

// Draws text with its top-left corner at pixel (x, y) in one colour, only
// the glyphs' own pixels (the background shows through); the text cursor and
// the text cells are left alone.
void win_draw_string(int x, int y, const char* text, uint32_t color);

// Reading the framebuffer back (screenshots, tests). win_read_pixel gives 0
// outside the window; win_read_framebuffer gives width x height pixels, row by
// row.
uint32_t win_read_pixel(int x, int y);
std::vector<uint32_t> win_read_framebuffer();

// Which character text cell (row, column) shows (1-based): the last character
// printed there, ' ' after a clear; 0 outside the grid. Kept by both back ends.
char win_cell_char(int row, int column);
// The whole text of one row (trailing blanks kept), for tests and prompts.
std::string win_row_text(int row);

// ---------------------------------------------------------------------------
// Images: off-screen pixel buffers owned by whoever creates them; they
// survive reopening the window.

struct WinImage {
  int width;
  int height;
  std::vector<uint32_t> pixels;  // width * height, row by row, 0xRRGGBB
};

// A blank (black) image; nullptr for a size below 1 or above 16384.
WinImage* win_image_create(int width, int height);
void win_image_destroy(WinImage* image);
// Reads a BMP file and copies its pixels into the image from the top-left
// corner (the overlap of the two sizes). A missing or unreadable file leaves
// the image unchanged and returns false. Works without a display.
bool win_image_load_bmp(WinImage* image, const char* path);
// Width and height of a BMP file from its header alone (a top-down file's
// height too); false for a missing file or one that is not a BMP.
bool win_bmp_size(const char* path, int* width, int* height);
// The same from the first bytes of a file (n of them).
bool win_bmp_header_size(const uint8_t* data, size_t n, int* width, int* height);
// Copies the whole image opaquely with its top-left corner at (x, y).
void win_put_image(int x, int y, const WinImage* image);
// Copies the part (sx, sy, w, h) of the image to (x, y).
void win_put_image_part(int x, int y, const WinImage* image, int sx, int sy, int w, int h);
// Drawing into an image, limited to the image (no clip rectangle).
void win_image_pixel(WinImage* image, int x, int y, uint32_t color);
void win_image_line(WinImage* image, int x1, int y1, int x2, int y2, uint32_t color,
                    WinLineMode mode = kWinLine);
void win_image_circle(WinImage* image, int x, int y, int radius, uint32_t color, bool filled = false);

// ---------------------------------------------------------------------------
// Input

// The next waiting key: "" when none, one character for an ordinary key (as
// typed; Enter 13, Esc 27, Backspace 8, Tab 9, Ctrl+letter 1..26), or two
// characters for an extended key: char 255 and the PC set-1 scan code
// (F1..F10 59..68, F11 87, F12 88, Up 72, Left 75, Right 77, Down 80,
// Home 71, End 79, PgUp 73, PgDn 81, Ins 82, Del 83). The close button
// arrives as 255, 107 ("k"). Never blocks. A key held down repeats its code;
// the repeats are skipped here, so holding a key runs its command once.
std::string win_poll_key();
// The same with the repeats, for typing a line (a held key types on).
std::string win_poll_typed_key();
// The same key as one number: 0 for none, the character code (1..255) for
// an ordinary key, 256 + scan code for an extended key (the close button is
// 363).
int win_poll_key_code();
// Puts a key code at the end of the key queue (both back ends); `repeat`
// marks it as a held key's repeat.
void win_push_key(const std::string& code, bool repeat = false);

// Scan codes used by the program (PC set 1).
enum : int {
  kScanEsc = 1, kScanLeftShift = 42, kScanRightShift = 54, kScanLeftCtrl = 29,
  kScanLeftAlt = 56, kScanSpace = 57,
  kScanF1 = 59, kScanF10 = 68, kScanF11 = 87, kScanF12 = 88,
  kScanHome = 71, kScanUp = 72, kScanPageUp = 73, kScanLeft = 75, kScanRight = 77,
  kScanEnd = 79, kScanDown = 80, kScanPageDown = 81, kScanInsert = 82, kScanDelete = 83,
  kScanClose = 107,  // the window's close button, as the second key character
};
// True while the key with that set-1 scan code is held.
bool win_key_down(int scan_code);

// Mouse position within the window, wheel position (sum of wheel steps) and
// buttons (bit 0 left, bit 1 right, bit 2 middle). Returns false, with all
// four values -1, when the pointer is outside the window or there is no
// mouse. Any output pointer may be null.
bool win_mouse(int* x, int* y, int* wheel, int* buttons);

// Suspends the calling thread. Any thread.
void win_sleep_ms(int milliseconds);
// Seconds since an arbitrary start, from the monotonic clock. Any thread.
double win_timer();
