// SPDX-License-Identifier: GPL-3.0-or-later
// BMP pictures: the window layer's own decoder, used by every back end. A
// picture is a Windows bitmap whose pixels are stored uncompressed with 24
// or 32 bits (32-bit ones plain or with byte-wide channel masks) or as 8-bit
// indices into a palette, with rows bottom-up or top-down, under the core
// header or any of the Windows info headers. Any other kind of file, and one
// whose fields point outside it, is not a picture. Alpha is dropped.
// Threads: any; nothing here keeps state.
#pragma once
#include <cstddef>
#include <cstdint>

// Bytes at the start of a file that hold every header, mask and palette a
// picture can have.
constexpr size_t kBmpHeadBytes = 14 + 124 + 256 * 4;

// Where a picture's pixels lie and how they are stored, all checked against
// the file's size.
struct BmpLayout {
  int width = 0;
  int height = 0;
  bool top_down = false;     // the first stored row is the top one
  int bytes_per_pixel = 0;   // 1 (palette), 3 or 4
  uint64_t pixels_at = 0;    // file offset of the first stored row
  uint64_t stride = 0;       // bytes from one stored row to the next
  int red_byte = 2, green_byte = 1, blue_byte = 0;  // of a 3- or 4-byte pixel
  uint32_t palette[256] = {};  // 0xRRGGBB; entries the file lacks are black
};

// Reads the layout from the first n bytes of a file of file_size bytes (n
// at least min(file_size, kBmpHeadBytes)). False when it is not a picture.
bool bmp_read_layout(const uint8_t* head, size_t n, uint64_t file_size, BmpLayout* layout);

// Reads `count` bytes at `offset` of the picture's file into `out`; false
// when they cannot all be read.
using BmpReadFn = bool (*)(void* source, uint64_t offset, size_t count, uint8_t* out);

// Converts the picture into a width x height buffer of 0xRRGGBB values from
// the top-left corner (the overlap of the two sizes), reading only the bytes
// of the overlap; the rest of the buffer is left as it is. False when a read
// fails (the buffer may then be partly written).
bool bmp_decode_rows(const BmpLayout& layout, BmpReadFn read, void* source, uint32_t* pixels,
                     int width, int height);

// A whole file held in memory, into the buffer as above. False, leaving the
// buffer unchanged, when it is not a picture.
bool bmp_decode(const uint8_t* data, size_t size, uint32_t* pixels, int width, int height);

// A picture file, into the buffer as above, holding at most one row of the
// file in memory. False, leaving the buffer unchanged, when the file is
// missing, not a regular file or not a picture.
bool bmp_load_file(const char* path, uint32_t* pixels, int width, int height);
