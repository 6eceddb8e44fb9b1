// SPDX-License-Identifier: GPL-3.0-or-later
// MIDI input: port opening and its notices, the handler's rate gate and
// guard, thru and loop detection, and the dispatch of notes and controllers.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "core/clock.h"
#include "midi/take_queue.h"
#include "platform/midi_backend.h"
#include "midi_test_support.h"

using namespace midi_test;

namespace {

class MidiInput : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(1, midi_io_select_backend(MIDI_BACKEND_LOOPBACK));
    midi_loop_reset();
    reset_midi_state();
  }
  void TearDown() override {
    close_midi_ports();
    midi_loop_reset();
  }
  std::vector<std::string> notices() {
    std::vector<std::string> texts;
    for (const DialogRecord& r : dialog_history())
      if (r.kind == "notice") texts.push_back(r.text);
    return texts;
  }
  // Opens inputs 1, 2 and 3 and gives the notices shown.
  std::vector<std::string> open_ports_one_two_three() {
    midi_in_port = 1;
    midi_in2_port = 2;
    midi_in3_port = 3;
    open_midi_inputs();
    return notices();
  }
};

// ---- opening ----

TEST_F(MidiInput, NoDevicesGiveBothNotices) {
  midi_in_port = 1;
  thru_port.store(1);
  open_midi_inputs();
  open_thru_port();
  std::vector<std::string> texts = notices();
  ASSERT_EQ(2u, texts.size());
  EXPECT_EQ("error: sorry no MIDI input on this system!", texts[0]);
  EXPECT_EQ("error: sorry no MIDI output on this system!", texts[1]);
  EXPECT_EQ(0, thru_handle.load());
}

TEST_F(MidiInput, PortsAreClampedAndDuplicatesDropped) {
  midi_loop_add_input("  first keyboard ");
  midi_loop_add_input("second");
  midi_in_port = 7;   // above the count: the last device
  midi_in2_port = 2;  // the same as the first after clamping: none
  midi_in3_port = 3;  // above the count: none (not clamped)
  open_midi_inputs();
  EXPECT_EQ(2, midi_in_port);
  EXPECT_EQ(0, midi_in2_port);
  EXPECT_EQ(0, midi_in3_port);
  EXPECT_NE(0, midi_in_handle[0].load());
  EXPECT_EQ(0, midi_in_handle[1].load());
  EXPECT_EQ("first keyboard", input_name(1));  // names are trimmed
  EXPECT_EQ(2, midi_input_devices.load());
  EXPECT_TRUE(notices().empty());

  midi_in_port = -3;
  midi_in2_port = 1;
  midi_in3_port = 1;
  for (std::string& name : midi_in_port_name) name.clear();  // numbers chosen anew, as the M prompt does
  close_midi_ports();
  open_midi_inputs();
  EXPECT_EQ(0, midi_in_port);
  EXPECT_EQ(1, midi_in2_port);
  EXPECT_EQ(0, midi_in3_port);  // equals the second port
  EXPECT_EQ(0, midi_in_handle[0].load());
  EXPECT_NE(0, midi_in_handle[1].load());
}

TEST_F(MidiInput, PortThatCannotOpenGivesItsNotice) {
  midi_loop_add_input("a");
  midi_loop_add_input("b");
  midi_loop_add_input("c");
  midi_loop_unplug(0);
  midi_loop_unplug(1);
  midi_loop_unplug(2);
  std::vector<std::string> texts = open_ports_one_two_three();
  ASSERT_EQ(3u, texts.size());
  EXPECT_EQ("error can't open MIDI input 1 !", texts[0]);
  EXPECT_EQ("error can't open MIDI input2 2 !", texts[1]);
  EXPECT_EQ("error can't open MIDI input3 (3) !", texts[2]);
  for (int i = 0; i < 3; i++) EXPECT_EQ(0, midi_in_handle[i].load());
}

