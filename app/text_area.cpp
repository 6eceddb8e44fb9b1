// SPDX-License-Identifier: GPL-3.0-or-later
// The text area, the status lines, the hint and the pictures' loader.
#include "app/text_area.h"

#include <cstdio>

#include "platform/window.h"

int full_view_shown = 0;

namespace {

// Set while an editor, a prompt or a box covers the status screen.
bool status_lines_hidden = false;

}  // namespace

void restrict_to_text_area() {
  win_set_clip(0, 0, kTextAreaWidth, kTextAreaHeight);
  win_color(kTextForeground, kTextBackground);
}

void allow_whole_window() { win_reset_clip(); }

void print_line(const std::string& text) {
  if (win_cursor_column() != 1) win_print("", true);  // a line of its own
  win_print(text, true);
  std::fputs(text.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void hide_status_lines(bool hide) { status_lines_hidden = hide; }

void show_status_line(int row, const std::string& text) {
  if (!status_lines_hidden) {
    constexpr int kColumns = kTextAreaWidth / 8;
    std::string cell = text.substr(0, kColumns);
    cell.resize(kColumns, ' ');
    win_color(kTextForeground, kTextBackground);
    win_locate(row, 1);
    win_print(cell);
  }
  if (text.empty()) return;
  std::fputs((text + "\n").c_str(), stdout);
  std::fflush(stdout);
}

void show_hint(bool clear) {
  if (!full_view_shown) return;
  WholeWindowScope whole;
  win_color(kTextForeground, 0x000000);
  win_locate(12, 57);
  win_print(clear ? std::string(30, ' ') : std::string("rightclick mouse => show/hide"));
}

WinImage* load_picture(const char* path, int width, int height) {
  WinImage* image = win_image_create(width, height);
  int w = 0, h = 0;
  if (image && win_bmp_size(path, &w, &h) && w == width && h == height) win_image_load_bmp(image, path);
  return image;
}
