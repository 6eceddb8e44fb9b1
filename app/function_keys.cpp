// SPDX-License-Identifier: GPL-3.0-or-later
// Notes from the function keys.
#include "app/function_keys.h"

#include "app/take.h"
#include "midi/voices.h"
#include "platform/window.h"

namespace {

int function_key_base = 48;  // first key of the F1..F12 octave
int function_key_marked[12] = {};

const int kFunctionKeyScan[12] = {59, 60, 61, 62, 63, 64, 65, 66, 67, 68, 87, 88};
constexpr int kExtendedKeyCode = 256;  // key code of an extended key: 256 + its scan code

}  // namespace

void function_key_notes(int* key_code) {
  // A function key only plays: its code is no command, even when the key
  // is already up again (a short press, or one made while the loop was busy).
  for (int scan : kFunctionKeyScan)
    if (*key_code == kExtendedKeyCode + scan) *key_code = 0;
  for (int i = 0; i < 12; i++) {
    bool down = win_key_down(kFunctionKeyScan[i]);
    if (down) {
      *key_code = 0;
      if (win_key_down(kScanLeftShift) && i <= 7) {
        silence_all_voices();
        function_key_base = 12 * i + 12;
      } else if (!function_key_marked[i]) {
        function_key_marked[i] = 1;
        voice_note_on(15, function_key_base + i, 127);
        take_screen_note(15, function_key_base + i, 127);
      }
    } else if (function_key_marked[i]) {
      function_key_marked[i] = 0;
      voice_note_off(15, function_key_base + i);
      take_screen_note(15, function_key_base + i, 0);
    }
  }
}
