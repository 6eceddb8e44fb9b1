// SPDX-License-Identifier: GPL-3.0-or-later
// Measures the nine files of a piano sample set, one line each: length,
// bandwidth (the frequency below which 99.9 % of the energy lies), pitch of
// the fundamental in cents against equal temperament, level (mean power of
// the first second and peak, dBFS) and onset (time from the first frame to
// -40 dB below the peak).
//
// usage: measure_set SOUNDS_FOLDER SET
// reads the files the instrument would load (MP3 form first), 16-bit WAV
// or MP3 at 44.1 kHz.
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/sample_sets.h"
#include "core/files.h"
#include "core/text_file.h"
#include "engine/kernels.h"
#include "engine/mp3_decode.h"

namespace {

constexpr double kRate = 44100;

struct Sound {
  std::vector<float> mono;  // left and right averaged
  std::vector<float> left, right;
};

bool from_wav_bytes(const uint8_t* p, size_t size, Sound* s) {
  // Canonical 16-bit stereo: what the instrument's sets are.
  if (size < 44 || std::memcmp(p, "RIFF", 4) || std::memcmp(p + 36, "data", 4)) return false;
  const int16_t* pcm = (const int16_t*)(p + 44);
  size_t frames = (size - 44) / 4;
  for (size_t i = 0; i < frames; i++) {
    s->left.push_back(pcm[2 * i] / 32768.0f);
    s->right.push_back(pcm[2 * i + 1] / 32768.0f);
    s->mono.push_back(0.5f * (s->left.back() + s->right.back()));
  }
  return frames > 0;
}

bool read_sound(const std::string& path, Sound* s) {
  uint8_t* bytes = nullptr;
  size_t length = 0;
  if (path.size() > 4 && path.compare(path.size() - 4, 4, ".mp3") == 0) {
    if (!mp3_read_file(path.c_str(), &bytes, &length)) return false;
    Mp3Output out{};
    out.channels = 2;
    out.bits = 16;
    out.stereo_frame = SCALEMP3FRAME_22_16;
    out.mono_frame = SCALEMP3FRAME_12_16;
    out.grows = 1;
    bool ok = mp3_decode_whole(bytes, length, &out) == 1 && out.image;
    uint32_t used = 0;
    if (ok) std::memcpy(&used, out.image, 4);
    ok = ok && from_wav_bytes(out.image + 8, used - 8, s);
    std::free(out.image);
    std::free(bytes);
    return ok;
  }
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  std::vector<uint8_t> data;
  uint8_t buf[65536];
  size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) data.insert(data.end(), buf, buf + got);
  std::fclose(f);
  return from_wav_bytes(data.data(), data.size(), s);
}

void fft(std::vector<std::complex<double>>& a) {
  const size_t n = a.size();
  for (size_t i = 1, j = 0; i < n; i++) {
    size_t bit = n >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) std::swap(a[i], a[j]);
  }
  for (size_t len = 2; len <= n; len <<= 1) {
    const std::complex<double> w = std::polar(1.0, -2 * M_PI / len);
    for (size_t i = 0; i < n; i += len) {
      std::complex<double> x = 1;
      for (size_t k = 0; k < len / 2; k++, x *= w) {
        const std::complex<double> u = a[i + k], v = a[i + k + len / 2] * x;
        a[i + k] = u + v;
        a[i + k + len / 2] = u - v;
      }
    }
  }
}

// Power spectrum of x[from, from + length) under a Hann window, zero-padded to n.
std::vector<double> spectrum(const std::vector<float>& x, size_t from, size_t length, size_t n) {
  std::vector<std::complex<double>> a(n);
  for (size_t i = 0; i < length && from + i < x.size(); i++)
    a[i] = x[from + i] * (0.5 - 0.5 * std::cos(2 * M_PI * (i + 0.5) / length));
  fft(a);
  std::vector<double> p(n / 2);
  for (size_t i = 0; i < n / 2; i++) p[i] = std::norm(a[i]);
  return p;
}

