// SPDX-License-Identifier: GPL-3.0-or-later
// What every loop that waits for the user runs between its looks: the
// message and file boxes, the value prompts and the editors (and, in the
// program, the key loop and the presets menu). The program installs its
// watch over the audio output and the MIDI ports here, so a device that
// comes back while a box or an editor is open plays at once; this layer
// cannot call the program itself. The waits also end at once when a quit
// signal arrived (quit_signal, core/shared_state.h).
//
// Threads: main thread only.
#pragma once

// Installed once at start-up; null (the default) runs nothing.
void set_wait_pass(void (*pass)());
// One pass of what is installed.
void run_wait_pass();
