// SPDX-License-Identifier: GPL-3.0-or-later
// MIDI ports that come and go while the program runs, on the loopback back
// end: a port that goes closes with its held keys and pedal released, comes
// back by its name (at whatever number), the thru port gets its probe again
// unless a loop closed it, and an input that appears when there was none
// opens without a notice.
#include <gtest/gtest.h>

#include "midi/port_watch.h"
#include "midi_test_support.h"

using namespace midi_test;

namespace {

class PortWatch : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(1, midi_io_select_backend(MIDI_BACKEND_LOOPBACK));
    midi_loop_reset();
    reset_midi_state();
    reset_midi_port_watch();
    midi_in2_port = midi_in3_port = 0;
  }
  void TearDown() override {
    close_midi_ports();
    midi_loop_reset();
    program_clock = fake_clock;
  }
  // The main loop's passes over `after` seconds, 10 ms apart: their lines.
  std::vector<std::string> look(double after = 1.0) {
    std::vector<std::string> lines;
    for (double end = fake_now.load() + after; fake_now.load() < end - 1e-9;) {
      fake_now.store(std::min(end, fake_now.load() + 0.01));
      for (const std::string& line : watch_midi_ports(fake_now.load())) lines.push_back(line);
    }
    return lines;
  }
  // Plays on loopback input `device` and waits until the handler has it.
  void play(int device, std::initializer_list<uint32_t> messages) {
    for (uint32_t m : messages) midi_loop_send_short(device, m);
    ASSERT_EQ(1, midi_loop_flush(5.0));
  }
};

}  // namespace

TEST_F(PortWatch, InputThatGoesReleasesWhatItHoldsAndComesBackByItsName) {
  midi_loop_add_input("other");
  int keys = midi_loop_add_input("keys");
  midi_in_port = 2;
  open_midi_inputs();
  ASSERT_EQ("keys", midi_in_port_name[0]);
  play(keys, {msg(0x90, 60, 100), msg(0xB0, 64, 127), msg(0x90, 62, 90), msg(0x80, 62, 0)});
  ASSERT_EQ(1, voices_of(60, 0));
  ASSERT_EQ(1, pedal_down.load());
  EXPECT_TRUE(look().empty());

  midi_loop_unplug(keys);
  EXPECT_EQ(std::vector<std::string>{"MIDI input 1 lost: keys"}, look(0.02));
  EXPECT_EQ(0, midi_in_handle[0].load());
  EXPECT_EQ("MIDI input 1 lost: keys", midi_ports_status_line());
  // The held key comes up through the note-off delay; the pedal is up.
  EXPECT_EQ(0, pedal_down.load());
  EXPECT_EQ(1, voices_of(60, 0));
  fake_now.store(fake_now.load() + note_off_delay.load() + 0.001);
  serve_note_off_queue();
  EXPECT_EQ(0, voices_of(60, 0));
  EXPECT_EQ(0, voices_of(62, 0));
  EXPECT_TRUE(look().empty());  // gone for good: nothing more happens

  // It comes back as a new device: the name finds it, the number follows.
  int back = midi_loop_add_input("keys");
  EXPECT_EQ(std::vector<std::string>{"MIDI input 1 found: keys"}, look(0.2));
  EXPECT_EQ(back + 1, midi_in_port);
  EXPECT_EQ("", midi_ports_status_line());
  play(back, {msg(0x90, 64, 100)});
  EXPECT_EQ(1, voices_of(64, 0));
  EXPECT_TRUE(look().empty());
  EXPECT_TRUE(dialog_history().empty());
}

