// SPDX-License-Identifier: GPL-3.0-or-later
// A MIDI flood through the whole input path while the main thread serves the
// note-off queue and plays screen notes, and an audio thread mixes blocks:
// notes end with ramps and repeated keys restart with crossfades, from the
// MIDI threads and the main thread alike. Run under ThreadSanitizer: every
// shared value must be atomic or under the voice lock. At the end every
// voice is released and no sound plays.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

#include "../midi_test_support.h"
#include "core/clock.h"

using namespace midi_test;

namespace {

double since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Two loopback keyboards as inputs 1 and 2 and a module on the thru port,
// with the engine mixing on the test plug-in's thread.
static void set_up_two_keyboards(int* in1, int* in2) {
  ASSERT_EQ(1, midi_io_select_backend(MIDI_BACKEND_LOOPBACK));
  midi_loop_reset();
  reset_midi_state();
  program_clock = steady_seconds;
  ASSERT_TRUE(start_test_engine(256));

  *in1 = midi_loop_add_input("keyboard one");
  *in2 = midi_loop_add_input("keyboard two");
  midi_loop_add_output("module");
  midi_in_port = *in1 + 1;
  midi_in2_port = *in2 + 1;
  midi_in3_port = 0;
  thru_port.store(1);
}

// A third keyboard as input 3, and all three inputs and the thru port open.
static void open_three_keyboards(int* in1, int* in2, int* in3) {
  ASSERT_NO_FATAL_FAILURE(set_up_two_keyboards(in1, in2));
  *in3 = midi_loop_add_input("keyboard three");
  midi_in3_port = *in3 + 1;
  open_midi_inputs();
  open_thru_port();
}

TEST(MidiFlood, ThreeThreadsEndWithNoVoiceAndNoSound) {
  int in1 = 0, in2 = 0;
  ASSERT_NO_FATAL_FAILURE(set_up_two_keyboards(&in1, &in2));
  open_midi_inputs();
  open_thru_port();
  ASSERT_NE(0, midi_in_handle[0].load());
  ASSERT_NE(0, midi_in_handle[1].load());
  // As JACK ports deliver: the inputs only try the voices, which the main
  // thread below holds now and then, and leave it what they cannot play.
  midi_loop_set_timed(1);

  std::atomic<int> stop_audio{0};
  std::thread audio([&] {
    while (!stop_audio.load()) {
      plug_fill(1);
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
  });

  // Two keyboards, each its own thread, together several thousand messages
  // a second: notes on all channels (the drum channel too), the pedal,
  // volumes, all-notes-off, program changes, bends, running status and
  // system-exclusive bytes in between.
  constexpr double kFloodSeconds = 2.0;
  std::atomic<int> sent{0};
  auto flood = [&](int device, unsigned seed) {
    std::mt19937 random(seed);
    auto start = std::chrono::steady_clock::now();
    while (since(start) < kFloodSeconds) {
      std::vector<uint8_t> bytes;
      int channel = random() % 16;
      int key = 20 + random() % 90;
      switch (random() % 12) {
        case 0:
          bytes = {(uint8_t)(0xB0 | channel), 64, (uint8_t)(random() % 2 ? 127 : 0)};
          break;
        case 1:
          bytes = {(uint8_t)(0xB0 | channel), 7, (uint8_t)(random() % 128)};
          break;
        case 2:
          bytes = {(uint8_t)(0xB0 | channel), 123, 0};
          break;
        case 3:
          bytes = {(uint8_t)(0xC0 | channel), (uint8_t)(random() % 127)};
          break;
        case 4:
          bytes = {(uint8_t)(0xE0 | channel), 0, 64, 0xF0, 0x7E, 0x01, 0xF7};
          break;
        case 5:  // running status: a note-on and its note-off
          bytes = {(uint8_t)(0x90 | channel), (uint8_t)key, 90, (uint8_t)key, 0};
          break;
        case 6:
        case 7:
        case 8:
          bytes = {(uint8_t)(0x90 | channel), (uint8_t)key, (uint8_t)(1 + random() % 127)};
          break;
        default:
          bytes = {(uint8_t)(0x80 | channel), (uint8_t)key, 0};
          break;
      }
      midi_loop_send(device, bytes.data(), bytes.size());
      sent++;
      if (sent % 8 == 0) std::this_thread::sleep_for(std::chrono::microseconds(1000));
    }
  };
  std::thread keyboard1(flood, in1, 1u);
  std::thread keyboard2(flood, in2, 2u);

  // The main thread: queue service, screen notes, and now and then bulk
  // silencing, as the main loop does.
  auto start = std::chrono::steady_clock::now();
  std::mt19937 random(3);
  int passes = 0;
  int most_voices = 0;
  while (since(start) < kFloodSeconds) {
    most_voices = std::max(most_voices, voice_count.load());
    serve_note_off_queue();
    if (passes % 10 == 0) voice_note_on(random() % 16, 30 + random() % 60, 100);
    if (passes % 10 == 5) voice_note_off(random() % 16, 30 + random() % 60);
    if (passes % 10 == 7) voice_note_on(0, 60, 100);  // restarts a key the keyboards play too
    if (passes % 200 == 199) silence_all_voices();
    int down[kKeyListSize], up[kKeyListSize], nd, nu;
    take_key_marks(down, &nd, up, &nu);
    serve_midi_on_main_thread();
    std::this_thread::sleep_for(std::chrono::milliseconds(note_off_sleep_ms(program_clock())));
    passes++;
  }
  keyboard1.join();
  keyboard2.join();
  ASSERT_EQ(1, midi_loop_flush(30.0));
  EXPECT_GT(sent.load(), 4000);  // several thousand a second
  EXPECT_GT(most_voices, 10);    // the flood really played
  std::printf("flood: %d messages sent, at most %d voices, auxvar %g\n", sent.load(), most_voices,
              auxvar.load());

  // Let the rate gate recover, then lift the pedal and end every channel.
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  const uint8_t pedal_up[] = {0xB0, 64, 0};
  serve_midi_on_main_thread();
  midi_loop_send(in1, pedal_up, sizeof pedal_up);
  ASSERT_EQ(1, midi_loop_flush(5.0));
  for (int ch = 0; ch < 16; ch++) {
    const uint8_t all_off[] = {(uint8_t)(0xB0 | ch), 123, 0};
    midi_loop_send(in1, all_off, sizeof all_off);
  }
  ASSERT_EQ(1, midi_loop_flush(5.0));
  serve_midi_on_main_thread();
  // The screen notes' note-offs still queued end nothing new; serve them.
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  serve_note_off_queue();
  EXPECT_EQ(0, voice_count.load());
  EXPECT_EQ(0, pedal_down.load());

  close_midi_ports();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  stop_audio.store(1);
  audio.join();
  plug_fill(2);
  EXPECT_EQ(0, FBS_GET_PLAYINGSOUNDS());
  for (int w = 0; w < kSampleWaves; w++)
    for (int j = 1; j <= kSoundsPerSample; j++) EXPECT_EQ(0, sound_loops(w, j)) << w << "," << j;
  FBS_EXIT();
  midi_loop_reset();
}

}  // namespace

namespace {

// The ports are closed and opened again while both keyboards flood them, as
// the main loop does after B, N, M or a preset: closing must wait for a
// handler call in flight, and nothing may reach the voices once closed.
TEST(MidiFlood, PortsCloseAndReopenWhileMessagesArrive) {
  int in1 = 0, in2 = 0;
  ASSERT_NO_FATAL_FAILURE(set_up_two_keyboards(&in1, &in2));

  constexpr double kFloodSeconds = 2.0;
  std::atomic<int> sent{0};
  auto flood = [&](int device, unsigned seed) {
    std::mt19937 random(seed);
    auto start = std::chrono::steady_clock::now();
    while (since(start) < kFloodSeconds) {
      int channel = random() % 16;
      int key = 20 + random() % 90;
      uint8_t bytes[3] = {(uint8_t)((random() % 3 ? 0x90 : 0x80) | channel), (uint8_t)key,
                          (uint8_t)(1 + random() % 127)};
      midi_loop_send(device, bytes, sizeof bytes);
      sent++;
      if (sent % 8 == 0) std::this_thread::sleep_for(std::chrono::microseconds(1000));
    }
  };
  std::thread keyboard1(flood, in1, 4u);
  std::thread keyboard2(flood, in2, 5u);

  auto start = std::chrono::steady_clock::now();
  int reopened = 0;
  while (since(start) < kFloodSeconds) {
    open_midi_inputs();
    open_thru_port();
    ASSERT_NE(0, midi_in_handle[0].load());
    for (int pass = 0; pass < 5; pass++) {
      serve_note_off_queue();
      std::this_thread::sleep_for(std::chrono::milliseconds(note_off_sleep_ms(program_clock())));
    }
    close_midi_ports();
    // Closed: what the voices hold now stays as it is.
    silence_all_voices();
    EXPECT_EQ(0, voice_count.load());
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(0, voice_count.load());
    reopened++;
  }
  keyboard1.join();
  keyboard2.join();
  EXPECT_GT(reopened, 3);
  EXPECT_GT(sent.load(), 4000);
  for (int i = 0; i < 3; i++) EXPECT_EQ(0, midi_in_handle[i].load());
  EXPECT_EQ(0, thru_handle.load());
  FBS_EXIT();
  midi_loop_reset();
}

}  // namespace

namespace {

// Three keyboards flood their inputs at once, each delivered on a thread of
// its own. The guard lets one dispatch run at a time: the thru budget it
// keeps is a plain value, so two dispatches at once show here as a data race.
// What reaches the thru port is what was played, unchanged.
// Delivered as JACK ports deliver (with frames, each followed by its
// cycle's end), the inputs' threads never wait: they only try the guard and
// the voices, and what they leave the main thread plays.
TEST(MidiFlood, ThreeInputsDispatchOneAtATime) {
  int in1 = 0, in2 = 0, in3 = 0;
  ASSERT_NO_FATAL_FAILURE(open_three_keyboards(&in1, &in2, &in3));
  midi_loop_set_timed(1);
  for (int i = 0; i < 3; i++) ASSERT_NE(0, midi_in_handle[i].load()) << i;
  int probe_messages = midi_loop_sent_count(0);

  constexpr double kFloodSeconds = 1.5;
  std::atomic<int> sent{0};
  auto flood = [&](int device, int channel) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; since(start) < kFloodSeconds; i++) {
      uint8_t key = (uint8_t)(30 + (i / 2) % 90);
      uint8_t bytes[3] = {(uint8_t)(0x90 | channel), key, (uint8_t)(i % 2 ? 0 : 90)};
      midi_loop_send(device, bytes, sizeof bytes);
      sent++;
      if (i % 4 == 3) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  };
  std::thread keyboard1(flood, in1, 0);
  std::thread keyboard2(flood, in2, 1);
  std::thread keyboard3(flood, in3, 2);
  keyboard1.join();
  keyboard2.join();
  keyboard3.join();
  ASSERT_EQ(1, midi_loop_flush(30.0));
  serve_midi_on_main_thread();

