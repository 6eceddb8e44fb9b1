// SPDX-License-Identifier: GPL-3.0-or-later
// MIDI port layer: the byte stream parser (running status, real time inside
// messages, system exclusive, truncated and stray bytes), the loopback back
// end's ports, wire and unplugging, and what a short message send refuses.
#include <gtest/gtest.h>

#include <mutex>
#include <random>
#include <vector>

#include "platform/midi_io.h"
#include "platform/midi_loopback.h"

namespace {

std::vector<uint32_t> parse(const std::vector<uint8_t>& bytes, MidiParser* parser = nullptr) {
  MidiParser local;
  if (!parser) {
    midi_parser_reset(&local);
    parser = &local;
  }
  std::vector<uint32_t> out;
  midi_parser_feed(parser, bytes.data(), bytes.size(),
                   [](uint32_t packed, void* user) { static_cast<std::vector<uint32_t>*>(user)->push_back(packed); },
                   &out);
  return out;
}

TEST(MidiParser, PacksStatusFirst) {
  EXPECT_EQ(std::vector<uint32_t>({0x643C90u}), parse({0x90, 0x3C, 0x64}));
  EXPECT_EQ(std::vector<uint32_t>({0x05C3u}), parse({0xC3, 0x05}));
  EXPECT_EQ(std::vector<uint32_t>({0xF8u, 0xFEu}), parse({0xF8, 0xFE}));
  EXPECT_EQ(std::vector<uint32_t>({0x0102F2u}), parse({0xF2, 0x02, 0x01}));
}

TEST(MidiParser, RunningStatusContinuesChannelMessages) {
  EXPECT_EQ(std::vector<uint32_t>({0x643C90u, 0x004090u, 0x204391u}),
            parse({0x90, 0x3C, 0x64, 0x40, 0x00, 0x91, 0x43, 0x20}));
  // A system common message cancels running status; the data after it is stray.
  EXPECT_EQ(std::vector<uint32_t>({0x643C90u, 0x00F6u}), parse({0x90, 0x3C, 0x64, 0xF6, 0x40, 0x00}));
}

TEST(MidiParser, RealTimeBytesInsideAMessageDoNotBreakIt) {
  EXPECT_EQ(std::vector<uint32_t>({0xF8u, 0x643C90u}), parse({0x90, 0xF8, 0x3C, 0x64}));
}

TEST(MidiParser, SystemExclusiveIsSkipped) {
  EXPECT_EQ(std::vector<uint32_t>({0x007F80u}),
            parse({0xF0, 0x7E, 0x00, 0x09, 0x01, 0xF7, 0x80, 0x7F, 0x00}));
  // An unterminated one ends at the next status byte.
  EXPECT_EQ(std::vector<uint32_t>({0x0AB0u | (0x01u << 16)}), parse({0xF0, 0x01, 0x02, 0xB0, 0x0A, 0x01}));
  // Running status does not survive it.
  EXPECT_TRUE(parse({0x90, 0x3C, 0x64, 0xF0, 0x01, 0xF7, 0x40, 0x00}).size() == 1);
}

TEST(MidiParser, TruncatedAndStrayBytesAreDropped) {
  EXPECT_TRUE(parse({0x3C, 0x64}).empty());  // data with no status seen
  EXPECT_TRUE(parse({0x90, 0x3C}).empty());  // cut short at the end
  EXPECT_EQ(std::vector<uint32_t>({0x0180u | (0x02u << 16)}), parse({0x90, 0x3C, 0x80, 0x01, 0x02}));
  EXPECT_TRUE(parse({0xF7, 0xF4, 0xF5}).size() == 2);  // undefined system bytes pass as one-byte messages
  EXPECT_EQ(-1, midi_data_length(0xF0));
  EXPECT_EQ(1, midi_data_length(0xD5));
}

TEST(MidiParser, RandomBytesOnlyEverGiveWellFormedMessages) {
  // Whatever a driver delivers, the handler sees a status byte followed by
  // exactly its data bytes, each below 0x80, and zeros above them.
  std::mt19937 random(7);
  MidiParser parser;
  midi_parser_reset(&parser);
  int messages = 0;
  for (int packet = 0; packet < 20000; packet++) {
    std::vector<uint8_t> bytes(1 + random() % 12);
    for (uint8_t& b : bytes) b = (uint8_t)(random() % 256);
    for (uint32_t m : parse(bytes, &parser)) {
      messages++;
      uint8_t status = m & 0xFF;
      int length = midi_data_length(status);
      ASSERT_GE(status, 0x80) << std::hex << m;
      ASSERT_GE(length, 0) << std::hex << m;
      for (int i = 1; i <= 3; i++) {
        uint8_t data = (m >> (8 * i)) & 0xFF;
        if (i <= length)
          ASSERT_LT(data, 0x80) << std::hex << m;
        else
          ASSERT_EQ(data, 0) << std::hex << m;
      }
    }
  }
  EXPECT_GT(messages, 10000);
}

class LoopbackPorts : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(1, midi_io_select_backend(MIDI_BACKEND_LOOPBACK));
    midi_loop_reset();
    received.clear();
  }
  void TearDown() override { midi_loop_reset(); }
  static void handler(int, uint32_t kind, uintptr_t instance, uintptr_t param1, uintptr_t) {
    std::lock_guard<std::mutex> lock(received_mutex);
    EXPECT_EQ(kMidiShortMessage, kind);
    EXPECT_EQ(77u, instance);
    received.push_back((uint32_t)param1);
  }
  static std::vector<uint32_t> got() {
    std::lock_guard<std::mutex> lock(received_mutex);
    return received;
  }
  static std::mutex received_mutex;
  static std::vector<uint32_t> received;
};
std::mutex LoopbackPorts::received_mutex;
std::vector<uint32_t> LoopbackPorts::received;

