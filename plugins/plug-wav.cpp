// SPDX-License-Identifier: GPL-3.0-or-later
// Output plug-in for machines without a sound device: a thread of its own,
// paced by the monotonic clock, calls the engine's fill once per block and
// records the blocks into recording.wav (at most ten minutes; the header is
// brought up to date after every block, so the file is a valid WAV file at
// any moment). An earlier recording is never written over: each opening of
// the device takes the first free name of recording.wav, recording-2.wav,
// recording-3.wav, ... Only device_index -1 is accepted: the engine's last
// attempt, after the real devices failed.
// The recording goes to the folder that the environment variable
// QD_RECORDING_FOLDER names (the program sets it to the user's data folder),
// else to the folder this plug-in was loaded from: a test that loads a copy
// of the plug-in from a temporary folder finds its recording there.
// A write that fails mid-run (a full disk) reports the device lost.
// QD_OUTPUT, when set to anything but "" or "file", leaves this plug-in out
// (the program's --output).
// Implements: PLUG_ISANY, PLUG_INIT, PLUG_START, PLUG_STOP, PLUG_EXIT,
// PLUG_ERROR, PLUG_LOST.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "engine/plug_record.h"

constexpr int kMaxSeconds = 600;
constexpr int kHeaderBytes = 44;
// Names tried for a new recording before the device gives up on a file.
constexpr int kMostRecordings = 10000;
// A thread that fell this many blocks behind (a stalled machine) starts
// pacing afresh instead of catching up in a burst.
constexpr int kMaxLagBlocks = 8;

// Written by the main thread while the pacing thread is stopped; the thread
// reads them. `running` is the only value both change while it runs.
static FbsPlugRecord* record = nullptr;
static uint8_t* block = nullptr;
static int file = -1;
static uint32_t data_bytes = 0;
static uint32_t max_data_bytes = 0;
static char file_name[32] = "";
static std::thread* pacer = nullptr;
static std::atomic<int> running{0};
// Set by the pacing thread when a write fails; cleared by PLUG_INIT.
static std::atomic<int> write_failed{0};
static char error_text[256] = "";

static void put32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

static void put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

static bool write_all(int fd, const uint8_t* p, size_t n, off_t at) {
  while (n > 0) {
    ssize_t w = pwrite(fd, p, n, at);
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
    at += w;
  }
  return true;
}

static bool write_header(void) {
  uint8_t h[kHeaderBytes];
  int32_t channels = record->channels;
  uint32_t rate = static_cast<uint32_t>(record->rate);
  std::memcpy(h, "RIFF", 4);
  put32(h + 4, 36 + data_bytes);
  std::memcpy(h + 8, "WAVEfmt ", 8);
  put32(h + 16, 16);
  put16(h + 20, 1);
  put16(h + 22, static_cast<uint16_t>(channels));
  put32(h + 24, rate);
  put32(h + 28, rate * static_cast<uint32_t>(record->framesize));
  put16(h + 32, static_cast<uint16_t>(record->framesize));
  put16(h + 34, 16);
  std::memcpy(h + 36, "data", 4);
  put32(h + 40, data_bytes);
  return write_all(file, h, sizeof(h), 0);
}

// The folder of the recording, with "/" at the end.
static void recording_folder(char* out, size_t size) {
  const char* named = std::getenv("QD_RECORDING_FOLDER");
  if (named && named[0]) {
    size_t n = std::strlen(named);
    std::snprintf(out, size, "%s%s", named, named[n - 1] == '/' ? "" : "/");
    return;
  }
  Dl_info info;
  std::snprintf(out, size, "./");
  if (!dladdr(reinterpret_cast<void*>(&recording_folder), &info) || !info.dli_fname) return;
  std::snprintf(out, size, "%s", info.dli_fname);
  char* slash = std::strrchr(out, '/');
  if (slash) slash[1] = 0;
  else std::snprintf(out, size, "./");
}

