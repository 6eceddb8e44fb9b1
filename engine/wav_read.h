// SPDX-License-Identifier: GPL-3.0-or-later
// WAV input for the engine: the byte-wise header scan of a WAV file, the
// header of an in-memory WAV image, and the conversion of the source samples
// to the output format (16-bit, output channels, output rate).
#pragma once
#include <cstddef>
#include <cstdint>

// What the loaders need to know about a WAV source. data_size is already
// limited to the sample bytes that are really there.
struct WavSource {
  int32_t channels;     // 2 = stereo; any other value is one sample per frame
  int32_t rate;         // Hz
  int32_t block_align;  // bytes per source frame
  int32_t bits;         // 8 = unsigned 8-bit; any other value is signed 16-bit
  uint32_t data_size;   // bytes of samples
  size_t data_offset;   // where the samples begin in the file bytes
};

// In-memory WAV image: a 32-bit write offset, a 32-bit end offset (both from
// the image start; the end offset is the image size), the canonical 44-byte
// header, then the samples.
constexpr uint32_t kWavImageHeaderOffset = 8;
constexpr uint32_t kWavImageSamplesOffset = 52;
constexpr uint32_t kWavHeaderBytes = 44;

// Writes the canonical 44-byte header of PCM samples: channels, rate, bits
// per sample and the byte count of the samples that follow it.
void wav_make_header(uint8_t header[kWavHeaderBytes], int32_t channels, uint32_t rate, int32_t bits,
                     uint32_t data_bytes);

// Scans the header of a whole WAV file held in memory: "RIFF", "WAVE", then
// "fmt " and "data" found one byte at a time. Returns 1 and fills src, or 0
// when a requirement is not met.
int wav_scan_file(const uint8_t* bytes, size_t length, WavSource* src);

// Reads the header of an in-memory WAV image without checking its tags.
// Returns 0 when the image cannot hold a header or has no samples.
int wav_scan_image(const uint8_t* image, WavSource* src);

// Converts data_size bytes at samples into a new zeroed malloc'ed block in the
// output format. Returns 1 with *data and *size set, or 0 (nothing allocated)
// when the source cannot be converted or memory runs out.
int wav_convert(const WavSource* src, const uint8_t* samples, int32_t out_rate,
                int32_t out_channels, uint8_t** data, uint32_t* size);

// The same conversion, with the rate changed by a band-limited filter
// instead of repeated or picked frames: as many output frames, each
// interpolated from the 64 source frames around its position, the cutoff at
// half the lower of the two rates (rates more than 32 times apart, and
// outputs of more than 2^25 frames, repeat or pick frames as wav_convert
// does). Returns 1 with *data and *size set, or 0 (nothing allocated).
int wav_convert_band_limited(const WavSource* src, const uint8_t* samples, int32_t out_rate,
                             int32_t out_channels, uint8_t** data, uint32_t* size);

// The nearest-frame conversion without a second block: the samples at block +
// data_offset become the output at block's start, where the output is no
// larger than the source frame by frame (16-bit samples at the output rate,
// an output frame no longer than a source frame). Returns 1 with *size set,
// or 0 with the block untouched when it cannot be done so.
int wav_convert_in_place(const WavSource* src, uint8_t* block, int32_t out_rate,
                         int32_t out_channels, uint32_t* size);

// Opens a regular file for reading (never blocking on a FIFO or device);
// returns the descriptor and its length, or -1.
int wav_open_regular(const char* path, size_t* length);

// Reads a whole file into a malloc'ed buffer followed by `guard` zero bytes.
// Returns 1 with *bytes and *length set, or 0 (nothing allocated) when the
// file does not open, cannot be read, or is larger than 2 GiB.
int wav_read_whole_file(const char* path, size_t guard, uint8_t** bytes,
                        size_t* length);

// The same into a block the caller may already hold: *block (malloc'ed, of
// *capacity bytes, or null) is reused when it holds the file, its guard and
// one byte more, else released and replaced by a new block. Returns 1 with
// *length set, or 0; the block in *block stays the caller's either way.
int wav_read_file_into(const char* path, size_t guard, uint8_t** block, size_t* capacity,
                       size_t* length);

// Writes count bytes to a file, all of them: a full disk must not pass for
// a short file. Returns 1 when everything was written.
int write_whole(int fd, const uint8_t* bytes, size_t count);
