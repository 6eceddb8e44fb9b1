// SPDX-License-Identifier: GPL-3.0-or-later
// Finding the format and the samples of a WAV file or in-memory WAV image,
// the canonical header of the files the programs write, and whole-file
// reads and writes.
#include "engine/wav_read.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static uint32_t read_u32(const uint8_t* p) {
  return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) |
         ((uint32_t)p[3] << 24);
}

static uint16_t read_u16(const uint8_t* p) {
  return (uint16_t)(p[0] | (p[1] << 8));
}

static void put_u32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = (uint8_t)(v >> (8 * i));
}

static void put_u16(uint8_t* p, uint16_t v) {
  p[0] = (uint8_t)v;
  p[1] = (uint8_t)(v >> 8);
}

void wav_make_header(uint8_t* h, int32_t channels, uint32_t rate, int32_t bits, uint32_t data_bytes) {
  uint32_t frame_bytes = (uint32_t)(bits / 8 * channels);
  memcpy(h, "RIFF", 4);
  put_u32(h + 4, 36 + data_bytes);
  memcpy(h + 8, "WAVEfmt ", 8);
  put_u32(h + 16, 16);
  put_u16(h + 20, 1);
  put_u16(h + 22, (uint16_t)channels);
  put_u32(h + 24, rate);
  put_u32(h + 28, rate * frame_bytes);
  put_u16(h + 32, (uint16_t)frame_bytes);
  put_u16(h + 34, (uint16_t)bits);
  memcpy(h + 36, "data", 4);
  put_u32(h + 40, data_bytes);
}

// Looks for a 4-byte tag one byte at a time, from pos on, ignoring chunk sizes
// (so a longer "fmt " chunk or a "LIST" chunk before "data" is passed over).
// Returns the position just behind the tag, or 0 when the file ends first.
static size_t scan_tag(const uint8_t* bytes, size_t length, size_t pos,
                       const char* tag) {
  for (; pos + 4 <= length; ++pos)
    if (memcmp(bytes + pos, tag, 4) == 0) return pos + 4;
  return 0;
}

int wav_scan_file(const uint8_t* bytes, size_t length, WavSource* src) {
  if (bytes == nullptr || src == nullptr || length <= kWavHeaderBytes) return 0;
  if (memcmp(bytes, "RIFF", 4) != 0 || memcmp(bytes + 8, "WAVE", 4) != 0) return 0;

  size_t pos = scan_tag(bytes, length, 12, "fmt ");
  // fmt size, format tag, channels, rate, byte rate, block align, bits: 20 bytes.
  if (pos == 0 || pos + 20 > length) return 0;
  if ((int32_t)read_u32(bytes + pos) < 16) return 0;
  if (read_u16(bytes + pos + 4) != 1) return 0;
  WavSource s = {};
  s.channels = read_u16(bytes + pos + 6);
  s.rate = (int32_t)read_u32(bytes + pos + 8);
  s.block_align = read_u16(bytes + pos + 16);
  s.bits = read_u16(bytes + pos + 18);

  pos = scan_tag(bytes, length, pos + 20, "data");
  if (pos == 0 || pos + 4 > length) return 0;
  uint32_t data_size = read_u32(bytes + pos);
  pos += 4;
  if (data_size == 0 || pos >= length) return 0;
  // A size field larger than the file (a cut-off download, a streaming
  // writer's 0xFFFFFFFF) would read past the samples: keep what is there.
  if (data_size > length - pos) data_size = (uint32_t)(length - pos);
  s.data_size = data_size;
  s.data_offset = pos;
  *src = s;
  return 1;
}

int wav_scan_image(const uint8_t* image, WavSource* src) {
  if (image == nullptr || src == nullptr) return 0;
  uint32_t end = read_u32(image + 4);
  if (end <= kWavImageSamplesOffset) return 0;
  const uint8_t* h = image + kWavImageHeaderOffset;
  WavSource s = {};
  s.channels = read_u16(h + 22);
  s.rate = (int32_t)read_u32(h + 24);
  s.block_align = read_u16(h + 32);
  s.bits = read_u16(h + 34);
  uint32_t data_size = read_u32(h + 40);
  // The image ends at its end offset; a header that counts more (frames that
  // no longer fitted into a full image) is limited to the bytes present.
  uint32_t present = end - kWavImageSamplesOffset;
  if (data_size > present) data_size = present;
  if (data_size == 0) return 0;
  s.data_size = data_size;
  s.data_offset = kWavImageSamplesOffset;
  *src = s;
  return 1;
}

int wav_open_regular(const char* path, size_t* length) {
  if (path == nullptr || length == nullptr) return -1;
  // Non-blocking, so a FIFO or device named by mistake cannot stall the open.
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st;
  // Sizes inside the engine are 32-bit.
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > 0x7FFFFFFF) {
    close(fd);
    return -1;
  }
  *length = (size_t)st.st_size;
  return fd;
}

int wav_read_file_into(const char* path, size_t guard, uint8_t** block, size_t* capacity,
                       size_t* length) {
  if (block == nullptr || capacity == nullptr || length == nullptr) return 0;
  size_t len = 0;
  int fd = wav_open_regular(path, &len);
  if (fd < 0) return 0;
  size_t need = len + guard + 1;
  uint8_t* buf = *block;
  if (buf == nullptr || *capacity < need) {
    buf = (uint8_t*)malloc(need);
    if (buf == nullptr) {
      close(fd);
      return 0;
    }
    free(*block);
    *block = buf;
    *capacity = need;
  }
  // Read, not mapped: a file that another program shortens while it loads
  // then fails the load instead of faulting the process.
  size_t got = 0;
  while (got < len) {
    ssize_t n = read(fd, buf + got, len - got);
    if (n <= 0) break;
    got += (size_t)n;
  }
  close(fd);
  if (got != len) return 0;
  memset(buf + len, 0, guard + 1);
  *length = len;
  return 1;
}

int wav_read_whole_file(const char* path, size_t guard, uint8_t** bytes,
                        size_t* length) {
  if (bytes == nullptr || length == nullptr) return 0;
  uint8_t* buf = nullptr;
  size_t capacity = 0;
  if (!wav_read_file_into(path, guard, &buf, &capacity, length)) {
    free(buf);
    return 0;
  }
  *bytes = buf;
  return 1;
}

int write_whole(int fd, const uint8_t* bytes, size_t count) {
  while (count > 0) {
    ssize_t n = write(fd, bytes, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 0;
    bytes += n;
    count -= (size_t)n;
  }
  return 1;
}
