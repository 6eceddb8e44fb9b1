// SPDX-License-Identifier: GPL-3.0-or-later
// The engine's one MP3 stream: a decoder thread reads the file in 8 KiB
// pieces, decodes frame by frame with libmad's low-level calls, trims the
// frames to the encoded samples (mp3_gapless; the file is scanned once when
// the stream is created) and writes 16-bit frames in the output format into
// a ring of three blocks; fbs_fill takes one block from the ring per call
// (fbs_stream_fill_step).
//
// Threads: the entry points run on the main thread; the decoder thread owns
// the file and the libmad state while it runs; the plug-in's thread reads the
// ring. The two share the ring through `available`: the decoder adds what it
// wrote, the mixer subtracts what it read, so neither touches bytes the other
// still owns. The mixer never allocates, locks or waits; the main and decoder
// threads wake each other through one condition variable.
#include <mad.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include "engine/engine_state.h"
#include "engine/fbs.h"
#include "engine/kernels.h"
#include "engine/mp3_decode.h"
#include "engine/mp3_gapless.h"
#include "engine/wav_read.h"

// MP3 bytes read per refill, and libmad's zero guard behind the last piece.
static const size_t kInputBytes = 8192;
static const size_t kInputGuard = 8;
// One converted frame, with room: 2 bytes x 2 channels x 4608.
static const size_t kConversionBytes = 4608 * 2 * 2;

static FbsStream g_stream;

// Main thread, and the decoder thread while it runs.
static FILE* g_file = nullptr;
static long g_bytes_left = 0;
static int32_t g_frames = 0;
static struct mad_stream g_mad_stream;
static struct mad_frame g_mad_frame;
static struct mad_synth g_mad_synth;
static Mp3Gapless g_gapless;
static Mp3Output g_output;
static int32_t g_rate = 0;        // output rate at creation
static int32_t g_buffersize = 0;  // output block size at creation
static int32_t g_ring_bytes = 0;  // ring size in use: 3 blocks
// Allocated sizes, so a larger block size after a new FBS_INIT grows them.
static int32_t g_ring_alloc = 0;
static int32_t g_block_alloc = 0;

// Set once by the decoder thread when it starts, and when it has finished.
static std::atomic<int32_t> g_started{0};
static std::atomic<int32_t> g_decoded{0};

// Wake-ups between the main thread and the decoder thread, never the mixer:
// the decoder tells a waiting FBS_PLAY_MP3STREAM that it has started, and the
// main thread tells a decoder waiting for room that the stream is ending.
// g_started and the end of running change under the mutex, so neither
// wake-up is lost.
static std::mutex g_wake_mutex;
static std::condition_variable g_wake;

// Tells the decoder to stop and wakes it if it waits for room.
static void stop_decoder() {
  {
    std::lock_guard<std::mutex> lock(g_wake_mutex);
    g_stream.running.store(0);
  }
  g_wake.notify_all();
}

// The decoder thread; main thread only. A stream that ended by itself leaves
// a finished thread behind, collected by the next stream call or at exit.
struct DecoderThread {
  std::thread thread;
  ~DecoderThread() {
    if (thread.joinable()) {
      stop_decoder();
      thread.join();
    }
  }
};
static DecoderThread g_decoder;
static int g_mad_ready = 0;  // libmad state and file await a decoder thread
static int32_t g_input_alloc = 0;
static int32_t g_conversion_alloc = 0;

static void finish_mad_and_file() {
  mad_synth_finish(&g_mad_synth);
  mad_frame_finish(&g_mad_frame);
  mad_stream_finish(&g_mad_stream);
  if (g_file != nullptr) fclose(g_file);
  g_file = nullptr;
}

// Waits until the ring has room for bytes more, or the stream is being
// ended. Returns 1 when there is room and it still runs. The mixer makes room
// without a word (it never locks), so the ring is looked at again every
// millisecond; an ending stream wakes the wait at once.
static int wait_for_room(int32_t bytes) {
  while (g_ring_bytes < bytes + g_stream.available.load() && g_stream.running.load() == 1) {
    std::unique_lock<std::mutex> lock(g_wake_mutex);
    g_wake.wait_for(lock, std::chrono::milliseconds(1),
                    [] { return g_stream.running.load() != 1; });
  }
  return g_stream.running.load() == 1;
}

