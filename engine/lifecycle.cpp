// SPDX-License-Identifier: GPL-3.0-or-later
// Engine lifecycle: the plug path, loading output plug-ins from it, FBS_INIT /
// START / STOP / EXIT, the read-only plug-in and counter queries, the key
// poll, and the hooks that run at process start and end.
#include <dlfcn.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "engine/engine_state.h"
#include "engine/kernels_resample.h"

// The built-in plug-in list, in order of preference.
static const char* const kPlugNames[] = {"plug-rtaudio.so", "plug-wav.so"};
constexpr int kPlugNameCount = sizeof(kPlugNames) / sizeof(kPlugNames[0]);
// Longest plug path kept, including the terminating zero.
constexpr size_t kPathMax = 4096;
// Pause after PLUG_EXIT before the library is unloaded, so a device thread
// that is still winding down never runs unmapped code.
constexpr int kUnloadDelayMs = 500;

FbsPlugRecord* fbs_plugs = nullptr;
int32_t fbs_numofplugouts = 0;
std::atomic<int32_t> fbs_current_plug{-1};
std::atomic<int32_t> fbs_running{0};
std::atomic<int32_t> fbs_initialised{0};
std::atomic<float> fbs_master_volume{1.0f};
std::atomic<int32_t> fbs_resample_mode{0};
std::atomic<int32_t> fbs_wave_converter{0};
std::atomic<int32_t> fbs_max_channels{128};
std::atomic<int32_t> fbs_played_bytes{0};
std::atomic<int32_t> fbs_playing_sounds{0};
std::atomic<int32_t> fbs_playing_streams{0};
std::atomic<uint32_t> fbs_block_clock{0};
std::atomic<int32_t> fbs_block_clock_known{0};

// The in-process plug-in's entries (set: non-null plug_init). Main thread.
static FbsPlugRecord inprocess_plugin;

// Plug path: written and read by the main thread.
static char plug_path[kPathMax];
// The application's keyboard; written by the main thread, read by any.
static std::atomic<int (*)(void)> key_source{nullptr};

// ---- Stream hooks: the stream file replaces these defaults ----

__attribute__((weak)) void fbs_stream_release(void) {}

// ---- Accessors ----

FbsPlugRecord* fbs_record(void) {
  int32_t i = fbs_current_plug.load();
  if (i < 0 || i >= fbs_numofplugouts || fbs_plugs == nullptr) return nullptr;
  return &fbs_plugs[i];
}

int32_t fbs_out_rate(void) {
  FbsPlugRecord* r = fbs_record();
  return r ? r->rate : 0;
}
int32_t fbs_out_channels(void) {
  FbsPlugRecord* r = fbs_record();
  return r ? r->channels : 0;
}
int32_t fbs_out_bits(void) {
  FbsPlugRecord* r = fbs_record();
  return r ? r->bits : 0;
}
int32_t fbs_out_framesize(void) {
  FbsPlugRecord* r = fbs_record();
  return r ? r->framesize : 0;
}
int32_t fbs_out_buffersize(void) {
  FbsPlugRecord* r = fbs_record();
  return r ? r->buffersize : 0;
}

// ---- Plug path and loading ----

// The executable's folder with "/" appended; "./" when it cannot be read.
static void set_default_plug_path(void) {
  char exe[kPathMax];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
  if (n <= 0) {
    std::snprintf(plug_path, sizeof(plug_path), "./");
    return;
  }
  exe[n] = 0;
  char* slash = std::strrchr(exe, '/');
  if (slash) slash[1] = 0;
  std::snprintf(plug_path, sizeof(plug_path), "%s", exe);
  size_t len = std::strlen(plug_path);
  if (len == 0 || plug_path[len - 1] != '/') {
    if (len + 1 < sizeof(plug_path)) {
      plug_path[len] = '/';
      plug_path[len + 1] = 0;
    }
  }
}

static void append_plug(const FbsPlugRecord& rec) {
  // Grown only here, before any PLUG_INIT, so selected records never move.
  void* grown = std::realloc(fbs_plugs, sizeof(FbsPlugRecord) * (fbs_numofplugouts + 1));
  if (!grown) return;
  fbs_plugs = static_cast<FbsPlugRecord*>(grown);
  fbs_plugs[fbs_numofplugouts] = rec;
  fbs_numofplugouts++;
}

static bool complete_entries(const FbsPlugRecord& rec) {
  return rec.plug_init && rec.plug_start && rec.plug_stop && rec.plug_exit && rec.plug_error;
}

