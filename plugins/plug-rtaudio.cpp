// SPDX-License-Identifier: GPL-3.0-or-later
// Output plug-in: the default output device of the first audio system that
// offers one, in the order JACK (when a server runs, on libjack itself: see
// jack_output.h), PulseAudio, ALSA (both over RtAudio). The device thread
// calls the engine's fill once per block.
// The program chooses from its command line through the environment:
// QD_OUTPUT ("jack", "pulse", "alsa"; any other value but "" leaves this
// plug-in out) tries only that kind; QD_JACK_NAME names the JACK client;
// QD_JACK_CONNECT, when set, lists the JACK ports to connect to, comma
// separated, and when empty leaves the ports unconnected.
// Implements: PLUG_ISANY, PLUG_INIT, PLUG_START, PLUG_STOP, PLUG_EXIT,
// PLUG_ERROR, PLUG_LOST.
#include <rtaudio/RtAudio.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/plug_record.h"
#include "plugins/jack_output.h"

// The audio systems after JACK, in order of preference.
static const RtAudio::Api kApis[] = {RtAudio::LINUX_PULSE, RtAudio::LINUX_ALSA};
static const char kClientName[] = "quillon_darvo";

// The choices of QD_OUTPUT, QD_JACK_NAME and QD_JACK_CONNECT, read afresh by
// PLUG_ISANY and PLUG_INIT (main thread).
struct Choices {
  std::string only;  // "" for every kind in turn
  std::string jack_name = kClientName;
  JackConnect connect;
};

static Choices read_choices(void) {
  Choices c;
  if (const char* only = std::getenv("QD_OUTPUT")) c.only = only;
  if (const char* name = std::getenv("QD_JACK_NAME"); name && *name) c.jack_name = name;
  if (const char* ports = std::getenv("QD_JACK_CONNECT")) {
    c.connect.connect = *ports != 0;
    std::string list = ports;
    for (size_t at = 0; at < list.size();) {
      size_t comma = std::min(list.find(',', at), list.size());
      if (comma > at) c.connect.targets.push_back(list.substr(at, comma - at));
      at = comma + 1;
    }
  }
  return c;
}

static bool kind_chosen(const Choices& c, const char* kind) { return c.only.empty() || c.only == kind; }

// On the PulseAudio path (PulseAudio, or PipeWire's PulseAudio service) the
// buffer count is the most the server may hold of ours: the engine's twelve
// (a device's buffer count) would be 70 ms at 256 frames. Two blocks keep
// the server fed, one being played while the next is filled.
constexpr unsigned int kServerBlocks = 2;

// Plug-in state: written by the engine's main thread in PLUG_INIT / PLUG_EXIT
// while no stream runs; read by the device thread in the callback. Plain
// pointers, so nothing here is destroyed behind the engine's back at exit.
static RtAudio* audio = nullptr;
static FbsPlugRecord* record = nullptr;
static char error_text[256] = "";

// What PLUG_LOST looks at. `failed`: set by RtAudio's error callback on its
// own threads; `last_block`: steady-clock nanoseconds of the last block,
// written by the device thread; `started`: the main thread's, true between
// PLUG_START and PLUG_STOP. The JACK client reports its own loss.
static std::atomic<int> failed{0};
static std::atomic<int64_t> last_block{0};
static bool started = false;
// Main thread: the JACK client was closed because its server went away.
static bool jack_closed = false;
// Main thread: the last reason a running JACK server was refused for, told
// on standard error once rather than at every attempt.
static std::string jack_refusal_told;
// A started stream that delivered no block for this long is gone (a device
// that stalls for good rather than reporting an error).
constexpr double kSilentSeconds = 2.0;

static int64_t now_ns(void) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

static void set_error(const char* what, const char* detail) {
  std::snprintf(error_text, sizeof(error_text), "%s%s%s", what, detail ? ": " : "",
                detail ? detail : "");
}

static const char* api_kind(RtAudio::Api api) { return api == RtAudio::LINUX_PULSE ? "pulse" : "alsa"; }

static const char* api_label(RtAudio::Api api) {
  switch (api) {
    case RtAudio::LINUX_PULSE: return "PulseAudio";
    case RtAudio::LINUX_ALSA: return "ALSA";
    default: return "audio";
  }
}

