// SPDX-License-Identifier: GPL-3.0-or-later
// Arbitrary bytes as a ".rev" or ".keyrev" file: the reader never crashes,
// the four values end within their ranges, and what it read writes back as
// four lines that read again to the same values within the seven digits
// written.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "effects/reverb_params_file.h"

static void check(bool ok, const char* what)
{
  if (!ok) {
    fprintf(stderr, "reverb file invariant broken: %s\n", what);
    abort();
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  ReverbParams p = {0.55f, 0.34f, 225.0f, 300.0f};
  read_reverb_params_text(reinterpret_cast<const char*>(data), size, p);
  auto gain = [](float k) { return k >= 0.0f && k <= 0.7f; };
  auto time = [](float t) { return t >= 10.0f && t <= 1000.0f && t == std::floor(t); };
  check(gain(p.kreverb1) && gain(p.kreverb2) && time(p.Treverb1) && time(p.Treverb2), "values within the ranges");
  std::string text = format_reverb_params(p);
  size_t lines = 0;
  for (char c : text) lines += c == '\n';
  check(lines == 4, "four lines written");
  ReverbParams again = p;
  read_reverb_params_text(text.data(), text.size(), again);
  auto near = [](float a, float b) { return std::fabs(a - b) <= 1e-6f * std::fabs(b); };
  check(near(again.kreverb1, p.kreverb1) && near(again.kreverb2, p.kreverb2) && near(again.Treverb1, p.Treverb1) &&
            near(again.Treverb2, p.Treverb2),
        "values survive a write and a read");
  return 0;
}
