// SPDX-License-Identifier: GPL-3.0-or-later
// Lines the engine shows to the user. The engine has no window of its own:
// lines go to a sink the application installs (fbs_set_text_sink), else to
// standard output.
#pragma once

extern "C" {
// Installs the function that shows one line of engine text; null restores
// standard output. Call from the main thread before loading.
__attribute__((visibility("default"))) void fbs_set_text_sink(void (*print_line)(const char* line));
}

// Shows one line through the installed sink (caller's thread).
void fbs_print_line(const char* line);
