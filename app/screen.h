// The window's views and the status screen (the menu), the master-level
// slider, the level meter, the key display on the piano picture, the mouse
// handling of the full view, the function-key notes and the presets menu.
//
// Threads: main thread only.
#pragma once
#include <string>

// Normal text colours of the status screen.
constexpr unsigned kTextForeground = 0x9BFFFF;
constexpr unsigned kTextBackground = 0x000064;
// The text area (43 x 11 cells) and the window sizes.
constexpr int kTextAreaWidth = 344;
constexpr int kTextAreaHeight = 93;
constexpr int kFullWidth = 700;
constexpr int kFullHeight = 241;
constexpr int kPromptHeight = 293;

// 1 while the full view is on the screen.
extern int full_view_shown;

// Desktop size, read once at start-up before the first window.
extern int desktop_width;
extern int desktop_height;
void read_desktop_size();

// Opens the compact or full view according to full_view, at window_x /
// window_y, and leaves the text area cleared with the cursor at row 1.
void build_window();
// Reopens the window as the prompt window (344 x 293) for the M and set
// prompts, normal colours, cleared.
void open_prompt_window();

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

// The full view's hint ("rightclick mouse => show/hide"), or blanks.
void show_hint(bool clear);
// Draws the master-level slider and applies a left click on it.
void master_level_slider(int x, int y, int buttons);
// Draws the output level bar from peak_hold (called every 0.1 s).
void draw_level_meter();

// Loads the second piano picture "bmp/piano.bmp" (once) and computes the key
// dot positions on it.
void load_key_picture_and_geometry();
// Key display of the sounding keys on the piano picture: keys that went down
// and keys that went up since the last call.
void display_keys_down();
void display_keys_up();

// Thumbnails, bank arrows, help label and set name; may set *deadline to 0
// to end the main loop's wait at once.
void mouse_handler(int x, int y, int buttons, double* deadline);
// Notes played with the mouse on the piano picture (full view).
void mouse_keyboard(int x, int y, int buttons);
// F1..F12 notes; sets *key_code to 0 while a function key is held (it is
// not a command).
void function_key_notes(int* key_code);

// The presets menu ([P]); sets key_text to "reload" after a preset load.
void presets_menu();

// Frees the pictures and thumbnails at exit.
void destroy_pictures();
