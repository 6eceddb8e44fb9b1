// SPDX-License-Identifier: GPL-3.0-or-later
// Writes a sample set whose tones start at full level on their first frame,
// so that timing measured on the instrument's output is the timing of the
// note, not of a sample's attack: nine WAV files of set SET in FOLDER under
// the names the instrument looks for, each a square wave at its sample's
// pitch, 16-bit stereo at RATE Hz (default 44100), two seconds long.
//
//   synthetic_set FOLDER SET [RATE]
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/sample_sets.h"
#include "core/key_samples.h"
#include "engine/wav_read.h"

namespace {

constexpr double kSeconds = 2.0;
constexpr int16_t kLevel = 16000;  // about -6 dB of full scale

int usage() {
  std::fprintf(stderr, "usage: synthetic_set FOLDER SET [RATE]   (SET 0..%d, RATE 8000..192000)\n", kSetCount - 1);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) return usage();
  std::string folder = argv[1];
  if (!folder.empty() && folder.back() != '/') folder += '/';
  int set = std::atoi(argv[2]);
  long rate = argc == 4 ? std::atol(argv[3]) : 44100;
  if (set < 0 || set >= kSetCount || rate < 8000 || rate > 192000) return usage();

  const size_t frames = (size_t)(kSeconds * rate);
  std::vector<int16_t> samples(2 * frames);
  for (int w = 0; w < kSamplesPerSet; w++) {
    double pitch = 440.0 * std::pow(2.0, (sample_number(w) - 69) / 12.0);
    for (size_t f = 0; f < frames; f++) {
      // High for the first half of each cycle: the first frame is at full level.
      int16_t v = std::fmod(f * pitch / rate, 1.0) < 0.5 ? kLevel : (int16_t)-kLevel;
      samples[2 * f] = samples[2 * f + 1] = v;
    }
    std::string name = sample_wav_name(set, sample_number(w), folder);
    uint8_t header[kWavHeaderBytes];
    wav_make_header(header, 2, (uint32_t)rate, 16, (uint32_t)(samples.size() * sizeof(int16_t)));
    FILE* file = std::fopen(name.c_str(), "wb");
    bool written = file && std::fwrite(header, 1, sizeof header, file) == sizeof header &&
                   std::fwrite(samples.data(), sizeof(int16_t), samples.size(), file) == samples.size();
    if (file && std::fclose(file) != 0) written = false;
    if (!written) {
      std::fprintf(stderr, "synthetic_set: cannot write %s\n", name.c_str());
      return 1;
    }
  }
  return 0;
}
