// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzzes the encoder's information frame at the start of an MP3 file. The
// input does not hold the file itself (almost every mutation would break the
// tag's CRC): it chooses the frame header, the tag's fields (flags, frame
// count, delay, padding, the other bytes), whether its CRC fits, where the
// tag frame is cut, and how many silent frames follow; the target builds the
// file. Every input goes through the tag reader and the trim plan in memory,
// whose kept samples must lie inside the file's frames and add up to the
// planned span. One input in 32 also goes through a loader (both decode
// alike) and one in 128 through the stream, which must take it without
// a crash or a read past the file; a wave is never longer than every frame
// libmad decodes from the file, brought to the output rate. Decoding whole
// files on every input would leave the fuzzer a few hundred inputs a second.
#include <mad.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/engine_state.h"
#include "engine/fbs.h"
#include "engine/mp3_gapless.h"
#include "tests/fuzz/scratch_file.h"
#include "tests/support/engine_test_output.h"

static void quiet(const char*) {}

// Input layout.
enum {
  kHeader1,      // version and protection bits of header byte 1 (layer III is forced)
  kHeader2,      // header byte 2: bit rate, sample rate, padding
  kHeader3,      // header byte 3: channel mode and the rest
  kChoices,      // bit 0 "Xing" else "Info"; 1 spoil the CRC; 2 frame count from the
                 // real frames plus a signed delta in kFrames; 3 end the file inside
                 // the tag frame at kCut; 4 cut the tag frame at kCut and go on with
                 // the silent frames
  kFlags,        // 4 bytes, big-endian
  kFrames = 8,   // 4 bytes, big-endian
  kDelayPadding = 12,  // 3 bytes: 12-bit delay, 12-bit padding
  kCut = 15,     // 2 bytes
  kSilent = 17,  // silent frames behind the tag frame (0..63)
  kFill = 18,    // the tag frame's remaining bytes, in order
};

static const int kKbps[2][15] = {{0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},
                                 {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}};
static const int kMpeg1Rates[3] = {44100, 48000, 32000};

// Bytes of a layer III frame with this header; a fixed size for headers
// that give none (free format, bad values), which libmad then rejects.
static size_t frame_bytes(const uint8_t* h) {
  int version = (h[1] >> 3) & 3;  // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
  int kbps_index = h[2] >> 4, rate_index = (h[2] >> 2) & 3, pad = (h[2] >> 1) & 1;
  if (version == 1 || kbps_index == 0 || kbps_index == 15 || rate_index == 3) return 417;
  int rate = kMpeg1Rates[rate_index] >> (version == 3 ? 0 : version == 2 ? 1 : 2);
  int kbps = kKbps[version == 3 ? 0 : 1][kbps_index];
  return (size_t)((version == 3 ? 144 : 72) * 1000 * kbps / rate + pad);
}

static void put_be32(uint8_t* p, uint32_t v) {
  p[0] = (uint8_t)(v >> 24);
  p[1] = (uint8_t)(v >> 16);
  p[2] = (uint8_t)(v >> 8);
  p[3] = (uint8_t)v;
}

