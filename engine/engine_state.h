// SPDX-License-Identifier: GPL-3.0-or-later
// Internal state of the sound engine, shared by its files (lifecycle, sounds,
// mixer, waves, MP3 and stream). Not part of the public interface.
//
// Threads: the lifecycle and wave calls run on the main thread; sound calls
// on the main and MIDI threads; fbs_fill on the plug-in's thread. Every field
// the mixer reads while another thread may write it is an atomic. Tables
// have a fixed capacity so they never move while the mixer reads them.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/fbs.h"

// ---- Engine globals (lifecycle.cpp) ----

// Plug-in table. Grown only while plug-ins load (inside FBS_INIT, before any
// PLUG_INIT), so a selected record keeps its address until PLUG_EXIT.
// Written and read by the main thread.
extern FbsPlugRecord* fbs_plugs;
extern int32_t fbs_numofplugouts;
// Index of the selected plug-in, -1 for none. Written by the main thread.
extern std::atomic<int32_t> fbs_current_plug;
// The running flag (PLUG_START's result) and the initialised flag. Written by
// the main thread, read by any.
extern std::atomic<int32_t> fbs_running;
extern std::atomic<int32_t> fbs_initialised;
// Master volume 0.0 or 0.001..2.0, channel limit 1..256: written by the
// caller's thread, read by the mixer.
extern std::atomic<float> fbs_master_volume;
extern std::atomic<int32_t> fbs_max_channels;
// Kernel family for speeds other than 1 (kernels_resample.h), 0..2: written
// by the caller's thread (FBS_SET_RESAMPLEMODE), read by the mixer once a
// block.
extern std::atomic<int32_t> fbs_resample_mode;
// How the wave loaders change a source's rate to the output's (FBS_SET_
// WAVECONVERTER): 0 repeated or picked frames, 1 band-limited. Main thread.
extern std::atomic<int32_t> fbs_wave_converter;
// Written by the mixer only, read by any thread. Played bytes wrap past
// 2^31 - 1 to negative values like the 32-bit counter they model.
extern std::atomic<int32_t> fbs_played_bytes;
extern std::atomic<int32_t> fbs_playing_sounds;
extern std::atomic<int32_t> fbs_playing_streams;
// The output clock's frame at the first frame of the block mixed last, and
// 1 once a block was mixed since FBS_INIT (which clears it). Written by the
// mixer, read by any thread (FBS_GET_PLUGCLOCK).
extern std::atomic<uint32_t> fbs_block_clock;
extern std::atomic<int32_t> fbs_block_clock_known;
// Master callback and its enabled flag: written by the main thread, read
// by the mixer.
extern std::atomic<FbsBlockCallback> fbs_master_callback;
extern std::atomic<int32_t> fbs_master_callback_on;

// The selected record, or null when no plug-in is selected.
FbsPlugRecord* fbs_record(void);
// Output format of the selected record; 0 when none is selected.
int32_t fbs_out_rate(void);
int32_t fbs_out_channels(void);
int32_t fbs_out_bits(void);
int32_t fbs_out_framesize(void);
int32_t fbs_out_buffersize(void);

// ---- Waves (table in sounds.cpp; entry points in the wave files) ----

// Capacity of the wave table; the system uses 9 waves per sample set.
constexpr int32_t kFbsMaxWaves = 1024;

// One wave: data is a malloc'ed block of sample bytes in the output format
// (null when the slot is free), size its byte count. Written by the main
// thread, read by sound calls on other threads.
struct FbsWave {
  std::atomic<uint8_t*> data;
  std::atomic<uint32_t> size;
};
extern FbsWave fbs_waves[kFbsMaxWaves];
// Slots in use so far (the table never shrinks until FBS_EXIT sets it to 0).
extern std::atomic<int32_t> fbs_wave_count;

// 1 when the engine is initialised and wave is a slot with data and size > 0.
int fbs_wave_valid(int32_t wave);
// Puts a malloc'ed block into a wave slot (the first free one, else a new
// one) and returns the handle; -1 (data not taken) when the table is full.
// Main thread only. The engine frees the data with free().
int32_t fbs_wave_store(uint8_t* data, uint32_t size);
// Loads a WAV file into a new wave as FBS_LOAD_WAVFILE does, reading it into
// block (malloc'ed, capacity bytes, or null) when the file fits there; the
// call takes the block over. Returns the handle or -1; *source_rate (when
// given) gets the file's rate.
int32_t fbs_wave_load_file(const char* path, uint8_t* block, size_t capacity,
                           int32_t* source_rate = nullptr);
// A new wave from a sample cache entry (sample_cache.h); -1 when the entry
// is missing, stale or damaged.
struct SampleCacheKey;
int32_t fbs_wave_load_cached(const std::string& entry, const SampleCacheKey& key);
// Copies bytes of raw sample data into a new wave (tests and tools).
int32_t fbs_wave_store_copy(const void* samples, uint32_t bytes);

