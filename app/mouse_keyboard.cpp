// SPDX-License-Identifier: GPL-3.0-or-later
// The mouse keyboard on the piano picture.
#include "app/mouse_keyboard.h"

#include "app/piano_picture.h"
#include "app/take.h"
#include "app/text_area.h"
#include "midi/voices.h"
#include "platform/window.h"

namespace {

int last_buttons = 0;
int held_key = -1;  // the key a mouse note plays, -1 for none

constexpr int kMouseChannel = 15;  // MIDI channel 16
constexpr int kWhiteRowTop = 204;  // y > 203 is the white-key row

}  // namespace

void mouse_keyboard(int x, int y, int buttons) {
  if (buttons == last_buttons) return;
  int right_end = y >= 205 ? 668 : 665;
  if (buttons == 1 && held_key < 0 && x > kPianoLeft && x < right_end && y > 160 && y < 230) {
    int key = piano_key_at(x, y >= kWhiteRowTop);
    if (key >= 0) {
      {
        WholeWindowScope whole;
        win_circle(key_dot_x[key], is_black_key(key) ? 190 : 220, 5, 0xFF0000, true);
      }
      voice_note_on(kMouseChannel, key, 127);
      take_screen_note(kMouseChannel, key, 127);
      held_key = key;
    }
  } else if (buttons == 0 && held_key >= 0) {
    voice_note_off(kMouseChannel, held_key);
    take_screen_note(kMouseChannel, held_key, 0);
    held_key = -1;
    draw_piano_picture();
  }
  last_buttons = buttons;
}
