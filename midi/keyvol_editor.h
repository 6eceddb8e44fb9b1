// SPDX-License-Identifier: GPL-3.0-or-later
// The key volume editor ([E]): the map of the loaded set drawn as one point
// per key over a key row, shaped with the mouse (freehand with the left
// button, straight lines from the last point with another), test notes from
// the key row, undo and redo through a ring of 200 states, and ".keyvol"
// files. The map itself (keyvol_table, keyvol_on) is a setting, applied by
// note-on.
//
// Threads: main thread only.
#pragma once

struct WinImage;

// ---- Key-marker images ---------------------------------------------------

// 3 x 11 pixels: one key of 120 on the 344 pixels of the text area.
constexpr int kKeyMarkerWidth = 344 / 120 + 1;
constexpr int kKeyMarkerHeight = 11;
// Filled white, black, red (a sounding key) and green (the key under the
// mouse), made once per run; key_marker[n] is the black image for n mod 12
// in {1, 3, 6, 8, 10} and the white one otherwise.
extern WinImage* marker_white;
extern WinImage* marker_black;
extern WinImage* marker_red;
extern WinImage* marker_green;
extern WinImage* key_marker[128];
// Makes the four images (replacing earlier ones) and fills key_marker.
void make_key_markers();
void destroy_key_markers();

// ---- Undo history --------------------------------------------------------

constexpr int kKeyvolEditKeys = 121;        // keys 0..120 are drawn with the mouse
constexpr int kKeyvolHistorySlots = 200;
constexpr int kKeyvolSlotValues = 130;      // keys 0..120, then the anchor x, y at 128, 129
// A ring of states. The slot at history_oldest is never returned to, so the
// ring keeps up to 199 states.
extern float keyvol_history[kKeyvolHistorySlots][kKeyvolSlotValues];
extern int history_current;
extern int history_oldest;
extern int history_newest;

// Starts the history afresh from the current set's row: current 0, oldest
// 199, newest 0, slot 0 the row with no anchor. At every sample cycle.
void reset_keyvol_undo();
// A new state from the row (keys 0..120) and the line anchor (-1 for none):
// it becomes the newest, so redo is no longer possible.
void push_keyvol_history(int anchor_x, int anchor_y);
// Steps back or forward and restores the row's keys 0..120 from the slot
// (the anchor in *anchor_x, *anchor_y); false when there is no such state.
bool keyvol_undo(int* anchor_x, int* anchor_y);
bool keyvol_redo(int* anchor_x, int* anchor_y);

// ---- Geometry (pixels of the text area) ----------------------------------

// The key under mouse x: x x 120 / 344 clamped to 0.01..120, nearest.
int keyvol_key_at(int x);
// The value at mouse y: (93 - 19 - y) x 4.3 clamped to 0.01..255.
float keyvol_value_at(int y);

// ---- The editor ----------------------------------------------------------

// 1 while the key row shows the keys played (cleared after 60 s without a
// mouse movement, set again by the next one).
extern int keyvol_editor_open;

// Runs until a key other than its own (K, U, R, S, L) is typed.
void keyvol_editor();
// The file commands of the editor: "save keyvol" writes the loaded set's
// row, "load keyvol" reads it and pushes a history state.
void save_keyvol();
void load_keyvol();