// Writes bytes of the conversion buffer into the ring, units apart in the
// source by the 16.16 step (65536: a plain copy). A frame goes in pieces of at
// most the ring less one block: the mixer takes whole blocks only, so up to a
// block less one byte may stay in the ring, and a piece that needed more room
// than that would wait for ever. Frames that fit go in one piece. Returns 0
// when the stream is being ended.
static int write_pieces(int32_t bytes, int32_t unit, uint64_t step, float ratio) {
  int32_t cap = (g_ring_bytes - g_buffersize) / unit * unit;
  if (cap < unit) cap = unit;
  int32_t done = 0;
  while (done < bytes) {
    int32_t piece = bytes - done < cap ? bytes - done : cap;
    if (!wait_for_room(piece)) return 0;
    uint8_t* pos = g_stream.write_pos.load();
    // The source unit of this piece's first write.
    const uint8_t* src =
        g_stream.conversion + (size_t)unit * (size_t)(((uint64_t)(done / unit) * step) >> 16);
    if (step == 65536 && unit == 4)
      COPYMP3FRAME(g_stream.ring_start, &pos, g_stream.ring_end, src, piece);
    else if (unit == 4)
      COPYSLICEMP3FRAME32(g_stream.ring_start, &pos, g_stream.ring_end, src, ratio, piece);
    else
      COPYSLICEMP3FRAME16(g_stream.ring_start, &pos, g_stream.ring_end, src, ratio, piece);
    g_stream.write_pos.store(pos);
    g_stream.available.fetch_add(piece);
    done += piece;
  }
  return 1;
}

// Converts the synthesised frame and writes it into the ring.
static void write_frame() {
  struct mad_pcm* pcm = &g_mad_synth.pcm;
  int32_t first = 0, count = 0;
  mp3_gapless_frame(&g_gapless, pcm->length, &first, &count);
  if (count == 0) return;
  int32_t bytes =
      (int32_t)mp3_convert_frame(&g_output, g_stream.conversion, pcm->channels,
                                 pcm->samples[0] + first, pcm->samples[1] + first, count);
  if (bytes <= 0) return;
  if ((int32_t)pcm->samplerate == g_rate) {
    // Mono output goes in 2-byte samples: a trimmed frame may hold an odd
    // number of them, and the ring may not be a whole number of 4-byte
    // units (an odd frame count per block); a 4-byte unit would then drop a
    // sample or leave a gap at the ring's end that the mixer reads.
    write_pieces(bytes, g_output.channels == 1 ? 2 : 4, 65536, 1.0f);
  } else {
    float ratio = (float)pcm->samplerate / (float)g_rate;
    int32_t unit = g_output.channels == 1 ? 2 : 4;
    // Whole frames only: the copy moves whole units, and available must
    // count exactly what it wrote.
    bytes = (int32_t)std::nearbyint(bytes * (1.0 / ratio));
    bytes -= bytes % unit;
    if (bytes <= 0) return;
    write_pieces(bytes, unit, (uint64_t)std::nearbyint((double)ratio * 65536.0), ratio);
  }
}

// Keeps the undecoded tail of the stream's buffer and appends up to 8 KiB
// from the file. Returns 0 when nothing new could be read: the decoder can
// make no more progress.
static int refill_input(struct mad_stream* stream) {
  size_t keep = 0;
  if (stream->buffer != nullptr && stream->next_frame != nullptr) {
    keep = (size_t)(stream->bufend - stream->next_frame);
    if (keep > kInputBytes) keep = kInputBytes;
    memmove(g_stream.input, stream->next_frame, keep);
  }
  size_t want = kInputBytes - keep;
  if ((long)want > g_bytes_left) want = (size_t)g_bytes_left;
  size_t got = want > 0 ? fread(g_stream.input + keep, 1, want, g_file) : 0;
  // A read error counts as the end of the file.
  if (got < want) g_bytes_left = 0;
  else g_bytes_left -= (long)got;
  if (got == 0) return 0;
  size_t length = keep + got;
  if (g_bytes_left == 0) {
    memset(g_stream.input + length, 0, kInputGuard);
    length += kInputGuard;
  }
  mad_stream_buffer(stream, g_stream.input, length);
  stream->error = MAD_ERROR_NONE;
  return 1;
}