TEST_F(MidiInput, PortThatCannotStartIsClosedWithItsNotice) {
  midi_loop_add_input("one");
  midi_loop_add_input(" two ");
  midi_loop_add_input("three");
  for (int d = 0; d < 3; d++) midi_loop_refuse_start(d, 1);
  std::vector<std::string> texts = open_ports_one_two_three();
  ASSERT_EQ(3u, texts.size());
  EXPECT_EQ("error can't start MIDI input 1 !\rone", texts[0]);
  EXPECT_EQ("error can't start MIDI input2 2 !\rtwo", texts[1]);
  EXPECT_EQ("error can't start MIDI input3 (3) !\rthree", texts[2]);
  for (int i = 0; i < 3; i++) EXPECT_EQ(0, midi_in_handle[i].load());
  // They were closed again: with the driver willing, they open and start.
  for (int d = 0; d < 3; d++) midi_loop_refuse_start(d, 0);
  open_midi_inputs();
  for (int i = 0; i < 3; i++) EXPECT_NE(0, midi_in_handle[i].load());
}

TEST_F(MidiInput, ThruPortSendsTheProbe) {
  midi_loop_add_output("synth");
  thru_port.store(5);
  fake_now.store(50.0);
  open_thru_port();
  EXPECT_EQ(1, thru_port.load());
  ASSERT_NE(0, thru_handle.load());
  EXPECT_EQ(50.0, probe_time.load());
  ASSERT_EQ(2, midi_loop_sent_count(0));
  EXPECT_EQ(0x7FC9u, midi_loop_sent(0, 0));
  EXPECT_EQ(0x00C9u, midi_loop_sent(0, 1));
  EXPECT_EQ("synth", output_name(1));
}

TEST_F(MidiInput, ThruPortThatCannotOpenGivesItsNotice) {
  midi_loop_add_output("busy synth");
  int other = 0;
  ASSERT_EQ(1, midi_out_open(&other, 0));  // somebody else holds it
  thru_port.store(1);
  open_thru_port();
  std::vector<std::string> texts = notices();
  ASSERT_EQ(1u, texts.size());
  EXPECT_EQ("error can't open MIDI output 1 !\rbusy synth", texts[0]);
  EXPECT_EQ(0, thru_handle.load());
  midi_out_close(other);
}

TEST_F(MidiInput, MessagesFromAnOpenInputReachTheVoices) {
  midi_loop_add_input("keys");
  midi_in_port = 1;
  open_midi_inputs();
  program_clock = steady_seconds;
  midi_loop_send_short(0, msg(0x90, 60, 100));
  ASSERT_EQ(1, midi_loop_flush(5.0));
  EXPECT_EQ(1, voices_of(60, 0));
  close_midi_ports();
  // After closing, bytes for the port are lost and reach nobody.
  midi_loop_send_short(0, msg(0x90, 62, 100));
  EXPECT_EQ(1, midi_loop_flush(1.0));
  EXPECT_EQ(0, voices_of(62, 0));
}

// ---- dispatch ----

TEST_F(MidiInput, TransposeFoldsOnceEachWay) {
  transpose.store(12);
  deliver_at(1000.0, msg(0x80, 120, 0));
  EXPECT_EQ(120, register_key());  // 132 - 12
  transpose.store(-12);
  deliver_at(1001.0, msg(0x80, 5, 0));
  EXPECT_EQ(5, register_key());  // -7 + 12
  transpose.store(0);
  deliver_at(1002.0, msg(0x80, 0, 0));
  EXPECT_EQ(12, register_key());
  transpose.store(3);
  deliver_at(1003.0, msg(0x90, 60, 90));
  EXPECT_EQ(1, voices_of(63, 0));
}

TEST_F(MidiInput, VelocityZeroIsANoteOff) {
  deliver_at(1000.0, msg(0x91, 60, 100));
  EXPECT_EQ(1, voices_of(60, 1));
  deliver_at(1000.1, msg(0x91, 60, 0));
  EXPECT_EQ(1, queued_note_offs());
  fake_now.store(1000.1 + 0.0801);
  serve_note_off_queue();
  EXPECT_EQ(0, voices_of(60, 1));
  EXPECT_EQ(0, voice_count.load());
}

