// SPDX-License-Identifier: GPL-3.0-or-later
// The master chain runs on the mixer's thread while the main thread cycles
// the A, R and G keys, moves the master level and the equalizer and reverb
// settings and reruns their set-ups, and a keyboard on its own MIDI thread
// plays notes under channel-volume controllers. Run under ThreadSanitizer:
// every value that crosses threads must be atomic. The chain keeps mixing
// throughout and the analysis ends finite.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <random>
#include <thread>
#include <vector>

#include "../midi_test_support.h"
#include "app/main_loop.h"
#include "app/screen.h"
#include "effects/autovol.h"
#include "effects/equalizer.h"
#include "effects/reverb.h"

using namespace midi_test;

namespace {

constexpr double kRunSeconds = 1.5;

double since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(EffectsChainStress, SettingsChangeWhileTheChainRunsAndTheKeyboardPlays) {
  ASSERT_EQ(1, midi_io_select_backend(MIDI_BACKEND_LOOPBACK));
  midi_loop_reset();
  reset_midi_state();
  program_clock = steady_seconds;
  ASSERT_TRUE(start_test_engine(256));
  win_open(kTextAreaWidth, kTextAreaHeight);  // the keys redraw the status screen
  int keyboard = midi_loop_add_input("keyboard");
  midi_in_port = keyboard + 1;
  midi_in2_port = midi_in3_port = 0;
  open_midi_inputs();
  ASSERT_NE(0, midi_in_handle[0].load());
  plug_bits = FBS_GET_PLUGBITS();
  plug_rate = FBS_GET_PLUGRATE();
  plug_channels = FBS_GET_PLUGCHANNELS();
  autovol_mode = 1;
  reverb_mode = 1;
  equalizer_on = 1;
  setup_reverb();
  compute_eq_coefficients();
  ASSERT_EQ(1, FBS_SET_MASTERCALLBACK(master_callback));
  update_effect_routing();

  std::atomic<int> stop{0};
  std::atomic<int> blocks{0};
  std::thread mixer([&] {
    while (!stop.load()) {
      plug_fill(1);
      blocks++;
      std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
  });
  std::atomic<int> playing{1};
  std::thread player([&] {
    std::mt19937 random(7);
    while (playing.load()) {
      int channel = random() % 16, key = 30 + random() % 60;
      std::vector<uint8_t> bytes;
      switch (random() % 4) {
        case 0: bytes = {(uint8_t)(0xB0 | channel), 7, (uint8_t)(random() % 128)}; break;
        case 1: bytes = {(uint8_t)(0x80 | channel), (uint8_t)key, 0}; break;
        default: bytes = {(uint8_t)(0x90 | channel), (uint8_t)key, (uint8_t)(1 + random() % 127)}; break;
      }
      midi_loop_send(keyboard, bytes.data(), bytes.size());
      std::this_thread::sleep_for(std::chrono::microseconds(1500));
    }
  });

  // At least kRunSeconds, and long enough for the chain to run a few hundred
  // blocks however slow the machine.
  std::mt19937 random(11);
  auto start = std::chrono::steady_clock::now();
  int passes = 0;
  while ((since(start) < kRunSeconds || blocks.load() < 300 || passes < 100) && since(start) < 60.0) {
    run_command(std::string(1, "arg"[passes % 3]));
    master_level = 0.02f + (float)(random() % 99) / 100.0f;
    reverb3_params = {(float)(random() % 70) / 100.0f, 0.3f, (float)(10 + random() % 990), 300.0f};
    setup_reverb();
    eq_bands.lowf = 20 + random() % 900;
    eq_bands.order = 1 + random() % 4;
    compute_eq_coefficients();
    if (passes % 7 == 0) restart_level_analysis(program_clock());
    serve_note_off_queue();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    passes++;
  }
  playing = 0;
  player.join();
  ASSERT_EQ(1, midi_loop_flush(10.0));
  close_midi_ports();
  silence_all_voices();
  stop = 1;
  mixer.join();
  FBS_DISABLE_MASTERCALLBACK();
  win_close();

  EXPECT_GE(blocks.load(), 300);
  EXPECT_GE(passes, 100);
  for (float v : {env_level.load(), hold_level.load(), auto_gain.load(), voice_divisor.load(), target_level.load()})
    EXPECT_TRUE(std::isfinite(v));
}

}  // namespace
