// Key display: the keys that went down or up since the last pass, taken
// from the voices' lists and shown as red dots on the piano picture of the
// full view and, while an editor shows a key row, on that row.
//
// Threads: main thread only (the lists are filled by the MIDI thread too,
// under the voice lock).
#pragma once

// A key row of an editor (the key-volume editor's), drawn by the same
// drain while the editor is open: a key went down, a key went up, all marks
// cleared (redraw the row).
struct KeyRowDisplay {
  void (*key_down)(int key);
  void (*key_up)(int key);
  void (*redraw)();
};
// Shows the lists on this row too; nullptr when the editor closes.
void set_key_row_display(const KeyRowDisplay* row);

// Takes both lists: draws the keys that went down, keeps those that went up
// for display_keys_up(). Nothing is drawn while the input-active flag is
// up (a prompt or a file command holds the screen); the lists are emptied
// all the same.
void display_keys_down();
// Draws the keys that went up (or, after a bulk silencing, the clean piano
// and key row again).
void display_keys_up();
