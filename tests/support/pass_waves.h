// SPDX-License-Identifier: GPL-3.0-or-later
// Nine engine waves of a chosen output format for the tests of the sample
// pass and its editors: the output is a record of the tests' own in the
// engine's plug-in table (no device), the waves are made with
// FBS_CREATE_WAVE, filled by the test, and the pass is pointed at them.
// Header-only: tests/support/*.cpp go into every test program, this only
// into those that include it.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>

#include "core/settings_values.h"
#include "effects/master_chain.h"
#include "effects/sample_pass.h"
#include "engine/fbs.h"
#include "tests/support/engine_test_output.h"

struct PassWaves {
  int waves[kSamplesPerSet] = {-1, -1, -1, -1, -1, -1, -1, -1, -1};
  int16_t* data[kSamplesPerSet] = {};
  int values[kSamplesPerSet] = {};

  // Output of `channels` at 44100 Hz, settings at their defaults, no waves.
  void use(int channels) {
    destroy();
    enginetest::use_output(44100, channels, 256);
    plug_rate = 44100;
    plug_channels = channels;
    set_default_settings();
    for (int& w : waves) w = -1;
  }
  void destroy() {
    for (int w = 0; w < kSamplesPerSet; w++) {
      if (waves[w] >= 0) FBS_DESTROY_WAVE(&waves[w]);
      data[w] = nullptr;
      values[w] = 0;
    }
  }
  // Wave w with `count` values from fill(j).
  void make(int w, int count, const std::function<int16_t(int)>& fill) {
    if (waves[w] >= 0) FBS_DESTROY_WAVE(&waves[w]);
    void* p = nullptr;
    ASSERT_EQ(FBS_CREATE_WAVE(count / plug_channels.load(), &waves[w], &p), 1);
    data[w] = static_cast<int16_t*>(p);
    values[w] = count;
    for (int j = 0; j < count; j++) data[w][j] = fill(j);
  }
  void make_all(int count, const std::function<int16_t(int w, int j)>& fill) {
    for (int w = 0; w < kSamplesPerSet; w++) make(w, count, [&](int j) { return fill(w, j); });
  }
  // The unfiltered copy the pass starts from.
  void copy() { copy_unfiltered_samples(waves); }

  // Marks every value of the waves with a value no pass of the tests' waves
  // writes, so that rewritten() shows whether a pass ran since.
  static constexpr int16_t kUnwritten = 7777;
  void mark_unwritten() {
    for (int w = 0; w < kSamplesPerSet; w++)
      for (int j = 0; j < values[w]; j++) data[w][j] = kUnwritten;
  }
  bool rewritten() const { return data[4][1] != kUnwritten; }
};
