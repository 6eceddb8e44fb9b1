// SPDX-License-Identifier: GPL-3.0-or-later
// What the program lends its editors (platform/editor_frame.h): the note-off
// queue, the key display, the piano picture's mouse notes and the full
// view's hint. Main thread.
#pragma once

// Installs the program's services as the editors' host. At start-up.
void install_editor_host();
