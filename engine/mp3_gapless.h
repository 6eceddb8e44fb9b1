// SPDX-License-Identifier: GPL-3.0-or-later
// Gapless MP3 decoding. An encoder puts an information frame ("Xing" or
// "Info") first in the file, which a decoder plays as one frame of silence,
// then primes its filters with a delay of its own before the first encoded
// sample and pads the last frame. When that frame carries the encoder's
// extension (delay and padding, protected by a CRC) and its numbers fit the
// file, the decoders drop the information frame, the delay (plus libmad's
// own) and the padding, so that the output holds exactly the encoded samples.
// Anything else decodes untrimmed.
//
// Use: mp3_gapless_init, mp3_gapless_scan over the whole file (once, in as
// many buffers as needed), mp3_gapless_plan, then mp3_gapless_frame for each
// decoded frame in order.
#pragma once
#include <cstddef>
#include <cstdint>

struct mad_stream;

struct Mp3Gapless {
  // Found by the scan.
  int32_t seen_first;   // the first frame has been examined
  int32_t tag;          // it is an information frame with a valid extension
  int32_t delay;        // encoder delay, samples (0..4095)
  int32_t padding;      // encoder padding, samples (0..4095)
  int64_t tag_frames;   // frame count the tag records, -1 when it has none
  int64_t frames;       // frames behind the first one
  int64_t samples;      // samples in those frames
  // Decided by the plan; advanced by every decoded frame.
  int32_t active;       // 1: trim as below; 0: every frame whole
  int32_t tag_pending;  // the next decoded frame is the information frame
  int64_t keep_from;    // first kept sample, counted behind the information frame
  int64_t keep_to;      // one past the last kept sample
  int64_t position;     // samples decoded behind the information frame so far
};

void mp3_gapless_init(Mp3Gapless* g);

// Reads frame headers from the stream's buffer (from its next frame) until
// the buffer runs out: examines the first frame for the tag and counts the
// frames and samples behind it. Call again after each refill of the buffer.
void mp3_gapless_scan(Mp3Gapless* g, struct mad_stream* stream);

// After the whole file was scanned: trims only when the tag's numbers fit
// the file (its frame count, when it has one, is the frames found behind it,
// and the delay and padding leave samples to keep).
void mp3_gapless_plan(Mp3Gapless* g);

// The CRC that protects the information frame: CRC-16 with the polynomial
// 0x8005 taken bit-reversed (0xA001), starting at 0.
uint16_t mp3_tag_crc(const uint8_t* bytes, size_t count);

// The part of the next decoded frame (length samples) to keep: *first
// samples in, *count samples long (0: drop the frame).
void mp3_gapless_frame(Mp3Gapless* g, int32_t length, int32_t* first, int32_t* count);
