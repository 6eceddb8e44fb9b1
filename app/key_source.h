// SPDX-License-Identifier: GPL-3.0-or-later
// The window's keyboard as the engine's key source (FBS_GET_KEYCODE), and
// the command text of a key code.
//
// Threads: main thread only.
#pragma once
#include <string>

// Installs the window's keyboard as the engine's key source, so that
// FBS_GET_KEYCODE reads the window (an extended key arrives as 255 and then
// its scan code).
void install_key_source();

// Command text of a key code: "" for 0 and the close button (363), else the
// character of the code's low byte (an extended key stands for the character
// of its second byte).
std::string key_text_for_code(int code);

// Reads and discards every key still waiting.
void discard_waiting_keys();
