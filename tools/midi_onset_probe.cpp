// SPDX-License-Identifier: GPL-3.0-or-later
// Times a synthesizer on a JACK server: a client of the same server sends
// note-ons at offsets spread over the period, a second one finds each note's
// onset in the synthesizer's audio (two clients: one client that both sent
// and listened would close a loop in the graph, and the server would then
// delay one of its edges by a period), and prints, in frames of the server's clock from the
// sent event to the onset, one line per note and then the median, the
// minimum, the maximum and the jitter (maximum - minimum), and the late
// cycles the server reported while the notes were played (a run with any is
// disturbed by the machine, not by the synthesizer); then the same figures
// for the releases, from each sent note-off to the last frame heard of its
// note (the synthesizer's own release time is part of them).
//
//   midi_onset_probe --audio PORT [--midi PORT] [--notes N] [--key K]
//                    [--velocity V] [--hold S] [--level L] [--wait S]
//
// --audio: the synthesizer's audio port listened to. --midi: its MIDI input,
// which the probe connects to; without it the probe waits until the
// synthesizer connects itself to the probe's port "midi_onset_probe:keys".
// The onset is the first frame above --level (full scale 1, default 0.001)
// after the note-on; each note is released --hold seconds (default 0.03)
// after it, and the next one is sent once the audio has stayed below the
// level for 50 ms. --wait: the longest wait for the ports (default 60 s).
// Status 0 when every note was heard, 1 otherwise, 2 for a usage error.
#include <getopt.h>
#include <jack/jack.h>
#include <jack/midiport.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr double kQuietSeconds = 0.05;  // silence before each note
constexpr double kNoteTimeout = 2.0;    // the longest wait for an onset

// What the process thread does next; the main thread moves it from kIdle to
// kSend, the process thread on from there.
enum Phase { kIdle, kSend, kListen, kHeard };

struct Probe {
  jack_client_t* client = nullptr;  // the source: "midi_onset_probe:keys"
  jack_client_t* sink = nullptr;    // the listener: "midi_onset_probe_sink:in"
  jack_port_t* keys = nullptr;
  jack_port_t* in = nullptr;
  int key = 60, velocity = 100;
  float level = 0.001f;
  uint32_t hold_frames = 0;
  std::atomic<int> phase{kIdle};
  std::atomic<uint32_t> offset{0};   // where in the period the next note-on goes
  std::atomic<uint32_t> sent{0};     // frame of the note-on sent
  std::atomic<uint32_t> onset{0};    // frame of its onset
  std::atomic<uint32_t> released{0};  // frame of the note-off sent
  std::atomic<uint32_t> last_loud{0};  // the last frame above the level
  std::atomic<bool> release_due{false};
  std::atomic<uint32_t> quiet_frames{0};  // frames below the level, up to now
  std::atomic<uint32_t> cycles{0};
  std::atomic<uint32_t> late_cycles{0};  // xruns the server reported
};

Probe probe;

// The source's cycle: writes the note-on where asked and the note-off once it
// is due. No lock, no allocation.
int process(jack_nframes_t frames, void*) {
  Probe& p = probe;
  const uint32_t cycle = jack_last_frame_time(p.client);
  void* midi = jack_port_get_buffer(p.keys, frames);
  jack_midi_clear_buffer(midi);
  if (p.phase.load() == kSend && p.offset.load() < frames) {
    uint32_t at = p.offset.load();
    uint8_t on[3] = {0x90, (uint8_t)p.key, (uint8_t)p.velocity};
    jack_midi_event_write(midi, at, on, 3);
    p.sent.store(cycle + at);
    p.release_due.store(true);
    p.phase.store(kListen);
  } else if (p.release_due.load() && (int32_t)(p.sent.load() + p.hold_frames - cycle) < (int32_t)frames) {
    int32_t at = std::max<int32_t>(0, (int32_t)(p.sent.load() + p.hold_frames - cycle));
    uint8_t off[3] = {0x80, (uint8_t)p.key, 0};
    jack_midi_event_write(midi, (uint32_t)at, off, 3);
    p.released.store(cycle + (uint32_t)at);
    p.release_due.store(false);
  }
  return 0;
}