static bool api_compiled(RtAudio::Api api) {
  std::vector<RtAudio::Api> apis;
  RtAudio::getCompiledApi(apis);
  for (RtAudio::Api a : apis)
    if (a == api) return true;
  return false;
}

// Opens an RtAudio of one system; null when it has no output device.
static RtAudio* open_api(RtAudio::Api api) {
  if (!api_compiled(api)) return nullptr;
  try {
    RtAudio* a = new RtAudio(api);
    a->showWarnings(false);
    unsigned int n = a->getDeviceCount();
    for (unsigned int i = 0; i < n; i++) {
      RtAudio::DeviceInfo info = a->getDeviceInfo(i);
      if (info.probed && info.outputChannels > 0) return a;
    }
    delete a;
  } catch (const RtAudioError& e) {
    set_error("no output device", e.what());
  }
  return nullptr;
}

static int on_block(void* output, void* input, unsigned int frames, double time,
                    RtAudioStreamStatus status, void* user) {
  (void)input;
  (void)time;
  (void)status;
  FbsPlugRecord* r = static_cast<FbsPlugRecord*>(user);
  last_block.store(now_ns(), std::memory_order_relaxed);
  int32_t bytes = static_cast<int32_t>(frames) * r->framesize;
  if (bytes == r->buffersize && r->fill) {
    r->buffer = output;
    r->fill(r);
  } else {
    // A block the engine did not size (the device changed its block size
    // mid-run) is silence, and the device counts as lost: the program opens
    // it again at the size it now has.
    std::memset(output, 0, static_cast<size_t>(bytes));
    failed.store(1);
  }
  return 0;
}

// Errors RtAudio meets while the stream runs (a failed write, a device that
// went away); warnings do not stop output.
static void on_error(RtAudioError::Type type, const std::string& text) {
  (void)text;
  if (type != RtAudioError::WARNING && type != RtAudioError::DEBUG_WARNING) failed.store(1);
}

static void close_audio(void) {
  started = false;
  jack_closed = false;
  jack_output_close();
  if (!audio) return;
  try {
    if (audio->isStreamRunning()) audio->stopStream();
    if (audio->isStreamOpen()) audio->closeStream();
  } catch (const RtAudioError&) {
  }
  delete audio;
  audio = nullptr;
  record = nullptr;
}

