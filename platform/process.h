// SPDX-License-Identifier: GPL-3.0-or-later
// Process set-up: working folder, priority and the display check.
// Threads: main thread, at start-up; the quit signals' handler on any thread.
#pragma once
#include <string>

// The folder of the executable, ending in "/"; "./" when it cannot be read.
std::string process_exe_folder();

// Changes the current folder to the folder of the executable, so "sounds/",
// "bmp/" and "save/" are found wherever the program is started from.
// Returns false when the folder could not be found or entered.
bool process_enter_exe_folder();

// SIGTERM and SIGINT (logout, a session manager, `kill`, Ctrl+C) set
// quit_signal (core/shared_state.h) instead of ending the process, so the
// program ends by itself with its settings written. Installed before the
// display starts, whose library then keeps its own handlers out.
void process_catch_quit_signals();

// Asks for a higher scheduling priority (nice -10); refusal is ignored.
void process_raise_priority();

// True when a graphical display can be used: $DISPLAY or $WAYLAND_DISPLAY is
// set, a display back end is installed (window_sdl.h) and its video
// subsystem starts.
bool has_display();