// The file the input describes.
static std::vector<uint8_t> build_file(const uint8_t* in, size_t size) {
  uint8_t c[kFill] = {};
  memcpy(c, in, size < kFill ? size : kFill);
  const uint8_t header[4] = {0xFF, (uint8_t)(0xE2 | (c[kHeader1] & 0x19)), c[kHeader2],
                             c[kHeader3]};
  const size_t n = frame_bytes(header);
  const int silent = c[kSilent] & 63;
  std::vector<uint8_t> frame(n > 4 ? n : 4, 0);
  memcpy(frame.data(), header, 4);

  // The tag where the encoder puts it: behind the side information.
  bool mono = (header[3] >> 6) == 3, mpeg1 = ((header[1] >> 3) & 3) == 3;
  size_t p = 4 + (mpeg1 ? (mono ? 17 : 32) : (mono ? 9 : 17));
  std::vector<uint8_t> tag(8 + 4 + 4 + 100 + 4 + 36, 0);
  memcpy(tag.data(), (c[kChoices] & 1) ? "Xing" : "Info", 4);
  uint32_t flags = ((uint32_t)c[kFlags] << 24) | ((uint32_t)c[kFlags + 1] << 16) |
                   ((uint32_t)c[kFlags + 2] << 8) | c[kFlags + 3];
  put_be32(&tag[4], flags);
  size_t q = 8;
  if (flags & 1) {
    uint32_t frames = ((uint32_t)c[kFrames] << 24) | ((uint32_t)c[kFrames + 1] << 16) |
                      ((uint32_t)c[kFrames + 2] << 8) | c[kFrames + 3];
    if (c[kChoices] & 4) frames = (uint32_t)(silent + (int8_t)c[kFrames]);
    put_be32(&tag[q], frames);
    q += 4;
  }
  // The byte count, seek table and quality fields, then the extension, take
  // the free bytes of the input.
  size_t fields = q + ((flags & 2) ? 4 : 0) + ((flags & 4) ? 100 : 0) + ((flags & 8) ? 4 : 0);
  size_t fill = kFill;
  for (size_t i = q; i < fields + 36; ++i) tag[i] = fill < size ? in[fill++] : 0;
  tag.resize(fields + 36);
  tag[fields + 21] = c[kDelayPadding];
  tag[fields + 22] = c[kDelayPadding + 1];
  tag[fields + 23] = c[kDelayPadding + 2];
  for (size_t i = 0; i < tag.size() && p + i < frame.size(); ++i) frame[p + i] = tag[i];
  size_t crc_at = p + fields + 34;
  if (crc_at + 2 <= frame.size()) {
    uint16_t crc = mp3_tag_crc(frame.data(), crc_at) ^ ((c[kChoices] & 2) ? 0x5A5A : 0);
    frame[crc_at] = (uint8_t)(crc >> 8);
    frame[crc_at + 1] = (uint8_t)crc;
  }

  size_t cut = (((size_t)c[kCut] << 8) | c[kCut + 1]) % (frame.size() + 1);
  std::vector<uint8_t> file(frame.begin(),
                            frame.begin() + ((c[kChoices] & 0x18) ? cut : frame.size()));
  if (c[kChoices] & 8) return file;
  // Silent frames: the same header and nothing behind it.
  std::vector<uint8_t> silence(frame.size(), 0);
  memcpy(silence.data(), header, 4);
  for (int i = 0; i < silent; ++i) file.insert(file.end(), silence.begin(), silence.end());
  return file;
}

// Loads the file through one of the whole-file loaders (both decode alike);
// returns the wave's byte count, or -1 when the load failed. Reads the
// wave's last byte.
static long load(const std::string& path, const std::string& tmp, bool via_image) {
  int32_t wave = 7;
  // 1 MiB holds the 64 frames a built file has at most, so no image is cut.
  int32_t ok = via_image ? FBS_LOAD_MP3FILE_SHORT(path.c_str(), &wave, 1 << 20, 0)
                         : FBS_LOAD_MP3FILE(path.c_str(), &wave, tmp.c_str());
  struct stat st;
  if (stat(tmp.c_str(), &st) == 0) abort();  // the temporary file stayed
  if (!ok) {
    if (wave != -1) abort();
    return -1;
  }
  void *begin = nullptr, *end = nullptr;
  if (FBS_GET_WAVEPOINTERS(wave, &begin, &end, nullptr) != 1) abort();
  long bytes = (long)((uint8_t*)end - (uint8_t*)begin);
  if (bytes <= 0) abort();
  volatile uint8_t last = *((uint8_t*)end - 1);
  (void)last;
  if (FBS_DESTROY_WAVE(&wave) != 1) abort();
  return bytes;
}

