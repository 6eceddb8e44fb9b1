// SPDX-License-Identifier: GPL-3.0-or-later
// The key volume editor and its undo history.
#include "midi/keyvol_editor.h"

#include <cmath>
#include <string>

#include "core/clock.h"
#include "core/settings_values.h"
#include "core/shared_state.h"
#include "midi/keyvol_file.h"
#include "midi/voices.h"
#include "platform/editor_frame.h"
#include "platform/window.h"

WinImage* marker_white = nullptr;
WinImage* marker_black = nullptr;
WinImage* marker_red = nullptr;
WinImage* marker_green = nullptr;
WinImage* key_marker[128];

float keyvol_history[kKeyvolHistorySlots][kKeyvolSlotValues];
int history_current = 0;
int history_oldest = kKeyvolHistorySlots - 1;
int history_newest = 0;

int keyvol_editor_open = 0;

namespace {

constexpr int kTestChannel = 15;  // MIDI channel 16
constexpr int kKeyRowY = kEditorHeight - kKeyMarkerHeight;  // top of the key row
constexpr int kStripTop = kEditorHeight - 10;  // a press from here down plays a test note
constexpr int kDrawTop = 5;  // rows of the drawing area
constexpr int kDrawBottom = kEditorHeight - 15;
constexpr int kBaseline = kEditorHeight - 19;  // the y of value 0
constexpr double kValuePerPixel = 4.3;
constexpr uint32_t kPointColor = 0xFFC800;
constexpr double kIdleSeconds = 60.0;  // then the key row stops following the keys played
constexpr int kAnchorX = 128;  // places of the anchor in a history slot
constexpr int kAnchorY = 129;

// Editor state, kept between passes of one session.
int anchor_x = -1, anchor_y = -1;  // the last point drawn with the left button
bool changed = false;              // the map changed since the last history state
int previous_buttons = 0;
int hover_key = -1;
int test_key = -1;                 // the test note sounding, -1 for none
double last_move_time = 0.0;

int map_row() {
  int row = piano_sound.load();
  return row < 0 || row >= kKeyvolRows ? 0 : row;
}

float entry(int key) { return keyvol_table[map_row()][key].load(std::memory_order_relaxed); }

int key_x(int key) { return editor_coord(key * static_cast<double>(kEditorWidth) / 120.0); }
int value_y(float value) { return editor_coord(kBaseline - value / kValuePerPixel); }
int marker_x(int key) { return static_cast<int>(std::floor(key * static_cast<double>(kEditorWidth) / 120.0)); }

void draw_point(int key, uint32_t color) { win_pixel(key_x(key), value_y(entry(key)), color); }
void draw_points() {
  for (int k = 0; k < kKeyvolEditKeys; k++) draw_point(k, kPointColor);
}
void erase_points() {
  for (int k = 0; k < kKeyvolEditKeys; k++) draw_point(k, win_background());
}

void put_marker(int key, WinImage* image) {
  if (key >= 0 && key < 128 && image != nullptr) win_put_image(marker_x(key), kKeyRowY, image);
}
void plain_marker(int key) {
  if (key >= 0 && key < 128) put_marker(key, key_marker[key]);
}

void draw_key_row() {
  for (int k = 0; k < kKeyvolEditKeys; k++)
    if (key_marker[k] == marker_white) put_marker(k, marker_white);
  for (int k = 0; k < kKeyvolEditKeys; k++)
    if (key_marker[k] == marker_black) put_marker(k, marker_black);
}

// The key row as the key display draws on it.
void row_key_down(int key) { put_marker(key, marker_red); }
const EditorKeyRow kKeyRow = {row_key_down, plain_marker, draw_key_row};

void draw_status_line() {
  win_locate(1, 1);
  win_print(keyvol_on.load() == 1 ? "[S]save [L]load  [K]on  [U]undo [R]redo"
                                  : "[S]save [L]load  [K]off [U]undo [R]redo");
  win_print(win_format_int(history_current) + " ");
}

void draw_layout() {
  win_clear();
  draw_key_row();
  win_locate(2, 1);
  win_print("2");
  win_locate(6, 1);
  win_print("1");
  win_locate(10, 1);
  win_print("0");
  int reference = value_y(128.0f);
  win_line(0, reference, kEditorWidth, reference, 0x000000);
  draw_points();
  draw_status_line();
}

void show_key_marks(bool on) {
  keyvol_editor_open = on ? 1 : 0;
  set_editor_key_row(on ? &kKeyRow : nullptr);
}

void set_entry(int key, float value) {
  draw_point(key, win_background());
  keyvol_table[map_row()][key].store(value, std::memory_order_relaxed);
  draw_point(key, kPointColor);
}

// Joins the anchor and the mouse with a straight line of values.
void draw_line_to(int x, int y) {
  int step = x > anchor_x ? 1 : -1;
  for (int xi = anchor_x;; xi += step) {
    double yi = std::floor(static_cast<double>(y - anchor_y) * (xi - anchor_x) / (x - anchor_x) + anchor_y);
    if (yi >= kDrawTop && yi <= kDrawBottom) set_entry(keyvol_key_at(xi), keyvol_value_at(static_cast<int>(yi)));
    if (xi == x) break;
  }
}

// Undo or redo went to another state: the graph follows it.
void show_restored(bool (*step)(int*, int*)) {
  erase_points();
  int ax, ay;
  if (step(&ax, &ay)) {
    anchor_x = ax;
    anchor_y = ay;
  }
  draw_points();
  draw_status_line();
}

void open_editor() {
  keyvol_on = 1;
  show_key_marks(true);
  last_move_time = program_clock();
  changed = false;
  previous_buttons = 0;
  hover_key = -1;
  test_key = -1;
  draw_layout();
  editor_clear_hint();
}

void editor_pass(std::string* key) {
  *key = editor_poll_key();
  editor_show_auxvar();

  editor_show_keys_down();
  double now = program_clock();
  if (clock_went_back(now, last_move_time)) last_move_time = now;
  bool idle = now > last_move_time + kIdleSeconds;
  if (keyvol_editor_open && idle) {
    draw_key_row();
    show_key_marks(false);
  } else if (!keyvol_editor_open && !idle) {
    show_key_marks(true);
  }

  int px = editor_last_x(), py = editor_last_y();
  int x, y;
  int buttons = editor_mouse(&x, &y);
  if (x != px || y != py) last_move_time = now;
  editor_set_last_position(x, y);

  if (y > 4 && y <= kDrawBottom) {
    int k = keyvol_key_at(x);
    if (k != hover_key) {
      plain_marker(hover_key);
      put_marker(k, marker_green);
      hover_key = k;
    }
  }

  if (previous_buttons == 0 && buttons != 0 && y >= kStripTop && y <= kEditorHeight && test_key < 0) {
    // The key marked green above the strip; before any is, the one at x.
    test_key = hover_key >= 0 ? hover_key : keyvol_key_at(x);
    voice_note_on(kTestChannel, test_key, 127);
  } else if (buttons == 0 && test_key >= 0) {
    voice_note_off(kTestChannel, test_key);
    test_key = -1;
  }
  previous_buttons = buttons;

  if (buttons != 0 && px >= 0 && py >= kDrawTop && py <= kDrawBottom) {
    if (buttons == 1) {
      if (px != anchor_x || py != anchor_y) changed = true;
      anchor_x = px;
      anchor_y = py;
    }
    if (anchor_x >= 0 && anchor_x != x) {
      changed = true;
      draw_line_to(x, y);
    }
    editor_wait(0.01, 10, true);
  } else {
    if (changed) {
      push_keyvol_history(anchor_x, anchor_y);
      changed = false;
      draw_status_line();
    }
    editor_wait(0.15, 150, true);
  }
}

bool editor_command(char key) {
  switch (key) {
    case 'k':
      keyvol_on = keyvol_on.load() == 1 ? 0 : 1;
      draw_status_line();
      return true;
    case 'u':
      show_restored(keyvol_undo);
      return true;
    case 'r':
      show_restored(keyvol_redo);
      return true;
    case 's': {
      InputActiveScope busy;
      save_keyvol();
      draw_key_row();
      return true;
    }
    case 'l': {
      InputActiveScope busy;
      load_keyvol();
      draw_key_row();
      return true;
    }
    default:
      return false;
  }
}

void close_editor() {
  show_key_marks(false);
  // A test note held while a key leaves the editor would sound on for ever.
  if (test_key >= 0) voice_note_off(kTestChannel, test_key);
  test_key = -1;
}

}  // namespace