// The sink's cycle, later in the same cycle of the server: watches the audio
// for the onset and for silence.
int listen(jack_nframes_t frames, void*) {
  Probe& p = probe;
  const uint32_t cycle = jack_last_frame_time(p.sink);
  const float* audio = static_cast<const float*>(jack_port_get_buffer(p.in, frames));
  uint32_t quiet = p.quiet_frames.load();
  for (jack_nframes_t i = 0; i < frames; i++) {
    bool loud = audio[i] > p.level || audio[i] < -p.level;
    if (loud && p.phase.load() == kListen) {
      p.onset.store(cycle + i);
      p.phase.store(kHeard);
    }
    quiet = loud ? 0 : quiet + 1;
    if (loud) p.last_loud.store(cycle + i);
  }
  p.quiet_frames.store(quiet);
  p.cycles.fetch_add(1);
  return 0;
}

int count_late_cycle(void*) {
  probe.late_cycles.fetch_add(1);
  return 0;
}

void sleep_s(double s) { std::this_thread::sleep_for(std::chrono::duration<double>(s)); }

double now_s() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Polls `done` every millisecond up to `seconds`.
template <typename Done>
bool wait_for(double seconds, Done done) {
  double deadline = now_s() + seconds;
  while (!done()) {
    if (now_s() > deadline) return false;
    sleep_s(0.001);
  }
  return true;
}

bool port_exists(const std::string& name) { return jack_port_by_name(probe.client, name.c_str()) != nullptr; }

