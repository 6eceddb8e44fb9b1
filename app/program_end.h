// SPDX-License-Identifier: GPL-3.0-or-later
// The ways the program ends: a fatal error (its notices, each waiting for a
// key), the normal end (the take ended, the settings written twice, the
// pictures freed) and the end after a quit signal, bounded in time.
//
// Threads: main thread only.
#pragma once
#include <string>

// A fatal start-up error: its notice, and a second one when there is a second
// text, each waiting for its own key (one waiting key is discarded first, then
// the keyboard is polled every 100 ms). Returns the process status 1.
int fatal_start_up_error(const std::string& text, const std::string& second_notice = "");

// Stops the engine and its output.
void stop_engine();

// The sample pass could not make its buffers (the key tone or the key
// reverb switched on for the first time): the fatal notice, then the process
// ends with status 1. Installed with set_sample_pass_fatal.
[[noreturn]] void sample_pass_fatal(const std::string& text);

// The normal end: the take ended, the window's place kept, the settings
// written (and a backup), the pictures and markers freed. Returns 0.
int program_end();

// The end after SIGTERM or SIGINT, within 2 s whatever the devices do: the
// settings are written first; then a helper thread closes the ports and the
// output, waited for at most kCloseWaitSeconds, since a JACK server that
// went away at the same moment may hold a close in libjack for good. One
// left behind there is not waited for: the process ends around it.
int end_after_quit_signal();
