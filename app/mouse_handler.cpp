// SPDX-License-Identifier: GPL-3.0-or-later
// The mouse handler: thumbnails, help label, bank arrows and the set name.
#include "app/mouse_handler.h"

#include <string>

#include "app/instrument_setup.h"
#include "app/sample_sets.h"
#include "app/text_area.h"
#include "app/thumbnails.h"
#include "platform/window.h"

namespace {

// The set prefix at row 3, column 17: highlighted under the mouse. True for
// a left click on it.
bool set_name(int x, int y, int buttons) {
  std::string prefix = sample_set_prefix(loaded_sound < 0 ? 0 : loaded_sound);
  bool under = x > 122 && x <= 127 + 8 * static_cast<int>(prefix.size()) && y >= 10 && y <= 24;
  if (under) win_color(0xF00000, 0x46B4C8);
  win_locate(3, 17);
  win_print(prefix);
  restrict_to_text_area();
  return under && buttons == 1;
}

}  // namespace

MouseClicks mouse_handler(int x, int y, int buttons) {
  MouseClicks clicks;
  clicks.thumbnail_bank = preset_bank == 1 ? 1 : 0;
  clicks.thumbnail_slot = thumbnail_mouse(x, y, buttons);
  draw_help_label();
  bank_arrows(x, y, buttons);
  clicks.set_name = set_name(x, y, buttons);
  return clicks;
}
