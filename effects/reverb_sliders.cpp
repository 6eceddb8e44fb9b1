// SPDX-License-Identifier: GPL-3.0-or-later
// The four reverb sliders.
#include "effects/reverb_sliders.h"

#include <cmath>
#include <string>

#include "platform/editor_frame.h"
#include "platform/window.h"

namespace {

constexpr int kLength = 210;        // slider length in pixels
constexpr int kReach = kLength + 3;  // presses up to this x count
constexpr float kFullGain = 0.7f;
constexpr uint32_t kFillColor = 0x00FF00;

struct Slider {
  int top;
  float ReverbParams::*value;
  bool time;
};
constexpr Slider kSliders[4] = {
    {15, &ReverbParams::Treverb1, true},
    {31, &ReverbParams::kreverb1, false},
    {55, &ReverbParams::Treverb2, true},
    {71, &ReverbParams::kreverb2, false},
};

}  // namespace

bool draw_reverb_sliders(ReverbParams& p, float full_time, int x, int y, ReverbParams& undo, ReverbParams& redo) {
  bool set = false;
  win_clear();
  uint32_t fg = win_foreground();
  for (const Slider& s : kSliders) {
    if (x <= kReach && y >= s.top - 1 && y <= s.top + 9) {
      float value;
      if (s.time) {
        double t = std::nearbyint(x * static_cast<double>(full_time) / kLength);
        value = static_cast<float>(t < 10.0 ? 10.0 : (t > full_time ? full_time : t));
      } else {
        float k = kFullGain * x / kLength;
        value = k < 0.0f ? 0.0f : (k > kFullGain ? kFullGain : k);
      }
      // A button held still repeats its press on every pass; only a press
      // that moves the slider is a change, so undo still reaches the value
      // before it and the key reverb is not rewritten again for nothing.
      if (value != p.*s.value) {
        undo = p;
        p.*s.value = value;
        redo = p;
        set = true;
      }
    }
    float full = s.time ? full_time : kFullGain;
    win_line(1, s.top, kLength, s.top + 8, fg, kWinBox);
    win_line(1, s.top, editor_coord(kLength * (p.*s.value) / full), s.top + 8, kFillColor, kWinFilledBox);
  }
  win_locate(3, 29);
  win_print("Treverb1=" + win_format_single(std::floor(p.Treverb1)));
  win_locate(5, 29);
  win_print_using("kreverb1=#.###", p.kreverb1);
  win_locate(8, 29);
  win_print("Treverb2=" + win_format_single(std::floor(p.Treverb2)));
  win_locate(10, 29);
  win_print_using("kreverb2=#.###", p.kreverb2);
  return set;
}
