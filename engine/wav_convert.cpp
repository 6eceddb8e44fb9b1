// SPDX-License-Identifier: GPL-3.0-or-later
// Conversion of WAV samples to the output format: 16-bit signed, the output
// channel count and rate. Rates change by repeating (up) or picking (down)
// whole source frames, without interpolation.
#include "engine/wav_read.h"

#include <cmath>
#include <cstdlib>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "engine/kernel_table.h"

// Rounds to the nearest integer, ties to even (the default rounding mode).
static inline int32_t nearest(double x) {
#if defined(__SSE2__)
  return _mm_cvtsd_si32(_mm_set_sd(x));
#else
  return (int32_t)std::nearbyint(x);
#endif
}

// 8-bit samples are unsigned around 128; dividing by 256 (and 16-bit ones by
// 65534, kWavScale16) puts both source formats at about -0.5..+0.5.
static const double kScale8 = 0.00390625;
// A stereo output sample is 32767 x L; a mono one K x L + K x R, with K one
// half step apart between the two rate paths.
static const double kStereoGain = 32767.0;
static const double kMonoGainUp = 16383.0;
static const double kMonoGainDown = 16383.5;

// A stereo output sample depends on one source sample only: tables give
// nearest(32767 x L) for every 8-bit and 16-bit value, built once (the
// 16-bit one by the plain WAV kernel itself).
struct StereoTables {
  int16_t from8[256];
  int16_t from16[65536];
  StereoTables() {
    for (int v = 0; v < 256; ++v) from8[v] = (int16_t)nearest(kStereoGain * (float)((v + (-128.0)) * kScale8));
    for (int v = 0; v < 65536; ++v) from16[v] = (int16_t)v;
    kKernelTablePlain.wav16(from16, from16, kStereoGain, 65536);
  }
};

static const StereoTables& stereo_tables() {
  static const StereoTables tables;
  return tables;
}

// Floor of the non-negative rate accumulator.
static inline int64_t whole(double a) { return (int64_t)a; }

struct FrameReader {
  const uint8_t* samples;
  uint32_t size;
  uint32_t block_align;
  bool eight_bit;
  bool stereo;
  const int16_t* table;  // stereo output values by raw sample
};

// A raw sample: the byte of an 8-bit one, the bits of a 16-bit one. Bytes a
// block align too small for the format would miss read as silence.
static inline uint16_t raw_sample(const FrameReader& r, size_t off) {
  if (r.eight_bit) return off + 1 > r.size ? 128 : r.samples[off];
  if (off + 2 > r.size) return 0;
  return (uint16_t)(r.samples[off] | (r.samples[off + 1] << 8));
}

static inline float to_float(const FrameReader& r, uint16_t raw) {
  if (r.eight_bit) return (float)((raw + (-128.0)) * kScale8);
  return (float)((int16_t)raw * kWavScale16);
}

// Reads source frame `frame` as raw left and right (right = left for mono).
static inline void read_frame(const FrameReader& r, uint32_t frame, uint16_t* L, uint16_t* R) {
  size_t off = (size_t)frame * r.block_align;
  *L = raw_sample(r, off);
  *R = r.stereo ? raw_sample(r, off + (r.eight_bit ? 1 : 2)) : *L;
}

static inline void write_frame(const FrameReader& r, int16_t* out, int32_t channels,
                               double mono_gain, size_t frame, uint16_t L, uint16_t R) {
  if (channels == 1) {
    out[frame] = (int16_t)nearest(mono_gain * to_float(r, L) + mono_gain * to_float(r, R));
  } else {
    out[2 * frame] = r.table[L];
    out[2 * frame + 1] = r.table[R];
  }
}

// Frames and bytes of the output: M = nearest(N / f) frames of 16-bit samples.
// Returns 0 when the source has no frames or the result would not fit a
// wave's 32-bit byte count.
static int output_size(const WavSource* src, int32_t out_rate, int32_t out_channels,
                       uint32_t* n, uint32_t* m, size_t* bytes) {
  if (src->block_align <= 0 || src->rate <= 0 || out_rate <= 0) return 0;
  if (out_channels != 1 && out_channels != 2) return 0;
  *n = src->data_size / (uint32_t)src->block_align;
  if (*n == 0) return 0;
  double f = (double)src->rate / (double)out_rate;
  double m_exact = std::nearbyint((double)*n * (1.0 / f));
  if (!(m_exact >= 1.0) || m_exact * 2.0 * out_channels > 2147483647.0) return 0;
  *m = (uint32_t)m_exact;
  *bytes = (size_t)2 * *m * (size_t)out_channels;
  return 1;
}