void destroy_key_markers() {
  for (WinImage** image : {&marker_white, &marker_black, &marker_red, &marker_green}) {
    win_image_destroy(*image);
    *image = nullptr;
  }
  for (WinImage*& image : key_marker) image = nullptr;
}

void make_key_markers() {
  destroy_key_markers();
  auto make = [](uint32_t color) {
    WinImage* image = win_image_create(kKeyMarkerWidth, kKeyMarkerHeight);
    if (image != nullptr)
      win_image_line(image, 0, 0, kKeyMarkerWidth - 1, kKeyMarkerHeight - 1, color, kWinFilledBox);
    return image;
  };
  marker_white = make(0xFFFFFF);
  marker_black = make(0x000000);
  marker_red = make(0xFF0000);
  marker_green = make(0x00FF00);
  for (int n = 0; n < 128; n++) {
    int m = n % 12;
    bool black = m == 1 || m == 3 || m == 6 || m == 8 || m == 10;
    key_marker[n] = black ? marker_black : marker_white;
  }
}

void reset_keyvol_undo() {
  history_current = 0;
  history_oldest = kKeyvolHistorySlots - 1;
  history_newest = 0;
  for (int k = 0; k < kKeyvolEditKeys; k++) keyvol_history[0][k] = entry(k);
  keyvol_history[0][kAnchorX] = -1.0f;
  keyvol_history[0][kAnchorY] = -1.0f;
}

