// Arbitrary bytes as a picture file: the header reader and the loader never
// crash, and an image is filled only from a file whose header the reader
// accepts.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/window.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  static const std::string path = "/tmp/qd_fuzz_bmp_" + std::to_string(getpid()) + ".bmp";
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return 0;
  std::fwrite(data, 1, size, f);
  std::fclose(f);

  int w = 0, h = 0;
  bool sized = win_bmp_size(path.c_str(), &w, &h);
  if (sized && (w < 1 || h < 1)) abort();
  WinImage* image = win_image_create(64, 67);
  bool loaded = win_image_load_bmp(image, path.c_str());
  if (loaded && !sized) abort();
  for (uint32_t p : image->pixels)
    if (p > 0xFFFFFF) abort();
  win_image_destroy(image);
  return 0;
}
