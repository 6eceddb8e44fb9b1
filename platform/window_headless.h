// SPDX-License-Identifier: GPL-3.0-or-later
// Scripting of the window layer's headless back end, for tests: the desktop,
// held keys and the mouse. Select the back end with win_use_headless(true);
// keys are queued with win_push_key (window.h).
#pragma once

void win_headless_set_desktop(int width, int height, int depth);
// Key-down state of a set-1 scan code.
void win_headless_set_key_down(int scan_code, bool down);
// Mouse position (window pixels), wheel and buttons; a position outside the
// window makes win_mouse() fail.
void win_headless_set_mouse(int x, int y, int wheel, int buttons);
// No mouse at all: win_mouse() fails.
void win_headless_remove_mouse();