TEST_F(LoopbackPorts, DevicesAreCountedAndNamed) {
  EXPECT_EQ(0, midi_in_count());
  midi_loop_add_input("  keys  ");
  midi_loop_add_output("synth");
  EXPECT_EQ(1, midi_in_count());
  EXPECT_EQ(1, midi_out_count());
  std::string name;
  ASSERT_EQ(1, midi_in_name(0, &name));
  EXPECT_EQ("keys", name);
  EXPECT_EQ(0, midi_in_name(1, &name));
  EXPECT_EQ(0, midi_out_name(-1, &name));
  EXPECT_EQ(0, midi_io_select_backend(7));
}

TEST_F(LoopbackPorts, DeliversOnlyBetweenStartAndStop) {
  int in = midi_loop_add_input("keys");
  int handle = 0;
  ASSERT_EQ(1, midi_in_open(&handle, in, handler, 77));
  EXPECT_EQ(0, midi_io_select_backend(MIDI_BACKEND_SYSTEM));  // not while a port is open
  const uint8_t bytes[] = {0x90, 0x3C, 0x64, 0x3E, 0x50};
  midi_loop_send(in, bytes, sizeof bytes);  // open but not started: held back
  ASSERT_EQ(1, midi_in_start(handle));
  ASSERT_EQ(1, midi_loop_flush(5.0));
  EXPECT_EQ(std::vector<uint32_t>({0x643C90u, 0x503E90u}), got());
  ASSERT_EQ(1, midi_in_stop(handle));
  midi_loop_send_short(in, 0x007F80);
  EXPECT_EQ(1, midi_loop_flush(0.2));
  EXPECT_EQ(2u, got().size());
  ASSERT_EQ(1, midi_in_close(handle));
  EXPECT_EQ(0, midi_in_close(handle));  // closing twice is refused, harmlessly
  EXPECT_EQ(0, midi_in_start(handle));
}

TEST_F(LoopbackPorts, UnpluggedDeviceDeliversNothingAndCannotOpen) {
  int in = midi_loop_add_input("keys");
  int handle = 0;
  ASSERT_EQ(1, midi_in_open(&handle, in, handler, 77));
  ASSERT_EQ(1, midi_in_start(handle));
  midi_loop_unplug(in);
  midi_loop_send_short(in, 0x643C90);
  EXPECT_EQ(1, midi_loop_flush(1.0));
  EXPECT_TRUE(got().empty());
  EXPECT_EQ(1, midi_in_close(handle));
  int again = 0;
  EXPECT_EQ(0, midi_in_open(&again, in, handler, 77));
}

TEST_F(LoopbackPorts, WireCarriesAnOutputIntoAnInput) {
  int in = midi_loop_add_input("loop in");
  int out_device = midi_loop_add_output("loop out");
  midi_loop_wire(out_device, in);
  int in_handle = 0, out_handle = 0;
  ASSERT_EQ(1, midi_in_open(&in_handle, in, handler, 77));
  ASSERT_EQ(1, midi_in_start(in_handle));
  ASSERT_EQ(1, midi_out_open(&out_handle, out_device));
  int busy = 0;
  EXPECT_EQ(0, midi_out_open(&busy, out_device));  // one owner at a time
  EXPECT_EQ(1, midi_out_short_msg(out_handle, 0x7FC9));
  EXPECT_EQ(1, midi_out_short_msg(out_handle, 0xF8));
  EXPECT_EQ(0, midi_out_short_msg(out_handle, 0x3C));      // no status byte
  EXPECT_EQ(0, midi_out_short_msg(out_handle, 0xF0));      // system exclusive
  EXPECT_EQ(0, midi_out_short_msg(out_handle, 0x80BC90));  // status byte as data
  ASSERT_EQ(1, midi_loop_flush(5.0));
  EXPECT_EQ(std::vector<uint32_t>({0x7FC9u, 0xF8u}), got());
  EXPECT_EQ(2, midi_loop_sent_count(out_device));
  EXPECT_EQ(1, midi_out_close(out_handle));
  EXPECT_EQ(0, midi_out_short_msg(out_handle, 0x7FC9));
  EXPECT_EQ(0, midi_loop_output_open(out_device));
}

}  // namespace
