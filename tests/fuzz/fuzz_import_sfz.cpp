// SPDX-License-Identifier: GPL-3.0-or-later
// Arbitrary bytes as SFZ text: the reader never crashes, refuses with a
// reason that names the line or keeps regions that each name a sample and
// have their keys within -1..127, and the regions of any key are a subset
// of them.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "import/sfz_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<SfzRegion> regions;
  std::string error;
  if (!parse_sfz(std::string((const char*)data, size), &regions, &error)) {
    if (error.compare(0, 5, "line ") != 0) abort();
    return 0;
  }
  for (const SfzRegion& r : regions)
    if (r.sample.empty() || r.lokey < -1 || r.hikey < -1 || r.hikey > 127 || r.keycenter < 0 || r.keycenter > 127) abort();
  for (int key = 0; key < 128; key += 5)
    if (sfz_regions(regions, key, 100).size() > regions.size()) abort();
  return 0;
}