TEST_F(MidiInput, SustainHoldsOnlyAt127) {
  deliver_at(1000.0, msg(0xB0, 64, 127));
  EXPECT_EQ(1, pedal_down.load());
  deliver_at(1000.01, msg(0x90, 60, 100));
  deliver_at(1000.02, msg(0x80, 60, 0));
  fake_now.store(1000.2);
  serve_note_off_queue();
  EXPECT_EQ(1, voices_of(60, 0));  // held by the pedal
  deliver_at(1000.3, msg(0xB0, 64, 100));  // 100 counts as pedal up
  EXPECT_EQ(0, pedal_down.load());
  EXPECT_EQ(0, voices_of(60, 0));
}

TEST_F(MidiInput, ControllersActOnlyWhereMeant) {
  deliver_at(1000.0, msg(0x90, 60, 100));
  deliver_at(1000.01, msg(0xB0, 123, 5));   // all notes off with a value: nothing
  deliver_at(1000.02, msg(0xB0, 120, 0));   // all sound off: nothing
  deliver_at(1000.03, msg(0xB9, 123, 0));   // drum channel: nothing
  EXPECT_EQ(1, voices_of(60, 0));
  deliver_at(1000.04, msg(0xB1, 123, 0));   // another channel: nothing
  EXPECT_EQ(1, voices_of(60, 0));
  deliver_at(1000.05, msg(0xB0, 123, 0));
  EXPECT_EQ(0, voices_of(60, 0));

  for (int ch = 0; ch < 15; ch++) {
    deliver_at(1001.0 + ch, msg(0xB0 | ch, 14, 1));
    deliver_at(1001.5 + ch, msg(0xB0 | ch, 15, 1));
  }
  EXPECT_EQ("", take_pending_key());
  deliver_at(1020.0, msg(0xBF, 14, 0));
  EXPECT_EQ("i", take_pending_key());
  deliver_at(1021.0, msg(0xBF, 15, 99));
  EXPECT_EQ("o", take_pending_key());
}

TEST_F(MidiInput, ChannelVolumeSetsTheDivisors) {
  for (int ch = 0; ch < 16; ch++) deliver_at(1000.0 + ch, msg(0xB0 | ch, 7, 5));
  EXPECT_EQ(0, channel_volume[9].load());  // the drum channel never counts
  EXPECT_EQ(5, channel_volume[0].load());
  EXPECT_FLOAT_EQ(12.0f, voice_divisor.load());  // max(10, 5) x 1.2
  EXPECT_FLOAT_EQ(12.0f, voice_divisor_ref.load());
  EXPECT_FLOAT_EQ(10.0f * 1.7f / 127.0f, target_level.load());
  deliver_at(1100.0, msg(0xB9, 7, 127));
  EXPECT_EQ(0, channel_volume[9].load());
  EXPECT_FLOAT_EQ(12.0f, voice_divisor.load());
  deliver_at(1101.0, msg(0xB3, 7, 100));
  EXPECT_FLOAT_EQ(120.0f, voice_divisor.load());
}

TEST_F(MidiInput, DrumChannelNeverSounds) {
  deliver_at(1000.0, msg(0x99, 60, 127));
  EXPECT_EQ(0, voice_count.load());
  EXPECT_EQ(0, voices_of(60, 9));
}

TEST_F(MidiInput, MalformedMessagesAreIgnored) {
  deliver_at(1000.0, msg(0x3C, 100, 0));         // a data byte in the status place
  deliver_at(1000.1, msg(0x90, 0xBC, 100));      // status byte as key
  deliver_at(1000.2, msg(0x90, 60, 0xFF));       // status byte as velocity
  deliver_at(1000.3, msg(0xF8));                 // clock
  deliver_at(1000.4, msg(0xE0, 0, 64));          // pitch bend
  deliver_at(1000.5, msg(0xA0, 60, 10));         // poly pressure
  midi_input_handler(1, 0x3C4, 0, msg(0x90, 60, 100), 0);  // not a short message
  EXPECT_EQ(0, voice_count.load());
  EXPECT_EQ(0, queued_note_offs());
}

