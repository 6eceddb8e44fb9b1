// SPDX-License-Identifier: GPL-3.0-or-later
// MP3 files into waves: decoded whole, either through a temporary WAV file
// loaded back as FBS_LOAD_WAVFILE loads a file, or through a WAV image in
// memory read by FBS_LOAD_WAVFILE_SHORT. The WAV conversion then brings the
// MP3's rate to the output rate. FBS_LOAD_MP3FILE keeps what it made in the
// sample cache, when there is one, and reads it back next time. Main thread.
#include <fcntl.h>
#include <mad.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/engine_state.h"
#include "engine/fbs.h"
#include "engine/kernels.h"
#include "engine/mp3_decode.h"
#include "engine/sample_cache.h"
#include "engine/wav_read.h"
#include "engine/wav_text.h"

// Numbers the generated temporary file names; main thread.
static std::atomic<int32_t> g_tmpfile_counter{0};

// Where the generated temporary files go; main thread.
static std::string g_scratch_folder;

extern "C" void fbs_set_scratch_folder(const char* folder) { g_scratch_folder = folder ? folder : ""; }

// Image sizes for FBS_LOAD_MP3FILE_SHORT.
static const uint32_t kImageMin = 100000;
static const uint32_t kImageMax = 100000000;

// What makes a cached wave, besides libmad: raise the revision whenever the
// wave made of a file changes (the trim, the frame routines, the WAV
// conversion), so that entries made before are not used.
static const char kLoaderRevision[] = "loader 1";

// The frame routines for the output channel count.
void mp3_output_for_engine(Mp3Output* out) {
  memset(out, 0, sizeof *out);
  out->channels = fbs_out_channels() == 1 ? 1 : 2;
  out->bits = fbs_out_bits();
  out->stereo_frame = out->channels == 1 ? SCALEMP3FRAME_21_16 : SCALEMP3FRAME_22_16;
  out->mono_frame = out->channels == 1 ? SCALEMP3FRAME_11_16 : SCALEMP3FRAME_12_16;
}

// The sample cache's key of an MP3 file for the output format; 0 when it
// can have none.
static int cache_key(const char* file_name, SampleCacheKey* key) {
  std::string decoder = std::string(mad_version) + "; " + kLoaderRevision;
  if (fbs_wave_converter.load() == 1) decoder += "; band-limited rate";
  return sample_cache_key_of(file_name, fbs_out_rate(), fbs_out_channels(), fbs_out_bits(), decoder, key);
}

extern "C" FBS_EXPORT int32_t FBS_CALL FBS_LOAD_MP3FILE(const char* file_name, int32_t* wave,
                                                       const char* temp_name) {
  if (wave == nullptr) return 0;
  *wave = -1;
  if (!fbs_initialised.load() || fbs_record() == nullptr) return 0;
  SampleCacheKey key;
  std::string entry;
  if (!sample_cache_folder().empty() && cache_key(file_name, &key)) {
    entry = sample_cache_entry(sample_cache_folder(), key);
    int32_t cached = fbs_wave_load_cached(entry, key);
    if (cached >= 0) {
      *wave = cached;
      return 1;
    }
  }
  uint8_t* mp3 = nullptr;
  size_t length = 0;
  if (!mp3_read_file(file_name, &mp3, &length)) return 0;

  std::string tmp;
  int fd = -1;
  if (temp_name != nullptr && temp_name[0] != '\0') {
    tmp = temp_name;
    fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  } else {
    // The name is created exclusively: another program (or another copy of
    // this one) loading in the same folder may hold a file of the same
    // counter, and replacing it would corrupt its load.
    for (int attempt = 0; attempt < 10000 && fd < 0; ++attempt) {
      int32_t counter = g_tmpfile_counter.fetch_add(1) + 1;
      tmp = g_scratch_folder + "tmpfilemp3" + std::to_string(counter) + ".wav";
      fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
      if (fd < 0 && errno != EEXIST) break;
    }
  }
  if (fd < 0) {
    free(mp3);
    return 0;
  }
  // The decoded WAV is made in memory and goes into the file in one write;
  // the file is then loaded back into the same memory.
  Mp3Output out;
  mp3_output_for_engine(&out);
  out.grows = 1;
  int decoded = mp3_decode_whole(mp3, length, &out);
  free(mp3);
  if (decoded) {
    uint32_t used = 0;
    memcpy(&used, out.image, 4);
    if (used < kWavImageSamplesOffset) used = kWavImageSamplesOffset;  // the header alone
    decoded = write_whole(fd, out.image + kWavImageHeaderOffset, used - kWavImageHeaderOffset);
  }
  if (close(fd) != 0) decoded = 0;
  int32_t handle = -1;
  if (decoded) {
    uint32_t capacity = 0;
    memcpy(&capacity, out.image + 4, 4);
    handle = fbs_wave_load_file(tmp.c_str(), out.image, capacity);
  } else {
    free(out.image);
  }
  remove(tmp.c_str());
  if (handle >= 0 && !entry.empty())
    sample_cache_write(entry, key, fbs_waves[handle].data.load(), fbs_waves[handle].size.load());
  *wave = handle;
  return handle >= 0 ? 1 : 0;
}

extern "C" FBS_EXPORT int32_t FBS_CALL FBS_LOAD_MP3FILE_SHORT(const char* file_name,
                                                             int32_t* wave, uint32_t size,
                                                             int32_t verbose) {
  if (wave == nullptr) return 0;
  *wave = -1;
  if (!fbs_initialised.load() || fbs_record() == nullptr) return 0;
  uint8_t* mp3 = nullptr;
  size_t length = 0;
  if (!mp3_read_file(file_name, &mp3, &length)) return 0;

  if (size > kImageMax) size = kImageMax;
  if (size < kImageMin) size = kImageMin;
  uint8_t* image = (uint8_t*)calloc(size, 1);
  if (image == nullptr) {
    free(mp3);
    return 0;
  }
  // Write and end positions are offsets from the image start.
  const uint32_t write0 = kWavImageHeaderOffset;
  memcpy(image, &write0, 4);
  memcpy(image + 4, &size, 4);

  Mp3Output out;
  mp3_output_for_engine(&out);
  out.image = image;
  int decoded = mp3_decode_whole(mp3, length, &out);
  free(mp3);

  uint32_t used = 0;
  memcpy(&used, image, 4);
  if (verbose != 0) {
    std::string line = "mp3short wav size=" + std::to_string(used) + "  " + file_name;
    fbs_print_line(line.c_str());
  }
  if (used >= size) {
    std::string line = std::string("warning mp3 file truncated :") + file_name;
    fbs_print_line(line.c_str());
  }
  int32_t loaded = decoded ? FBS_LOAD_WAVFILE_SHORT(image, wave) : 0;
  free(image);
  if (loaded != 1) {
    *wave = -1;
    return 0;
  }
  return 1;
}
