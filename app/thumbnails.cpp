// SPDX-License-Identifier: GPL-3.0-or-later
// The thumbnail row, its frames and marks, the help label and the bank arrows.
#include "app/thumbnails.h"

#include <string>

#include "app/loop_request.h"
#include "app/settings.h"
#include "app/text_area.h"
#include "core/paths.h"
#include "platform/window.h"

int hovered_thumbnail_x = 0;

namespace {

WinImage* thumbnail[2][kThumbnailSlots] = {};  // [bank][slot]
bool thumbnails_loaded = false;

constexpr int kArrowTop = 85;
constexpr int kLeftArrowX = 418;
constexpr int kRightArrowX = 426;

int& bank_mark(int bank) { return bank == 0 ? preset_factory_mark : preset_user_mark; }
unsigned bank_frame(int bank) { return bank == 0 ? kFactoryFrame : kUserFrame; }

// The outline from (x - 1, 7) to (x + 64, 75) around the slot at x.
void frame(int x, unsigned color) {
  if (x == 0) return;
  WholeWindowScope whole;
  win_line(x - 1, kThumbnailTop - 1, x + kThumbnailWidth, kThumbnailTop + kThumbnailHeight, color, kWinBox);
}

// Slot index under the mouse, -1 when none.
int slot_at(int x, int y) {
  if (!(y > kThumbnailTop && y < kThumbnailTop + kThumbnailHeight)) return -1;
  for (int s = 0; s < kThumbnailSlots; s++)
    if (x > kThumbnailX[s] && x < kThumbnailX[s] + kThumbnailWidth) return s;
  return -1;
}

}  // namespace

void load_thumbnails() {
  if (thumbnails_loaded) return;
  for (int bank = 0; bank < 2; bank++)
    for (int s = 0; s < kThumbnailSlots; s++)
      thumbnail[bank][s] = load_picture((data_folder() + "bmp/" + preset_slot_name(bank, s) + ".bmp").c_str(),
                                        kThumbnailWidth, kThumbnailHeight);
  thumbnails_loaded = true;
}

void draw_thumbnail_row() {
  int bank = preset_bank == 1 ? 1 : 0;
  {
    WholeWindowScope whole;
    for (int s = 0; s < kThumbnailSlots; s++) win_put_image(kThumbnailX[s], kThumbnailTop, thumbnail[bank][s]);
  }
  for (int b = 0; b < 2; b++) {
    bank_mark(b) = 0;
    for (int s = 0; s < kThumbnailSlots; s++)
      if (preset_name == std::string(preset_slot_name(b, s)) + ".preset") bank_mark(b) = kThumbnailX[s];
  }
  frame(bank_mark(bank), bank_frame(bank));
}

void clear_thumbnail_marks() { preset_factory_mark = preset_user_mark = 0; }

void forget_hovered_thumbnail() { hovered_thumbnail_x = 0; }

int thumbnail_mouse(int x, int y, int buttons) {
  int bank = preset_bank == 1 ? 1 : 0;
  int slot = slot_at(x, y);
  int hovered = slot < 0 ? 0 : kThumbnailX[slot];
  if (hovered != hovered_thumbnail_x) {
    frame(hovered_thumbnail_x, kNoFrame);
    frame(hovered, kHoverFrame);
    frame(bank_mark(bank), bank_frame(bank));
    hovered_thumbnail_x = hovered;
  }
  if (buttons != 1 || slot < 0) return -1;
  frame(bank_mark(bank), kNoFrame);
  bank_mark(bank) = hovered;
  bank_mark(1 - bank) = 0;
  frame(hovered, bank_frame(bank));
  return slot;
}

void draw_help_label() {
  WholeWindowScope whole;
  win_draw_string(351, 85, "[H]help", 0x00C800);
}

void bank_arrows(int x, int y, int buttons) {
  bool near = x > 344 && x < 474 && y > 40 && y < 133;
  bool on_row = y >= kArrowTop && y <= kArrowTop + 14;
  bool on_left = near && on_row && x >= kLeftArrowX && x <= kRightArrowX;
  bool on_right = near && on_row && x > kRightArrowX && x <= kRightArrowX + 8;
  auto color = [&](bool under) -> unsigned { return !near ? 0x000000 : under ? 0xFA0000 : 0x00FF00; };
  {
    WholeWindowScope whole;
    win_draw_string(kLeftArrowX, kArrowTop, "<", color(on_left));
    win_draw_string(kRightArrowX, kArrowTop, ">", color(on_right));
  }
  if (buttons == 1 && (on_left || on_right)) {
    preset_bank = preset_bank == 1 ? 0 : 1;
    win_sleep_ms(150);
    request_window_rebuild();
  }
}

void destroy_thumbnails() {
  for (auto& bank : thumbnail)
    for (WinImage*& image : bank) {
      win_image_destroy(image);
      image = nullptr;
    }
  thumbnails_loaded = false;
}
