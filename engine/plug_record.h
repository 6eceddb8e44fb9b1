// SPDX-License-Identifier: GPL-3.0-or-later
// The record an output plug-in shares with the engine, and the entries each
// side calls. One header for the engine and every plug-in, so both agree on
// the layout: integers are int32_t, addresses are pointer-sized, and on a
// 32-bit build the record is the classic 212-byte layout.
#pragma once
#include <cstdint>

#include "engine/fbs_call.h"

struct FbsPlugRecord;

extern "C" {
// The engine's fill function: the plug-in calls it once per block, after
// setting `buffer`; it fills exactly `buffersize` bytes there.
typedef void(FBS_CALL* FbsFillFn)(FbsPlugRecord* record);

// PLUG_ISANY: 1 when the plug-in can offer an output device.
typedef int32_t(FBS_CALL* PlugIsAnyFn)(FbsPlugRecord* record);
// PLUG_INIT: 1 when the device is open in the record's format; the plug-in
// then has filled framesize, buffersize, name, device, signed, and left the
// rate, frames and buffers it really uses (a JACK server grants its own rate
// and period).
typedef int32_t(FBS_CALL* PlugInitFn)(FbsPlugRecord* record);
// PLUG_START: nonzero when output runs. PLUG_STOP: 1 when output stopped.
typedef int32_t(FBS_CALL* PlugStartFn)(void);
typedef int32_t(FBS_CALL* PlugStopFn)(void);
// PLUG_EXIT: closes the device; its result is ignored.
typedef int32_t(FBS_CALL* PlugExitFn)(void);
// PLUG_ERROR: zero-terminated text describing the last error (never null).
typedef const char*(FBS_CALL* PlugErrorFn)(void);
// PLUG_LOST (optional): 1 once the device has stopped under the program
// while output ran (its server went away, its stream failed, its file cannot
// be written, its block size changed to one it cannot serve), else 0.
// Polled by the engine's caller on the main thread, which is also when the
// plug-in brings `frames` up to a period its server changed; the next
// PLUG_INIT starts afresh.
typedef int32_t(FBS_CALL* PlugLostFn)(void);
}

struct FbsPlugRecord {
  void* module;             // engine: handle of the loaded library
  PlugErrorFn plug_error;   // engine: entry PLUG_ERROR
  PlugIsAnyFn plug_isany;   // engine: entry PLUG_ISANY
  PlugInitFn plug_init;     // engine: entry PLUG_INIT
  PlugStartFn plug_start;   // engine: entry PLUG_START
  PlugStopFn plug_stop;     // engine: entry PLUG_STOP
  PlugExitFn plug_exit;     // engine: entry PLUG_EXIT
  PlugLostFn plug_lost;     // engine: entry PLUG_LOST, null when the plug-in has none
#if UINTPTR_MAX == 0xFFFFFFFFu
  int32_t clock_frame;      // see below: in the classic record's reserved place
#endif
  FbsFillFn fill;           // engine: address of fbs_fill
  char name[64];            // plug-in: its name, zero-terminated
  char device[64];          // plug-in: the opened device, zero-terminated
  int32_t framesize;        // plug-in: bytes per frame (4 stereo, 2 mono)
  int32_t frames;           // engine asks, plug-in leaves the value in use
  int32_t buffers;          // engine asks, plug-in leaves the value in use
  int32_t buffersize;       // plug-in: bytes per block, filled by every call
                            // (the most any call fills, see block_bytes)
  void* buffer;             // plug-in: the block to fill, set before each call
  // plug-in, on the thread that calls fill, before each call: when above 0,
  // the bytes this call fills instead of buffersize (at most buffersize, a
  // multiple of framesize), so a device whose period changed is served one
  // frame for one frame. The engine sets it to 0 before PLUG_INIT.
  int32_t block_bytes;
  int32_t rate;             // engine asks, plug-in leaves the value in use
  int32_t bits;             // engine: always 16
  int32_t channels;         // engine: 1 mono, 2 stereo interleaved L, R
  int32_t is_signed;        // plug-in: nonzero when the device takes signed samples
  int32_t device_index;     // engine: device asked for by the caller of FBS_INIT
#if UINTPTR_MAX != 0xFFFFFFFFu
  // plug-in (optional) and engine: the output clock's frame at the first
  // frame of the block a call fills, on a 32-bit clock that wraps. A plug-in
  // whose device has a frame clock (JACK's) sets it before each call; fill
  // advances it by the frames filled, so without that it counts the frames
  // mixed since FBS_INIT, which sets it to 0. (On 32-bit it takes the place
  // the classic record keeps zero, so the record stays 212 bytes.)
  int32_t clock_frame;
#endif
};

#if UINTPTR_MAX == 0xFFFFFFFFu
#include <cstddef>
static_assert(sizeof(FbsPlugRecord) == 212, "FbsPlugRecord must be 212 bytes on 32-bit");
static_assert(offsetof(FbsPlugRecord, fill) == 36, "fill must be at offset 36");
static_assert(offsetof(FbsPlugRecord, name) == 40, "name must be at offset 40");
static_assert(offsetof(FbsPlugRecord, framesize) == 168, "framesize must be at offset 168");
static_assert(offsetof(FbsPlugRecord, buffer) == 184, "buffer must be at offset 184");
static_assert(offsetof(FbsPlugRecord, rate) == 192, "rate must be at offset 192");
static_assert(offsetof(FbsPlugRecord, device_index) == 208, "device_index must be at offset 208");
#endif
