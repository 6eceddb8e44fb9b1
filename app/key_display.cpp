// SPDX-License-Identifier: GPL-3.0-or-later
// The key display: draining the voices' key lists onto the screen.
#include "app/key_display.h"

#include "app/piano_picture.h"
#include "app/text_area.h"
#include "core/shared_state.h"
#include "midi/voices.h"
#include "platform/editor_frame.h"
#include "platform/window.h"

namespace {

// Keys that went up, taken with the keys down and drawn after them.
int keys_went_up[kKeyListSize];
int keys_went_up_count = 0;
bool marks_cleared = false;

bool may_draw() { return input_active.load() == 0; }

}  // namespace

void display_keys_down() {
  int down[kKeyListSize], up[kKeyListSize], down_count = 0, up_count = 0;
  if (take_key_marks(down, &down_count, up, &up_count)) {
    marks_cleared = true;
    keys_went_up_count = 0;
  }
  const EditorKeyRow* key_row = editor_key_row();
  if (may_draw() && down_count > 0) {
    for (int i = 0; i < down_count; i++) {
      if (full_view_shown) mark_key_down(down[i]);
      if (key_row) key_row->key_down(down[i]);
    }
    win_present();  // a dot shows at once, not after the main loop's next sleep
  }
  for (int i = 0; i < up_count && keys_went_up_count < kKeyListSize; i++)
    keys_went_up[keys_went_up_count++] = up[i];
}

void display_keys_up() {
  const EditorKeyRow* key_row = editor_key_row();
  if (may_draw()) {
    if (marks_cleared) {
      if (full_view_shown) draw_piano_picture();
      if (key_row) key_row->redraw();
    } else {
      for (int i = 0; i < keys_went_up_count; i++) {
        if (full_view_shown) mark_key_up(keys_went_up[i]);
        if (key_row) key_row->key_up(keys_went_up[i]);
      }
    }
  }
  marks_cleared = false;
  keys_went_up_count = 0;
}