// Writes the m output frames of the n source frames at samples into out.
// out may be the block the samples lie in, before them, when the rates are
// equal and an output frame is no longer than a source frame: every frame is
// read before it is overwritten.
static void convert_into(const WavSource* src, const uint8_t* samples, int32_t out_rate,
                         int32_t out_channels, uint32_t n, uint32_t m, int16_t* out) {
  const bool sixteen = src->bits != 8;
  // Equal rates map frame i to frame i: packed 16-bit frames in the output's
  // channel count convert as one run of samples. Mono into mono is K x L + K
  // x L = 2K x L exactly (a doubling rounds like its operand).
  if (sixteen && src->rate == out_rate) {
    if (out_channels == 2 && src->channels == 2 && src->block_align == 4) {
      kernels()->wav16(out, samples, kStereoGain, (size_t)n * 2);
      return;
    }
    if (out_channels == 1 && src->channels != 2 && src->block_align == 2) {
      kernels()->wav16(out, samples, 2.0 * kMonoGainUp, n);
      return;
    }
  }
  double f = (double)src->rate / (double)out_rate;
  const StereoTables& tables = stereo_tables();
  FrameReader r = {samples, src->data_size, (uint32_t)src->block_align, !sixteen,
                   src->channels == 2, sixteen ? tables.from16 : tables.from8};
  uint16_t L = 0, R = 0;
  double a = 0.0;
  if (n <= m) {
    // Up (or equal): every output frame, reading the next source frame
    // whenever the accumulator enters a new whole number.
    int64_t last = -1;
    uint32_t next = 0;
    for (uint32_t i = 0; i < m; ++i) {
      int64_t idx = whole(a);
      if (idx != last) {
        read_frame(r, next++, &L, &R);
        last = idx;
      }
      write_frame(r, out, out_channels, kMonoGainUp, i, L, R);
      a += f;
      if (whole(a) >= (int64_t)n) break;
    }
  } else {
    // Down: every source frame, written where the accumulator enters a new
    // whole number. Stops one frame short, so the last output frame is zero.
    double step = 1.0 / f;
    int64_t last = -1;
    for (uint32_t i = 0; i < n; ++i) {
      read_frame(r, i, &L, &R);
      int64_t idx = whole(a);
      if (idx != last) {
        write_frame(r, out, out_channels, kMonoGainDown, (size_t)idx, L, R);
        last = idx;
      }
      a += step;
      if (whole(a) >= (int64_t)m - 1) break;
    }
  }
}

int wav_convert(const WavSource* src, const uint8_t* samples, int32_t out_rate,
                int32_t out_channels, uint8_t** data, uint32_t* size) {
  if (src == nullptr || samples == nullptr || data == nullptr || size == nullptr)
    return 0;
  uint32_t n = 0, m = 0;
  size_t bytes = 0;
  if (!output_size(src, out_rate, out_channels, &n, &m, &bytes)) return 0;
  int16_t* out = (int16_t*)calloc(bytes, 1);
  if (out == nullptr) return 0;
  convert_into(src, samples, out_rate, out_channels, n, m, out);
  *data = (uint8_t*)out;
  *size = (uint32_t)bytes;
  return 1;
}

int wav_convert_in_place(const WavSource* src, uint8_t* block, int32_t out_rate,
                         int32_t out_channels, uint32_t* size) {
  if (src == nullptr || block == nullptr || size == nullptr) return 0;
  uint32_t n = 0, m = 0;
  size_t bytes = 0;
  if (!output_size(src, out_rate, out_channels, &n, &m, &bytes)) return 0;
  if (src->rate != out_rate || src->bits == 8 || src->block_align < 2 * out_channels) return 0;
  convert_into(src, block + src->data_offset, out_rate, out_channels, n, m, (int16_t*)block);
  *size = (uint32_t)bytes;
  return 1;
}
