// SPDX-License-Identifier: GPL-3.0-or-later
// BMP pictures: the size from a header, the layout of a picture's pixels
// with every field checked against the file, and the decoder that reads the
// rows an image needs, from memory or from a file.
#include "platform/bmp.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <vector>

#include "platform/window.h"

namespace {

uint32_t u16(const uint8_t* d, size_t at) { return (uint32_t)d[at] | (uint32_t)d[at + 1] << 8; }
uint32_t u32(const uint8_t* d, size_t at) { return u16(d, at) | u16(d, at + 2) << 16; }

constexpr size_t kFileHeaderBytes = 14;
constexpr uint32_t kCoreHeaderBytes = 12;
constexpr size_t kInfoHeaderBytes = 40;  // the part every Windows info header shares
constexpr uint32_t kUncompressed = 0;
constexpr uint32_t kBitfields = 3;

bool windows_info_header(uint32_t size) {
  return size == 40 || size == 52 || size == 56 || size == 108 || size == 124;
}

// The byte of a pixel that a channel mask selects: masks of one whole byte
// only (0xFF, 0xFF00, 0xFF0000, 0xFF000000); -1 for any other.
int mask_byte(uint32_t mask) {
  for (int b = 0; b < 4; b++)
    if (mask == 0xFFu << (8 * b)) return b;
  return -1;
}

// A file opened for reading only when it is a regular file: a FIFO named like
// a picture must not hang the program. -1 when not.
int open_regular(const char* path, uint64_t* size) {
  if (!path) return -1;
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return -1;
  }
  *size = (uint64_t)st.st_size;
  return fd;
}

bool read_at(int fd, uint64_t offset, size_t count, uint8_t* out) {
  while (count > 0) {
    ssize_t n = pread(fd, out, count, (off_t)offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    out += n;
    offset += (uint64_t)n;
    count -= (size_t)n;
  }
  return true;
}

struct Memory {
  const uint8_t* data;
  size_t size;
};

bool read_memory(void* source, uint64_t offset, size_t count, uint8_t* out) {
  const Memory* m = static_cast<const Memory*>(source);
  if (offset > m->size || count > m->size - offset) return false;
  std::copy(m->data + offset, m->data + offset + count, out);
  return true;
}

bool read_file(void* source, uint64_t offset, size_t count, uint8_t* out) {
  return read_at(*static_cast<int*>(source), offset, count, out);
}

}  // namespace

bool win_bmp_header_size(const uint8_t* d, size_t n, int* width, int* height) {
  if (!d || n < 26 || d[0] != 'B' || d[1] != 'M') return false;
  long long w, h;
  if (u32(d, 14) == kCoreHeaderBytes) {  // 16-bit sizes
    w = u16(d, 18);
    h = u16(d, 20);
  } else {
    w = (int32_t)u32(d, 18);
    h = (int32_t)u32(d, 22);  // negative for rows stored top-down
  }
  if (h < 0) h = -h;
  if (w < 1 || h < 1 || w > INT32_MAX || h > INT32_MAX) return false;
  if (width) *width = (int)w;
  if (height) *height = (int)h;
  return true;
}

bool win_bmp_size(const char* path, int* width, int* height) {
  uint64_t size = 0;
  int fd = open_regular(path, &size);
  if (fd < 0) return false;
  uint8_t header[26];
  bool ok = size >= sizeof header && read_at(fd, 0, sizeof header, header) &&
            win_bmp_header_size(header, sizeof header, width, height);
  close(fd);
  return ok;
}