// A take queues only what its file keeps: a keyboard's active sensing and
// clock fill neither its queue nor its count of dropped messages.
TEST_F(MidiInput, TakeQueuesOnlyWhatTheTakeKeeps) {
  TakeEvent out[4];
  while (take_queue_drain(0, out, 4) > 0) {}
  take_dropped.store(0);
  take_recording.store(1);
  for (uint32_t i = 0; i < 2 * kTakeQueueSize; i++) deliver_at(2000.0 + i * 0.3, msg(i % 2 ? 0xFE : 0xF8));
  deliver_at(20000.0, msg(0x90, 60, 100));
  take_recording.store(0);
  ASSERT_EQ(take_queue_drain(0, out, 4), 1);
  EXPECT_EQ(out[0].message, msg(0x90, 60, 100));
  EXPECT_EQ(take_dropped.load(), 0u);
}

// ---- rate gate and guard ----

TEST_F(MidiInput, RateGateLetsABurstThroughThenEveryOther) {
  // Count passing messages by the note-offs they queue.
  int passed[60];
  int before = 0;
  for (int i = 0; i < 60; i++) {
    deliver_at(2000.0 + i * 0.00001, msg(0x80, 60, 0));
    int now_queued = queued_note_offs();
    passed[i] = now_queued > before;
    before = now_queued;
  }
  for (int i = 0; i < 50; i++) EXPECT_EQ(1, passed[i]) << i;
  int first_drop = 50;
  while (first_drop < 60 && passed[first_drop]) first_drop++;
  ASSERT_LT(first_drop, 55);
  for (int i = first_drop; i < 60; i++) EXPECT_EQ((i - first_drop) % 2, passed[i]) << i;
}

// A JACK process thread never waits: with the voices held by the main
// thread, its messages wait in order and are played at its cycle's end,
// and a note-off and a note-on of one key in the same clock tick leave the
// new note sounding.
TEST_F(MidiInput, JackThreadNeverWaitsAndKeepsTheOrderOfATick) {
  midi_loop_add_input("keys");
  midi_in_port = 1;
  open_midi_inputs();
  ASSERT_NE(0, midi_in_handle[0].load());
  std::unique_lock<std::mutex> main_thread(voice_mutex);
  fake_now.store(1000.0);
  const MidiFrameTime time{48000, 256, 48000};
  auto cycle = std::async(std::launch::async, [&] {
    for (uint32_t m : {msg(0x90, 60, 100), msg(0x80, 60, 0), msg(0x90, 60, 40)}) {
      uint8_t bytes[3] = {(uint8_t)m, (uint8_t)(m >> 8), (uint8_t)(m >> 16)};
      midi_io_receive(0, bytes, 3, &time);
    }
  });
  bool returned = cycle.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  main_thread.unlock();
  ASSERT_TRUE(returned) << "the process thread waited for the voices";
  EXPECT_EQ(0, note_count[60][0]);  // nothing played while the voices were held
  midi_io_receive(0, nullptr, 0, &time);  // the cycle's end
  EXPECT_EQ(1, voices_of(60, 0));
  fake_now.store(1001.0);
  serve_note_off_queue();
  EXPECT_EQ(0, queued_note_offs());
  EXPECT_EQ(1, voices_of(60, 0));
  EXPECT_EQ(0.0, auxvar.load());
}

// ---- thru and loops ----

class MidiThru : public MidiInput {
 protected:
  void SetUp() override {
    MidiInput::SetUp();
    midi_loop_add_output("sound module");
    thru_port.store(1);
    fake_now.store(100.0);
    open_thru_port();
    ASSERT_NE(0, thru_handle.load());
    sent_before = midi_loop_sent_count(0);
  }
  int sent_before = 0;
};

TEST_F(MidiThru, ForwardsEveryShortMessageUnchanged) {
  transpose.store(5);
  const uint32_t messages[] = {msg(0x90, 60, 100), msg(0xF8), msg(0xE3, 1, 64), msg(0xB9, 7, 3)};
  double t = 200.0;
  for (uint32_t m : messages) deliver_at(t += 1.0, m);
  ASSERT_EQ(sent_before + 4, midi_loop_sent_count(0));
  for (int i = 0; i < 4; i++) EXPECT_EQ(messages[i], midi_loop_sent(0, sent_before + i));
}

TEST_F(MidiThru, NoThruPortSendsNothing) {
  close_midi_ports();
  thru_port.store(0);
  thru_port_name.clear();
  open_thru_port();
  int sent = midi_loop_sent_count(0);
  deliver_at(100.5, msg(0x90, 60, 100));
  deliver_at(100.6, msg(0xC0, 127));  // within 4 s of the earlier probe
  EXPECT_EQ(sent, midi_loop_sent_count(0));
  EXPECT_EQ("", take_pending_message());
}