// Reads the whole file once through libmad's header decoder for the
// encoder's tag and the length of the audio, in the pieces the decoder will
// read, then rewinds it. Returns 0 when it cannot be rewound.
static int scan_file(long length) {
  struct mad_stream scan;
  mad_stream_init(&scan);
  mp3_gapless_init(&g_gapless);
  g_bytes_left = length;
  while (refill_input(&scan)) mp3_gapless_scan(&g_gapless, &scan);
  mad_stream_finish(&scan);
  mp3_gapless_plan(&g_gapless);
  g_bytes_left = length;
  return fseek(g_file, 0, SEEK_SET) == 0;
}

static void decoder_main() {
  const bool exists = g_stream.exists.load() != 0;
  {
    std::lock_guard<std::mutex> lock(g_wake_mutex);
    if (exists) g_stream.running.store(1);
    else g_decoded.store(1);
    g_started.store(1);
  }
  g_wake.notify_all();
  if (!exists) return;
  while (g_stream.running.load() == 1) {
    if (g_mad_stream.buffer == nullptr || g_mad_stream.error == MAD_ERROR_BUFLEN) {
      if (!refill_input(&g_mad_stream)) break;
    }
    if (mad_frame_decode(&g_mad_frame, &g_mad_stream) == 0) {
      ++g_frames;
      mad_synth_frame(&g_mad_synth, &g_mad_frame);
      write_frame();
    } else if (!MAD_RECOVERABLE(g_mad_stream.error) && g_mad_stream.error != MAD_ERROR_BUFLEN) {
      break;
    }
  }
  // The mixer takes whole blocks only: complete the last one with zeros.
  int32_t available = g_stream.available.load();
  if (available > 0 && available % g_buffersize != 0) {
    int32_t pad = g_buffersize - available % g_buffersize;
    if (wait_for_room(pad)) {
      uint8_t* pos = g_stream.write_pos.load();
      ZEROBUFFER(g_stream.ring_start, &pos, g_stream.ring_end, pad);
      g_stream.write_pos.store(pos);
      g_stream.available.fetch_add(pad);
    }
  }
  g_stream.running.store(0);
  finish_mad_and_file();
  g_decoded.store(1);
}

// Joins a decoder thread that has finished or was told to end.
static void join_decoder() {
  if (g_decoder.thread.joinable()) g_decoder.thread.join();
}

static int grow(uint8_t** buffer, int32_t* allocated, int32_t bytes) {
  if (*buffer != nullptr && *allocated >= bytes) return 1;
  uint8_t* fresh = (uint8_t*)calloc((size_t)bytes, 1);
  if (fresh == nullptr) return 0;
  free(*buffer);
  *buffer = fresh;
  *allocated = bytes;
  return 1;
}

// ---- Mixer side (plug-in thread) ----

int fbs_stream_fill_step(int32_t size, uint8_t** block) {
  *block = nullptr;
  if (g_stream.exists.load() == 0) return 0;
  // Read before the count: a decoder seen finished has written all it wrote.
  const bool finished = g_decoded.load() == 1 && g_stream.running.load() == 0;
  int32_t available = g_stream.available.load();
  int playing = available > 0;
  uint8_t* rp = g_stream.read_pos.load();
  // A whole block; after the decoder finished, what is left of the last one
  // (blocks of another size than the stream's, once the device's period
  // changed, need not add up to what it completed), followed by silence.
  const int32_t take = available >= size ? size : finished ? available : 0;
  if (take > 0 && size <= g_block_alloc - kFbsMixSlack) {
    float volume = g_stream.volume.load();
    // A block the ring's end cuts (blocks of another size no longer tile
    // the ring) is taken in two pieces, the second from the ring's start.
    const int32_t to_end = (int32_t)(g_stream.ring_end - rp);
    const int32_t first = to_end < take ? to_end : take;
    uint8_t* piece[2] = {rp, g_stream.ring_start};
    int32_t bytes[2] = {first, take - first};
    if (take < size) ZERO(g_stream.block + take, size - take);
    for (int k = 0, at = 0; k < 2; at += bytes[k], k++) {
      if (bytes[k] <= 0) continue;
      uint8_t* to = g_stream.block + at;
      if (volume == 0.0f) {
        ZERO(to, bytes[k]);
        continue;
      }
      if (volume != 1.0f) SCALE16(piece[k], piece[k], volume, bytes[k]);
      if (fbs_out_channels() == 2 && std::fabs(g_stream.pan.load()) > kFbsPanThreshold)
        PAN16(to, piece[k], g_stream.left_gain.load(), g_stream.right_gain.load(), bytes[k]);
      else
        COPY(to, piece[k], bytes[k]);
    }
    available = g_stream.available.fetch_sub(take) - take;
    *block = g_stream.block;
    FbsBlockCallback callback = g_stream.callback.load();
    if (callback != nullptr && g_stream.callback_enabled.load() == 1) {
      int32_t channels = fbs_out_channels();
      callback((int16_t*)g_stream.block, channels, size >> channels);
    }
    rp = bytes[1] > 0 ? g_stream.ring_start + bytes[1] : rp + take;
    if (rp >= g_stream.ring_end) rp = g_stream.ring_start;
    g_stream.read_pos.store(rp);
  }
  // Drained after the decoder finished: the stream ends by itself. Checked on
  // every call, so a decoder that finishes after the last block still ends it.
  if (available == 0 && finished) g_stream.exists.store(0);
  return playing;
}

