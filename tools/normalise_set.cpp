// SPDX-License-Identifier: GPL-3.0-or-later
// Brings the nine rendered notes of one sample set to the form the instrument
// loads: 16-bit stereo at 44.1 kHz, the attack at the start of the file,
// exactly 16 s long with a short fade at the end, and one gain for the whole
// set so that every set sounds about as loud as every other (the set's mean
// power over its middle octaves meets a fixed target, its peak stays below
// full scale). The balance between the notes of a set is kept as rendered.
//
// usage: normalise_set IN_DIR OUT_DIR
// reads IN_DIR/note_12.wav ... note_108.wav (16-bit, 24-bit, 32-bit integer
// or 32-bit float PCM, mono or stereo, 44.1 kHz), writes OUT_DIR/note_N.wav.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

constexpr int kRate = 44100;
constexpr int kFrames = 16 * kRate;         // every sample is 16 s long
constexpr int kFadeFrames = kRate / 2;      // the release tail fades out over its last 0.5 s
constexpr int kPreRollFrames = kRate / 500; // 2 ms kept ahead of the detected attack
constexpr double kOnsetLevel = 0.002;       // attack starts where the note first reaches -54 dB of its peak
constexpr double kTargetRms = 0.125;        // -18 dBFS mean power over the first second of notes 36..84
constexpr double kPeakCeiling = 0.944;      // -0.5 dBFS: the loudest sample of the set stays below this

struct Note {
  std::vector<float> left, right;
};

static uint32_t le32(const unsigned char* p) { return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24; }
static uint16_t le16(const unsigned char* p) { return (uint16_t)(p[0] | p[1] << 8); }

// Reads a RIFF WAVE file chunk by chunk into float samples -1..1.
static bool read_wav(const std::string& name, Note& note) {
  FILE* f = std::fopen(name.c_str(), "rb");
  if (f == nullptr) return false;
  std::vector<unsigned char> data;
  unsigned char buf[65536];
  size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) data.insert(data.end(), buf, buf + got);
  std::fclose(f);
  if (data.size() < 12 || std::memcmp(data.data(), "RIFF", 4) != 0 || std::memcmp(data.data() + 8, "WAVE", 4) != 0)
    return false;
  int format = 0, channels = 0, bits = 0;
  uint32_t rate = 0;
  size_t pos = 12;
  while (pos + 8 <= data.size()) {
    const unsigned char* chunk = data.data() + pos;
    size_t size = le32(chunk + 4);
    size_t body = pos + 8;
    if (size > data.size() - body) size = data.size() - body;  // tolerate a short last chunk
    if (std::memcmp(chunk, "fmt ", 4) == 0 && size >= 16) {
      format = le16(chunk + 8);
      channels = le16(chunk + 10);
      rate = le32(chunk + 12);
      bits = le16(chunk + 22);
      if (format == 0xFFFE && size >= 40) format = le16(chunk + 32);  // extensible: sub-format tag
    } else if (std::memcmp(chunk, "data", 4) == 0) {
      if (rate != kRate || channels < 1 || channels > 2) return false;
      bool is_float = format == 3 && bits == 32;
      bool is_int = format == 1 && (bits == 16 || bits == 24 || bits == 32);
      if (!is_float && !is_int) return false;
      int bytes = bits / 8;
      size_t frames = size / (size_t)(bytes * channels);
      note.left.resize(frames);
      note.right.resize(frames);
      const unsigned char* p = data.data() + body;
      for (size_t i = 0; i < frames; i++) {
        float v[2];
        for (int c = 0; c < channels; c++, p += bytes) {
          if (is_float) {
            uint32_t u = le32(p);
            std::memcpy(&v[c], &u, 4);
          } else if (bits == 16) {
            v[c] = (int16_t)le16(p) / 32768.0f;
          } else if (bits == 24) {
            int32_t s = (int32_t)((uint32_t)p[0] << 8 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 24);
            v[c] = (float)(s / 2147483648.0);
          } else {
            v[c] = (float)((int32_t)le32(p) / 2147483648.0);
          }
        }
        note.left[i] = v[0];
        note.right[i] = channels == 2 ? v[1] : v[0];
      }
      return true;
    }
    pos = body + size + (size & 1);
  }
  return false;
}

static void put32(FILE* f, uint32_t v) {
  unsigned char b[4] = {(unsigned char)v, (unsigned char)(v >> 8), (unsigned char)(v >> 16), (unsigned char)(v >> 24)};
  std::fwrite(b, 1, 4, f);
}
static void put16(FILE* f, uint16_t v) {
  unsigned char b[2] = {(unsigned char)v, (unsigned char)(v >> 8)};
  std::fwrite(b, 1, 2, f);
}

