// SPDX-License-Identifier: GPL-3.0-or-later
// libmad's synchronous decoder driven over a whole MP3 file in memory, each
// decoded frame trimmed to the encoded samples (mp3_gapless) and converted
// to the output channel count straight into an in-memory WAV image whose
// header grows with every frame.
#include "engine/mp3_decode.h"

#include <mad.h>

#include <cstdlib>
#include <cstring>

#include "engine/mp3_gapless.h"
#include "engine/wav_read.h"
#include "engine/wav_text.h"

// Samples of one decoded frame at most.
static const int64_t kFrameSamples = 1152;
// A wave's byte count is a 32-bit value: no image grows beyond it.
static const uint64_t kImageLimit = 0x7FFFFFFF;

struct DecodeContext {
  const uint8_t* mp3;
  size_t length;
  int handed;  // the file image goes to libmad exactly once
  Mp3Output* out;
  uint8_t header[kWavHeaderBytes];
  uint32_t riff_size;
  uint32_t data_size;
  int out_of_memory;  // a growing image could not grow: the decode fails
  Mp3Gapless gapless;
};

static void put_u32(uint8_t* p, uint32_t v) {
  p[0] = (uint8_t)v;
  p[1] = (uint8_t)(v >> 8);
  p[2] = (uint8_t)(v >> 16);
  p[3] = (uint8_t)(v >> 24);
}

static uint32_t get_u32(const uint8_t* p) {
  return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) |
         ((uint32_t)p[3] << 24);
}

// Canonical 44-byte header for the output format at the MP3's own rate.
static void build_header(DecodeContext* c, uint32_t rate) {
  wav_make_header(c->header, c->out->channels, rate, c->out->bits, c->data_size);
}

static void update_sizes(DecodeContext* c) {
  put_u32(c->header + 4, c->riff_size);
  put_u32(c->header + 40, c->data_size);
}

uint32_t mp3_frame_bytes(const Mp3Output* out, int32_t length) {
  uint32_t block_align = (uint32_t)(out->bits / 8 * out->channels);
  return ((uint32_t)length * block_align) & 0xFFFFu;
}

uint32_t mp3_convert_frame(const Mp3Output* out, void* dst, int32_t channels,
                           const int32_t* left, const int32_t* right, int32_t length) {
  if (channels >= 2)
    out->stereo_frame(dst, left, right, length);
  else
    out->mono_frame(dst, left, length);
  return mp3_frame_bytes(out, length);
}

// Gives a growing image an end offset above need (the write offset plus a
// frame). Returns 0 when it cannot grow.
static int make_room(Mp3Output* out, uint64_t need) {
  uint32_t end = get_u32(out->image + 4);
  if (need < end) return 1;
  uint64_t size = (uint64_t)end * 2 > need + 1 ? (uint64_t)end * 2 : need + 1;
  if (size > kImageLimit) size = kImageLimit;
  if (need >= size) return 0;
  uint8_t* grown = (uint8_t*)realloc(out->image, (size_t)size);
  if (grown == nullptr) return 0;
  out->image = grown;
  put_u32(grown + 4, (uint32_t)size);
  return 1;
}

// A growing image's first block: room for every sample the scan counted, so
// that it normally never moves (or less, when that much is not to be had).
static int start_image(Mp3Output* out, const Mp3Gapless* g) {
  uint32_t block_align = (uint32_t)(out->bits / 8 * out->channels);
  uint64_t size = kWavImageSamplesOffset + 1 +
                  (uint64_t)(g->samples + kFrameSamples) * block_align;
  if (size > kImageLimit) size = kImageLimit;
  out->image = (uint8_t*)malloc((size_t)size);
  if (out->image == nullptr) {
    size = kWavImageSamplesOffset + 1 + kFrameSamples * block_align;
    out->image = (uint8_t*)malloc((size_t)size);
    if (out->image == nullptr) return 0;
  }
  memset(out->image, 0, kWavImageSamplesOffset);
  put_u32(out->image, kWavImageHeaderOffset);
  put_u32(out->image + 4, (uint32_t)size);
  return 1;
}