TEST_F(MidiThru, ClockStartingNearZeroLetsTheFirstBurstThrough) {
  // The program clock counts from the program's start: a chord played at
  // once must neither meet a shut gate nor a spent thru budget.
  reset_midi_timing();
  for (int i = 0; i < 40; i++) deliver_at(0.001, msg(0x90, 40 + i, 100));
  EXPECT_EQ(sent_before + 40, midi_loop_sent_count(0));
  EXPECT_NE(0, thru_handle.load());
  EXPECT_EQ("", take_pending_message());
  deliver_at(0.002, msg(0xC0, 127));  // never probed at this time: music
  EXPECT_NE(0, thru_handle.load());
}

TEST_F(MidiThru, ProbeReturningWithinFourSecondsClosesThePort) {
  deliver_at(103.9, msg(0xC5, 127));
  EXPECT_TRUE(thru_closed_by_loop());
  serve_midi_on_main_thread();  // the main thread closes it
  EXPECT_EQ(0, thru_handle.load());
  EXPECT_EQ(0, midi_loop_output_open(0));
  EXPECT_EQ("warning midiout loop detected\rsound module closed", take_pending_message());
  EXPECT_DOUBLE_EQ(108.9, thru_credit_time);
}

TEST_F(MidiThru, ProgramChange127AfterFourSecondsIsMusic) {
  deliver_at(104.1, msg(0xC0, 127));
  deliver_at(104.2, msg(0xC0, 126));
  EXPECT_NE(0, thru_handle.load());
  EXPECT_EQ("", take_pending_message());
  EXPECT_EQ(sent_before + 2, midi_loop_sent_count(0));
}

TEST_F(MidiThru, SustainedFastEchoTripsTheThruCredit) {
  // 4000 messages a second: the rate gate passes every other one, 2000 a
  // second reach the thru, four times its budget.
  int i = 0;
  double t = 200.0;
  while (!thru_closed_by_loop() && i < 20000) deliver_at(t += 0.00025, msg(0xB0, 1, i++ & 0x7F));
  serve_midi_on_main_thread();
  EXPECT_EQ(0, thru_handle.load());
  EXPECT_EQ("midiout loop suspected\rsound module closed", take_pending_message());
  int forwarded = midi_loop_sent_count(0) - sent_before;
  EXPECT_GT(forwarded, 450);
  EXPECT_LT(forwarded, 1100);
}

TEST_F(MidiThru, ReopenedWithinFiveSecondsOfALoopClosesAgain) {
  deliver_at(101.0, msg(0xC0, 127));
  serve_midi_on_main_thread();
  ASSERT_EQ(0, thru_handle.load());
  take_pending_message();
  close_midi_ports();
  fake_now.store(110.0);  // the port is opened again, its probe with it
  open_thru_port();
  ASSERT_NE(0, thru_handle.load());
  // thru_credit_time lies at 106: at 105 the first forward finds no credit.
  deliver_at(105.0, msg(0x90, 60, 100));
  serve_midi_on_main_thread();
  EXPECT_EQ(0, thru_handle.load());
  EXPECT_EQ("midiout loop suspected\rsound module closed", take_pending_message());
}

TEST(MidiLoop, WiredOutputBackToInputIsDetectedByTheProbe) {
  ASSERT_EQ(1, midi_io_select_backend(MIDI_BACKEND_LOOPBACK));
  midi_loop_reset();
  reset_midi_state();
  program_clock = steady_seconds;
  int in = midi_loop_add_input("loop in");
  int out = midi_loop_add_output("loop out");
  midi_loop_wire(out, in);
  midi_in_port = 1;
  thru_port.store(1);
  open_midi_inputs();
  open_thru_port();
  ASSERT_EQ(1, midi_loop_flush(5.0));
  serve_midi_on_main_thread();
  EXPECT_EQ(0, thru_handle.load());
  EXPECT_EQ("warning midiout loop detected\rloop out closed", take_pending_message());
  close_midi_ports();
  midi_loop_reset();
}

}  // namespace
