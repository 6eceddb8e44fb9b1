// SPDX-License-Identifier: GPL-3.0-or-later
// Reading a rendered or recorded WAV file back and measuring what it holds:
// its samples as one mono track and as two channels, the strongest spectrum
// line near a frequency, the pitch of a stretch of it, and the frequency of
// a key. Shared by the renderer's tests and the end-to-end MIDI
// test. Header-only: tests/support/*.cpp go into every test program, this
// only into those that include it.
#pragma once
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace audiocheck {

struct Recording {
  int rate = 0;
  size_t data_offset = 0;  // bytes before the first sample
  size_t frame_bytes = 0;
  std::vector<float> mono;  // (left + right) / 2, full scale 32768
  std::vector<float> left, right;  // each channel (both the same for mono)
};

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline bool read_recording(const std::string& path, Recording* rec, std::string* why) {
  std::string d = read_file(path);
  auto u32 = [&](size_t at) {
    return (uint32_t)(uint8_t)d[at] | (uint32_t)(uint8_t)d[at + 1] << 8 | (uint32_t)(uint8_t)d[at + 2] << 16 |
           (uint32_t)(uint8_t)d[at + 3] << 24;
  };
  auto u16 = [&](size_t at) { return (uint32_t)(uint8_t)d[at] | (uint32_t)(uint8_t)d[at + 1] << 8; };
  if (d.size() < 44 || d.compare(0, 4, "RIFF") != 0 || d.compare(8, 4, "WAVE") != 0) {
    *why = "not a WAV file";
    return false;
  }
  int channels = 0, bits = 0;
  size_t at = 12;
  while (at + 8 <= d.size()) {
    std::string id = d.substr(at, 4);
    size_t size = u32(at + 4);
    size_t body = at + 8;
    if (id == "fmt " && body + 16 <= d.size()) {
      channels = (int)u16(body + 2);
      rec->rate = (int)u32(body + 4);
      bits = (int)u16(body + 14);
    } else if (id == "data") {
      if (channels < 1 || channels > 2 || bits != 16 || rec->rate <= 0) {
        *why = "unexpected format";
        return false;
      }
      size = std::min(size, d.size() - body);
      rec->data_offset = body;
      rec->frame_bytes = 2 * (size_t)channels;
      size_t frames = size / (2 * channels);
      rec->mono.resize(frames);
      rec->left.resize(frames);
      rec->right.resize(frames);
      for (size_t f = 0; f < frames; f++) {
        float l = (float)(int16_t)u16(body + f * channels * 2);
        float r = (float)(int16_t)u16(body + (f * channels + channels - 1) * 2);
        rec->left[f] = l;
        rec->right[f] = r;
        rec->mono[f] = channels == 2 ? (l + r) / 2 : l;
      }
      return true;
    }
    at = body + size + (size & 1);
  }
  *why = "no data chunk";
  return false;
}

// `n` frames at `start` under a Hann window.
inline std::vector<double> hann_window(const Recording& rec, size_t start, size_t n) {
  std::vector<double> x(n);
  for (size_t i = 0; i < n; i++)
    x[i] = rec.mono[start + i] * (0.5 - 0.5 * std::cos(2 * M_PI * (double)i / (double)(n - 1)));
  return x;
}

// Power of the spectrum line at `f` Hz of windowed frames (Goertzel).
inline double line_power(const std::vector<double>& x, double f, int rate) {
  double c = 2 * std::cos(2 * M_PI * f / rate), s1 = 0, s2 = 0;
  for (double v : x) {
    double s0 = v + c * s1 - s2;
    s2 = s1;
    s1 = s0;
  }
  return s1 * s1 + s2 * s2 - c * s1 * s2;
}

// The strongest spectrum line between `low` and `high` times `around`, from a
// Hann window of `n` frames at `start`, scanning in 0.05 % steps: its
// frequency and power.
struct Line {
  double frequency = 0, power = 0;
};
inline Line strongest_line(const Recording& rec, size_t start, size_t n, double around, double low, double high) {
  std::vector<double> x = hann_window(rec, start, n);
  Line best;
  for (double r = low; r <= high; r += 0.0005) {
    double power = line_power(x, around * r, rec.rate);
    if (power > best.power) best = {around * r, power};
  }
  return best;
}

// Strongest frequency between 0.7 and 1.4 times `expected` (half an octave
// down, more than that up, so a wrong key or sample shows).
inline double measured_pitch(const Recording& rec, size_t start, size_t n, double expected) {
  return strongest_line(rec, start, n, expected, 0.70, 1.40).frequency;
}

inline double key_frequency(int key) { return 440.0 * std::pow(2.0, (key - 69) / 12.0); }

// One note found in a recording: the first frame louder than `on_level`
// from `from` on, and the frame after the last one louder than `quiet_level`
// before `to`. onset == to when nothing sounds there.
struct Span {
  size_t onset, end;
};
inline Span sounding_span(const Recording& rec, size_t from, size_t to, float on_level = 300,
                          float quiet_level = 40) {
  to = std::min(to, rec.mono.size());
  size_t onset = from;
  while (onset < to && std::fabs(rec.mono[onset]) < on_level) onset++;
  size_t end = to;
  while (end > onset && std::fabs(rec.mono[end - 1]) < quiet_level) end--;
  return {onset, end};
}

// Level in dB of full scale (RMS) of frames [from, to).
inline double level_db(const Recording& rec, size_t from, size_t to) {
  double sum = 0;
  to = std::min(to, rec.mono.size());
  for (size_t f = from; f < to; f++) sum += (double)rec.mono[f] * rec.mono[f];
  double rms = std::sqrt(sum / (double)std::max<size_t>(1, to - from));
  return 20 * std::log10(std::max(rms, 1e-9) / 32768.0);
}

}  // namespace audiocheck