bool bmp_read_layout(const uint8_t* d, size_t n, uint64_t file_size, BmpLayout* layout) {
  BmpLayout l;
  if (n > file_size || !win_bmp_header_size(d, n, &l.width, &l.height)) return false;
  uint32_t header = u32(d, 14);
  bool core = header == kCoreHeaderBytes;
  if (!core && !windows_info_header(header)) return false;
  uint64_t header_end = kFileHeaderBytes + header;
  if (header_end > n) return false;
  uint32_t bits = u16(d, core ? 24 : 28);
  uint32_t compression = core ? kUncompressed : u32(d, 30);
  l.top_down = !core && (int32_t)u32(d, 22) < 0;

  uint64_t tables_end = header_end;  // masks and palette end here
  if (bits == 8 && compression == kUncompressed) {
    l.bytes_per_pixel = 1;
    uint32_t colours = core ? 0 : u32(d, 46);
    if (colours == 0) colours = 256;
    if (colours > 256) return false;
    // The palette lies between the header and the pixels; entries it lacks
    // stay black.
    size_t entry = core ? 3 : 4;
    uint64_t pixels_at = u32(d, 10);
    if (pixels_at > header_end) colours = (uint32_t)std::min<uint64_t>(colours, (pixels_at - header_end) / entry);
    else colours = 0;
    tables_end = header_end + colours * entry;
    if (tables_end > n) return false;
    for (uint32_t i = 0; i < colours; i++) {
      const uint8_t* e = d + header_end + i * entry;
      l.palette[i] = (uint32_t)e[2] << 16 | (uint32_t)e[1] << 8 | e[0];
    }
  } else if ((bits == 24 || bits == 32) && compression == kUncompressed) {
    l.bytes_per_pixel = (int)bits / 8;
  } else if (bits == 32 && compression == kBitfields && !core) {
    l.bytes_per_pixel = 4;
    // The masks follow a plain info header and sit inside the longer ones.
    uint64_t masks_end = kFileHeaderBytes + kInfoHeaderBytes + 12;
    if (masks_end > n) return false;
    tables_end = std::max(tables_end, masks_end);
    l.red_byte = mask_byte(u32(d, 54));
    l.green_byte = mask_byte(u32(d, 58));
    l.blue_byte = mask_byte(u32(d, 62));
    if (l.red_byte < 0 || l.green_byte < 0 || l.blue_byte < 0 || l.red_byte == l.green_byte ||
        l.red_byte == l.blue_byte || l.green_byte == l.blue_byte)
      return false;
  } else {
    return false;
  }

  l.pixels_at = u32(d, 10);
  if (l.pixels_at < tables_end) return false;
  l.stride = ((uint64_t)l.width * bits + 31) / 32 * 4;
  // Every row lies inside the file; the last one may lack its padding.
  uint64_t row_bytes = (uint64_t)l.width * (uint64_t)l.bytes_per_pixel;
  if (l.pixels_at > file_size || (uint64_t)(l.height - 1) > (file_size - l.pixels_at) / l.stride) return false;
  uint64_t last_row = l.pixels_at + l.stride * (uint64_t)(l.height - 1);
  if (row_bytes > file_size - last_row) return false;
  *layout = l;
  return true;
}

bool bmp_decode_rows(const BmpLayout& l, BmpReadFn read, void* source, uint32_t* pixels, int width,
                     int height) {
  int w = std::min(width, l.width), h = std::min(height, l.height);
  if (w < 1 || h < 1) return true;
  const int bpp = l.bytes_per_pixel;
  std::vector<uint8_t> row((size_t)w * bpp);
  for (int y = 0; y < h; y++) {
    uint64_t stored = l.top_down ? (uint64_t)y : (uint64_t)(l.height - 1 - y);
    if (!read(source, l.pixels_at + stored * l.stride, row.size(), row.data())) return false;
    uint32_t* out = pixels + (size_t)y * width;
    if (bpp == 1) {
      for (int x = 0; x < w; x++) out[x] = l.palette[row[x]];
    } else {
      for (int x = 0; x < w; x++) {
        const uint8_t* p = &row[(size_t)x * bpp];
        out[x] = (uint32_t)p[l.red_byte] << 16 | (uint32_t)p[l.green_byte] << 8 | p[l.blue_byte];
      }
    }
  }
  return true;
}

bool bmp_decode(const uint8_t* data, size_t size, uint32_t* pixels, int width, int height) {
  BmpLayout layout;
  if (!data || !bmp_read_layout(data, std::min(size, kBmpHeadBytes), size, &layout)) return false;
  Memory memory{data, size};
  // The layout holds every row inside the data: the reads cannot fail.
  return bmp_decode_rows(layout, read_memory, &memory, pixels, width, height);
}

bool bmp_load_file(const char* path, uint32_t* pixels, int width, int height) {
  uint64_t size = 0;
  int fd = open_regular(path, &size);
  if (fd < 0) return false;
  uint8_t head[kBmpHeadBytes];
  size_t n = (size_t)std::min<uint64_t>(size, sizeof head);
  BmpLayout layout;
  bool ok = read_at(fd, 0, n, head) && bmp_read_layout(head, n, size, &layout);
  // Decoded aside: a file cut short meanwhile leaves the buffer as it was.
  int w = std::min(width, layout.width), h = std::min(height, layout.height);
  std::vector<uint32_t> part;
  if (ok && w > 0 && h > 0) {
    part.resize((size_t)w * h);
    ok = bmp_decode_rows(layout, read_file, &fd, part.data(), w, h);
  }
  close(fd);
  if (!ok) return false;
  for (int y = 0; y < h; y++) std::copy_n(&part[(size_t)y * w], w, pixels + (size_t)y * width);
  return true;
}

bool win_image_load_bmp(WinImage* image, const char* path) {
  return image && bmp_load_file(path, image->pixels.data(), image->width, image->height);
}