// Samples of every frame libmad decodes from the file, untrimmed.
static long decoded_samples(std::vector<uint8_t> file) {
  file.resize(file.size() + MAD_BUFFER_GUARD, 0);
  struct mad_stream s;
  struct mad_frame fr;
  mad_stream_init(&s);
  mad_frame_init(&fr);
  mad_stream_buffer(&s, file.data(), file.size());
  long samples = 0;
  for (;;) {
    if (mad_frame_decode(&fr, &s) == 0)
      samples += 32 * MAD_NSBSAMPLES(&fr.header);
    else if (!MAD_RECOVERABLE(s.error))
      break;
  }
  mad_frame_finish(&fr);
  mad_stream_finish(&s);
  return samples;
}

// One input in this many is decoded too (a decode costs a hundred plans).
static const uint32_t kDecodeOneIn = 32;

// The tag reader and the trim plan over the file in memory, and the frames
// as a decoder meets them: the information frame, then the counted frames
// (whose lengths add up to the counted samples).
static void check_plan(std::vector<uint8_t> file) {
  file.resize(file.size() + MAD_BUFFER_GUARD, 0);
  struct mad_stream s;
  mad_stream_init(&s);
  mad_stream_buffer(&s, file.data(), file.size());
  Mp3Gapless g;
  mp3_gapless_init(&g);
  mp3_gapless_scan(&g, &s);
  mad_stream_finish(&s);
  mp3_gapless_plan(&g);
  if (g.delay < 0 || g.delay > 4095 || g.padding < 0 || g.padding > 4095) abort();
  if (g.frames < 0 || g.samples < 0 || g.samples > g.frames * 1152) abort();
  if (!g.active) return;
  if (g.keep_from < 0 || g.keep_from >= g.keep_to || g.keep_to > g.samples) abort();
  int32_t first = 0, count = 0;
  mp3_gapless_frame(&g, 1152, &first, &count);
  if (count != 0) abort();  // the information frame is dropped whole
  int64_t kept = 0, left = g.samples;
  for (int64_t i = g.frames; i > 0; --i) {
    int32_t length = (int32_t)(left / i);
    left -= length;
    mp3_gapless_frame(&g, length, &first, &count);
    if (first < 0 || count < 0 || (int64_t)first + count > length) abort();
    kept += count;
  }
  if (kept != g.keep_to - g.keep_from) abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const ScratchFile mp3("fuzz_engine_mp3_tag", ".mp3");
  static const std::string tmp = scratch_path("fuzz_engine_mp3_tag", ".wav");
  std::vector<uint8_t> file = build_file(data, size);
  check_plan(file);
  // Which inputs decode: a hash of the input, so every kind of file gets its
  // share and a run repeats exactly.
  uint32_t hash = 2166136261u;
  for (size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 16777619u;
  if (hash % kDecodeOneIn != 0) return 0;

  fbs_set_text_sink(quiet);
  const int channels = size % 2 == 0 ? 2 : 1;
  FbsPlugRecord* record = enginetest::use_output(44100, channels, 512);
  if (!mp3.write(file.data(), file.size())) return 0;
  long bytes = load(mp3.path, tmp, (size & 2) != 0);
  // 8000 Hz, the lowest MP3 rate, grows 5.5 times at 44100 Hz.
  if (bytes > (decoded_samples(file) + 2) * 6 * 2 * channels) abort();

  // The stream starts a decoder thread: one of these inputs in four.
  if ((size & 12) == 0 && FBS_CREATE_MP3STREAM(mp3.path.c_str()) == 1) {
    std::vector<int16_t> block(record->buffersize / 2);
    record->buffer = block.data();
    if (FBS_PLAY_MP3STREAM(1.0f, 0.0f) != 1) abort();
    for (int i = 0; i < 6; ++i) fbs_fill(record);
    record->buffer = nullptr;
    FBS_END_MP3STREAM();
  }
  return 0;
}