int usage() {
  std::fprintf(stderr,
               "usage: midi_onset_probe --audio PORT [--midi PORT] [--notes N] [--key K] [--velocity V]\n"
               "                        [--hold S] [--level L] [--wait S]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string audio_port, midi_port;
  int notes = 16;
  double hold = 0.03, wait = 60.0;
  static const option options[] = {
      {"audio", required_argument, nullptr, 'a'}, {"midi", required_argument, nullptr, 'm'},
      {"notes", required_argument, nullptr, 'n'}, {"key", required_argument, nullptr, 'k'},
      {"velocity", required_argument, nullptr, 'v'}, {"hold", required_argument, nullptr, 'h'},
      {"level", required_argument, nullptr, 'l'}, {"wait", required_argument, nullptr, 'w'},
      {nullptr, 0, nullptr, 0}};
  for (int c; (c = getopt_long(argc, argv, "", options, nullptr)) != -1;) {
    switch (c) {
      case 'a': audio_port = optarg; break;
      case 'm': midi_port = optarg; break;
      case 'n': notes = std::atoi(optarg); break;
      case 'k': probe.key = std::atoi(optarg); break;
      case 'v': probe.velocity = std::atoi(optarg); break;
      case 'h': hold = std::atof(optarg); break;
      case 'l': probe.level = (float)std::atof(optarg); break;
      case 'w': wait = std::atof(optarg); break;
      default: return usage();
    }
  }
  if (optind != argc || audio_port.empty() || notes < 2 || probe.key < 0 || probe.key > 127 ||
      probe.velocity < 1 || probe.velocity > 127 || !(hold > 0.0) || !(probe.level > 0.0f))
    return usage();

  probe.client = jack_client_open("midi_onset_probe", JackNoStartServer, nullptr);
  if (!probe.client) {
    std::fprintf(stderr, "midi_onset_probe: no JACK server runs\n");
    return 1;
  }
  probe.sink = jack_client_open("midi_onset_probe_sink", JackNoStartServer, nullptr);
  if (!probe.sink) {
    std::fprintf(stderr, "midi_onset_probe: cannot open its second client\n");
    return 1;
  }
  probe.keys = jack_port_register(probe.client, "keys", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
  probe.in = jack_port_register(probe.sink, "in", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
  if (!probe.keys || !probe.in || jack_set_process_callback(probe.client, process, nullptr) != 0 ||
      jack_set_process_callback(probe.sink, listen, nullptr) != 0 ||
      jack_set_xrun_callback(probe.client, count_late_cycle, nullptr) != 0 || jack_activate(probe.client) != 0 ||
      jack_activate(probe.sink) != 0) {
    std::fprintf(stderr, "midi_onset_probe: cannot run a client\n");
    return 1;
  }
  const uint32_t rate = jack_get_sample_rate(probe.client);
  probe.hold_frames = (uint32_t)(hold * rate);
  const uint32_t quiet_frames = (uint32_t)(kQuietSeconds * rate);

  // The synthesizer's ports, then a few cycles with both connections.
  bool connected = wait_for(wait, [&] {
    if (!midi_port.empty() && !jack_port_connected(probe.keys) && port_exists(midi_port))
      jack_connect(probe.client, jack_port_name(probe.keys), midi_port.c_str());
    if (!jack_port_connected(probe.in) && port_exists(audio_port))
      jack_connect(probe.sink, audio_port.c_str(), jack_port_name(probe.in));
    return jack_port_connected(probe.keys) > 0 && jack_port_connected(probe.in) > 0;
  });
  if (!connected) {
    std::fprintf(stderr, "midi_onset_probe: %s and %s not connected within %.0f s\n",
                 midi_port.empty() ? "midi_onset_probe:keys" : midi_port.c_str(), audio_port.c_str(), wait);
    jack_client_close(probe.sink);
    jack_client_close(probe.client);
    return 1;
  }
  uint32_t cycles = probe.cycles.load();
  wait_for(2.0, [&] { return probe.cycles.load() > cycles + 8; });

  std::vector<int32_t> latencies, releases;
  const uint32_t late_before = probe.late_cycles.load();
  for (int i = 0; i < notes; i++) {
    // The period as the server runs it now, covered from its first frame to
    // its last.
    const uint32_t period = jack_get_buffer_size(probe.client);
    const uint32_t offset = (uint32_t)((uint64_t)i * (period - 1) / (notes - 1));
    if (!wait_for(10.0, [&] { return probe.quiet_frames.load() >= quiet_frames && !probe.release_due.load(); })) {
      std::fprintf(stderr, "midi_onset_probe: the audio does not fall silent\n");
      break;
    }
    probe.offset.store(offset);
    probe.phase.store(kSend);
    bool heard = wait_for(kNoteTimeout, [&] { return probe.phase.load() == kHeard; });
    if (!heard) {
      std::printf("note %d offset %u: no onset\n", i, offset);
      probe.phase.store(kIdle);
      continue;
    }
    int32_t latency = (int32_t)(probe.onset.load() - probe.sent.load());
    latencies.push_back(latency);
    std::printf("note %d offset %u sent %u onset %u latency %d\n", i, offset, probe.sent.load(),
                probe.onset.load(), latency);
    probe.phase.store(kIdle);
    // Its release, once the note has fallen silent.
    if (wait_for(10.0, [&] { return probe.quiet_frames.load() >= quiet_frames && !probe.release_due.load(); })) {
      int32_t release = (int32_t)(probe.last_loud.load() + 1 - probe.released.load());
      releases.push_back(release);
      std::printf("note %d released %u silent from %u release %d\n", i, probe.released.load(),
                  probe.last_loud.load() + 1, release);
    }
  }
  const uint32_t period = jack_get_buffer_size(probe.client);
  const uint32_t late = probe.late_cycles.load() - late_before;
  jack_client_close(probe.sink);
  jack_client_close(probe.client);
  if (latencies.empty()) return 1;
  std::vector<int32_t> sorted = latencies;
  std::sort(sorted.begin(), sorted.end());
  int32_t median = sorted[sorted.size() / 2];
  std::sort(releases.begin(), releases.end());
  if (releases.empty()) releases.push_back(0);
  std::printf("period %u rate %u notes %d heard %zu median %d min %d max %d jitter %d late %u release median %d min %d "
              "max %d jitter %d\n",
              period, rate, notes, latencies.size(), median, sorted.front(), sorted.back(),
              sorted.back() - sorted.front(), late, releases[releases.size() / 2], releases.front(), releases.back(),
              releases.back() - releases.front());
  return (int)latencies.size() == notes ? 0 : 1;
}
