// SPDX-License-Identifier: GPL-3.0-or-later
// Arbitrary bytes as an ".equ" or ".key" file: the reader never crashes,
// every value ends within the file kind's ranges, and what it read writes
// back as six lines that read again to the same whole numbers.
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

static bool within(const ToneBands& b, const ToneBandRanges& r)
{
  auto gain = [&r](float g) { return g >= r.gain_min && g <= r.gain_max; };
  return b.lowf >= r.low_min && b.lowf <= r.low_max && b.highf >= r.high_min && b.highf <= r.high_max &&
         gain(b.lowg) && gain(b.midg) && gain(b.highg) && b.order >= 1 && b.order <= r.order_max;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  for (const ToneBandRanges* ranges : {&kEqualizerRanges, &kKeytoneRanges}) {
    ToneBands b;
    read_tone_bands_text(reinterpret_cast<const char*>(data), size, b, *ranges);
    check(within(b, *ranges), "values within the ranges");
    std::string text = format_tone_bands(b);
    size_t lines = 0;
    for (char c : text) lines += c == '\n';
    check(lines == 6, "six lines written");
    ToneBands again;
    read_tone_bands_text(text.data(), text.size(), again, *ranges);
    check(again.lowf == b.lowf && again.highf == b.highf && again.order == b.order,
          "whole numbers survive a write and a read");
  }
  return 0;
}
