// SPDX-License-Identifier: GPL-3.0-or-later
// Whole-file MP3 decoding for the loaders: libmad's synchronous decoder turns
// an MP3 file held in memory into a 16-bit WAV (header plus samples) in the
// output channel count at the MP3's own rate, inside an in-memory WAV image.
#pragma once
#include <cstddef>
#include <cstdint>

// Frame conversion routines (28-fraction-bit fixed point to 16-bit): one for
// frames of two or more channels, one for one-channel frames, both already
// chosen for the output channel count.
typedef void (*Mp3StereoFrameFn)(void* dst, const int32_t* left, const int32_t* right,
                                 int32_t count);
typedef void (*Mp3MonoFrameFn)(void* dst, const int32_t* samples, int32_t count);

struct Mp3Output {
  int32_t channels;  // output channels
  int32_t bits;      // output bits (16)
  Mp3StereoFrameFn stereo_frame;
  Mp3MonoFrameFn mono_frame;
  // Destination: an in-memory WAV image (the layout of wav_read.h). A fixed
  // image keeps the frames that fit and drops the rest; a growing one
  // (grows 1, image null at first) is malloc'ed and grown to hold them all
  // and left to the caller to release, whatever the result.
  uint8_t* image;
  int32_t grows;
};

// Decodes length bytes of MP3 data (the buffer must be followed by at least
// 8 zero bytes, libmad's guard, which are handed over with it), trimmed to
// the encoded samples when the encoder's tag says where they are. Returns 1
// when the decoder ran to the end without a fatal error, else 0. The final
// header is left at the destination's start.
int mp3_decode_whole(const uint8_t* mp3, size_t length, Mp3Output* out);

// Reads an MP3 file into a malloc'ed buffer with 8 zero guard bytes behind it.
// Returns 0 (nothing allocated) when it does not open or is empty.
int mp3_read_file(const char* path, uint8_t** bytes, size_t* length);

// Bytes of length converted samples: length x 2 x output channels, kept
// below 65536.
uint32_t mp3_frame_bytes(const Mp3Output* out, int32_t length);

// Converts one decoded frame (libmad's 28-fraction-bit samples, `channels`
// of them) into dst with the routines of out; returns its byte count
// (length x 2 x output channels, kept below 65536).
uint32_t mp3_convert_frame(const Mp3Output* out, void* dst, int32_t channels,
                           const int32_t* left, const int32_t* right, int32_t length);

// Fills out for the engine's output format (channels, bits and the frame
// routines for that channel count), with no destination yet.
void mp3_output_for_engine(Mp3Output* out);
