// SPDX-License-Identifier: GPL-3.0-or-later
// The instrument under a session manager (the NSM protocol, API 1.2, OSC
// over UDP): started with NSM_URL set, it announces itself, waits for the
// manager's open, and then keeps its settings, takes and recording in the
// session's folder, names its JACK clients after the session's client id,
// writes its settings only when the manager says save, and tells the manager
// when they differ from the saved ones. Without NSM_URL nothing changes.
//
// Threads: main thread only.
#pragma once
#include <string>

// At start, before any JACK client opens and before anything is written.
// With NSM_URL unset, returns -1 and does nothing. Otherwise announces the
// program (executable_name, the process id) and waits up to 5 s for the
// manager's answer, and as long again for its open. A malformed NSM_URL, a
// refusal or no answer: one line on standard error, and the program runs as
// it does outside a session (-1). After an open: the session's folder is the
// program's (core/paths.h), *jack_name becomes the client id, notices at
// start go to the screen and standard error instead of boxes, the open is
// answered, and -1. Returns an exit status instead when the program is to
// end: 1 after an open whose folder cannot be made, written or read (the
// manager gets the error), 0 after a quit signal during the wait.
int join_session(const std::string& executable_name, std::string* jack_name);

// True after a successful open: the settings are written by a save only,
// not at the program's end (what the session keeps is what was last saved).
bool in_session();

// Once per pass of every loop that waits (the key loop, editors, boxes):
// answers the manager's save, and at a modest rate compares the settings as
// they would be written with the saved ones, sending is_dirty once when
// they first differ (is_clean when they are the same again). The first call
// ends the start: notices are boxes again, and the last one of the start
// stays on the status screen.
void serve_session();
