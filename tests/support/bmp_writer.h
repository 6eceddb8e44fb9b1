// SPDX-License-Identifier: GPL-3.0-or-later
// Writes small BMP files of every kind the window layer reads, for the
// picture tests.
#pragma once
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

enum class BmpKind {
  kRgb24,                // info header, rows bottom-up
  kRgb24TopDown,         // info header, negative height
  kRgb32,                // info header, blue, green, red and an unused byte
  kBitfields32,          // info header followed by the three channel masks
  kV5Bitfields32TopDown, // the longest header, its masks red, green, blue, alpha from the high byte
  kPalette8,             // info header, a palette of the picture's colours
  kCorePalette8,         // core header, 3-byte palette entries
  kCoreRgb24,            // core header
};

// The file's bytes for w x h pixels given top-down as 0xRRGGBB. The 8-bit
// kinds keep the first 256 distinct colours; later ones take entry 0.
inline std::vector<uint8_t> bmp_bytes(BmpKind kind, int w, int h, const std::vector<uint32_t>& rgb_top_down) {
  const bool core = kind == BmpKind::kCorePalette8 || kind == BmpKind::kCoreRgb24;
  const bool v5 = kind == BmpKind::kV5Bitfields32TopDown;
  const bool top_down = kind == BmpKind::kRgb24TopDown || v5;
  const int bits = kind == BmpKind::kPalette8 || kind == BmpKind::kCorePalette8 ? 8
                   : kind == BmpKind::kRgb32 || kind == BmpKind::kBitfields32 || v5 ? 32
                                                                                     : 24;
  std::vector<uint32_t> palette;
  if (bits == 8)
    for (uint32_t c : rgb_top_down)
      if (palette.size() < 256 && std::find(palette.begin(), palette.end(), c) == palette.end()) palette.push_back(c);
  const size_t header = core ? 12 : v5 ? 124 : 40;
  const size_t entry = core ? 3 : 4;
  const size_t offset = 14 + header + (kind == BmpKind::kBitfields32 ? 12 : 0) + palette.size() * entry;
  const size_t stride = ((size_t)w * bits + 31) / 32 * 4;
  std::vector<uint8_t> f(offset + stride * h, 0);
  auto le = [&](size_t at, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; i++) f[at + i] = (uint8_t)(v >> (8 * i));
  };
  f[0] = 'B';
  f[1] = 'M';
  le(2, (uint32_t)f.size(), 4);
  le(10, (uint32_t)offset, 4);
  le(14, (uint32_t)header, 4);
  if (core) {
    le(18, (uint32_t)w, 2);
    le(20, (uint32_t)h, 2);
    le(22, 1, 2);
    le(24, (uint32_t)bits, 2);
  } else {
    le(18, (uint32_t)w, 4);
    le(22, (uint32_t)(top_down ? -h : h), 4);
    le(26, 1, 2);
    le(28, (uint32_t)bits, 2);
    le(34, (uint32_t)(stride * h), 4);
    le(46, (uint32_t)palette.size(), 4);
  }
  if (kind == BmpKind::kBitfields32) {
    le(30, 3, 4);
    le(54, 0x00FF0000, 4);
    le(58, 0x0000FF00, 4);
    le(62, 0x000000FF, 4);
  } else if (v5) {
    le(30, 3, 4);
    le(54, 0xFF000000, 4);
    le(58, 0x00FF0000, 4);
    le(62, 0x0000FF00, 4);
    le(66, 0x000000FF, 4);
    le(70, 0x73524742, 4);  // sRGB
  }
  for (size_t i = 0; i < palette.size(); i++) le(14 + header + i * entry, palette[i], (int)entry);
  for (int y = 0; y < h; y++) {
    uint8_t* row = &f[offset + (size_t)(top_down ? y : h - 1 - y) * stride];
    for (int x = 0; x < w; x++) {
      uint32_t c = rgb_top_down[(size_t)y * w + x];
      if (bits == 8) {
        auto at = std::find(palette.begin(), palette.end(), c);
        row[x] = at == palette.end() ? 0 : (uint8_t)(at - palette.begin());
      } else if (v5) {
        uint32_t v = c << 8 | 0xFF;  // red, green, blue, alpha from the high byte
        for (int i = 0; i < 4; i++) row[x * 4 + i] = (uint8_t)(v >> (8 * i));
      } else {
        uint8_t* p = &row[(size_t)x * bits / 8];
        p[0] = (uint8_t)c;          // blue
        p[1] = (uint8_t)(c >> 8);   // green
        p[2] = (uint8_t)(c >> 16);  // red
        if (bits == 32) p[3] = kind == BmpKind::kBitfields32 ? 0xFF : 0;
      }
    }
  }
  return f;
}

inline bool write_bytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* out = std::fopen(path.c_str(), "wb");
  if (!out) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
  return std::fclose(out) == 0 && ok;
}

// A 24-bit bottom-up BMP with rows padded to four bytes; pixels top-down,
// 0xRRGGBB. Returns false when the file could not be written.
inline bool write_bmp24(const std::string& path, int w, int h, const std::vector<uint32_t>& rgb_top_down) {
  return write_bytes(path, bmp_bytes(BmpKind::kRgb24, w, h, rgb_top_down));
}

// A BMP of one colour.
inline bool write_bmp24_filled(const std::string& path, int w, int h, uint32_t rgb) {
  return write_bmp24(path, w, h, std::vector<uint32_t>((size_t)w * h, rgb));
}
