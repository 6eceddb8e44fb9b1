// SPDX-License-Identifier: GPL-3.0-or-later
// The piano picture, the key geometry and the key marks.
#include "app/piano_picture.h"

#include <cmath>

#include "app/text_area.h"
#include "core/paths.h"
#include "platform/window.h"

int white_key_number[kWhiteKeys];
int white_key_index[kWhiteKeyIndexSize];
int key_dot_x[128];
int key_dot_y[128];

namespace {

WinImage* clean_picture = nullptr;   // as loaded
WinImage* dotted_picture = nullptr;  // with a red dot on every key

constexpr int kWhiteKeysShown = 52;
constexpr int kWhiteSpan = 639;  // white keys: 52 keys over 639 pixels
constexpr int kKeysShown = 88;
constexpr int kKeySpan = 636;  // black-key row: 88 key columns over 636 pixels
constexpr int kWhiteRowLastX = 665;  // the geometry scans x 30..665 on the white-key row
constexpr int kBlackRowLastX = 664;  // and x 30..664 on the black-key row
constexpr int kWhiteDotY = 127;
constexpr int kBlackDotY = 97;
constexpr int kDotRadius = 5;
constexpr int kRed = 0xFF0000;

double white_dot_x(int b) { return kPianoLeft + (b + 0.5) * kWhiteSpan / kWhiteKeysShown; }

// Copies the square around a key's dot from a picture onto the screen.
void copy_key_square(int key, const WinImage* picture) {
  if (key < kFirstPianoKey || key > kLastPianoKey || picture == nullptr) return;
  WholeWindowScope whole;
  win_put_image_part(key_dot_x[key] - kDotRadius, key_dot_y[key] - kDotRadius + kPianoTop, picture,
                     key_dot_x[key] - kDotRadius, key_dot_y[key] - kDotRadius, 2 * kDotRadius + 1,
                     2 * kDotRadius + 1);
}

}  // namespace

void fill_white_key_tables() {
  static const int kSteps[7] = {2, 1, 2, 2, 1, 2, 2};  // 9, 11, 12, 14, 16, 17, 19, 21, ...
  for (int k = 0; k < kWhiteKeyIndexSize; k++) white_key_index[k] = -1;
  int key = 9;
  for (int b = 0; b < kWhiteKeys; b++) {
    white_key_number[b] = key;
    if (key < kWhiteKeyIndexSize) white_key_index[key] = b;
    key += kSteps[b % 7];
  }
}

bool is_black_key(int key) {
  return key >= 0 && key < kWhiteKeyIndexSize && white_key_index[key] < 0;
}

int piano_key_at(int x, bool white_row) {
  if (x <= kPianoLeft) return -1;
  if (white_row) {
    int b = kWhiteKeysShown * (x - kPianoLeft) / kWhiteSpan;
    return b < kWhiteKeysShown ? white_key_number[b] : -1;
  }
  int a = kKeysShown * (x - kPianoLeft) / kKeySpan;
  return a < kKeysShown ? a + kFirstPianoKey : -1;
}

void load_piano_picture() {
  if (clean_picture == nullptr)
    clean_picture = load_picture((data_folder() + "bmp/piano.bmp").c_str(), kPianoWidth, kPianoHeight);
}

void load_key_picture_and_geometry() {
  if (dotted_picture != nullptr) return;
  dotted_picture = load_picture((data_folder() + "bmp/piano.bmp").c_str(), kPianoWidth, kPianoHeight);
  draw_piano_picture();
  // Each key's dot sits on the key itself: a white key's in the middle of
  // its lower part, a black key's near its top.
  for (int x = kPianoLeft + 1; x <= kWhiteRowLastX; x++) {
    int b = kWhiteKeysShown * (x - kPianoLeft) / kWhiteSpan;
    int key = white_key_number[b];
    key_dot_x[key] = static_cast<int>(std::nearbyint(white_dot_x(b)));
    key_dot_y[key] = kWhiteDotY;
  }
  for (int x = kPianoLeft + 1; x <= kBlackRowLastX; x++) {
    int a = kKeysShown * (x - kPianoLeft) / kKeySpan;
    int key = a + kFirstPianoKey;
    if (is_black_key(key)) {
      key_dot_x[key] = static_cast<int>(std::nearbyint(kPianoLeft + (a + 0.5) * kKeySpan / kKeysShown));
      key_dot_y[key] = kBlackDotY;
    } else {
      key_dot_x[key] = static_cast<int>(std::nearbyint(white_dot_x(white_key_index[key])));
      key_dot_y[key] = kWhiteDotY;
    }
  }
  for (int key = kFirstPianoKey; key <= kLastPianoKey; key++)
    win_image_circle(dotted_picture, key_dot_x[key], key_dot_y[key], kDotRadius, kRed, true);
  restrict_to_text_area();
}

void draw_piano_picture() {
  if (clean_picture == nullptr) return;
  WholeWindowScope whole;
  win_put_image(0, kPianoTop, clean_picture);
}

void mark_key_down(int key) { copy_key_square(key, dotted_picture); }
void mark_key_up(int key) { copy_key_square(key, clean_picture); }

void destroy_piano_pictures() {
  win_image_destroy(clean_picture);
  win_image_destroy(dotted_picture);
  clean_picture = dotted_picture = nullptr;
}
