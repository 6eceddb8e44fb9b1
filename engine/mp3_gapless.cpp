// SPDX-License-Identifier: GPL-3.0-or-later
// The encoder's information frame read from the first frame of an MP3 file,
// the frames behind it counted with libmad's header decoder (the same sync
// rules the decoders follow), and the decoded frames trimmed to the samples
// the encoder was given.
#include "engine/mp3_gapless.h"

#include <mad.h>

#include <cstring>

// libmad's synthesis puts an encoder input sample this many samples later
// than the encoder's own count places it.
static const int64_t kDecoderDelay = 529;

// The encoder extension behind the information frame's fields: 36 bytes,
// delay and padding (12 bits each) at 21..23, and at 34..35 the CRC of the
// frame from its first byte up to that field.
static const size_t kExtensionBytes = 36;
static const size_t kExtensionDelay = 21;
static const size_t kExtensionCrc = 34;

// Information frame fields present by flag: frame count, byte count, seek
// table, quality.
static const uint32_t kFlagFrames = 1, kFlagBytes = 2, kFlagSeek = 4, kFlagQuality = 8;

static uint32_t be32(const uint8_t* p) {
  return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
}

uint16_t mp3_tag_crc(const uint8_t* bytes, size_t count) {
  uint16_t crc = 0;
  for (size_t i = 0; i < count; ++i) {
    crc ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
  }
  return crc;
}

// Side information behind the 4-byte header of a layer III frame. The
// encoder writes its information right behind it even when the header
// announces a CRC.
static size_t side_info_bytes(const struct mad_header* h) {
  int mono = h->mode == MAD_MODE_SINGLE_CHANNEL;
  if (h->flags & MAD_FLAG_LSF_EXT) return mono ? 9 : 17;
  return mono ? 17 : 32;
}

// Reads the information frame and its extension from one whole frame of
// length bytes. Returns 1 and sets delay, padding and tag_frames when both
// are there and the CRC matches.
static int read_tag(Mp3Gapless* g, const struct mad_header* h, const uint8_t* frame,
                    size_t length) {
  if (h->layer != MAD_LAYER_III) return 0;
  size_t p = 4 + side_info_bytes(h);
  if (length < p + 8) return 0;
  if (memcmp(frame + p, "Xing", 4) != 0 && memcmp(frame + p, "Info", 4) != 0) return 0;
  uint32_t flags = be32(frame + p + 4);
  p += 8;
  int64_t frames = -1;
  if (flags & kFlagFrames) {
    if (length < p + 4) return 0;
    frames = be32(frame + p);
    p += 4;
  }
  if (flags & kFlagBytes) p += 4;
  if (flags & kFlagSeek) p += 100;
  if (flags & kFlagQuality) p += 4;
  if (length < p + kExtensionBytes) return 0;
  const uint8_t* ext = frame + p;
  uint16_t stored = (uint16_t)((ext[kExtensionCrc] << 8) | ext[kExtensionCrc + 1]);
  if (mp3_tag_crc(frame, p + kExtensionCrc) != stored) return 0;
  const uint8_t* dp = ext + kExtensionDelay;
  g->delay = (dp[0] << 4) | (dp[1] >> 4);
  g->padding = ((dp[1] & 0x0F) << 8) | dp[2];
  g->tag_frames = frames;
  return 1;
}

void mp3_gapless_init(Mp3Gapless* g) {
  memset(g, 0, sizeof *g);
  g->tag_frames = -1;
}

void mp3_gapless_scan(Mp3Gapless* g, struct mad_stream* stream) {
  struct mad_header header;
  mad_header_init(&header);
  for (;;) {
    if (mad_header_decode(&header, stream) == -1) {
      if (MAD_RECOVERABLE(stream->error)) continue;
      break;  // the buffer is used up
    }
    if (!g->seen_first) {
      g->seen_first = 1;
      g->tag = read_tag(g, &header, stream->this_frame,
                        (size_t)(stream->next_frame - stream->this_frame));
      continue;
    }
    g->frames++;
    g->samples += 32 * MAD_NSBSAMPLES(&header);
  }
  mad_header_finish(&header);
}

void mp3_gapless_plan(Mp3Gapless* g) {
  g->active = 0;
  g->tag_pending = 0;
  g->position = 0;
  if (!g->tag || (g->tag_frames >= 0 && g->tag_frames != g->frames)) return;
  int64_t from = g->delay + kDecoderDelay;
  // Padding shorter than the decoder's delay leaves nothing to drop at the end.
  int64_t to = g->samples - g->padding + kDecoderDelay;
  if (to > g->samples) to = g->samples;
  if (from >= to) return;  // delay and padding as long as the audio, or longer
  g->active = 1;
  g->tag_pending = 1;
  g->keep_from = from;
  g->keep_to = to;
}

void mp3_gapless_frame(Mp3Gapless* g, int32_t length, int32_t* first, int32_t* count) {
  *first = 0;
  *count = length;
  if (!g->active) return;
  *count = 0;
  if (g->tag_pending) {
    g->tag_pending = 0;
    return;
  }
  int64_t start = g->position, end = start + length;
  g->position = end;
  int64_t from = start > g->keep_from ? start : g->keep_from;
  int64_t to = end < g->keep_to ? end : g->keep_to;
  if (to <= from) return;
  *first = (int32_t)(from - start);
  *count = (int32_t)(to - from);
}
