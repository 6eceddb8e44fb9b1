// SPDX-License-Identifier: GPL-3.0-or-later
// What the widgets, menus and watches ask of the main loop: load the set
// again, switch to another set, rebuild the window. Each posts its request
// and returns; the main loop acts on it at its next pass (a set change ends
// the key loop's wait at once, once the output plays).
//
// Threads: main thread only. The MIDI threads reach the main loop through
// the mailboxes of core/shared_state.h instead.
#pragma once

// Load the set piano_sound names again (a preset was loaded, the output came
// back at another rate).
void request_reload();
// Switch to set `set` and load it (the set prompt).
void request_set(int set);
// Rebuild the window and draw the status screen (a widget changed the view
// or covered it).
void request_window_rebuild();

// ---- The main loop's side ----

// A set change waits: reload or switch. The last request wins.
bool set_change_requested();
// The set to load: the switch's set, else piano_sound as it is (a reload).
// Clears the request; returns -1 when there is none.
int take_set_request(int piano_sound);
// Forgets a waiting set change (a key command that came after it replaces it).
void cancel_set_request();
// True once after request_window_rebuild.
bool take_window_rebuild_request();
