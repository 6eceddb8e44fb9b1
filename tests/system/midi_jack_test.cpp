// SPDX-License-Identifier: GPL-3.0-or-later
// The real MIDI back end against a running JACK server (jackd -d dummy):
// a virtual output in one client reaches our input message by message, an
// output delivers what is sent the moment it opens, and the thru port passes
// everything on to a second client unchanged; a thru port wired back to our
// input is closed by the main thread without stalling the input's thread.
// A run in which the server
// reports a late client may lose messages for reasons of the machine's
// load: such a run is played again (see tests/support/jack_log.h).
#include <gtest/gtest.h>
#include <jack/jack.h>
#include <jack/midiport.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "../midi_test_support.h"
#include "core/clock.h"
#include "platform/midi_rtmidi.h"
#include "tests/support/jack_log.h"

using namespace midi_test;

namespace {

std::mutex got_mutex;
std::vector<uint32_t> got_input;
std::vector<uint32_t> got_sink;

void record_input(int, uint32_t kind, uintptr_t, uintptr_t param1, uintptr_t) {
  std::lock_guard<std::mutex> lock(got_mutex);
  if (kind == kMidiShortMessage) got_input.push_back((uint32_t)param1);
}

void record_sink(int, uint32_t kind, uintptr_t, uintptr_t param1, uintptr_t) {
  std::lock_guard<std::mutex> lock(got_mutex);
  if (kind == kMidiShortMessage) got_sink.push_back((uint32_t)param1);
}

size_t count_of(const std::vector<uint32_t>& list) {
  std::lock_guard<std::mutex> lock(got_mutex);
  return list.size();
}

// Device number whose name contains `text`, or -1.
int find_device(bool input, const std::string& text) {
  int n = input ? midi_in_count() : midi_out_count();
  for (int d = 0; d < n; d++) {
    std::string name;
    if ((input ? midi_in_name(d, &name) : midi_out_name(d, &name)) && name.find(text) != std::string::npos)
      return d;
  }
  return -1;
}

std::vector<uint32_t> copy_of(const std::vector<uint32_t>& list) {
  std::lock_guard<std::mutex> lock(got_mutex);
  return list;
}

void clear(std::vector<uint32_t>* list) {
  std::lock_guard<std::mutex> lock(got_mutex);
  list->clear();
}

bool wait_for(const std::vector<uint32_t>& list, size_t count, double seconds) {
  auto start = std::chrono::steady_clock::now();
  while (count_of(list) < count) {
    if (std::chrono::steady_clock::now() - start > std::chrono::duration<double>(seconds)) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// A phrase with every kind of short message the thru must carry.
std::vector<uint32_t> phrase() {
  std::vector<uint32_t> list;
  for (int i = 0; i < 60; i++) {
    int key = 40 + i % 40;
    list.push_back(msg(0x90 | (i % 3), key, 1 + (i * 7) % 127));
    list.push_back(msg(0x80 | (i % 3), key, 0));
  }
  list.push_back(msg(0xB0, 64, 127));
  list.push_back(msg(0xB0, 64, 0));
  list.push_back(msg(0xB2, 7, 90));
  list.push_back(msg(0xE1, 0, 64));
  list.push_back(msg(0xC3, 5));
  list.push_back(msg(0xD0, 40));
  return list;
}

class MidiJack : public ::testing::Test {
 protected:
  void SetUp() override {
    midi_install_system_ports();
    ASSERT_EQ(1, midi_io_select_backend(MIDI_BACKEND_SYSTEM));
    reset_midi_state();
    program_clock = steady_seconds;
    std::lock_guard<std::mutex> lock(got_mutex);
    got_input.clear();
    got_sink.clear();
  }
  void TearDown() override {
    close_midi_ports();
    if (keyboard) midi_out_close(keyboard);
    if (sink) midi_in_close(sink);
    if (raw) midi_in_close(raw);
  }
  // Sends the phrase 3 ms apart: slower than the rate gate's 2 ms.
  void play(const std::vector<uint32_t>& list) {
    for (uint32_t m : list) {
      ASSERT_EQ(1, midi_out_short_msg(keyboard, m));
      std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
  }
  // Runs `attempt` until it succeeds or a run goes wrong on a server that
  // reported no late client; true when a run can be judged, false when every
  // one was disturbed.
  static constexpr int kAttempts = 4;
  // A run that went wrong while only clients of ours were late is judged:
  // that is a fault of ours, not of the machine.
  bool undisturbed_run(const std::function<bool()>& attempt) {
    std::string log = jacklog::services_log();
    for (int i = 0; i < kAttempts; i++) {
      int late = jacklog::late_clients(log), from = jacklog::lines_of(log);
      if (attempt()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the server's report is written
      if (jacklog::late_clients(log) == late || jacklog::only_ours_late(log, from)) return true;
    }
    return false;
  }
  int keyboard = 0, sink = 0, raw = 0;
};

TEST_F(MidiJack, VirtualKeyboardReachesOurInputMessageByMessage) {
  ASSERT_EQ(1, midi_out_open_virtual(&keyboard, "qd_test_keyboard", "phrase"));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  int device = find_device(true, "qd_test_keyboard:phrase");
  ASSERT_GE(device, 0) << "no JACK server, or the port did not appear; api=" << midi_io_system_api();
  EXPECT_EQ("jack", midi_io_system_api());
  ASSERT_EQ(1, midi_in_open(&raw, device, record_input, 0));
  ASSERT_EQ(1, midi_in_start(raw));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));

  std::vector<uint32_t> list = phrase();
  list.push_back(msg(0x90, 61, 61));
  bool judged = undisturbed_run([&] {
    clear(&got_input);
    play(std::vector<uint32_t>(list.begin(), list.end() - 1));
    // System exclusive on the way is not delivered; the next message is.
    const uint8_t sysex[] = {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
    midi_out_send_bytes(keyboard, sysex, sizeof sysex);
    midi_out_short_msg(keyboard, list.back());
    wait_for(got_input, list.size(), 5.0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return copy_of(got_input) == list;
  });
  if (!judged) GTEST_SKIP() << "the JACK server reported a late client in each of " << kAttempts << " runs";
  EXPECT_EQ(list, copy_of(got_input)) << count_of(got_input) << " of " << list.size() << " arrived";
}

// The moment an output to a device is open, the server's graph connects it:
// a message sent at once arrives (the thru port's first message is the loop
// probe, which must not be lost).
TEST_F(MidiJack, AnOutputDeliversWhatIsSentTheMomentItOpens) {
  ASSERT_EQ(1, midi_in_open_virtual(&sink, "qd_test_sink3", "in", record_sink, 0));
  ASSERT_EQ(1, midi_in_start(sink));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  int device = find_device(false, "qd_test_sink3:in");
  ASSERT_GE(device, 0);
  jack_client_t* watch = jack_client_open("qd_test_watch", JackNoStartServer, nullptr);
  ASSERT_NE(watch, nullptr);
  jack_port_t* sink_port = jack_port_by_name(watch, "qd_test_sink3:in");
  ASSERT_NE(sink_port, nullptr);
  for (int i = 0; i < 10; i++) {
    SCOPED_TRACE("open " + std::to_string(i));
    bool connected = false;
    bool judged = undisturbed_run([&] {
      clear(&got_sink);
      int out = 0;
      if (!midi_out_open(&out, device)) return false;
      midi_out_short_msg(out, 0x7FC9);
      const char** connections = jack_port_get_all_connections(watch, sink_port);
      connected = connections != nullptr;
      if (connections) jack_free(connections);
      wait_for(got_sink, 1, 1.0);
      midi_out_close(out);
      return connected && copy_of(got_sink) == std::vector<uint32_t>{0x7FC9};
    });
    if (!judged) {
      jack_client_close(watch);
      GTEST_SKIP() << "the JACK server reported a late client in each of " << kAttempts << " runs";
    }
    EXPECT_TRUE(connected) << "the output counted as open before the graph connected it";
    EXPECT_EQ(copy_of(got_sink), std::vector<uint32_t>{0x7FC9});
  }
  jack_client_close(watch);
}

TEST_F(MidiJack, ThruPassesEverythingToASecondClientUnchanged) {
  ASSERT_EQ(1, midi_out_open_virtual(&keyboard, "qd_test_keyboard2", "phrase"));
  ASSERT_EQ(1, midi_in_open_virtual(&sink, "qd_test_sink", "in", record_sink, 0));
  ASSERT_EQ(1, midi_in_start(sink));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  int in_device = find_device(true, "qd_test_keyboard2:phrase");
  int out_device = find_device(false, "qd_test_sink:in");
  ASSERT_GE(in_device, 0);
  ASSERT_GE(out_device, 0);

  // The ports open with the loop probe on the thru port (which does not come
  // back), then the phrase: each run opens them afresh.
  std::vector<uint32_t> list = phrase();
  std::vector<uint32_t> probe, thru;
  bool judged = undisturbed_run([&] {
    close_midi_ports();
    reset_midi_timing();
    clear(&got_sink);
    midi_in_port = in_device + 1;
    midi_in2_port = 0;
    midi_in3_port = 0;
    thru_port.store(out_device + 1);
    transpose.store(2);
    open_midi_inputs();
    open_thru_port();
    if (midi_in_handle[0].load() == 0 || thru_handle.load() == 0) return false;
    wait_for(got_sink, 2, 2.0);
    probe = copy_of(got_sink);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    clear(&got_sink);
    play(list);
    wait_for(got_sink, list.size(), 5.0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    thru = copy_of(got_sink);
    return probe == std::vector<uint32_t>{0x7FC9, 0x00C9} && thru == list;
  });
  if (!judged) GTEST_SKIP() << "the JACK server reported a late client in each of " << kAttempts << " runs";
  ASSERT_NE(0, midi_in_handle[0].load());
  ASSERT_NE(0, thru_handle.load());
  EXPECT_EQ(probe, (std::vector<uint32_t>{0x7FC9, 0x00C9})) << "the loop probe did not go out whole";
  EXPECT_EQ(list, thru) << thru.size() << " of " << list.size();  // untransposed, in order, nothing lost
  EXPECT_NE(0, thru_handle.load());
  EXPECT_EQ("", take_pending_message());
  EXPECT_EQ(0.0, auxvar.load());
}

// A device that echoes what it gets (a keyboard's soft-thru, a patchbay):
// one JACK client copying its input port to its output port every cycle.
struct Echo {
  jack_client_t* client = nullptr;
  jack_port_t *in = nullptr, *out = nullptr;
  static int process(jack_nframes_t frames, void* arg) {
    Echo* e = static_cast<Echo*>(arg);
    void* from = jack_port_get_buffer(e->in, frames);
    void* to = jack_port_get_buffer(e->out, frames);
    jack_midi_clear_buffer(to);
    for (uint32_t i = 0, n = jack_midi_get_event_count(from); i < n; i++) {
      jack_midi_event_t event;
      if (jack_midi_event_get(&event, from, i) == 0) jack_midi_event_write(to, event.time, event.buffer, event.size);
    }
    return 0;
  }
  bool open() {
    client = jack_client_open("qd_test_echo", JackNoStartServer, nullptr);
    if (!client) return false;
    in = jack_port_register(client, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    out = jack_port_register(client, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    return in && out && jack_set_process_callback(client, process, this) == 0 && jack_activate(client) == 0;
  }
  ~Echo() {
    if (client) jack_client_close(client);
  }
};

// The loop probe comes back through the echo while a keyboard plays into
// it: the input's thread only marks the loop, the main thread closes the
// thru port and says so, and every note played meanwhile reaches the
// voices. A late client of ours fails the test; only another's skips it.
TEST_F(MidiJack, ThruWiredBackIsClosedByTheMainThreadWithNothingLost) {
  Echo echo;
  ASSERT_TRUE(echo.open()) << "no JACK server";
  ASSERT_EQ(1, midi_out_open_virtual(&keyboard, "qd_test_keyboard4", "phrase"));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ASSERT_EQ(0, jack_connect(echo.client, "qd_test_keyboard4:phrase", "qd_test_echo:in"));
  int in_device = find_device(true, "qd_test_echo:out");
  int out_device = find_device(false, "qd_test_echo:in");
  ASSERT_GE(in_device, 0);
  ASSERT_GE(out_device, 0);
  const std::string log = jacklog::services_log();

  midi_in_port = in_device + 1;
  midi_in2_port = midi_in3_port = 0;
  thru_port.store(out_device + 1);
  transpose.store(0);
  open_midi_inputs();
  ASSERT_NE(0, midi_in_handle[0].load());
  // A client that starts is often late once; the input's client is watched
  // from here on (the thru port's client starts within the watch).
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const int log_from = jacklog::lines_of(log);
  take_key_marks(nullptr, nullptr, nullptr, nullptr);
  // 40 keys, 4 ms apart, from before the probe goes out until after it came
  // back; the thru port opens (and sends its probe) meanwhile.
  std::thread keys([this] {
    for (int key = 40; key < 80; key++) {
      midi_out_short_msg(keyboard, msg(0x90, key, 90));
      std::this_thread::sleep_for(std::chrono::milliseconds(4));
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  open_thru_port();
  keys.join();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_TRUE(thru_closed_by_loop());
  serve_midi_on_main_thread();
  EXPECT_EQ(0, thru_handle.load());
  EXPECT_EQ("warning midiout loop detected\rqd_test_echo:in closed", take_pending_message());

  // Keys that went down; a note that went out on the thru port before the
  // probe came back comes back too, and counts once.
  int down[128], marks = 0, down_count = 0;
  take_key_marks(down, &marks, nullptr, nullptr);
  std::vector<bool> seen(128, false);
  for (int i = 0; i < marks; i++) seen[down[i] & 127] = true;
  for (int key = 40; key < 80; key++) down_count += seen[key];
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the server's report is written
  EXPECT_FALSE(jacklog::only_ours_late(log, log_from, "quillon_darvo in"))
      << "only our input's client was late";
  if (down_count != 40 && jacklog::late_clients_named(log, "", log_from) > 0)
    GTEST_SKIP() << "JACK clients were late; " << down_count << " of 40 notes arrived";
  EXPECT_EQ(40, down_count) << "notes were lost while the loop was handled";
  EXPECT_EQ(0.0, auxvar.load());
}

}  // namespace
