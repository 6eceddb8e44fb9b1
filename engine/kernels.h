// SPDX-License-Identifier: GPL-3.0-or-later
// The engine's exported block kernels and CPU queries: fixed-point and
// saturating routines on 16-bit sample blocks, each exported under its own
// name so other programs can call it too.
//
// Common rules:
// - Samples are 16-bit signed little-endian. "16" routines step over 2-byte
//   samples (mono), "32" routines over 4-byte frames (stereo left + right
//   moved as one unit).
// - Sizes are in bytes. Positions are byte addresses passed by reference and
//   updated; loop counts are passed by reference and updated. Callers that keep
//   these in atomics copy them into locals around the call.
// - A routine whose argument check fails does nothing (no return value).
// - Each routine checks its arguments and then calls the variant chosen at
//   process start (plain, SSE2 or AVX2; results are bit-identical).
// - Blocks given to one call may be the same block where noted (MIX16
//   destination = A, SCALE16 and PAN16 in place) but must not partly overlap.
// - Any thread may call them; they never allocate, lock or wait.
#pragma once
#include <cstdint>

#include "engine/fbs_call.h"

extern "C" {

// ---- CPU queries (flags are 0 or 1; detection runs once at process start) ----

FBS_EXPORT int32_t FBS_CALL ISFPU(void);
FBS_EXPORT int32_t FBS_CALL ISTSC(void);
FBS_EXPORT int32_t FBS_CALL ISCMOV(void);
FBS_EXPORT int32_t FBS_CALL ISMMX(void);
FBS_EXPORT int32_t FBS_CALL ISMMX2(void);  // MMX extensions (extended leaf, bit 22)
FBS_EXPORT int32_t FBS_CALL ISSSE(void);
FBS_EXPORT int32_t FBS_CALL ISSSE2(void);
FBS_EXPORT int32_t FBS_CALL IS3DNOW(void);
FBS_EXPORT int32_t FBS_CALL IS3DNOW2(void);
// Clock estimate in MHz (measured once, on first use).
FBS_EXPORT int32_t FBS_CALL MHZ(void);
// Cycle count: the time-stamp counter, or MHz x seconds without one.
FBS_EXPORT uint64_t FBS_CALL CPUCOUNTER(void);

// ---- Plain block operations ----

// Sets bytes bytes to 0. Needs bytes > 1 and block non-null.
FBS_EXPORT void FBS_CALL ZERO(void* block, int32_t bytes);
// Writes bytes zero bytes into the ring [ring_start, ring_end) from
// *position, wrapping to ring_start at the end; stores the position back. A
// position outside the ring restarts at ring_start. Needs bytes > 0 and all
// pointers non-null.
FBS_EXPORT void FBS_CALL ZEROBUFFER(uint8_t* ring_start, uint8_t** position, uint8_t* ring_end,
                                    int32_t bytes);
// Copies bytes bytes. Needs bytes > 1 and both non-null.
FBS_EXPORT void FBS_CALL COPY(void* dest, const void* src, int32_t bytes);
// dest = a + b per 16-bit sample, saturated to -32768..32767. dest may be a.
// Needs bytes > 1 and even, all non-null.
FBS_EXPORT void FBS_CALL MIX16(void* dest, const void* a, const void* b, int32_t bytes);
// dest = src x factor in 16.16 fixed point (product >> 16, saturated when the
// 32-bit product overflows). In place allowed. Needs bytes > 1 and even.
FBS_EXPORT void FBS_CALL SCALE16(void* dest, const void* src, float factor, int32_t bytes);
// Stereo pan: with left_gain exactly 1.0 the right samples are scaled by
// right_gain (as SCALE16) and the left ones copied; otherwise the left samples
// are scaled by left_gain and the right ones copied. In place allowed.
// Needs bytes > 0 and even, and a gain other than exactly 1.0.
FBS_EXPORT void FBS_CALL PAN16(void* dest, const void* src, float left_gain, float right_gain,
                               int32_t bytes);

// ---- Playing a wave region with loops ----
// start/end bound the loop; *position is the read position; *loops the passes
// left (the routine stops the sound by bringing it to 0 and writes zeros for
// the rest of the block). A slice routine steps by speed as a 16.16 fixed-point
// increment whose fraction starts at 0 on every call. Forward playback wraps
// from end to start, backward from below start to the last unit before end;
// an overshoot longer than the loop wraps as often as it covers, one loop per
// wrap. Positions are whole units (addresses that are multiples of 2 or 4, as
// wave data is): start is rounded up, end down, and a position between units
// moves back to the beginning of its unit, so no read leaves [start, end)
// except at a caller's position before start.

FBS_EXPORT void FBS_CALL COPYRIGHT16(void* dest, uint8_t* start, uint8_t** position, uint8_t* end,
                                     int32_t* loops, int32_t bytes);
FBS_EXPORT void FBS_CALL COPYRIGHT32(void* dest, uint8_t* start, uint8_t** position, uint8_t* end,
                                     int32_t* loops, int32_t bytes);
FBS_EXPORT void FBS_CALL MOVERIGHT16(uint8_t* start, uint8_t** position, uint8_t* end,
                                     int32_t* loops, int32_t bytes);
FBS_EXPORT void FBS_CALL MOVERIGHT32(uint8_t* start, uint8_t** position, uint8_t* end,
                                     int32_t* loops, int32_t bytes);
// speed > 0 (RIGHT) or speed < 0 (LEFT, backwards).
FBS_EXPORT void FBS_CALL COPYSLICERIGHT16(void* dest, uint8_t* start, uint8_t** position,
                                          uint8_t* end, int32_t* loops, float speed, int32_t bytes);
FBS_EXPORT void FBS_CALL COPYSLICERIGHT32(void* dest, uint8_t* start, uint8_t** position,
                                          uint8_t* end, int32_t* loops, float speed, int32_t bytes);
FBS_EXPORT void FBS_CALL COPYSLICELEFT16(void* dest, uint8_t* start, uint8_t** position,
                                         uint8_t* end, int32_t* loops, float speed, int32_t bytes);
FBS_EXPORT void FBS_CALL COPYSLICELEFT32(void* dest, uint8_t* start, uint8_t** position,
                                         uint8_t* end, int32_t* loops, float speed, int32_t bytes);
FBS_EXPORT void FBS_CALL MOVESLICERIGHT16(uint8_t* start, uint8_t** position, uint8_t* end,
                                          int32_t* loops, float speed, int32_t bytes);
FBS_EXPORT void FBS_CALL MOVESLICERIGHT32(uint8_t* start, uint8_t** position, uint8_t* end,
                                          int32_t* loops, float speed, int32_t bytes);
FBS_EXPORT void FBS_CALL MOVESLICELEFT16(uint8_t* start, uint8_t** position, uint8_t* end,
                                         int32_t* loops, float speed, int32_t bytes);
FBS_EXPORT void FBS_CALL MOVESLICELEFT32(uint8_t* start, uint8_t** position, uint8_t* end,
                                         int32_t* loops, float speed, int32_t bytes);

// ---- MP3 frames and the stream ring ----

// Copies bytes / 4 32-bit units from source into the ring at *position,
// wrapping to ring_start when a unit no longer fits before ring_end.
FBS_EXPORT void FBS_CALL COPYMP3FRAME(uint8_t* ring_start, uint8_t** position, uint8_t* ring_end,
                                      const void* source, int32_t bytes);
// Nearest-neighbour resampling into the ring: bytes / 2 (16) or bytes / 4
// (32) units are written; the source advances by ratio units per write
// (16.16 step). The source must hold floor((writes - 1) x ratio) + 2 units.
// Needs ratio > 0.
FBS_EXPORT void FBS_CALL COPYSLICEMP3FRAME16(uint8_t* ring_start, uint8_t** position,
                                             uint8_t* ring_end, const void* source, float ratio,
                                             int32_t bytes);
FBS_EXPORT void FBS_CALL COPYSLICEMP3FRAME32(uint8_t* ring_start, uint8_t** position,
                                             uint8_t* ring_end, const void* source, float ratio,
                                             int32_t bytes);
// Decoder samples (32-bit, 28 fraction bits: 1.0 = 0x10000000) to 16-bit
// PCM: above 0x0FFFFFFF gives 32767, below -0x10000000 gives -32768, else
// x >> 13. Names read: source channels, destination channels, 16-bit output.
// count samples per channel; dest receives count x destination channels.
FBS_EXPORT void FBS_CALL SCALEMP3FRAME_22_16(void* dest, const int32_t* left, const int32_t* right,
                                             int32_t count);
// Mono output of a stereo frame: (conv(left) + conv(right)) >> 2.
FBS_EXPORT void FBS_CALL SCALEMP3FRAME_21_16(void* dest, const int32_t* left, const int32_t* right,
                                             int32_t count);
FBS_EXPORT void FBS_CALL SCALEMP3FRAME_12_16(void* dest, const int32_t* samples, int32_t count);
FBS_EXPORT void FBS_CALL SCALEMP3FRAME_11_16(void* dest, const int32_t* samples, int32_t count);

}  // extern "C"

// Function pointer types, for the engine's per-channel-count routine choice.
typedef void(FBS_CALL* FbsCopyRightFn)(void*, uint8_t*, uint8_t**, uint8_t*, int32_t*, int32_t);
typedef void(FBS_CALL* FbsMoveRightFn)(uint8_t*, uint8_t**, uint8_t*, int32_t*, int32_t);
typedef void(FBS_CALL* FbsCopySliceFn)(void*, uint8_t*, uint8_t**, uint8_t*, int32_t*, float,
                                       int32_t);
typedef void(FBS_CALL* FbsMoveSliceFn)(uint8_t*, uint8_t**, uint8_t*, int32_t*, float, int32_t);
typedef void(FBS_CALL* FbsCopySliceMp3Fn)(uint8_t*, uint8_t**, uint8_t*, const void*, float,
                                          int32_t);
typedef void(FBS_CALL* FbsScaleMp3StereoFn)(void*, const int32_t*, const int32_t*, int32_t);
typedef void(FBS_CALL* FbsScaleMp3MonoFn)(void*, const int32_t*, int32_t);
