// SPDX-License-Identifier: GPL-3.0-or-later
// Wave entry points: empty waves, WAV files and in-memory WAV images loaded
// into the output format, wave destruction (stopping its sounds first) and
// the wave queries. Main thread; the wave table itself lives in sounds.cpp.
#include <cstdlib>
#include <string>

#include "engine/engine_state.h"
#include "engine/fbs.h"
#include "engine/sample_cache.h"
#include "engine/wav_read.h"
#include "engine/wav_text.h"

// What makes a cached WAV wave: raise the revision whenever the band-limited
// conversion changes, so that entries made before are not used.
static const char kWavCacheDecoder[] = "wav; band-limited rate 1";

// Converts a WAV source into a new wave; returns the handle or -1.
static int32_t store_converted(const WavSource* src, const uint8_t* samples) {
  uint8_t* data = nullptr;
  uint32_t size = 0;
  const int32_t rate = fbs_out_rate(), channels = fbs_out_channels();
  const int converted = fbs_wave_converter.load() == 1 && src->rate != rate
                            ? wav_convert_band_limited(src, samples, rate, channels, &data, &size)
                            : wav_convert(src, samples, rate, channels, &data, &size);
  if (!converted) return -1;
  int32_t handle = fbs_wave_store(data, size);
  if (handle < 0) free(data);
  return handle;
}

// Converts the bytes of a WAV file (length of them in block, a malloc'ed
// block this takes over) into a new wave, in place where the conversion
// allows it; returns the handle or -1.
static int32_t store_file(uint8_t* block, size_t length, int32_t* source_rate) {
  WavSource src;
  int32_t handle = -1;
  uint32_t size = 0;
  if (!wav_scan_file(block, length, &src)) {
    free(block);
    return -1;
  }
  if (source_rate != nullptr) *source_rate = src.rate;
  if (wav_convert_in_place(&src, block, fbs_out_rate(), fbs_out_channels(), &size)) {
    // The header and any bytes the output did not need go back.
    uint8_t* data = (uint8_t*)realloc(block, size);
    if (data != nullptr) block = data;
    handle = fbs_wave_store(block, size);
    if (handle < 0) free(block);
  } else {
    handle = store_converted(&src, block + src.data_offset);
    free(block);
  }
  return handle;
}

int32_t fbs_wave_load_file(const char* path, uint8_t* block, size_t capacity, int32_t* source_rate) {
  size_t length = 0;
  if (!wav_read_file_into(path, 0, &block, &capacity, &length)) {
    free(block);
    return -1;
  }
  return store_file(block, length, source_rate);
}

int32_t fbs_wave_load_cached(const std::string& entry, const SampleCacheKey& key) {
  uint8_t* data = nullptr;
  uint32_t size = 0;
  if (!sample_cache_read(entry, key, &data, &size)) return -1;
  int32_t handle = fbs_wave_store(data, size);
  if (handle < 0) free(data);
  return handle;
}

extern "C" FBS_EXPORT int32_t FBS_CALL FBS_CREATE_WAVE(int32_t frames, int32_t* wave,
                                                      void** data) {
  if (wave == nullptr || data == nullptr) return 0;
  *wave = -1;
  if (fbs_record() == nullptr || frames < 1) return 0;
  uint64_t bytes = (uint64_t)(fbs_out_bits() / 8) * (uint64_t)frames *
                   (uint64_t)fbs_out_channels();
  // A wave's byte count is a 32-bit value.
  if (bytes == 0 || bytes > 0x7FFFFFFFu) return 0;
  uint8_t* block = (uint8_t*)calloc((size_t)bytes, 1);
  if (block == nullptr) return 0;
  int32_t handle = fbs_wave_store(block, (uint32_t)bytes);
  if (handle < 0) {
    free(block);
    return 0;
  }
  *data = block;
  *wave = handle;
  return 1;
}

