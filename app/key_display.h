// SPDX-License-Identifier: GPL-3.0-or-later
// Key display: the keys that went down or up since the last pass, taken
// from the voices' lists and shown as red dots on the piano picture of the
// full view and, while an editor shows a key row (editor_key_row() of
// platform/editor_frame.h), on that row.
//
// Threads: main thread only (the lists are filled by the MIDI thread too,
// under the voice lock).
#pragma once

// Takes both lists: draws the keys that went down, keeps those that went up
// for display_keys_up(). Nothing is drawn while the input-active flag is
// up (a prompt or a file command holds the screen); the lists are emptied
// all the same.
void display_keys_down();
// Draws the keys that went up (or, after a bulk silencing, the clean piano
// and key row again).
void display_keys_up();