TEST_F(PortWatch, NamedPortAbsentAtOpenTakesOverWhenItAppears) {
  midi_loop_add_input("through");
  midi_in_port = 1;
  midi_in_port_name[0] = "keys";
  open_midi_inputs();
  EXPECT_EQ("through", open_input_name(0));  // the number, while the name is absent
  midi_loop_add_input("keys");
  EXPECT_EQ(std::vector<std::string>{"MIDI input 1 found: keys"}, look());
  EXPECT_EQ(2, midi_in_port);
  // A second input never takes the port the first has open.
  midi_in_port_name[1] = "keys";
  EXPECT_TRUE(look().empty());
  EXPECT_EQ(0, midi_in_handle[1].load());
}

TEST_F(PortWatch, NoInputAtOpenOpensTheFirstThatAppearsWithoutANotice) {
  midi_in_port = 1;
  open_midi_inputs();
  ASSERT_EQ(1u, dialog_history().size());  // "error: sorry no MIDI input on this system!"
  midi_loop_add_input("late keys");
  EXPECT_EQ(std::vector<std::string>{"MIDI input 1 found: late keys"}, look());
  EXPECT_NE(0, midi_in_handle[0].load());
  EXPECT_EQ("late keys", midi_in_port_name[0]);
  EXPECT_EQ(1u, dialog_history().size());
}

// The keyboard remembered for input 2 is the first to appear: it opens there
// only, and a note on it sounds once.
TEST_F(PortWatch, NoInputAtOpenAndTheFirstToAppearNamedForInputTwoOpensOnce) {
  midi_in_port = 1;
  midi_in2_port = 1;
  midi_in_port_name[1] = "keys";
  open_midi_inputs();
  int keys = midi_loop_add_input("keys");
  EXPECT_EQ(std::vector<std::string>{"MIDI input 2 found: keys"}, look());
  EXPECT_EQ(0, midi_in_handle[0].load());
  play(keys, {msg(0x90, 60, 100)});
  EXPECT_EQ(1, voices_of(60, 0));
}

TEST_F(PortWatch, ThruPortComesBackWithItsProbeUnlessALoopClosedIt) {
  program_clock = steady_seconds;
  int module = midi_loop_add_output("sound module");
  thru_port.store(1);
  open_thru_port();
  ASSERT_NE(0, thru_handle.load());
  midi_loop_unplug_output(module);
  EXPECT_EQ(std::vector<std::string>{"MIDI thru lost: sound module"}, watch_midi_ports(program_clock()));
  EXPECT_EQ(0, thru_handle.load());
  midi_loop_replug_output(module);
  int sent = midi_loop_sent_count(module);
  EXPECT_EQ(std::vector<std::string>{"MIDI thru found: sound module"},
            watch_midi_ports(program_clock() + 1.0));
  ASSERT_EQ(sent + 2, midi_loop_sent_count(module));
  EXPECT_EQ(0x7FC9u, midi_loop_sent(module, sent));  // the loop probe, then program 0
  EXPECT_EQ(0x00C9u, midi_loop_sent(module, sent + 1));

  // The probe comes back: a loop, which the main thread closes. The watch
  // leaves that port closed.
  midi_dispatch(msg(0xC9, 127), program_clock());
  serve_midi_on_main_thread();
  ASSERT_EQ(0, thru_handle.load());
  take_pending_message();
  EXPECT_TRUE(watch_midi_ports(program_clock() + 2.0).empty());
  EXPECT_EQ(0, thru_handle.load());
}

TEST(PortNames, SequencerNumbersDoNotCount) {
  struct Case {
    const char* a;
    const char* b;
    bool same;
  } cases[] = {
      {"keys:keys", "keys:keys", true},
      {"Keystation:Keystation MIDI 1 20:0", "Keystation:Keystation MIDI 1 24:0", true},
      {"Keystation:Keystation MIDI 1 20:0", "Keystation:Keystation MIDI 1", true},
      {"keys:in", "keys:out", false},
      {"a 1:2", "b 1:2", false},
      {"", "", false},
  };
  for (const Case& c : cases) EXPECT_EQ(c.same, midi_port_names_match(c.a, c.b)) << c.a << " / " << c.b;
}