// ---- Entry points (main thread) ----

extern "C" FBS_EXPORT int32_t FBS_CALL FBS_CREATE_MP3STREAM(const char* file_name) {
  if (!fbs_initialised.load() || fbs_record() == nullptr || file_name == nullptr) return 0;
  if (g_stream.exists.load() != 0) return 0;
  // A stream that ended by itself leaves a finished thread to collect.
  join_decoder();
  if (g_mad_ready) finish_mad_and_file();
  g_mad_ready = 0;
  size_t file_length = 0;
  int fd = wav_open_regular(file_name, &file_length);
  if (fd < 0) return 0;
  FILE* f = fdopen(fd, "rb");
  if (f == nullptr) {
    close(fd);
    return 0;
  }
  long length = (long)file_length;
  int32_t buffersize = fbs_out_buffersize();
  if (buffersize < 4) {
    fclose(f);
    return 0;
  }
  // No fill call may still use a buffer that is about to be replaced.
  fbs_fill_quiesce();
  if (!grow(&g_stream.input, &g_input_alloc, (int32_t)(kInputBytes + kInputGuard)) ||
      !grow(&g_stream.conversion, &g_conversion_alloc, (int32_t)kConversionBytes) ||
      !grow(&g_stream.ring_start, &g_ring_alloc, 3 * buffersize) ||
      !grow(&g_stream.block, &g_block_alloc, buffersize + kFbsMixSlack)) {
    fclose(f);
    return 0;
  }
  g_file = f;
  if (!scan_file(length)) {
    fclose(f);
    g_file = nullptr;
    return 0;
  }
  g_frames = 0;
  g_rate = fbs_out_rate();
  g_buffersize = buffersize;
  g_ring_bytes = 3 * buffersize;
  mp3_output_for_engine(&g_output);
  g_stream.ring_end = g_stream.ring_start + g_ring_bytes;
  g_stream.read_pos.store(g_stream.ring_start);
  g_stream.write_pos.store(g_stream.ring_start);
  g_stream.available.store(0);
  g_stream.running.store(0);
  g_stream.volume.store(1.0f);
  g_stream.pan.store(0.0f);
  g_stream.left_gain.store(1.0f);
  g_stream.right_gain.store(1.0f);
  mad_stream_init(&g_mad_stream);
  mad_frame_init(&g_mad_frame);
  mad_synth_init(&g_mad_synth);
  g_mad_ready = 1;
  g_started.store(0);
  g_decoded.store(0);
  g_stream.exists.store(1);
  return 1;
}

extern "C" FBS_EXPORT int32_t FBS_CALL FBS_SET_STREAMVOLUME(float volume) {
  if (g_stream.exists.load() == 0) return 0;
  if (volume > 2.0f) volume = 2.0f;
  if (volume < 0.0001f) volume = 0.0f;
  g_stream.volume.store(volume);
  return 1;
}

extern "C" FBS_EXPORT int32_t FBS_CALL FBS_GET_STREAMVOLUME(float* volume) {
  if (g_stream.exists.load() == 0 || volume == nullptr) return 0;
  *volume = g_stream.volume.load();
  return 1;
}

