// SPDX-License-Identifier: GPL-3.0-or-later
// The program's folders at start-up, for both executables: the layout is
// chosen (core/paths.h) and its folders are handed to those that cannot ask
// core/paths.h themselves: the engine (plug-ins, MP3 scratch files, the
// sample cache) and the file device plug-in (recording.wav). Main thread,
// before any other thread.
#pragma once
#include <string>

// Chooses the layout for the running executable and makes the scratch
// folder. Returns an empty text, or the error of an installed program whose
// data folder is missing.
std::string set_up_program_folders();

// Makes the folders the user's files go to (the settings', save/ and
// save/user/, the scratch folder). Each one that cannot be made or written
// gets a notice naming it; the program goes on, and what cannot be saved
// there is reported when it is saved.
void make_user_folders();