static enum mad_flow on_input(void* data, struct mad_stream* stream) {
  DecodeContext* c = (DecodeContext*)data;
  if (c->handed) return MAD_FLOW_STOP;
  c->handed = 1;
  mad_stream_buffer(stream, c->mp3, c->length);
  return MAD_FLOW_CONTINUE;
}

static enum mad_flow on_error(void*, struct mad_stream* stream, struct mad_frame*) {
  if (MAD_RECOVERABLE(stream->error) || stream->error == MAD_ERROR_BUFLEN)
    return MAD_FLOW_CONTINUE;
  return MAD_FLOW_BREAK;
}

static enum mad_flow on_output(void* data, struct mad_header const*, struct mad_pcm* pcm) {
  DecodeContext* c = (DecodeContext*)data;
  Mp3Output* out = c->out;
  int32_t first = 0, count = 0;
  mp3_gapless_frame(&c->gapless, pcm->length, &first, &count);
  if (count == 0) return MAD_FLOW_CONTINUE;
  uint32_t bytes = mp3_frame_bytes(out, count);
  if (c->data_size == 0) {
    build_header(c, pcm->samplerate);
    memcpy(out->image + kWavImageHeaderOffset, c->header, kWavHeaderBytes);
    put_u32(out->image, kWavImageSamplesOffset);
  }
  c->riff_size += bytes;
  c->data_size += bytes;
  uint32_t write = get_u32(out->image);
  if (out->grows && !make_room(out, (uint64_t)write + bytes)) {
    c->out_of_memory = 1;
    return MAD_FLOW_BREAK;
  }
  // A full image keeps the frames that fitted and drops this one and all later.
  if ((uint64_t)write + bytes < get_u32(out->image + 4)) {
    mp3_convert_frame(out, out->image + write, pcm->channels, pcm->samples[0] + first,
                      pcm->samples[1] + first, count);
    put_u32(out->image, write + bytes);
  } else {
    put_u32(out->image, get_u32(out->image + 4));
  }
  return MAD_FLOW_CONTINUE;
}

int mp3_decode_whole(const uint8_t* mp3, size_t length, Mp3Output* out) {
  if (mp3 == nullptr || out == nullptr || out->stereo_frame == nullptr ||
      out->mono_frame == nullptr)
    return 0;
  // A fixed image is the caller's; a growing one is made here.
  if (out->grows ? out->image != nullptr : out->image == nullptr) return 0;
  DecodeContext c = {};
  c.mp3 = mp3;
  // libmad decodes a frame only with MAD_BUFFER_GUARD bytes behind it; the
  // zero guard lets the last frame of the file through.
  c.length = length + MAD_BUFFER_GUARD;
  c.out = out;
  c.riff_size = 36;

  // The whole file is scanned for the encoder's tag before decoding starts.
  struct mad_stream scan;
  mad_stream_init(&scan);
  mad_stream_buffer(&scan, c.mp3, c.length);
  mp3_gapless_init(&c.gapless);
  mp3_gapless_scan(&c.gapless, &scan);
  mad_stream_finish(&scan);
  mp3_gapless_plan(&c.gapless);
  if (out->grows && !start_image(out, &c.gapless)) return 0;

  struct mad_decoder decoder;
  mad_decoder_init(&decoder, &c, on_input, nullptr, nullptr, on_output, on_error, nullptr);
  int result = mad_decoder_run(&decoder, MAD_DECODER_MODE_SYNC);
  mad_decoder_finish(&decoder);

  // The final header, with the sizes of every frame, goes to the start again.
  update_sizes(&c);
  memcpy(out->image + kWavImageHeaderOffset, c.header, kWavHeaderBytes);
  return result == 0 && !c.out_of_memory;
}

int mp3_read_file(const char* path, uint8_t** bytes, size_t* length) {
  uint8_t* buf = nullptr;
  size_t len = 0;
  // MAD_BUFFER_GUARD zero bytes behind the data let libmad decode the last frame.
  if (!wav_read_whole_file(path, MAD_BUFFER_GUARD, &buf, &len)) return 0;
  if (len == 0) {
    free(buf);
    return 0;
  }
  *bytes = buf;
  *length = len;
  return 1;
}