extern "C" {

FBS_EXPORT int32_t FBS_CALL PLUG_ISANY(FbsPlugRecord* rec) {
  (void)rec;
  const Choices choices = read_choices();
  if (kind_chosen(choices, "jack") && jack_output_offered(choices.jack_name.c_str(), choices.connect)) return 1;
  for (RtAudio::Api api : kApis) {
    if (!kind_chosen(choices, api_kind(api))) continue;
    RtAudio* a = open_api(api);
    if (a) {
      delete a;
      return 1;
    }
  }
  return 0;
}

// device_index 0 or below: the system's default output; n above 0: its
// device number n.
FBS_EXPORT int32_t FBS_CALL PLUG_INIT(FbsPlugRecord* rec) {
  close_audio();
  error_text[0] = 0;
  failed.store(0);
  // Formats beyond any device (and whose block size would overflow) are refused.
  if (!rec || rec->bits != 16 || rec->channels < 1 || rec->channels > 64 || rec->rate <= 0 ||
      rec->rate > 1000000 || rec->frames <= 0 || rec->frames > 1 << 20) {
    set_error("unsupported output format", nullptr);
    return 0;
  }
  const Choices choices = read_choices();
  if (kind_chosen(choices, "jack")) {
    std::string why;
    if (jack_output_open(rec, choices.jack_name.c_str(), choices.connect, &last_block, &why)) return 1;
    // A server that runs but cannot take us is worth telling, in one line
    // (the next kind may well play); none is not.
    if (why != "no server runs") {
      set_error("JACK", why.c_str());
      if (why != jack_refusal_told) std::fprintf(stderr, "JACK output: %s\n", why.c_str());
      jack_refusal_told = why;
    }
  }
  for (RtAudio::Api api : kApis) {
    if (!kind_chosen(choices, api_kind(api))) continue;
    RtAudio* a = open_api(api);
    if (!a) continue;
    try {
      unsigned int device =
          rec->device_index > 0 ? static_cast<unsigned int>(rec->device_index)
                                : a->getDefaultOutputDevice();
      RtAudio::DeviceInfo info = a->getDeviceInfo(device);
      RtAudio::StreamParameters params;
      params.deviceId = device;
      params.nChannels = static_cast<unsigned int>(rec->channels);
      params.firstChannel = 0;
      RtAudio::StreamOptions options;
      options.flags = RTAUDIO_SCHEDULE_REALTIME;
      options.numberOfBuffers = rec->buffers > 0 ? static_cast<unsigned int>(rec->buffers) : 0;
      if (api == RtAudio::LINUX_PULSE) options.numberOfBuffers = kServerBlocks;
      options.streamName = kClientName;
      options.priority = 80;
      unsigned int frames = static_cast<unsigned int>(rec->frames);
      rec->framesize = 2 * rec->channels;
      // fill reads the record from the device thread as soon as it starts.
      rec->buffersize = static_cast<int32_t>(frames) * rec->framesize;
      a->openStream(&params, nullptr, RTAUDIO_SINT16, static_cast<unsigned int>(rec->rate),
                    &frames, on_block, rec, &options, on_error);
      // What the system grants is written back: the block size, and the
      // buffer count in use (the engine shows both on its output line).
      rec->frames = static_cast<int32_t>(frames);
      // JACK reports no count: it asks for one period at a time.
      rec->buffers = options.numberOfBuffers > 0 ? static_cast<int32_t>(options.numberOfBuffers) : 1;
      rec->buffersize = rec->frames * rec->framesize;
      rec->is_signed = 1;
      std::snprintf(rec->name, sizeof(rec->name), "RtAudio output (%s)", api_label(api));
      std::snprintf(rec->device, sizeof(rec->device), "%s", info.name.c_str());
      audio = a;
      record = rec;
      return 1;
    } catch (const RtAudioError& e) {
      set_error(api_label(api), e.what());
      delete a;
    }
  }
  if (!error_text[0]) set_error("no output device", nullptr);
  return 0;
}

FBS_EXPORT int32_t FBS_CALL PLUG_START(void) {
  last_block.store(now_ns());
  if (jack_output_is_open()) {
    std::string why;
    if (!jack_output_start(&why)) {
      set_error("start", why.c_str());
      return 0;
    }
    started = true;
    return 1;
  }
  if (!audio || !audio->isStreamOpen()) {
    set_error("start: no device is open", nullptr);
    return 0;
  }
  try {
    if (!audio->isStreamRunning()) audio->startStream();
  } catch (const RtAudioError& e) {
    set_error("start", e.what());
    return 0;
  }
  started = true;
  return 1;
}

FBS_EXPORT int32_t FBS_CALL PLUG_STOP(void) {
  started = false;
  if (jack_output_is_open()) {
    jack_output_stop();  // returns once the process thread has left its last fill call
    return 1;
  }
  if (!audio || !audio->isStreamOpen()) return 1;
  try {
    // Returns once the device thread has left its last fill call.
    if (audio->isStreamRunning()) audio->stopStream();
  } catch (const RtAudioError& e) {
    set_error("stop", e.what());
    return 0;
  }
  return 1;
}

FBS_EXPORT int32_t FBS_CALL PLUG_EXIT(void) {
  close_audio();
  return 1;
}

FBS_EXPORT const char* FBS_CALL PLUG_ERROR(void) { return error_text; }

FBS_EXPORT int32_t FBS_CALL PLUG_LOST(void) {
  if (!started) return 0;
  if (jack_closed) return 1;
  // Polled on the main thread: the record follows a period the server changed.
  if (jack_output_is_open()) jack_output_sync_period();
  if (jack_output_is_open() && jack_output_gone()) {
    // Closed at once: the next client the program opens makes libjack free
    // the clients of the server that went away by itself, and closing one
    // of them after that would free it twice.
    jack_output_close();
    jack_closed = true;
    return 1;
  }
  if (failed.load() || jack_output_rate_changed()) return 1;
  return (now_ns() - last_block.load()) * 1e-9 > kSilentSeconds ? 1 : 0;
}

}  // extern "C"
