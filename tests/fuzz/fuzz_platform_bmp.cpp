// SPDX-License-Identifier: GPL-3.0-or-later
// Arbitrary bytes as a picture file: the decoder never crashes nor reads
// outside the file, decoding from memory and from disk agree, and an image
// is filled only from a file whose header gives its size.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/bmp.h"
#include "platform/window.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  static const std::string path = "/tmp/qd_fuzz_bmp_" + std::to_string(getpid()) + ".bmp";
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return 0;
  std::fwrite(data, 1, size, f);
  std::fclose(f);

  // The size of the thumbnails; the decoder reads only their overlap.
  const int kWidth = 64, kHeight = 67;
  std::vector<uint32_t> decoded((size_t)kWidth * kHeight, 0);
  // A copy owned by the decoder alone, so a read past the end is caught.
  std::vector<uint8_t> bytes(data, data + size);
  bool from_memory = bmp_decode(bytes.data(), bytes.size(), decoded.data(), kWidth, kHeight);

  int w = 0, h = 0;
  bool sized = win_bmp_size(path.c_str(), &w, &h);
  if (sized && (w < 1 || h < 1)) abort();
  WinImage* image = win_image_create(kWidth, kHeight);
  bool loaded = win_image_load_bmp(image, path.c_str());
  if (loaded && !sized) abort();
  if (loaded != from_memory || image->pixels != decoded) abort();
  for (uint32_t p : image->pixels)
    if (p > 0xFFFFFF) abort();
  win_image_destroy(image);
  return 0;
}
