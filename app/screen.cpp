// SPDX-License-Identifier: GPL-3.0-or-later
// The window's views, the status screen and the hint.
#include "app/screen.h"

#include <cstdio>

#include "app/instrument_setup.h"
#include "app/master_level_slider.h"
#include "app/output_watch.h"
#include "app/piano_picture.h"
#include "app/sample_sets.h"
#include "app/settings.h"
#include "app/take.h"
#include "app/thumbnails.h"
#include "app/velocity_layers.h"
#include "core/text_number.h"
#include "midi/port_watch.h"
#include "platform/window.h"

std::string base_title;
int desktop_width = 1280;
int desktop_height = 1024;

namespace {

// Position clamped into 1..desktop size - window size (1 when the window is
// larger than the desktop).
int clamp_position(int v, int desktop, int size) {
  int hi = desktop - size;
  if (hi < 1) return 1;
  return clamp_int(v, 1, hi);
}

void print_at(int row, int column, const std::string& text) {
  win_locate(row, column);
  win_print(text);
}

}  // namespace

void read_desktop_size() {
  WinScreenInfo info = win_screen_info();
  desktop_width = info.desktop_width;
  desktop_height = info.desktop_height;
}

void store_window_position() {
  int x = 0, y = 0;
  win_get_position(&x, &y);
  window_x = full_view_shown ? x - kTextAreaWidth / 2 + kFullWidth / 2 : x;
  window_y = y;
}

void build_window() {
  win_sleep_ms(300);
  forget_hovered_thumbnail();  // the new window shows no hover frame
  if (full_view.load() == 0) {
    full_view_shown = 0;
    clear_thumbnail_marks();
    win_open(kTextAreaWidth, kTextAreaHeight);
    window_x = clamp_position(window_x, desktop_width, kTextAreaWidth);
    window_y = clamp_position(window_y, desktop_height, kTextAreaHeight);
    win_set_position(window_x, window_y);
  } else {
    win_open(kFullWidth, kFullHeight);
    // Both views share their horizontal centre; the settings keep the
    // compact view's corner.
    int x = clamp_position(window_x + kTextAreaWidth / 2 - kFullWidth / 2, desktop_width, kFullWidth);
    int y = clamp_position(window_y, desktop_height, kFullHeight);
    win_set_position(x, y);
    load_piano_picture();
    load_thumbnails();
    draw_piano_picture();
    draw_thumbnail_row();
    full_view_shown = 1;
  }
  restrict_to_text_area();
  win_clear();
  win_locate(1, 1);
}

void open_prompt_window() {
  win_open(kTextAreaWidth, kPromptHeight);
  int y = window_y < desktop_height - kPromptHeight ? window_y : desktop_height - kPromptHeight;
  win_set_position(window_x, y);
  win_color(kTextForeground, kTextBackground);
  win_clear();
}

void read_base_title() {
  if (!base_title.empty()) return;
  base_title = trim_blanks(win_get_title(), " ");
  if (base_title.size() > 100) base_title.resize(100);
}

void show_window_title() { win_set_title((base_title + "    " + preset_name).c_str()); }

void draw_status_screen() {
  show_window_title();
  restrict_to_text_area();
  win_clear();

  std::string ports = "MIDI input port(" + win_format_int(midi_in_port) + ")";
  if (midi_in2_port > 0) ports += "(" + win_format_int(midi_in2_port) + ")";
  if (midi_in3_port > 0) ports += "(" + win_format_int(midi_in3_port) + ")";
  print_at(1, 1, ports);
  print_at(3, 1, "[B]prev [N]next " + layered_set_name(loaded_sound < 0 ? 0 : loaded_sound) +
                     "  / [I][O]type=" + win_format_int(6 - type_offset.load()));
  int t = transpose.load();
  if (t > 0) print_at(1, 27, "transp+" + win_format_int(t));
  if (t < 0) print_at(1, 27, "transp" + win_format_int(t));
  if (autovolmidi.load() > 0) win_print(" auto" + win_format_int(autovolmidi.load()));
  print_at(9, 1, equalizer_on.load() == 1 ? "[G]equal  [F]edit" : "[G]noequal");
  print_at(10, 1, "[V]velo" + win_format_int(velo_mode) +
                      (keyvol_on.load() == 1 ? "  [D]delay  [K]keyvol   [E]edit"
                                             : "  [D]delay  [K]nokeyvol"));
  static const char* const kKeytone[3] = {"[X]nokeytone", "[X]keytone  [S]edit",
                                          "[X]keytone2 [S]edit"};
  print_at(9, 21, kKeytone[clamp_int(keytone_mode, 0, 2)]);
  print_at(8, 1, keyrev_on == 1 ? "[Y]keyrev [Z]edit" : "[Y]nokeyrev");
  static const char* const kAutovol[6] = {"[A]noautovol",     "[A]autovol ",
                                          "[A]autovolcomp",   "[A]autovolcomp2",
                                          "[A]autovolcomp3",  "[A]autovolcomp4"};
  print_at(11, 1, kAutovol[clamp_int(autovol_mode.load(), 0, 5)]);
  static const char* const kReverb[4] = {"[R]noreverb", "[R]reverb1", "[R]reverb2  [T]edit",
                                         "[R]reverb3  [T]edit"};
  print_at(11, 21, kReverb[clamp_int(reverb_mode.load(), 0, 3)]);
  print_at(8, 21, "[P]presets  [M]midi");
  std::string take = take_status_text();
  if (!take.empty()) print_at(4, 1, take);
  print_at(2, 1, output_status_line());
  // Column 11: the level meter and the slider reach two pixels into row 6
  // from x 3 to 70 and from x 205 on.
  static const char* const kResample[3] = {"[Q]resample0", "[Q]cubic", "[Q]sinc"};
  print_at(6, 11, kResample[clamp_int(resample_mode, 0, 2)]);
  print_at(7, 1, midi_ports_status_line());
  win_locate(1, 1);
  master_level_slider(-1, -1, 0);
  if (full_view_shown) show_hint(false);

  // The status screen is also the program's log on standard output.
  std::fputs(status_screen_text().c_str(), stdout);
  std::fflush(stdout);
}

std::string status_screen_text() {
  std::string text;
  for (int row = 1; row <= 11; row++) {
    std::string line = win_row_text(row);
    if (line.size() > 43) line.resize(43);
    while (!line.empty() && line.back() == ' ') line.pop_back();
    if (!line.empty()) text += line + "\n";
  }
  return text;
}

void destroy_pictures() {
  destroy_piano_pictures();
  destroy_thumbnails();
}
