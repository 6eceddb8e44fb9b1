// SPDX-License-Identifier: GPL-3.0-or-later
// The loaders' band-limited rate conversion: the source first in the output's
// sample format and channel count at its own rate (the WAV conversion at
// equal rates), then resampled to the output rate by a 64-tap Kaiser-windowed
// sinc whose cutoff sits at half the lower of the two rates. It runs once per
// wave at load time (and the result is cached), so it can afford four times
// the taps of the mixer's real-time kernel: its transition band is a tenth
// of the lower rate wide, so a 44.1 kHz sample keeps everything to 19.8 kHz
// and its images lie 90 dB down.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/kernels_resample.h"
#include "engine/wav_read.h"

namespace {

constexpr int kTaps = 64;
constexpr int kTapsBefore = kTaps / 2 - 1;  // taps before the frame at or below a position
constexpr int kPhases = 1024;               // table rows per source frame, interpolated between
constexpr double kBeta = 9.0;               // Kaiser shape: about 90 dB of stop band
// Sources beyond any real pair of rates (a rate of a few Hz in a damaged
// header), or longer than any sample, keep the frame-repeating conversion,
// whose cost does not grow with the taps: a bad file loads as quickly as
// before, whatever it claims.
constexpr double kMaxRatio = 32.0;
constexpr double kMaxFrames = 1 << 25;  // about 12 minutes at 44.1 kHz

// Rows of the filter for fractions r / kPhases (r = 0..kPhases), each
// normalised to a sum of 1; cutoff fc in cycles per source frame.
std::vector<float> make_rows(double fc) {
  std::vector<float> rows((size_t)(kPhases + 1) * kTaps);
  const double half = kTaps / 2.0, i0beta = bessel_i0(kBeta);
  for (int r = 0; r <= kPhases; r++) {
    double w[kTaps], sum = 0.0;
    for (int j = 0; j < kTaps; j++) {
      const double x = j - kTapsBefore - (double)r / kPhases;
      const double edge = x / half;
      const double window =
          std::fabs(edge) >= 1.0 ? 0.0 : bessel_i0(kBeta * std::sqrt(1.0 - edge * edge)) / i0beta;
      w[j] = (x == 0.0 ? 2.0 * fc : std::sin(2.0 * M_PI * fc * x) / (M_PI * x)) * window;
      sum += w[j];
    }
    for (int j = 0; j < kTaps; j++) rows[(size_t)r * kTaps + j] = (float)(w[j] / sum);
  }
  return rows;
}

inline int16_t to_sample(double v) {
  const double r = std::nearbyint(v);
  return (int16_t)(r > 32767.0 ? 32767.0 : r < -32768.0 ? -32768.0 : r);
}

}  // namespace

int wav_convert_band_limited(const WavSource* src, const uint8_t* samples, int32_t out_rate,
                             int32_t out_channels, uint8_t** data, uint32_t* size) {
  if (src == nullptr || samples == nullptr || data == nullptr || size == nullptr || src->rate <= 0 ||
      out_rate <= 0)
    return 0;
  const double ratio = (double)out_rate / (double)src->rate;
  const double frames_out = (double)(src->block_align > 0 ? src->data_size / (uint32_t)src->block_align : 0) * ratio;
  if (ratio > kMaxRatio || ratio < 1.0 / kMaxRatio || frames_out > kMaxFrames)
    return wav_convert(src, samples, out_rate, out_channels, data, size);
  uint8_t* same_rate = nullptr;
  uint32_t same_bytes = 0;
  if (!wav_convert(src, samples, src->rate, out_channels, &same_rate, &same_bytes)) return 0;
  const int channels = out_channels;
  const uint64_t n = same_bytes / (2u * channels);
  // As many frames as the frame-repeating conversion makes: nearest(N / f).
  const double m_exact = std::nearbyint((double)n * ((double)out_rate / (double)src->rate));
  int16_t* out = m_exact >= 1.0 && m_exact * 2 * channels <= 2147483647.0
                     ? (int16_t*)calloc((size_t)m_exact, 2u * channels)
                     : nullptr;
  // The source as floats, with silence around it for the taps before its
  // first frame and after its last.
  std::vector<float> padded;
  if (out != nullptr) {
    try {
      padded.assign((size_t)(n + kTaps + 1) * channels, 0.0f);
    } catch (const std::bad_alloc&) {
      free(out);
      out = nullptr;
    }
  }
  if (out == nullptr) {
    free(same_rate);
    return 0;
  }
  const int16_t* s = (const int16_t*)same_rate;
  for (uint64_t i = 0; i < n * channels; i++) padded[(size_t)(kTapsBefore * channels + i)] = s[i];
  free(same_rate);

  const uint64_t m = (uint64_t)m_exact, in_rate = (uint64_t)src->rate, to_rate = (uint64_t)out_rate;
  const double fc = 0.5 * (to_rate < in_rate ? (double)to_rate / (double)in_rate : 1.0);
  const std::vector<float> rows = make_rows(fc);
  float coef[kTaps];
  for (uint64_t i = 0; i < m; i++) {
    // Output frame i stands at source frame i x in / out exactly; its taps
    // begin kTapsBefore frames before the frame at or below it, which the
    // padding moves to padded frame `whole`.
    const uint64_t whole = i * in_rate / to_rate;
    if (whole >= n + 1) break;  // past the source: silence
    const double phase = (double)(i * in_rate % to_rate) / (double)to_rate * kPhases;
    const int row = (int)phase;
    const float t = (float)(phase - row);
    const float* r0 = &rows[(size_t)row * kTaps];
    const float* r1 = r0 + kTaps;
    for (int j = 0; j < kTaps; j++) coef[j] = r0[j] + t * (r1[j] - r0[j]);
    const float* x = &padded[(size_t)whole * channels];
    for (int c = 0; c < channels; c++) {
      double sum = 0.0;
      for (int j = 0; j < kTaps; j++) sum += (double)coef[j] * x[j * channels + c];
      out[i * channels + c] = to_sample(sum);
    }
  }
  *data = (uint8_t*)out;
  *size = (uint32_t)(m * 2 * channels);
  return 1;
}