// Creates the first free recording file in folder (ending in "/"); its name
// goes to file_name. Made exclusively, so no earlier recording, nor a file
// another program makes at the same moment, is ever truncated.
static int open_new_recording(const char* folder) {
  char path[4096 + 32];
  for (int n = 1; n <= kMostRecordings; n++) {
    if (n == 1)
      std::snprintf(file_name, sizeof(file_name), "recording.wav");
    else
      std::snprintf(file_name, sizeof(file_name), "recording-%d.wav", n);
    std::snprintf(path, sizeof(path), "%s%s", folder, file_name);
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

static void record_block(void) {
  if (file < 0) return;
  uint32_t bytes = static_cast<uint32_t>(record->buffersize);
  if (data_bytes >= max_data_bytes) return;
  if (bytes > max_data_bytes - data_bytes) bytes = max_data_bytes - data_bytes;
  if (!write_all(file, block, bytes, kHeaderBytes + static_cast<off_t>(data_bytes))) {
    std::snprintf(error_text, sizeof(error_text), "%s: write failed", file_name);
    write_failed.store(1);
    close(file);
    file = -1;
    return;
  }
  data_bytes += bytes;
  write_header();
}

static void pace(void) {
  using clock = std::chrono::steady_clock;
  auto period = std::chrono::duration_cast<clock::duration>(
      std::chrono::duration<double>(static_cast<double>(record->frames) / record->rate));
  auto next = clock::now();
  while (running.load()) {
    record->buffer = block;
    record->fill(record);
    record_block();
    next += period;
    auto now = clock::now();
    if (now - next > period * kMaxLagBlocks) next = now;
    std::this_thread::sleep_until(next);
  }
}

static void stop_pacer(void) {
  if (!pacer) return;
  running.store(0);
  pacer->join();
  delete pacer;
  pacer = nullptr;
}

static void close_device(void) {
  stop_pacer();
  if (file >= 0) {
    write_header();
    close(file);
    file = -1;
  }
  std::free(block);
  block = nullptr;
  record = nullptr;
}

extern "C" {

FBS_EXPORT int32_t FBS_CALL PLUG_ISANY(FbsPlugRecord* rec) {
  (void)rec;
  const char* only = std::getenv("QD_OUTPUT");
  return !only || !*only || std::strcmp(only, "file") == 0 ? 1 : 0;
}

FBS_EXPORT int32_t FBS_CALL PLUG_INIT(FbsPlugRecord* rec) {
  close_device();
  error_text[0] = 0;
  write_failed.store(0);
  if (!rec) return 0;
  if (rec->device_index != -1) {
    std::snprintf(error_text, sizeof(error_text), "file device: only device -1");
    return 0;
  }
  if (rec->bits != 16 || (rec->channels != 1 && rec->channels != 2) || rec->rate <= 0 ||
      rec->rate > 384000 || rec->frames <= 0 || rec->frames > 65536) {
    std::snprintf(error_text, sizeof(error_text), "file device: unsupported format");
    return 0;
  }
  rec->framesize = 2 * rec->channels;
  rec->buffersize = rec->frames * rec->framesize;
  block = static_cast<uint8_t*>(std::calloc(1, static_cast<size_t>(rec->buffersize)));
  if (!block) {
    std::snprintf(error_text, sizeof(error_text), "file device: out of memory");
    return 0;
  }
  record = rec;
  rec->is_signed = 1;
  if (rec->buffers < 1) rec->buffers = 1;
  data_bytes = 0;
  uint64_t cap = static_cast<uint64_t>(rec->rate) * kMaxSeconds * rec->framesize;
  max_data_bytes = static_cast<uint32_t>(cap);
  char folder[4096];
  recording_folder(folder, sizeof(folder));
  file = open_new_recording(folder);
  // Without a writable folder the device still paces the engine.
  if (file < 0 || !write_header()) {
    std::snprintf(error_text, sizeof(error_text), "%s could not be written", file_name);
    if (file >= 0) close(file);
    file = -1;
  }
  std::snprintf(rec->name, sizeof(rec->name), "WAV file output");
  std::snprintf(rec->device, sizeof(rec->device), "%s", file >= 0 ? file_name : "none");
  return 1;
}

FBS_EXPORT int32_t FBS_CALL PLUG_START(void) {
  if (!record || !block) {
    std::snprintf(error_text, sizeof(error_text), "file device: not open");
    return 0;
  }
  if (pacer) return 1;
  running.store(1);
  pacer = new std::thread(pace);
  return 1;
}

FBS_EXPORT int32_t FBS_CALL PLUG_STOP(void) {
  stop_pacer();
  return 1;
}

FBS_EXPORT int32_t FBS_CALL PLUG_EXIT(void) {
  close_device();
  return 1;
}

FBS_EXPORT const char* FBS_CALL PLUG_ERROR(void) { return error_text; }

FBS_EXPORT int32_t FBS_CALL PLUG_LOST(void) { return pacer && write_failed.load() ? 1 : 0; }

}  // extern "C"
