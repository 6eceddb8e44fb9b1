// SPDX-License-Identifier: GPL-3.0-or-later
// The window layer's BMP decoder on files that are not pictures: other
// kinds of bitmap and fields that point outside the file leave the buffer
// as it was, whether the file is read from memory or from disk. What it
// decodes is checked against SDL in platform_window_sdl_test.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "platform/bmp.h"
#include "platform/window.h"
#include "tests/support/bmp_writer.h"

namespace {

void le(std::vector<uint8_t>& f, size_t at, uint32_t v, int bytes = 4) {
  for (int i = 0; i < bytes; i++) f[at + i] = (uint8_t)(v >> (8 * i));
}

constexpr uint32_t kUntouched = 0xABCDEF;

TEST(BmpDecoder, WhatIsNotAPictureLeavesTheBufferAsItWas) {
  const int w = 5, h = 3;
  std::vector<uint32_t> red((size_t)w * h, 0xFF0000);
  auto rgb24 = [&] { return bmp_bytes(BmpKind::kRgb24, w, h, red); };
  auto masks32 = [&] { return bmp_bytes(BmpKind::kBitfields32, w, h, red); };
  auto palette8 = [&] { return bmp_bytes(BmpKind::kPalette8, w, h, red); };
  const size_t stride24 = 16, offset24 = 54;
  struct Case {
    const char* name;
    std::vector<uint8_t> file;
    bool picture;
  };
  std::vector<Case> cases;
  auto add = [&](const char* name, std::vector<uint8_t> f, const std::function<void(std::vector<uint8_t>&)>& change,
                 bool picture) {
    change(f);
    cases.push_back({name, f, picture});
  };
  auto none = [](std::vector<uint8_t>&) {};
  add("24-bit", rgb24(), none, true);
  add("the last row without its padding", rgb24(), [](auto& f) { f.resize(f.size() - 1); }, true);
  add("the last row cut short", rgb24(), [&](auto& f) { f.resize(f.size() - (stride24 - w * 3) - 1); }, false);
  add("run-length coded", palette8(), [](auto& f) { le(f, 30, 1); }, false);
  add("16-bit", rgb24(), [](auto& f) { le(f, 28, 16, 2); }, false);
  add("4-bit", rgb24(), [](auto& f) { le(f, 28, 4, 2); }, false);
  add("24-bit with masks", rgb24(), [](auto& f) { le(f, 30, 3); }, false);
  add("5-bit channel mask", masks32(), [](auto& f) { le(f, 54, 0x7C00); }, false);
  add("two channels on one byte", masks32(), [](auto& f) { le(f, 58, 0x00FF0000); }, false);
  add("masks with the pixels over them", masks32(), [](auto& f) { le(f, 10, 60); }, false);
  add("header of another size", rgb24(), [](auto& f) { le(f, 14, 64); }, false);
  add("pixels inside the header", rgb24(), [](auto& f) { le(f, 10, 20); }, false);
  add("pixels past the end", rgb24(), [&](auto& f) { le(f, 10, (uint32_t)f.size()); }, false);
  add("pixel offset near 4 GiB", rgb24(), [](auto& f) { le(f, 10, 0xFFFFFFF0u); }, false);
  add("rows past the end", rgb24(), [](auto& f) { le(f, 22, 4); }, false);
  add("rows to the end of a 32-bit height", rgb24(), [](auto& f) { le(f, 22, INT32_MAX); }, false);
  add("width of 2^31 - 1", rgb24(), [](auto& f) { le(f, 18, INT32_MAX); }, false);
  add("no width", rgb24(), [](auto& f) { le(f, 18, 0); }, false);
  add("257 colours", palette8(), [](auto& f) { le(f, 46, 257); }, false);
  add("cut inside the header", rgb24(), [&](auto& f) { f.resize(offset24 - 10); }, false);
  add("no BM", rgb24(), [](auto& f) { f[1] = 'A'; }, false);

  std::string path = ::testing::TempDir() + "qd_bmp_decoder_" + std::to_string(getpid()) + ".bmp";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint32_t> pixels((size_t)w * h, kUntouched);
    EXPECT_EQ(bmp_decode(c.file.data(), c.file.size(), pixels.data(), w, h), c.picture);
    for (uint32_t p : pixels) ASSERT_EQ(p, c.picture ? 0xFF0000u : kUntouched);
    ASSERT_TRUE(write_bytes(path, c.file));
    std::vector<uint32_t> loaded((size_t)w * h, kUntouched);
    EXPECT_EQ(bmp_load_file(path.c_str(), loaded.data(), w, h), c.picture);
    EXPECT_EQ(loaded, pixels);
  }
  std::remove(path.c_str());
}

TEST(BmpDecoder, PaletteIndicesTheFileLacksAreBlack) {
  // Two colours in the palette; the pixels of a third index show black.
  std::vector<uint32_t> three = {0x112233, 0x445566, 0x778899};
  std::vector<uint8_t> f = bmp_bytes(BmpKind::kPalette8, 3, 1, three);
  le(f, 46, 2);
  std::vector<uint32_t> pixels(3, kUntouched);
  ASSERT_TRUE(bmp_decode(f.data(), f.size(), pixels.data(), 3, 1));
  EXPECT_EQ(pixels, (std::vector<uint32_t>{0x112233, 0x445566, 0x000000}));
}

}  // namespace
