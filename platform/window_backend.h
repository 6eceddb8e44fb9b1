// Contract between the portable part of the window layer (window.cpp: the
// framebuffer, text, drawing, images, headless input; dialogs.cpp and
// process.cpp) and the SDL2 back end (window_sdl.cpp: the real window, its
// events, keyboard and mouse, BMP decoding, message boxes).
// Threads: main thread only.
#pragma once
#include <cstdint>
#include <deque>
#include <string>

union SDL_Event;

// The 8 x 8 glyph of a character: 8 rows, bit 7 is the leftmost pixel.
const uint8_t* font8x8_glyph(unsigned char c);

// SDL back end. sdl_window_open creates the window or resizes the one that
// exists; false when no window could be made.
bool sdl_window_open(int width, int height, const char* title);
void sdl_window_close();
bool sdl_window_is_open();
void sdl_window_present(const uint32_t* pixels, int width, int height);
void sdl_window_set_title(const char* title);
bool sdl_window_get_position(int* x, int* y);
void sdl_window_set_position(int x, int y);
void* sdl_window_handle();
// Desktop size and depth; false when the video subsystem is not available.
bool sdl_desktop_info(int* width, int* height, int* depth);
// Takes every waiting event: key codes go to the queue, wheel steps are
// added to *wheel. Returns true when the window needs to be drawn again.
bool sdl_window_pump(std::deque<std::string>* keys, int* wheel);
bool sdl_window_key_down(int scan_code);
// Position and SDL-independent button mask (bit 0 left, 1 right, 2 middle).
bool sdl_window_mouse(int* x, int* y, int* buttons);

// Reads a BMP file (any depth SDL reads) and copies its pixels as 0xRRGGBB
// into the width x height buffer from the top-left corner (the overlap of the
// two sizes). False, leaving the buffer unchanged, when the file is missing or
// unreadable. Needs no display.
bool bmp_load_into(const char* path, uint32_t* pixels, int width, int height);

// Shows a message box with OK (and Cancel) above the window `parent` (a
// win_native_handle(), may be null); returns the id of the pressed button
// (1 OK, 0 Cancel), or -1 when no box could be shown.
int sdl_message_box(void* parent, const char* text, const char* title, bool with_cancel);
// The X11 window id of a win_native_handle(), 0 for none or without X11.
unsigned long sdl_window_x11_id(void* handle);
// Starts SDL's video subsystem if needed; false when it cannot start.
bool sdl_video_available();

// Key code of one SDL event ("" when the event gives none); see
// win_poll_key() for the codes.
std::string sdl_event_key_code(const SDL_Event* event);
// PC set-1 scan code of an SDL scancode, 0 when it has none.
int sdl_scancode_to_set1(int sdl_scancode);