extern "C" FBS_EXPORT int32_t FBS_CALL FBS_SET_STREAMPAN(float pan) {
  if (g_stream.exists.load() == 0) return 0;
  pan = fbs_limit_pan(pan);
  g_stream.right_gain.store(fbs_pan_right_gain(pan));
  g_stream.left_gain.store(fbs_pan_left_gain(pan));
  g_stream.pan.store(pan);
  return 1;
}

extern "C" FBS_EXPORT int32_t FBS_CALL FBS_GET_STREAMPAN(float* pan) {
  if (g_stream.exists.load() == 0 || pan == nullptr) return 0;
  *pan = g_stream.pan.load();
  return 1;
}

extern "C" FBS_EXPORT int32_t FBS_CALL FBS_PLAY_MP3STREAM(float volume, float pan) {
  if (g_stream.exists.load() == 0) return 0;
  // The decoder runs once per stream: a started one owns the file and the
  // ring positions, and a finished one has closed the file.
  if (!g_mad_ready || g_decoder.thread.joinable()) return 0;
  FBS_SET_STREAMVOLUME(volume);
  FBS_SET_STREAMPAN(pan);
  g_stream.read_pos.store(g_stream.ring_start);
  g_stream.write_pos.store(g_stream.ring_start);
  try {
    g_decoder.thread = std::thread(decoder_main);
  } catch (const std::system_error&) {
    return 0;
  }
  g_mad_ready = 0;  // the file and the libmad state belong to the thread now
  // g_started, not running: a short file may be decoded before we look.
  std::unique_lock<std::mutex> lock(g_wake_mutex);
  g_wake.wait(lock, [] { return g_started.load() != 0; });
  return 1;
}

extern "C" FBS_EXPORT int32_t FBS_CALL FBS_END_MP3STREAM(void) {
  if (g_stream.exists.load() == 0) {
    join_decoder();
    return 1;
  }
  stop_decoder();
  join_decoder();
  // Created but never played: the file and the libmad state are still ours.
  if (g_mad_ready) finish_mad_and_file();
  g_mad_ready = 0;
  g_stream.exists.store(0);
  return 1;
}

extern "C" FBS_EXPORT int32_t FBS_CALL FBS_GET_STREAMBUFFER(void** block, int32_t* channels,
                                                           int32_t* frames) {
  if (g_stream.exists.load() == 0) return 0;
  int32_t ch = fbs_out_channels();
  if (block != nullptr) *block = g_stream.read_pos.load();
  if (channels != nullptr) *channels = ch;
  if (frames != nullptr) *frames = g_buffersize >> ch;
  return 1;
}

extern "C" FBS_EXPORT int32_t FBS_CALL FBS_SET_STREAMCALLBACK(FbsBlockCallback callback) {
  if (g_stream.exists.load() == 0) return 0;
  g_stream.callback_enabled.store(0);
  g_stream.callback.store(callback);
  return 1;
}

extern "C" FBS_EXPORT int32_t FBS_CALL FBS_ENABLE_STREAMCALLBACK(void) {
  if (g_stream.exists.load() == 0 || g_stream.callback.load() == nullptr) return 0;
  g_stream.callback_enabled.store(1);
  return 1;
}

extern "C" FBS_EXPORT int32_t FBS_CALL FBS_DISABLE_STREAMCALLBACK(void) {
  if (g_stream.exists.load() == 0 || g_stream.callback.load() == nullptr) return 0;
  g_stream.callback_enabled.store(0);
  return 1;
}

// FBS_EXIT, after output has stopped: end the stream and release its buffers.
void fbs_stream_release(void) {
  FBS_END_MP3STREAM();
  fbs_fill_quiesce();
  free(g_stream.input);
  free(g_stream.conversion);
  free(g_stream.ring_start);
  free(g_stream.block);
  g_stream.input = nullptr;
  g_stream.conversion = nullptr;
  g_stream.ring_start = nullptr;
  g_stream.ring_end = nullptr;
  g_stream.block = nullptr;
  g_stream.read_pos.store(nullptr);
  g_stream.write_pos.store(nullptr);
  g_ring_alloc = 0;
  g_block_alloc = 0;
  g_input_alloc = 0;
  g_conversion_alloc = 0;
}
