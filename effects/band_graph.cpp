// SPDX-License-Identifier: GPL-3.0-or-later
// The three-band graph of the equalizer and key tone editors.
#include "effects/band_graph.h"

#include <cmath>

#include "core/text_number.h"
#include "platform/editor_frame.h"
#include "platform/window.h"

namespace {

constexpr int kZeroY = 54;       // nearest(93 / 2 + 8), ties to even
constexpr int kBottomY = kEditorHeight - 2;
constexpr int kSpan = kBottomY - kZeroY;  // 37 pixels for a factor of 10
constexpr int kTopY = 8;         // presses count from this row down to kBottomY
constexpr uint32_t kSketchColor = 0xFFE100;
constexpr int kRightButton = 2;

int frequency_x(const BandGraph& g, double f) {
  return editor_coord(kEditorWidth / g.decades * std::log10(f / g.base_hz));
}

int gain_y(float gain) {
  double g = gain > 0.1f ? gain : 0.1f;
  return editor_coord(kZeroY - kSpan * std::log10(g));
}

void print_at(int row, int column, const std::string& text) {
  win_locate(row, column);
  win_print(text);
}

}  // namespace

std::string decibel_text(float gain) {
  double g = gain > 0.1f ? gain : 0.1f;
  float db = static_cast<float>(20.0 * std::log10(g));
  std::string text = real_text(std::floor(100.0 * db) / 100.0, 16);
  return text.substr(0, 5);
}

int band_graph_frequency(const BandGraph& g, int x) {
  return static_cast<int>(std::nearbyint(g.base_hz * std::pow(10.0, g.decades * x / kEditorWidth)));
}

float band_graph_gain(int y) {
  double g = std::pow(10.0, static_cast<double>(kZeroY - y) / kSpan);
  return static_cast<float>(g < 0.1 ? 0.1 : (g > 10.0 ? 10.0 : g));
}

void draw_band_graph(const BandGraph& g, const ToneBands& b) {
  win_clear();
  print_at(2, 1, "+20");
  print_at(7, 1, "+0");
  print_at(11, 1, "-20");
  for (int i = 0; i < 5; i++) print_at(8, g.label_columns[i], g.labels[i]);

  uint32_t fg = win_foreground();
  for (int y : {kZeroY, kZeroY - kSpan, kZeroY + kSpan}) win_line(0, y, kEditorWidth, y, fg);

  int ym = gain_y(b.midg);
  int xl = frequency_x(g, b.lowf), yl = gain_y(b.lowg);
  int xh = frequency_x(g, b.highf), yh = gain_y(b.highg);
  // An order of 0 (only from a file) makes the widths infinite or no number:
  // editor_coord keeps them drawable.
  double order = b.order;
  int wl = editor_coord(std::abs(yl - ym) / order * g.slope);
  int wh = editor_coord(std::abs(yh - ym) / order * g.slope);
  win_line(0, yl, xl, yl, kSketchColor);
  win_line(xl, yl, xl + wl, ym, kSketchColor);
  win_line(xh, yh, kEditorWidth, yh, kSketchColor);
  win_line(xh, yh, xh - wh, ym, kSketchColor);
  win_line(xl + wl, ym, xh - wh, ym, kSketchColor);

  win_locate(1, 1);
  win_print("[O]order" + win_format_int(b.order), true);
  print_at(2, 12, "lowf=" + real_text(b.lowf / g.shown_unit, 16) + "    highf=" + real_text(b.highf / g.shown_unit, 16));
  print_at(1, 10, " lowg=" + decibel_text(b.lowg) + " midg=" + decibel_text(b.midg) + " highg=" + decibel_text(b.highg));
}

bool band_graph_mouse(const BandGraph& g, ToneBands& b, ToneBands& undo, ToneBands& redo, void (*redraw)(),
                      bool* set) {
  *set = false;
  int x, y;
  int buttons = editor_mouse(&x, &y);
  bool pressed = buttons != 0 && x >= 0 && y >= kTopY && y <= kBottomY && editor_new_position(x, y);
  if (pressed) {
    int f = band_graph_frequency(g, x);
    float gain = band_graph_gain(y);
    undo = b;
    if (buttons == kRightButton) {
      b.midg = gain;
      *set = true;
    } else {
      if (f <= g.low_max) {
        b.lowf = f > g.low_min ? f : g.low_min;
        b.lowg = gain;
        *set = true;
      }
      if (f >= g.high_min) {
        b.highf = f < g.high_max ? f : g.high_max;
        b.highg = gain;
        *set = true;
      }
    }
    redo = b;
    redraw();
  }
  return pressed;
}