// ---- Sounds (sounds.cpp) ----

// Capacity of the sound table: 24 sounds for each of 9 waves, plus sounds
// started by FBS_PLAY_WAVE, with ample room.
constexpr int32_t kFbsMaxSounds = 4096;
// Bytes a mix buffer (and the stream's block) has beyond the block: room
// for a kernel's last step.
constexpr int32_t kFbsMixSlack = 512;
// Pans of this magnitude or less are not applied (sounds and the stream).
constexpr float kFbsPanThreshold = 0.0001f;

// A pan limited to -1..1; NaN lands at the left edge (sounds and the stream).
inline float fbs_limit_pan(float pan) {
  if (!(pan >= -1.0f)) return -1.0f;
  return pan > 1.0f ? 1.0f : pan;
}

// Channel gains of a pan -1..1: the far side is turned down, the near side
// stays at 1 (sounds and the stream).
inline float fbs_pan_left_gain(float pan) { return pan > 0.0f ? 1.0f - pan : 1.0f; }
inline float fbs_pan_right_gain(float pan) { return pan >= 0.0f ? 1.0f : 1.0f + pan; }

struct FbsSound {
  std::atomic<FbsBlockCallback> callback;  // stored, never called by the mixer
  std::atomic<int32_t> callback_enabled;
  std::atomic<int32_t*> owner;             // caller's handle variable, or null
  std::atomic<uint8_t*> wave_begin;        // null: the slot is free
  std::atomic<uint8_t*> play;              // current read position
  // The fraction carried past play, and the seam flag (kPhaseWrapped),
  // written with play; 0 wherever play is set from outside.
  std::atomic<uint32_t> phase;
  std::atomic<uint8_t*> wave_end;          // one past the wave's last byte
  std::atomic<uint8_t*> start;             // loop start
  std::atomic<uint8_t*> end;               // loop end
  std::atomic<uint8_t*> mix_alloc;         // the allocation holding the mix buffer
  std::atomic<uint8_t*> mix;               // this sound's block
  std::atomic<int32_t> loops;              // passes left; 0 = not playing
  // The start waiting for its frame and the last one carried out (see the
  // timed requests below), beside `loops`: the mixer looks at all three in
  // every slot of every block.
  std::atomic<uint32_t> start_id;
  std::atomic<uint32_t> started_id;
  std::atomic<float> speed;
  std::atomic<float> volume;
  std::atomic<float> pan;
  std::atomic<float> left_gain;
  std::atomic<float> right_gain;
  std::atomic<int32_t> keep;    // 0: the mixer frees the slot when the sound ends
  std::atomic<int32_t> muted;
  std::atomic<int32_t> paused;
  // Owned from slot choice until the slot is freed; claimed by compare-and-
  // swap so two threads creating sounds never take the same slot.
  std::atomic<int32_t> claimed;
  // Bytes of the mix buffer; the mixer renders only blocks that fit.
  std::atomic<int32_t> mix_capacity;
  // Bumped by every call that moves play or loops; the mixer keeps its own
  // position update only when no call did so while it rendered the block.
  std::atomic<uint32_t> moved;
  // De-click ramps, written with play and loops under the same guard (fade
  // weights and steps: kernel_table.h). A ramped end: fade_step > 0, and the
  // sound ends after fade_left more frames. A crossfaded restart: the
  // waveform the sound played before goes on from tail_play, at the volume
  // and the speed it was heard with (tail_volume, tail_speed), fading out
  // over tail_left frames while the restarted one fades in. heard_volume,
  // heard_speed: the volume and speed of the last block rendered since the
  // sound was (re)started, volume -1 before one was; only a heard sound gets
  // a tail.
  std::atomic<int32_t> fade_left;
  std::atomic<int32_t> fade_step;
  std::atomic<uint8_t*> tail_play;
  std::atomic<uint32_t> tail_phase;
  std::atomic<int32_t> tail_loops;
  std::atomic<int32_t> tail_left;
  std::atomic<int32_t> tail_step;
  std::atomic<float> tail_volume;
  std::atomic<float> heard_volume;
  std::atomic<float> tail_speed;
  std::atomic<float> heard_speed;
  // A start and an end at frames of the output clock (FBS_PLAY_SOUND_AT,
  // FBS_END_SOUND_AT), waiting for the block that covers them. Entry points
  // write them while `timed_guard` is odd; the mixer only reads them. A
  // request waits while its id (start_id above, end_id; never 0) differs
  // from the id the mixer last carried out (started_id above, ended_id),
  // which the mixer writes with the position under `moved`. A call that
  // starts, ends or moves the sound at once drops both: it comes after them.
  std::atomic<uint32_t> timed_guard;
  std::atomic<uint32_t> start_at;
  std::atomic<int32_t> start_loops;
  std::atomic<int32_t> start_ramp;
  // The volume and speed the waiting start plays with from its frame (a
  // negative volume, a zero speed: the sound's own); the sound keeps its
  // own until then, and the mixer stores these with the position.
  std::atomic<float> start_volume;
  std::atomic<float> start_speed;
  std::atomic<uint32_t> end_id;
  std::atomic<uint32_t> end_at;
  std::atomic<int32_t> end_ramp;
  std::atomic<uint32_t> ended_id;
  // Damping (FBS_SET_SOUNDDAMPING, FBS_SET_SOUNDDAMPING_AT). damp_next: a
  // change waiting for its frame, the new per-frame gain's float bits above
  // the output clock's frame (the gain's sign bit set: at once), 0 for none;
  // stored by any thread, taken by the mixer (compare-and-swap to 0) on its
  // frame, and dropped by a start asked for. The mixer's own: the per-frame
  // gain in force (1 none) and the gain reached so far (1 undamped), both
  // back to 1 when it plays a start.
  std::atomic<uint64_t> damp_next;
  std::atomic<float> damp_rate;
  std::atomic<float> damp_gain;
};
extern FbsSound fbs_sounds[kFbsMaxSounds];
extern std::atomic<int32_t> fbs_sound_count;