void push_keyvol_history(int ax, int ay) {
  history_current = (history_current + 1) % kKeyvolHistorySlots;
  if (history_current == history_oldest) history_oldest = (history_oldest + 1) % kKeyvolHistorySlots;
  history_newest = history_current;
  float* slot = keyvol_history[history_current];
  for (int k = 0; k < kKeyvolEditKeys; k++) slot[k] = entry(k);
  slot[kAnchorX] = static_cast<float>(ax);
  slot[kAnchorY] = static_cast<float>(ay);
}

namespace {

void restore_slot(int index, int* ax, int* ay) {
  const float* slot = keyvol_history[index];
  for (int k = 0; k < kKeyvolEditKeys; k++) keyvol_table[map_row()][k].store(slot[k], std::memory_order_relaxed);
  *ax = static_cast<int>(slot[kAnchorX]);
  *ay = static_cast<int>(slot[kAnchorY]);
}

}  // namespace

bool keyvol_undo(int* ax, int* ay) {
  int p = (history_current + kKeyvolHistorySlots - 1) % kKeyvolHistorySlots;
  if (history_current == history_oldest || p == history_oldest) return false;
  history_current = p;
  restore_slot(p, ax, ay);
  return true;
}

bool keyvol_redo(int* ax, int* ay) {
  if (history_current == history_newest) return false;
  history_current = (history_current + 1) % kKeyvolHistorySlots;
  restore_slot(history_current, ax, ay);
  return true;
}

int keyvol_key_at(int x) {
  double k = x * 120.0 / kEditorWidth;
  if (k < 0.01) k = 0.01;
  if (k > 120.0) k = 120.0;
  return static_cast<int>(std::nearbyint(k));
}

float keyvol_value_at(int y) {
  double v = (kBaseline - y) * kValuePerPixel;
  if (v < 0.01) v = 0.01;
  if (v > 255.0) v = 255.0;
  return static_cast<float>(v);
}

void keyvol_editor() {
  run_editor({open_editor, editor_pass, editor_command, nullptr, close_editor});
}

void save_keyvol() {
  int row = map_row();
  editor_save_file("keyvol", ".keyvol", [row](const std::string& path) { return write_keyvol_file(path, row); });
}

void load_keyvol() {
  int row = map_row();
  bool loaded = editor_load_file("keyvol", ".keyvol", [row](const std::string& path) {
    erase_points();
    return read_keyvol_file(path, row);
  });
  draw_points();
  if (!loaded) return;
  anchor_x = anchor_y = -1;
  push_keyvol_history(-1, -1);
  draw_status_line();
}