  int passed = midi_loop_sent_count(0) - probe_messages;
  std::printf("three inputs: %d messages sent, %d passed on, auxvar %g\n", sent.load(), passed,
              auxvar.load());
  EXPECT_GT(passed, 200);  // the gate passes about 500 a second
  for (int i = 0; i < passed; i++) {
    uint32_t m = midi_loop_sent(0, probe_messages + i);
    int status = m & 0xFF, key = (m >> 8) & 0xFF, velocity = (m >> 16) & 0xFF;
    ASSERT_TRUE((status == 0x90 || status == 0x91 || status == 0x92) && key >= 30 && key < 120 &&
                (velocity == 0 || velocity == 90))
        << std::hex << m;
  }
  close_midi_ports();
  FBS_EXIT();
  midi_loop_reset();
}

}  // namespace

// ---- A take of a flood ----

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "app/take.h"
#include "midi/midi_file.h"
#include "midi/take_queue.h"

namespace {

// Three keyboards flood their inputs while a take runs. First the main
// thread leaves the take alone: the keyboards' threads do not wait for it
// (everything is delivered) and what its queues cannot hold is dropped and
// counted. Then it drains the queues while the flood goes on. Every message
// delivered is in the file or in the count of the notice.
TEST(MidiFlood, ThreeInputsFloodATake) {
  namespace fs = std::filesystem;
  fs::path folder = fs::temp_directory_path() / ("qd_take_flood_" + std::to_string(getpid()));
  fs::create_directories(folder);
  fs::path old = fs::current_path();
  fs::current_path(folder);

  int in1 = 0, in2 = 0, in3 = 0;
  ASSERT_NO_FATAL_FAILURE(open_three_keyboards(&in1, &in2, &in3));
  take_start();

  std::atomic<int> sent{0};
  auto flood = [&](int device, int channel, int count, int pause_every) {
    for (int i = 0; i < count; i++) {
      uint8_t bytes[3] = {(uint8_t)(0x90 | channel), (uint8_t)(30 + (i / 2) % 90), (uint8_t)(i % 2 ? 0 : 90)};
      midi_loop_send(device, bytes, sizeof bytes);
      sent++;
      if (pause_every && i % pause_every == pause_every - 1) std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
  };
  auto three = [&](int count, int pause_every) {
    std::thread k1(flood, in1, 0, count, pause_every), k2(flood, in2, 1, count, pause_every),
        k3(flood, in3, 2, count, pause_every);
    k1.join();
    k2.join();
    k3.join();
  };
  const int over = 500;  // more than a queue holds, per input
  three((int)kTakeQueueSize + over, 0);
  ASSERT_EQ(1, midi_loop_flush(60.0)) << "a MIDI thread waited for the main thread";

  std::atomic<int> flooding{1};
  std::thread second([&] {
    three(3000, 8);
    flooding = 0;
  });
  while (flooding.load()) {
    take_serve();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  second.join();
  ASSERT_EQ(1, midi_loop_flush(30.0));
  take_end();
  close_midi_ports();
  FBS_EXIT();
  midi_loop_reset();

  size_t dropped = 0;
  for (const DialogRecord& d : dialog_history())
    if (d.text.find(" messages dropped, too many at once") != std::string::npos) dropped = std::stoul(d.text.substr(d.text.find(": ") + 2));
  std::vector<fs::path> takes;
  for (const auto& entry : fs::directory_iterator("save/takes")) takes.push_back(entry.path());
  ASSERT_EQ(takes.size(), 1u);
  std::ifstream f(takes[0], std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  MidiFile take;
  ASSERT_EQ(read_midi_file(bytes.data(), bytes.size(), &take), "");
  std::printf("take of a flood: %d messages sent, %zu in the file, %zu dropped\n", sent.load(), take.events.size(), dropped);
  EXPECT_GE(dropped, 3u * over);
  EXPECT_EQ(take.events.size() + dropped, (size_t)sent.load());

  fs::current_path(old);
  fs::remove_all(folder);
}

}  // namespace