// The frequency below which 99.9 % of the file's energy lies, from the
// spectra of its 8192-frame blocks added up.
double bandwidth(const Sound& s) {
  constexpr size_t kBlock = 8192;
  std::vector<double> total(kBlock / 2, 0.0);
  for (const std::vector<float>* ch : {&s.left, &s.right})
    for (size_t from = 0; from + kBlock <= ch->size(); from += kBlock / 2) {
      std::vector<double> p = spectrum(*ch, from, kBlock, kBlock);
      for (size_t i = 0; i < p.size(); i++) total[i] += p[i];
    }
  double all = 0, sum = 0;
  for (double v : total) all += v;
  for (size_t i = 0; i < total.size(); i++) {
    sum += total[i];
    if (sum >= 0.999 * all) return i * kRate / kBlock;
  }
  return kRate / 2;
}

// The fundamental's frequency near the key's: the strongest peak within a
// semitone of it in a long zero-padded spectrum of the note after its
// attack, placed between bins by a parabola through the log powers.
double fundamental(const Sound& s, int key) {
  const double expected = 440.0 * std::pow(2.0, (key - 69) / 12.0);
  const size_t n = 1 << 19;
  const size_t from = (size_t)(0.05 * kRate);
  const size_t length = std::min(s.mono.size() > from ? s.mono.size() - from : 0, (size_t)(4 * kRate));
  if (length < 4096) return 0;
  std::vector<double> p = spectrum(s.mono, from, length, n);
  const double bin = kRate / n;
  size_t lo = (size_t)(expected * std::pow(2.0, -1 / 12.0) / bin), hi = (size_t)(expected * std::pow(2.0, 1 / 12.0) / bin);
  size_t best = lo;
  for (size_t i = lo; i <= hi && i + 1 < p.size(); i++)
    if (p[i] > p[best]) best = i;
  if (best == 0 || best + 1 >= p.size()) return 0;
  const double a = std::log(p[best - 1] + 1e-30), b = std::log(p[best] + 1e-30), c = std::log(p[best + 1] + 1e-30);
  const double shift = 0.5 * (a - c) / (a - 2 * b + c);
  return (best + shift) * bin;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: measure_set SOUNDS_FOLDER SET\n");
    return 2;
  }
  std::string folder = argv[1];
  if (folder.back() != '/') folder += '/';
  const int set = std::atoi(argv[2]);
  std::printf("%-14s %8s %10s %8s %9s %9s %8s\n", "file", "length", "bandwidth", "pitch", "rms 1 s", "peak", "onset");
  for (int w = 0; w < kSamplesPerSet; w++) {
    const int key = sample_number(w);
    std::string path = sample_mp3_name(set, key, folder);
    if (!file_exists(path)) path = sample_wav_name(set, key, folder);
    Sound s;
    if (!read_sound(path, &s)) {
      std::fprintf(stderr, "measure_set: cannot read %s\n", path.c_str());
      return 1;
    }
    double peak = 0, power = 0;
    for (size_t i = 0; i < s.left.size(); i++) peak = std::fmax(peak, std::fmax(std::fabs(s.left[i]), std::fabs(s.right[i])));
    const size_t second = std::min(s.left.size(), (size_t)kRate);
    for (size_t i = 0; i < second; i++) power += 0.5 * (s.left[i] * s.left[i] + s.right[i] * s.right[i]);
    size_t onset = 0;
    while (onset < s.left.size() && std::fabs(s.left[onset]) < 0.01 * peak && std::fabs(s.right[onset]) < 0.01 * peak)
      onset++;
    const double f = fundamental(s, key);
    const double cents = f > 0 ? 1200 * std::log2(f / (440.0 * std::pow(2.0, (key - 69) / 12.0))) : NAN;
    std::printf("%-14s %7.2fs %8.0fHz %+7.1fc %6.1fdB %6.1fdB %6.2fms\n", file_name_part(path).c_str(),
                s.left.size() / kRate, bandwidth(s), cents, 10 * std::log10(power / std::fmax(second, 1) + 1e-20),
                20 * std::log10(peak + 1e-20), 1000.0 * onset / kRate);
  }
  return 0;
}
