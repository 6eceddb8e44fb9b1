// SPDX-License-Identifier: GPL-3.0-or-later
// The program's services lent to the editors.
#include "app/editor_host.h"

#include "app/key_display.h"
#include "app/mouse_keyboard.h"
#include "app/take.h"
#include "app/text_area.h"
#include "midi/voices.h"
#include "platform/editor_frame.h"

namespace {

void full_view_mouse_keyboard(int x, int y, int buttons) {
  if (full_view_shown) mouse_keyboard(x, y, buttons);
}

double note_off_due() { return next_due_time.load(); }

void clear_hint() { show_hint(true); }

void serve_queues() {
  serve_note_off_queue();
  take_serve();
}

}  // namespace

void install_editor_host() {
  EditorHost host = {};
  host.mouse_keyboard = full_view_mouse_keyboard;
  host.serve_note_offs = serve_queues;
  host.next_note_off_due = note_off_due;
  host.keys_down = display_keys_down;
  host.keys_up = display_keys_up;
  host.clear_hint = clear_hint;
  set_editor_host(host);
}
