// SPDX-License-Identifier: GPL-3.0-or-later
// Arbitrary bytes as SFZ text: the reader never crashes, every region it
// keeps names a sample and has its keys within 0..127, and the regions of
// any key are a subset of them.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "import/sfz_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<SfzRegion> regions = parse_sfz(std::string((const char*)data, size));
  for (const SfzRegion& r : regions)
    if (r.sample.empty() || r.lokey < 0 || r.hikey > 127 || r.keycenter < 0 || r.keycenter > 127) abort();
  for (int key = 0; key < 128; key += 5)
    if (sfz_regions(regions, key, 100).size() > regions.size()) abort();
  return 0;
}
