// The window's views, the status screen and the small displays around it.
//
// Built so far: opening the compact, full and prompt windows at their
// positions, the status screen's text, the hint, the master-level slider, the
// level meter and the function-key notes. Not built yet (they draw nothing):
// the piano picture and thumbnails of the full view, the key geometry and the
// key display on the picture, the mouse handler (thumbnails, bank arrows,
// help label, set name), the mouse keyboard and the presets menu.
#include "app/screen.h"

#include <cmath>
#include <cstdio>

#include "app/main_loop.h"
#include "app/sample_sets.h"
#include "app/settings.h"
#include "core/text_number.h"
#include "effects/master_chain.h"
#include "midi/voices.h"
#include "platform/window.h"

int full_view_shown = 0;
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

void restrict_to_text_area() {
  win_set_clip(0, 0, kTextAreaWidth, kTextAreaHeight);
  win_color(kTextForeground, kTextBackground);
}

void print_at(int row, int column, const std::string& text) {
  win_locate(row, column);
  win_print(text);
}

WinImage* key_picture = nullptr;  // second piano picture, gets the key dots
int level_meter_m = 0;            // smoothed bar length, kept between calls
int function_key_base = 48;       // first key of the F1..F12 octave
int function_key_marked[12] = {};

const int kFunctionKeyScan[12] = {59, 60, 61, 62, 63, 64, 65, 66, 67, 68, 87, 88};

}  // namespace

void read_desktop_size() {
  WinScreenInfo info = win_screen_info();
  desktop_width = info.desktop_width;
  desktop_height = info.desktop_height;
}

void print_line(const std::string& text) {
  if (win_cursor_column() != 1) win_print("", true);  // a line of its own
  win_print(text, true);
  std::fputs(text.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void build_window() {
  win_sleep_ms(300);
  if (full_view.load() == 0) {
    full_view_shown = 0;
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

void draw_status_screen() {
  win_set_title((base_title + "    " + preset_name).c_str());
  restrict_to_text_area();
  win_clear();

  std::string ports = "MIDI input port(" + win_format_int(midi_in_port) + ")";
  if (midi_in2_port > 0) ports += "(" + win_format_int(midi_in2_port) + ")";
  if (midi_in3_port > 0) ports += "(" + win_format_int(midi_in3_port) + ")";
  print_at(1, 1, ports);
  print_at(3, 1, "[B]prev [N]next " + sample_set_prefix(loaded_sound < 0 ? 0 : loaded_sound) +
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

void show_hint(bool clear) {
  if (!full_view_shown) return;
  win_reset_clip();
  win_color(kTextForeground, 0x000000);
  win_locate(12, 57);
  win_print(clear ? std::string(30, ' ') : std::string("rightclick mouse => show/hide"));
  restrict_to_text_area();
}

void master_level_slider(int x, int y, int buttons) {
  if ((buttons & 1) && x > 204 && x < 334 && y >= 32 && y < 42) {
    float level = (x - 205) / 128.0f;
    master_level = level > 0.02f ? level : 0.02f;
  }
  float level = master_level.load();
  win_line(205, 32, 333, 41, 0x000064, kWinFilledBox);
  win_line(205, 32, 205 + static_cast<int>(std::nearbyint(128 * level)), 41, 0x00FF00, kWinFilledBox);
  win_line(205, 32, 333, 41, kTextForeground, kWinBox);
  win_line(205, 41, 333, 32, kTextForeground, kWinLine);
}

void draw_level_meter() {
  double level = peak_hold.load();
  if (level < 0) level = 0;
  int raw = static_cast<int>(std::nearbyint(66.0 * std::log(level / 256.0 + 0.1) / std::log(128.0)));
  raw = clamp_int(raw, 1, 66);
  level_meter_m = static_cast<int>(std::nearbyint(0.1 * level_meter_m + 0.9 * raw));
  win_line(level_meter_m + 3, 32, 70, 41, 0x0000FA, kWinFilledBox);
  win_line(3, 32, 3 + level_meter_m, 41, 0x00FF00, kWinFilledBox);
}

void load_key_picture_and_geometry() {
  if (key_picture != nullptr) return;
  key_picture = win_image_create(700, 148);
  if (key_picture != nullptr) win_image_load_bmp(key_picture, "bmp/piano.bmp");
  // Not built yet: the key dot positions on the picture.
}

void display_keys_down() {}

void display_keys_up() {
  // Not built yet: the marks on the piano picture. The lists are drained so
  // that they hold the keys of the last pass only.
  int down[kKeyListSize], up[kKeyListSize], down_count = 0, up_count = 0;
  take_key_marks(down, &down_count, up, &up_count);
}

void mouse_handler(int, int, int, double*) {}

void mouse_keyboard(int, int, int) {}

void function_key_notes(int* key_code) {
  for (int i = 0; i < 12; i++) {
    bool down = win_key_down(kFunctionKeyScan[i]);
    if (down) {
      // A held function key plays a note; it is not a command.
      *key_code = 0;
      if (win_key_down(kScanLeftShift) && i <= 7) {
        silence_all_voices();
        function_key_base = 12 * i + 12;
      } else if (!function_key_marked[i]) {
        function_key_marked[i] = 1;
        voice_note_on(15, function_key_base + i, 127);
      }
    } else if (function_key_marked[i]) {
      function_key_marked[i] = 0;
      voice_note_off(15, function_key_base + i);
    }
  }
}

void presets_menu() {}

void destroy_pictures() {
  win_image_destroy(key_picture);
  key_picture = nullptr;
}