// Canonical 44-byte header, then interleaved 16-bit stereo; written to a
// temporary name and renamed so a broken run never leaves a short file.
static bool write_wav(const std::string& name, const Note& note, double gain) {
  std::string tmp = name + ".part";
  FILE* f = std::fopen(tmp.c_str(), "wb");
  if (f == nullptr) return false;
  uint32_t bytes = kFrames * 4;
  std::fwrite("RIFF", 1, 4, f);
  put32(f, 36 + bytes);
  std::fwrite("WAVEfmt ", 1, 8, f);
  put32(f, 16);
  put16(f, 1);
  put16(f, 2);
  put32(f, kRate);
  put32(f, kRate * 4);
  put16(f, 4);
  put16(f, 16);
  std::fwrite("data", 1, 4, f);
  put32(f, bytes);
  std::vector<int16_t> out(2 * (size_t)kFrames);
  for (int i = 0; i < kFrames; i++) {
    double fade = 1.0;
    if (i >= kFrames - kFadeFrames) fade = 0.5 + 0.5 * std::cos(M_PI * (i - (kFrames - kFadeFrames)) / kFadeFrames);
    const float* ch[2] = {note.left.data(), note.right.data()};
    for (int c = 0; c < 2; c++) {
      double v = (size_t)i < note.left.size() ? ch[c][i] * gain * fade * 32767.0 : 0.0;
      long s = std::lrint(v);
      out[2 * (size_t)i + c] = (int16_t)(s > 32767 ? 32767 : (s < -32768 ? -32768 : s));
    }
  }
  bool ok = std::fwrite(out.data(), 2, out.size(), f) == out.size();
  ok = (std::fclose(f) == 0) && ok;
  if (!ok || std::rename(tmp.c_str(), name.c_str()) != 0) {
    std::remove(tmp.c_str());
    return false;
  }
  return true;
}

static double peak_of(const Note& n) {
  double p = 0;
  for (size_t i = 0; i < n.left.size(); i++) p = std::fmax(p, std::fmax(std::fabs(n.left[i]), std::fabs(n.right[i])));
  return p;
}

// Drops what comes before the attack (the synthesiser's start-up and a slow
// envelope's first silent samples) so that a key sounds as soon as it is hit.
static void trim_to_attack(Note& n) {
  double threshold = kOnsetLevel * peak_of(n);
  size_t onset = 0;
  while (onset < n.left.size() && std::fabs(n.left[onset]) < threshold && std::fabs(n.right[onset]) < threshold) onset++;
  onset = onset > (size_t)kPreRollFrames ? onset - kPreRollFrames : 0;
  n.left.erase(n.left.begin(), n.left.begin() + (long)onset);
  n.right.erase(n.right.begin(), n.right.begin() + (long)onset);
}

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: normalise_set IN_DIR OUT_DIR\n");
    return 2;
  }
  std::string in = argv[1], out = argv[2];
  Note notes[9];
  for (int w = 0; w < 9; w++) {
    std::string name = in + "/note_" + std::to_string(12 * (w + 1)) + ".wav";
    if (!read_wav(name, notes[w]) || notes[w].left.empty()) {
      std::fprintf(stderr, "normalise_set: cannot read %s (44.1 kHz PCM or float WAV expected)\n", name.c_str());
      return 1;
    }
    trim_to_attack(notes[w]);
  }
  // Mean power of the first second of the middle notes 36..84.
  double power = 0;
  long count = 0;
  for (int w = 2; w <= 6; w++) {
    size_t n = std::min(notes[w].left.size(), (size_t)kRate);
    for (size_t i = 0; i < n; i++) power += notes[w].left[i] * notes[w].left[i] + notes[w].right[i] * notes[w].right[i];
    count += 2 * (long)n;
  }
  double rms = std::sqrt(power / (double)std::max(count, 1L));
  double peak = 0;
  for (int w = 0; w < 9; w++) peak = std::fmax(peak, peak_of(notes[w]));
  if (rms <= 0 || peak <= 0) {
    std::fprintf(stderr, "normalise_set: the rendered notes are silent\n");
    return 1;
  }
  double gain = std::fmin(kTargetRms / rms, kPeakCeiling / peak);
  for (int w = 0; w < 9; w++) {
    std::string name = out + "/note_" + std::to_string(12 * (w + 1)) + ".wav";
    if (!write_wav(name, notes[w], gain)) {
      std::fprintf(stderr, "normalise_set: cannot write %s\n", name.c_str());
      return 1;
    }
  }
  std::printf("normalise_set %s: rms %.4f peak %.4f gain %.3f (%.1f dB)\n", in.c_str(), rms, peak, gain,
              20 * std::log10(gain));
  return 0;
}