// 1 when the handle may be used by the sound entry points.
int fbs_sound_valid(int32_t sound);
// Starts asked for at a frame so far (FBS_PLAY_SOUND_AT counts each after
// storing it; the mixer reads it once a block). Only grows, wrapping.
extern std::atomic<uint32_t> fbs_timed_starts;

// 1 while a start asked for at a frame has not been carried out (any thread).
inline int fbs_start_waits(const FbsSound& s) {
  uint32_t id = s.start_id.load(std::memory_order_relaxed);
  return id != 0 && id != s.started_id.load(std::memory_order_relaxed);
}
// Stops a sound and frees its slot in the safe order (paused, loops 0, wave
// begin cleared, mix buffer detached, then released once no fill uses it).
// Used by FBS_DESTROY_SOUND, FBS_DESTROY_WAVE and FBS_EXIT. Returns 1 when
// the slot's mix buffer was its own allocation (and is released), else 0.
int fbs_sound_free(int32_t sound);
// Gives every slot in use a mix buffer of at least the current block size
// plus slack (after FBS_INIT changed the block size). Main thread, with
// output stopped.
void fbs_sounds_fit_buffers(void);

// ---- Mixer (mixer.cpp) ----

// Reads of a sound's write guard (`moved`) in one block before the sound,
// still being written, sits out that block. A writer holds the guard for a
// handful of stores, so a sounding voice is not dropped for a block by a
// write that is about to end.
constexpr int kFbsGuardReads = 64;

// Installs the block routines for an output channel count (FBS_INIT, with
// output stopped).
void fbs_install_routines(int32_t channels);

// Returns once no fill call that was running when it was called still runs.
// Call it after detaching memory from the tables and before freeing it.
// Never call it from the plug-in's thread.
void fbs_fill_quiesce(void);

// ---- Stream (the MP3 stream file; weak defaults in mixer.cpp/lifecycle.cpp) ----

// Step 3 of fbs_fill for a block of size bytes: returns 1 when the stream
// counts as playing (its ring holds bytes), else 0; sets *block to the
// stream's block when it contributes one, else null. Plug-in thread only;
// never allocates, locks or waits.
int fbs_stream_fill_step(int32_t size, uint8_t** block);
// Ends the stream if one exists and releases its buffers (FBS_EXIT, after
// output has stopped). Main thread.
void fbs_stream_release(void);

// State of the one MP3 stream, for the stream file. Fields the decoder
// thread and the mixer share are atomics.
struct FbsStream {
  std::atomic<int32_t> exists;
  std::atomic<int32_t> running;
  std::atomic<float> volume, pan, left_gain, right_gain;
  std::atomic<FbsBlockCallback> callback;
  std::atomic<int32_t> callback_enabled;
  uint8_t* input;          // 8192 bytes of MP3 data + 8 zero guard bytes
  uint8_t* conversion;     // one converted frame
  uint8_t* ring_start;     // 3 x buffersize bytes
  uint8_t* ring_end;
  std::atomic<uint8_t*> write_pos;
  std::atomic<uint8_t*> read_pos;
  std::atomic<int32_t> available;  // bytes written and not yet read
  uint8_t* block;          // buffersize + 512 zeroed bytes listed by fbs_fill
};

// ---- Keyboard (lifecycle.cpp) ----

// Waits for a key through the installed key source, then ends the process
// with status 1 (out of memory for a mix buffer). Ends at once without one.
[[noreturn]] void fbs_fatal_wait_key(void);