static void load_plugins(void) {
  FbsPlugRecord rec = inprocess_plugin;
  if (rec.plug_init) {
    rec.module = nullptr;
    if (rec.plug_isany && rec.plug_isany(&rec) == 1 && complete_entries(rec)) append_plug(rec);
    return;
  }
  std::memset(&rec, 0, sizeof(rec));
  for (int i = 0; i < kPlugNameCount; i++) {
    char full[kPathMax + 64];
    std::snprintf(full, sizeof(full), "%s%s", plug_path, kPlugNames[i]);
    // A plug-in stays mapped after it is unloaded: a device library it uses
    // may have left hooks in libraries the program keeps using (the JACK
    // client library's error handler, for one), and those must not point
    // into freed code.
    void* module = dlopen(full, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (!module) continue;
    rec.module = module;
    rec.plug_isany = reinterpret_cast<PlugIsAnyFn>(dlsym(module, "PLUG_ISANY"));
    if (!rec.plug_isany || rec.plug_isany(&rec) != 1) {
      dlclose(module);
      std::memset(&rec, 0, sizeof(rec));
      continue;
    }
    rec.plug_init = reinterpret_cast<PlugInitFn>(dlsym(module, "PLUG_INIT"));
    rec.plug_start = reinterpret_cast<PlugStartFn>(dlsym(module, "PLUG_START"));
    rec.plug_stop = reinterpret_cast<PlugStopFn>(dlsym(module, "PLUG_STOP"));
    rec.plug_exit = reinterpret_cast<PlugExitFn>(dlsym(module, "PLUG_EXIT"));
    rec.plug_error = reinterpret_cast<PlugErrorFn>(dlsym(module, "PLUG_ERROR"));
    rec.plug_lost = reinterpret_cast<PlugLostFn>(dlsym(module, "PLUG_LOST"));  // optional
    if (!complete_entries(rec)) {
      dlclose(module);
      std::memset(&rec, 0, sizeof(rec));
      continue;
    }
    append_plug(rec);
    std::memset(&rec, 0, sizeof(rec));
  }
}

static void beep(void) {
  std::fputc('\a', stderr);
  std::fflush(stderr);
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
}

// ---- Lifecycle ----

extern "C" int32_t FBS_CALL FBS_INIT(int32_t rate, int32_t channels, int32_t buffers,
                                     int32_t frames, int32_t device) {
  if (fbs_numofplugouts < 1) load_plugins();
  if (fbs_numofplugouts == 0) {
    fbs_initialised.store(0);
    return 0;
  }
  FbsPlugRecord* cur = fbs_record();
  if (cur) {
    cur->plug_stop();
    cur->plug_exit();
    fbs_current_plug.store(-1);
  }
  for (int32_t i = 0; i < fbs_numofplugouts; i++) {
    FbsPlugRecord* r = &fbs_plugs[i];
    r->rate = rate;
    r->bits = 16;
    r->channels = channels;
    r->buffers = buffers;
    r->frames = frames;
    r->fill = fbs_fill;
    r->block_bytes = 0;
    r->device_index = device;
    r->clock_frame = 0;
    fbs_block_clock_known.store(0);
    if (!r->plug_init) {
      beep();
      continue;
    }
    if (r->plug_init(r) == 1) {
      fbs_current_plug.store(i);
      break;
    }
  }
  cur = fbs_record();
  if (!cur) {
    fbs_initialised.store(0);
    return 0;
  }
  fbs_install_routines(cur->channels);
  // A larger block than before must never be rendered into a smaller buffer.
  fbs_sounds_fit_buffers();
  fbs_initialised.store(1);
  return FBS_START();
}

extern "C" int32_t FBS_CALL FBS_START(void) {
  FbsPlugRecord* r = fbs_record();
  if (!r) return 0;
  int32_t result = r->plug_start();
  fbs_running.store(result);
  return result;
}

extern "C" int32_t FBS_CALL FBS_STOP(void) {
  FbsPlugRecord* r = fbs_record();
  if (!r || fbs_running.load() == 0) return 1;
  int32_t result = r->plug_stop();
  if (result == 1) fbs_running.store(0);
  return result;
}

extern "C" int32_t FBS_CALL FBS_EXIT(void) {
  FbsPlugRecord* r = fbs_record();
  if (!r) return 1;
  if (fbs_running.load() == 1) {
    FBS_STOP();
    fbs_running.store(0);
  }
  // Output is stopped: from here on other threads' entry points fail, and
  // the buffers below can be released.
  fbs_initialised.store(0);
  fbs_stream_release();
  int32_t count = fbs_sound_count.load();
  for (int32_t s = 0; s < count; s++) {
    FbsSound& snd = fbs_sounds[s];
    if (snd.wave_begin.load() != nullptr || snd.mix_alloc.load() != nullptr) fbs_sound_free(s);
    snd.play.store(nullptr);
    snd.wave_end.store(nullptr);
  }
  fbs_fill_quiesce();
  int32_t waves = fbs_wave_count.load();
  for (int32_t w = 0; w < waves; w++) {
    uint8_t* data = fbs_waves[w].data.exchange(nullptr);
    fbs_waves[w].size.store(0);
    std::free(data);
  }
  fbs_wave_count.store(0);
  r->plug_exit();
  if (r->module) std::this_thread::sleep_for(std::chrono::milliseconds(kUnloadDelayMs));
  for (int32_t i = 0; i < fbs_numofplugouts; i++) {
    if (fbs_plugs[i].module) dlclose(fbs_plugs[i].module);
  }
  fbs_current_plug.store(-1);
  fbs_numofplugouts = 0;
  std::free(fbs_plugs);
  fbs_plugs = nullptr;
  return 1;
}

extern "C" void fbs_set_inprocess_plugin(const FbsPlugRecord* entries) {
  std::memset(&inprocess_plugin, 0, sizeof(inprocess_plugin));
  if (entries) inprocess_plugin = *entries;
}

// ---- Plug path and plug-in queries ----

extern "C" const char* FBS_CALL FBS_GET_PLUGPATH(void) { return plug_path; }

extern "C" int32_t FBS_CALL FBS_SET_PLUGPATH(const char* path) {
  if (!path) return 0;
  std::snprintf(plug_path, sizeof(plug_path), "%s", path);
  return 1;
}

extern "C" int32_t FBS_CALL FBS_GET_NUMOFPLUGOUTS(void) { return fbs_numofplugouts; }

extern "C" const char* FBS_CALL FBS_GET_PLUGERROR(void) {
  FbsPlugRecord* r = fbs_record();
  if (!r) return "";
  const char* text = r->plug_error();
  return text ? text : "";
}

// name and device are at most 64 bytes; a plug-in that left no zero in them
// gets its text cut at 63 bytes here.
static char name_copy[65];
static char device_copy[65];

extern "C" const char* FBS_CALL FBS_GET_PLUGNAME(void) {
  FbsPlugRecord* r = fbs_record();
  if (!r) return "";
  std::memcpy(name_copy, r->name, 64);
  name_copy[64] = 0;
  return name_copy;
}

extern "C" const char* FBS_CALL FBS_GET_PLUGDEVICE(void) {
  FbsPlugRecord* r = fbs_record();
  if (!r) return "";
  std::memcpy(device_copy, r->device, 64);
  device_copy[64] = 0;
  return device_copy;
}

extern "C" int32_t FBS_CALL FBS_GET_PLUGBUFFERSIZE(void) {
  FbsPlugRecord* r = fbs_record();
  return r ? r->buffersize : 0;
}
extern "C" int32_t FBS_CALL FBS_GET_PLUGBUFFERS(void) {
  FbsPlugRecord* r = fbs_record();
  return r ? r->buffers : 0;
}
extern "C" int32_t FBS_CALL FBS_GET_PLUGFRAMESIZE(void) { return fbs_out_framesize(); }
extern "C" int32_t FBS_CALL FBS_GET_PLUGFRAMES(void) {
  FbsPlugRecord* r = fbs_record();
  return r ? r->frames : 0;
}
extern "C" int32_t FBS_CALL FBS_GET_PLUGRATE(void) { return fbs_out_rate(); }
extern "C" int32_t FBS_CALL FBS_GET_PLUGBITS(void) { return fbs_out_bits(); }
extern "C" int32_t FBS_CALL FBS_GET_PLUGCHANNELS(void) { return fbs_out_channels(); }
extern "C" int32_t FBS_CALL FBS_GET_PLUGSIGNED(void) {
  FbsPlugRecord* r = fbs_record();
  return r ? r->is_signed : 0;
}
extern "C" int32_t FBS_CALL FBS_GET_PLUGRUNNING(void) { return fbs_running.load(); }

extern "C" int32_t FBS_CALL FBS_GET_PLUGLOST(void) {
  FbsPlugRecord* r = fbs_record();
  if (!r || !r->plug_lost || fbs_running.load() == 0) return 0;
  return r->plug_lost() == 1 ? 1 : 0;
}

// ---- Master settings ----

extern "C" int32_t FBS_CALL FBS_GET_MAXCHANNELS(int32_t* n) {
  if (!n) return 0;
  *n = fbs_max_channels.load();
  return 1;
}

extern "C" int32_t FBS_CALL FBS_SET_MAXCHANNELS(int32_t n) {
  if (n <= 0) n = 1;
  if (n > 256) n = 256;
  fbs_max_channels.store(n);
  return 1;
}

extern "C" int32_t FBS_CALL FBS_SET_MASTERVOLUME(float v) {
  if (!fbs_initialised.load()) return 0;
  if (!(v >= 0.001f)) v = 0.0f;  // also turns NaN into silence
  if (v > 2.0f) v = 2.0f;
  fbs_master_volume.store(v);
  return 1;
}

extern "C" int32_t FBS_CALL FBS_GET_MASTERVOLUME(float* v) {
  if (!fbs_initialised.load() || !v) return 0;
  *v = fbs_master_volume.load();
  return 1;
}

extern "C" int32_t FBS_CALL FBS_SET_RESAMPLEMODE(int32_t mode) {
  if (mode < 0 || mode > 2) return 0;
  if (mode != kResampleNearest) resample_tables_make();
  fbs_resample_mode.store(mode);
  return 1;
}

extern "C" int32_t FBS_CALL FBS_GET_RESAMPLEMODE(void) { return fbs_resample_mode.load(); }

extern "C" int32_t FBS_CALL FBS_SET_WAVECONVERTER(int32_t converter) {
  if (converter < 0 || converter > 1) return 0;
  fbs_wave_converter.store(converter);
  return 1;
}

extern "C" int32_t FBS_CALL FBS_GET_WAVECONVERTER(void) { return fbs_wave_converter.load(); }

// ---- Counters ----

extern "C" int32_t FBS_CALL FBS_GET_PLAYINGSOUNDS(void) {
  return fbs_running.load() == 1 ? fbs_playing_sounds.load() : 0;
}
extern "C" int32_t FBS_CALL FBS_GET_PLAYINGSTREAMS(void) {
  return fbs_running.load() == 1 ? fbs_playing_streams.load() : 0;
}
extern "C" int32_t FBS_CALL FBS_GET_PLUGCLOCK(uint32_t* frame) {
  if (!frame || fbs_running.load() != 1 || !fbs_block_clock_known.load()) return 0;
  *frame = fbs_block_clock.load();
  return 1;
}
extern "C" int32_t FBS_CALL FBS_GET_PLAYEDBYTES(void) {
  return fbs_initialised.load() ? fbs_played_bytes.load() : 0;
}
extern "C" int32_t FBS_CALL FBS_GET_PLAYEDSAMPLES(void) {
  int32_t bytes = FBS_GET_PLAYEDBYTES();
  int32_t framesize = fbs_out_framesize();
  if (bytes <= 0 || framesize <= 0) return 0;
  return bytes / framesize;
}
extern "C" double FBS_CALL FBS_GET_PLAYTIME(void) {
  int32_t samples = FBS_GET_PLAYEDSAMPLES();
  int32_t rate = fbs_out_rate();
  if (samples <= 0 || rate <= 0) return 0.0;
  return static_cast<double>(samples) / rate;
}

// ---- Keyboard ----

extern "C" void fbs_set_key_source(int (*next_key)(void)) { key_source.store(next_key); }

extern "C" int32_t FBS_CALL FBS_GET_KEYCODE(void) {
  int (*next)(void) = key_source.load();
  if (!next) return 0;
  int c = next();
  if (c <= 0) return 0;
  if (c == 255) return 256 + next();
  return c;
}

void fbs_fatal_wait_key(void) {
  if (key_source.load()) {
    while (FBS_GET_KEYCODE() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::exit(1);
}

// ---- Process start and end ----

__attribute__((constructor)) static void fbs_process_start(void) { set_default_plug_path(); }

__attribute__((destructor)) static void fbs_process_end(void) {
  if (fbs_running.load() == 1) FBS_STOP();
  if (fbs_initialised.load() == 1) FBS_EXIT();
}
