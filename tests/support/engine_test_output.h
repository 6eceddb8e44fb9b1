// SPDX-License-Identifier: GPL-3.0-or-later
// Helpers shared by the engine's tests, fuzz targets and benchmarks.
//
// use_output: for those that need no plug-in file, a record of their own put
// into the engine's plug-in table and selected, with the block routines
// installed for its channel count, as a successful FBS_INIT leaves the
// engine. The caller runs fbs_fill itself, as a plug-in's thread would.
// Header-only: tests/support/*.cpp go into every test program, this only
// into those that include it.
#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "engine/engine_state.h"
#include "engine/fbs.h"

namespace enginetest {

inline int32_t FBS_CALL fake_start(void) { return 1; }
inline int32_t FBS_CALL fake_stop(void) { return 1; }
inline int32_t FBS_CALL fake_exit(void) { return 0; }
inline const char* FBS_CALL fake_error(void) { return ""; }

// Selects 16-bit output of the given rate, channel count and frames per
// block (the table is made on first use and kept; FBS_EXIT frees it).
inline FbsPlugRecord* use_output(int32_t rate, int32_t channels, int32_t frames) {
  if (fbs_plugs == nullptr) {
    fbs_plugs = (FbsPlugRecord*)calloc(1, sizeof(FbsPlugRecord));
    fbs_numofplugouts = 1;
  }
  FbsPlugRecord* r = fbs_plugs;
  r->plug_start = fake_start;
  r->plug_stop = fake_stop;
  r->plug_exit = fake_exit;
  r->plug_error = fake_error;
  r->fill = fbs_fill;
  r->rate = rate;
  r->bits = 16;
  r->channels = channels;
  r->framesize = 2 * channels;
  r->frames = frames;
  r->buffersize = frames * 2 * channels;
  fbs_current_plug.store(0);
  fbs_install_routines(channels);
  fbs_initialised.store(1);
  return r;
}

// A plug-in's thread for stress tests: calls fbs_fill on its own copy of the
// record, with a block of its own, until it is destroyed; pause_us between
// calls. fills counts the calls made.
struct FillThread {
  std::atomic<bool> stop{false};
  std::atomic<int> fills{0};
  std::thread thread;
  explicit FillThread(const FbsPlugRecord* record, int pause_us = 0) {
    thread = std::thread([this, mine = *record, pause_us]() mutable {
      std::vector<int16_t> block(mine.buffersize / 2);
      mine.buffer = block.data();
      while (!stop.load()) {
        fbs_fill(&mine);
        fills.fetch_add(1);
        if (pause_us > 0) std::this_thread::sleep_for(std::chrono::microseconds(pause_us));
      }
    });
  }
  ~FillThread() {
    stop.store(true);
    thread.join();
  }
};

// Little-endian 16- and 32-bit values for WAV files the tests write.
inline void put16(FILE* f, uint16_t v) {
  fputc(v & 0xFF, f);
  fputc(v >> 8, f);
}
inline void put32(FILE* f, uint32_t v) {
  put16(f, (uint16_t)v);
  put16(f, (uint16_t)(v >> 16));
}

// The canonical 44-byte header of a 16-bit PCM WAV file with `bytes` of samples.
inline void put_wav_header(FILE* f, uint32_t rate, uint16_t channels, uint32_t bytes) {
  fwrite("RIFF", 1, 4, f);
  put32(f, 36 + bytes);
  fwrite("WAVEfmt ", 1, 8, f);
  put32(f, 16);
  put16(f, 1);
  put16(f, channels);
  put32(f, rate);
  put32(f, rate * 2 * channels);
  put16(f, (uint16_t)(2 * channels));
  put16(f, 16);
  fwrite("data", 1, 4, f);
  put32(f, bytes);
}

}  // namespace enginetest
