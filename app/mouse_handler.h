// SPDX-License-Identifier: GPL-3.0-or-later
// The mouse handler of the main loop, run whenever the mouse moves or the
// buttons are exactly the left button: thumbnails and bank arrows (full
// view), the help label, and the set name on the status screen, whose
// click opens the set prompt.
//
// Threads: main thread only.
#pragma once

// Sets *deadline to 0 to end the main loop's wait at once (a preset to
// reload, a set chosen at the set prompt).
void mouse_handler(int x, int y, int buttons, double* deadline);
