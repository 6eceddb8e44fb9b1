// SPDX-License-Identifier: GPL-3.0-or-later
// The sample pass rewrites the waves while the mixer plays notes from them
// and a keyboard's MIDI thread starts and stops notes. Run under
// ThreadSanitizer: the only race allowed is the one on the sample values the
// pass stores (marked where it happens); nothing crashes, and the waves end
// as the last pass left them.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#include "../midi_test_support.h"
#include "effects/sample_pass.h"

using namespace midi_test;

namespace {

double since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The handle of the wave that sound (w, 1) plays.
int wave_of_sounds(int w) {
  for (int handle = 0; handle < 64; handle++) {
    void* begin = nullptr;
    if (FBS_GET_WAVEPOINTERS(handle, &begin, nullptr, nullptr) && begin == sound_start[w][1]) return handle;
  }
  return -1;
}

TEST(SamplePassStress, WavesRewrittenWhileNotesPlayAndChange) {
  ASSERT_EQ(1, midi_io_select_backend(MIDI_BACKEND_LOOPBACK));
  midi_loop_reset();
  reset_midi_state();
  program_clock = steady_seconds;
  ASSERT_TRUE(start_test_engine(256));
  int waves[kSamplesPerSet];
  for (int w = 0; w < kSamplesPerSet; w++) ASSERT_GE(waves[w] = wave_of_sounds(w), 0);
  copy_unfiltered_samples(waves);
  int keyboard = midi_loop_add_input("keyboard");
  midi_in_port = keyboard + 1;
  midi_in2_port = 0;
  midi_in3_port = 0;
  open_midi_inputs();
  ASSERT_NE(0, midi_in_handle[0].load());

  std::atomic<int> stop{0};
  std::thread audio([&] {
    while (!stop.load()) {
      plug_fill(1);
      std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
  });
  std::atomic<int> sent{0};
  std::thread keys([&] {
    std::mt19937 random(7);
    while (!stop.load()) {
      int key = 20 + random() % 90;
      uint8_t on[3] = {0x90, (uint8_t)key, (uint8_t)(1 + random() % 127)};
      uint8_t off[3] = {0x80, (uint8_t)key, 0};
      midi_loop_send(keyboard, on, sizeof on);
      std::this_thread::sleep_for(std::chrono::microseconds(700));
      midi_loop_send(keyboard, off, sizeof off);
      sent += 2;
    }
  });

  // The main thread: passes in every mode, and the note-off queue between them.
  auto start = std::chrono::steady_clock::now();
  int passes = 0;
  while (since(start) < 2.0 || passes < 6) {
    keytone_mode = passes % 3;
    keyrev_on = passes / 3 % 2;
    keytone_bands.order = 1 + passes % 5;
    if (passes % 2) keyreverb_pass();
    else keytone_pass();
    EXPECT_EQ(0, input_active.load()) << "the pass left the input-active flag raised";
    serve_note_off_queue();
    passes++;
  }
  stop.store(1);
  keys.join();
  audio.join();
  ASSERT_EQ(1, midi_loop_flush(5.0));
  EXPECT_GT(sent.load(), 100);
  std::printf("%d passes while %d messages were sent\n", passes, sent.load());

  // Both stages off: the waves hold their loaded values again.
  keytone_mode = 0;
  keyrev_on = 0;
  keytone_pass();
  for (int w = 0; w < kSamplesPerSet; w++) {
    int16_t* data = nullptr;
    void* begin = nullptr;
    void* end = nullptr;
    ASSERT_TRUE(FBS_GET_WAVEPOINTERS(waves[w], &begin, &end, nullptr));
    data = static_cast<int16_t*>(begin);
    for (int16_t* v = data; v < static_cast<int16_t*>(end); v++) ASSERT_EQ(*v, kTestWaveValue);
  }
  close_midi_ports();
  silence_all_voices();
  FBS_EXIT();
  midi_loop_reset();
}

}  // namespace