extern "C" FBS_EXPORT int32_t FBS_CALL FBS_LOAD_WAVFILE(const char* file_name, int32_t* wave) {
  if (wave == nullptr) return 0;
  *wave = -1;
  if (!fbs_initialised.load() || fbs_record() == nullptr || file_name == nullptr) return 0;
  // A file at another rate than the output's, converted band-limited, is
  // kept in the sample cache for that rate.
  SampleCacheKey key;
  std::string entry;
  if (fbs_wave_converter.load() == 1 && !sample_cache_folder().empty() &&
      sample_cache_key_of(file_name, fbs_out_rate(), fbs_out_channels(), fbs_out_bits(), kWavCacheDecoder, &key)) {
    entry = sample_cache_entry(sample_cache_folder(), key);
    int32_t cached = fbs_wave_load_cached(entry, key);
    if (cached >= 0) {
      *wave = cached;
      return 1;
    }
  }
  int32_t source_rate = 0;
  int32_t handle = fbs_wave_load_file(file_name, nullptr, 0, &source_rate);
  if (handle < 0) return 0;
  if (!entry.empty() && source_rate != fbs_out_rate())
    sample_cache_write(entry, key, fbs_waves[handle].data.load(), fbs_waves[handle].size.load());
  *wave = handle;
  return 1;
}

extern "C" FBS_EXPORT int32_t FBS_CALL FBS_LOAD_WAVFILE_SHORT(void* image, int32_t* wave) {
  if (wave == nullptr) return 0;
  *wave = -1;
  if (!fbs_initialised.load() || fbs_record() == nullptr || image == nullptr) return 0;
  WavSource src;
  if (!wav_scan_image((const uint8_t*)image, &src)) return 0;
  int32_t handle = store_converted(&src, (const uint8_t*)image + src.data_offset);
  if (handle < 0) return 0;
  *wave = handle;
  return 1;
}

extern "C" FBS_EXPORT int32_t FBS_CALL FBS_DESTROY_WAVE(int32_t* wave) {
  if (wave == nullptr || !fbs_wave_valid(*wave)) return 0;
  FbsWave& w = fbs_waves[*wave];
  uint8_t* data = w.data.load();
  // Every sound on this wave stops before its buffer and the data go.
  int32_t count = fbs_sound_count.load();
  for (int32_t i = 0; i < count; ++i) {
    if (!fbs_sound_valid(i)) continue;
    FbsSound& s = fbs_sounds[i];
    if (s.wave_begin.load() != data) continue;
    // Paused (when playing), loops 0, wave begin cleared, then the buffer.
    if (!fbs_sound_free(i)) fbs_print_line("!!! pointer value are corrupt !!!");
  }
  w.data.store(nullptr);
  w.size.store(0);
  // A fill call that started before the sounds stopped may still read the data.
  fbs_fill_quiesce();
  free(data);
  *wave = -1;
  return 1;
}

extern "C" FBS_EXPORT int32_t FBS_CALL FBS_GET_WAVEPOINTERS(int32_t wave, void** begin,
                                                           void** end, int32_t* channels) {
  if (!fbs_wave_valid(wave)) return 0;
  uint8_t* data = fbs_waves[wave].data.load();
  uint32_t size = fbs_waves[wave].size.load();
  if (begin != nullptr) *begin = data;
  if (end != nullptr) *end = data + size;
  if (channels != nullptr) *channels = fbs_out_channels();
  return 1;
}

extern "C" FBS_EXPORT int32_t FBS_CALL FBS_GET_WAVELENGTH(int32_t wave, int32_t* milliseconds) {
  if (milliseconds == nullptr || !fbs_wave_valid(wave)) return 0;
  int32_t framesize = fbs_out_framesize();
  int32_t rate = fbs_out_rate();
  if (framesize <= 0 || rate <= 0) return 0;
  int64_t frames = fbs_waves[wave].size.load() / (uint32_t)framesize;
  *milliseconds = (int32_t)(frames * 1000 / rate);
  return 1;
}
