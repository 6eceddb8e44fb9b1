// SPDX-License-Identifier: GPL-3.0-or-later
// The mouse handler of the main loop, run whenever the mouse moves or the
// buttons are exactly the left button: thumbnails and bank arrows (full
// view), the help label, and the set name on the status screen. It draws
// what the mouse is over and reports the clicks; the main loop acts on them.
//
// Threads: main thread only.
#pragma once

// The clicks of one call: a thumbnail's slot (-1 for none) of bank
// `thumbnail_bank`, and the set name (whose click opens the set prompt).
struct MouseClicks {
  int thumbnail_slot = -1;
  int thumbnail_bank = 0;
  bool set_name = false;
};

MouseClicks mouse_handler(int x, int y, int buttons);
