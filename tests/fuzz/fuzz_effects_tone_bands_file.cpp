// Arbitrary bytes as an ".equ" or ".key" file: the reader never crashes, the
// gains end finite, and what it read writes back as six lines that read
// again to the same whole numbers.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "effects/tone_bands_file.h"

static void check(bool ok, const char* what)
{
  if (!ok) {
    fprintf(stderr, "filter file invariant broken: %s\n", what);
    abort();
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  ToneBands b;
  read_tone_bands_text(reinterpret_cast<const char*>(data), size, b);
  check(std::isfinite(b.lowg.load()) && std::isfinite(b.midg.load()) && std::isfinite(b.highg.load()),
        "gains finite");
  std::string text = format_tone_bands(b);
  size_t lines = 0;
  for (char c : text) lines += c == '\n';
  check(lines == 6, "six lines written");
  ToneBands again;
  read_tone_bands_text(text.data(), text.size(), again);
  check(again.lowf == b.lowf && again.highf == b.highf && again.order == b.order,
        "whole numbers survive a write and a read");
  return 0;
}
