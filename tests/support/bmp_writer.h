// Writes small 24-bit BMP files for the picture tests.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// A 24-bit bottom-up BMP with rows padded to four bytes; pixels top-down,
// 0xRRGGBB. Returns false when the file could not be written.
inline bool write_bmp24(const std::string& path, int w, int h, const std::vector<uint32_t>& rgb_top_down) {
  int row_bytes = (w * 3 + 3) & ~3;
  int data = row_bytes * h;
  std::vector<uint8_t> f(54 + data, 0);
  auto le32 = [&](int at, uint32_t v) { for (int i = 0; i < 4; i++) f[at + i] = (uint8_t)(v >> (8 * i)); };
  f[0] = 'B'; f[1] = 'M';
  le32(2, (uint32_t)f.size());
  le32(10, 54);
  le32(14, 40);
  le32(18, (uint32_t)w);
  le32(22, (uint32_t)h);
  f[26] = 1;
  f[28] = 24;
  le32(34, (uint32_t)data);
  for (int y = 0; y < h; y++) {
    uint8_t* row = &f[54 + (size_t)(h - 1 - y) * row_bytes];
    for (int x = 0; x < w; x++) {
      uint32_t c = rgb_top_down[(size_t)y * w + x];
      row[x * 3 + 0] = (uint8_t)c;          // blue
      row[x * 3 + 1] = (uint8_t)(c >> 8);   // green
      row[x * 3 + 2] = (uint8_t)(c >> 16);  // red
    }
  }
  FILE* out = std::fopen(path.c_str(), "wb");
  if (!out) return false;
  bool ok = std::fwrite(f.data(), 1, f.size(), out) == f.size();
  return std::fclose(out) == 0 && ok;
}

// A BMP of one colour.
inline bool write_bmp24_filled(const std::string& path, int w, int h, uint32_t rgb) {
  return write_bmp24(path, w, h, std::vector<uint32_t>((size_t)w * h, rgb));
}
