// SPDX-License-Identifier: GPL-3.0-or-later
// The frame the five editors run in (key volume, equalizer, key tone,
// reverb, key reverb). Each editor supplies only its own screen: opening it,
// one pass of its own (mouse and waits, in its own order) and its command
// keys; the frame runs the loop and lends every editor the same pieces: the
// editor mouse read, the waits that serve the note-off queue, the one "last
// position processed", "auxvar=" on row 4, and the save and load commands of
// a feature file.
//
// The editors live in midi/ and effects/; what they need from above them
// (the note-off queue, the key display, the piano picture's mouse notes, the
// full view's hint) the program lends them through EditorHost.
//
// Threads: main thread only.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

// The text area the editors draw in.
constexpr int kEditorWidth = 344;
constexpr int kEditorHeight = 93;

// ---- What the program lends the editors ----------------------------------

// Installed once at start-up; a member left null does nothing (sleep_ms
// defaults to win_sleep_ms). Tests install their own to script a session.
struct EditorHost {
  // Notes played with the mouse on the piano picture while an editor is
  // open (does nothing outside the full view).
  void (*mouse_keyboard)(int x, int y, int buttons);
  // The note-off queue service, and when it is next due (program clock).
  void (*serve_note_offs)();
  double (*next_note_off_due)();
  // The key display: keys that went down, keys that went up since the last call.
  void (*keys_down)();
  void (*keys_up)();
  // Clears the full view's hint (the editors' screens leave it empty).
  void (*clear_hint)();
  void (*sleep_ms)(int milliseconds);
};
void set_editor_host(const EditorHost& host);

// A row of key marks that the key display also draws on while it is shown
// (the key volume editor's key row): a key went down, a key went up, all
// marks cleared (redraw the row). null when no editor shows one.
struct EditorKeyRow {
  void (*key_down)(int key);
  void (*key_up)(int key);
  void (*redraw)();
};
void set_editor_key_row(const EditorKeyRow* row);
const EditorKeyRow* editor_key_row();

// ---- The loop ------------------------------------------------------------

// One editor's own parts. `pass` runs one pass of the loop and polls the key
// at the moment the editor does (editor_poll_key); `command` runs a key of
// the editor's own (given in lower case) and returns true, or returns false
// for any other key, which leaves the editor; `after_command` runs at the end
// of every pass that goes on; `close` once on leaving. Null parts are skipped.
// A quit signal leaves the editor after the pass it arrives in.
struct EditorScreen {
  void (*open)();
  void (*pass)(std::string* key);
  bool (*command)(char key);
  void (*after_command)();
  void (*close)();
};
void run_editor(const EditorScreen& screen);

// The next waiting key code ("" for none).
std::string editor_poll_key();

// ---- Pieces --------------------------------------------------------------

// The editor mouse read: the mouse as the window reads it; in the full view
// the piano picture plays its notes meanwhile; outside the text area the
// buttons count as 0. Returns false when the mouse could not be read (x, y
// and buttons are then -1).
bool editor_mouse_read(int* x, int* y, int* buttons);
// The form every editor uses: after a failed read x is -1 and the buttons 0,
// and a negative x also makes the buttons 0. Returns the buttons.
int editor_mouse(int* x, int* y);

// The last mouse position an editor processed, one for the equalizer, key
// tone and key volume editors, kept between sessions. editor_new_position
// is true, remembering (x, y), when (x, y) differs from it.
bool editor_new_position(int x, int y);
void editor_set_last_position(int x, int y);
int editor_last_x();
int editor_last_y();

// Waits `seconds` while serving the note-off queue: until the program clock
// passes the deadline (or runs more than 99 s back from it) it sleeps
// (next note-off due - now) x 1000 ms clamped to 5..max_sleep_ms, rounded
// down, then serves the queue and runs the wait pass (platform/wait_pass.h:
// the program's watch over its devices); with key_marks it then draws the
// keys that went down and up. A quit signal ends the wait.
void editor_wait(double seconds, int max_sleep_ms, bool key_marks = false);

// The key display's marks of the keys that went down / up since the last call.
void editor_show_keys_down();
void editor_show_keys_up();

// "auxvar=", the value in shortest double form and a blank at the start of
// row 4, when auxvar's magnitude is above 0.00001.
void editor_show_auxvar();

// Clears the full view's hint.
void editor_clear_hint();

// A screen coordinate from a computed value: rounded to nearest (halves to
// even), NaN as 0 and everything else kept within +-10000, so values loaded
// from files far outside the editors' ranges still draw (off the screen)
// instead of overflowing.
int editor_coord(double v);

// Sleeps through the host (virtual time in tests).
void editor_sleep_ms(int milliseconds);

// ---- Feature files -------------------------------------------------------

// Save: the File dialog titled "save " + feature with the pattern "save/*" +
// extension in the user's data folder (core/paths.h); a name without "."
// gets the extension; another extension gives the notice "bad name " + name;
// then Confirm "save in " +
// name + " ?" and only "yes" writes; after the write the notice
// feature + " saved as " + name (or "not saved :" + name when the file could
// not be written: the old file, if any, is then unchanged). Returns true
// when the file was written.
bool editor_save_file(const std::string& feature, const std::string& extension,
                      const std::function<bool(const std::string& path)>& write);
// Load: the same dialog titled "load " + feature and the same name checks;
// a missing file gives the notice "not found :" + name; Confirm "load " +
// name + " ?" (title "load " + feature) and only "yes" reads. Returns true
// when the file was read.
bool editor_load_file(const std::string& feature, const std::string& extension,
                      const std::function<bool(const std::string& path)>& read);
