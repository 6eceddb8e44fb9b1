// SPDX-License-Identifier: GPL-3.0-or-later
// Notes played with the mouse on the piano picture of the full view: a
// left click on a key plays it (velocity 127, MIDI channel 16) and shows a
// red dot; letting go releases it and shows the clean picture again.
//
// Threads: main thread only.
#pragma once

// Run on every pass of the main loop's wait and by the editors' mouse read,
// full view only. Acts when the buttons differ from the last call's.
void mouse_keyboard(int x, int y, int buttons);
