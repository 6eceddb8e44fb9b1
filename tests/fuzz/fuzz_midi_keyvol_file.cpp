// SPDX-License-Identifier: GPL-3.0-or-later
// Arbitrary bytes as a ".keyvol" file: the reader never crashes, every key
// ends within 0.01..255, and what it read writes back as 128 lines that read again to
// the same values within the seven digits written.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/settings_values.h"
#include "midi/keyvol_file.h"

static void check(bool ok, const char* what)
{
  if (!ok) {
    fprintf(stderr, ".keyvol invariant broken: %s\n", what);
    abort();
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  for (auto& entry : keyvol_table[3]) entry = 127.0f;
  read_keyvol_text(reinterpret_cast<const char*>(data), size, 3);
  for (auto& entry : keyvol_table[3]) check(entry >= 0.01f && entry <= 255.0f, "keys within 0.01..255");
  std::string text = format_keyvol_row(3);
  size_t lines = 0;
  for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at + 2)) lines++;
  check(lines == 128, "128 lines written");
  float before[kKeyvolKeys];
  for (int k = 0; k < kKeyvolKeys; k++) before[k] = keyvol_table[3][k];
  read_keyvol_text(text.data(), text.size(), 3);
  for (int k = 0; k < kKeyvolKeys; k++)
    check(std::fabs(keyvol_table[3][k] - before[k]) <= 1e-6f * std::fabs(before[k]), "values survive a write and a read");
  return 0;
}
