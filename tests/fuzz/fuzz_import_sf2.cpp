// SPDX-License-Identifier: GPL-3.0-or-later
// Arbitrary bytes as a SoundFont file: the reader walks the RIFF lists and
// checks the preset tables or refuses them with a reason, and the zone rules
// then pick samples for any key and velocity without reading outside the
// tables; every voice names a sample the file has.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "import/sf2_file.h"
#include "tests/fuzz/scratch_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const ScratchFile file("fuzz_import_sf2", ".sf2");
  if (!file.write(data, size)) return 0;
  Sf2File font;
  std::string error;
  if (!read_sf2(file.path, &font, &error)) {
    if (error.empty()) abort();
    return 0;
  }
  const int presets = (int)font.presets.size() - 1;
  for (int p = 0; p < presets && p < 8; p++)
    for (int velocity : {1, 64, 127}) {
      const std::vector<std::vector<Sf2Voice>> keys = sf2_key_voices(font, p, velocity, 16, nullptr);
      if (keys.size() != 128) abort();
      for (const std::vector<Sf2Voice>& voices : keys) {
        if (voices.size() > 17) abort();
        for (const Sf2Voice& v : voices)
          if (v.sample < 0 || v.sample >= (int)font.samples.size() || v.root < 0 || v.root > 127) abort();
      }
    }
  return 0;
}
