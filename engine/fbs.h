// SPDX-License-Identifier: GPL-3.0-or-later
// Public interface of the sound engine: a flat set of exported C entry
// points over the engine's own tables of waves, sounds and one MP3 stream.
// Every entry returns 1 for success and 0 for failure unless noted; handles
// are 0-based indices, written as -1 when a create or load fails.
// Threads: lifecycle calls (FBS_INIT, FBS_STOP, FBS_EXIT) from the main
// thread; wave calls from the main thread; sound calls from any thread;
// fbs_fill only from the output plug-in's thread.
#pragma once
#include <cstdint>

#include "engine/plug_record.h"

extern "C" {

// Block callback: (block of frames x channels 16-bit samples, channels,
// frames). Used for the master callback, the stream callback and the stored
// per-sound callback. Runs on the plug-in's thread; may change the block.
typedef void(FBS_CALL* FbsBlockCallback)(int16_t* block, int32_t channels, int32_t frames);

// ---- Lifecycle and plug-ins ----
FBS_EXPORT int32_t FBS_CALL FBS_INIT(int32_t rate, int32_t channels, int32_t buffers,
                                     int32_t frames, int32_t device);
FBS_EXPORT int32_t FBS_CALL FBS_START(void);
FBS_EXPORT int32_t FBS_CALL FBS_STOP(void);
FBS_EXPORT int32_t FBS_CALL FBS_EXIT(void);
FBS_EXPORT const char* FBS_CALL FBS_GET_PLUGPATH(void);
FBS_EXPORT int32_t FBS_CALL FBS_SET_PLUGPATH(const char* path);
FBS_EXPORT int32_t FBS_CALL FBS_GET_NUMOFPLUGOUTS(void);
FBS_EXPORT const char* FBS_CALL FBS_GET_PLUGERROR(void);
FBS_EXPORT const char* FBS_CALL FBS_GET_PLUGNAME(void);
FBS_EXPORT const char* FBS_CALL FBS_GET_PLUGDEVICE(void);
FBS_EXPORT int32_t FBS_CALL FBS_GET_PLUGBUFFERSIZE(void);
FBS_EXPORT int32_t FBS_CALL FBS_GET_PLUGBUFFERS(void);
FBS_EXPORT int32_t FBS_CALL FBS_GET_PLUGFRAMESIZE(void);
FBS_EXPORT int32_t FBS_CALL FBS_GET_PLUGFRAMES(void);
FBS_EXPORT int32_t FBS_CALL FBS_GET_PLUGRATE(void);
FBS_EXPORT int32_t FBS_CALL FBS_GET_PLUGBITS(void);
FBS_EXPORT int32_t FBS_CALL FBS_GET_PLUGCHANNELS(void);
FBS_EXPORT int32_t FBS_CALL FBS_GET_PLUGSIGNED(void);
FBS_EXPORT int32_t FBS_CALL FBS_GET_PLUGRUNNING(void);
// 1 when output runs and the selected plug-in reports that its device
// stopped under the program (PLUG_LOST); 0 otherwise, also for a plug-in
// without that entry. Main thread. Output comes back only through FBS_INIT,
// which keeps the waves and sounds.
FBS_EXPORT int32_t FBS_CALL FBS_GET_PLUGLOST(void);
FBS_EXPORT int32_t FBS_CALL FBS_GET_MAXCHANNELS(int32_t* n);
FBS_EXPORT int32_t FBS_CALL FBS_SET_MAXCHANNELS(int32_t n);
FBS_EXPORT int32_t FBS_CALL FBS_SET_MASTERVOLUME(float v);
FBS_EXPORT int32_t FBS_CALL FBS_GET_MASTERVOLUME(float* v);
// The kernel family every sound plays with at speeds other than 1: 0 the
// nearest earlier sample (the default), 1 cubic (4-point Hermite), 2
// band-limited (16-tap windowed sinc whose cutoff falls by 1/speed above
// speed 1). The mixer takes it from its next block. Positions step alike
// under every family, and every family carries the fraction of a sound's
// position from block to block: a note's pitch does not depend on the
// output's period. Other values return 0 and change nothing.
// Any thread, engine running or not.
FBS_EXPORT int32_t FBS_CALL FBS_SET_RESAMPLEMODE(int32_t mode);
FBS_EXPORT int32_t FBS_CALL FBS_GET_RESAMPLEMODE(void);
// How the wave loaders bring a source's rate to the output rate: 0 repeats
// (up) or picks (down) whole source frames (the default), 1 interpolates
// with the band-limited kernel of resampling family 2, for an output whose
// rate the device chose. Waves loaded before keep what they were made with.
// Other values return 0 and change nothing. Main thread.
FBS_EXPORT int32_t FBS_CALL FBS_SET_WAVECONVERTER(int32_t converter);
FBS_EXPORT int32_t FBS_CALL FBS_GET_WAVECONVERTER(void);
FBS_EXPORT int32_t FBS_CALL FBS_GET_PLAYINGSOUNDS(void);
FBS_EXPORT int32_t FBS_CALL FBS_GET_PLAYINGSTREAMS(void);
FBS_EXPORT int32_t FBS_CALL FBS_GET_PLAYEDBYTES(void);
// The output clock's frame at the first frame of the block mixed last (see
// clock_frame in plug_record.h): 1 with it, 0 while output does not run or
// before its first block. Any thread.
FBS_EXPORT int32_t FBS_CALL FBS_GET_PLUGCLOCK(uint32_t* frame);
FBS_EXPORT int32_t FBS_CALL FBS_GET_PLAYEDSAMPLES(void);
FBS_EXPORT double FBS_CALL FBS_GET_PLAYTIME(void);
// 0 when no key waits; the character code; 256 + second code for an
// extended key (255 followed by a scan code). Reads the key source below.
FBS_EXPORT int32_t FBS_CALL FBS_GET_KEYCODE(void);

// The application's keyboard: a function returning the next waiting
// character (0 when none). Installed by the shell; null removes it.
FBS_EXPORT void fbs_set_key_source(int (*next_key)(void));

// The application's line printer for the engine's own text (MP3 loader
// notes, a corrupt sound slot). Null restores standard output.
FBS_EXPORT void fbs_set_text_sink(void (*print_line)(const char* line));

// The folder of the temporary files that FBS_LOAD_MP3FILE names itself
// ("tmpfilemp3" + counter + ".wav"), ending in "/"; empty or null for the
// current folder. Main thread, while no load runs.
FBS_EXPORT void fbs_set_scratch_folder(const char* folder);

// The folder of the decoded-sample cache ("" or null: none, the start-up
// state). While one is set, FBS_LOAD_MP3FILE reads a file's wave from the
// folder when it holds one made from the same file (path, size and
// modification time) for the same output format, and otherwise decodes and
// leaves the wave there; a folder that cannot be read or written changes
// nothing else. Main thread, between loads.
FBS_EXPORT void fbs_set_sample_cache(const char* folder);

// An output plug-in inside the calling program instead of a library: while
// set, plug-in loading (the first FBS_INIT, or the first after FBS_EXIT)
// offers only a copy of this record, with `module` null, instead of the
// files of the plug path. All six entries must be set. Its PLUG_INIT gets the
// record's address like any plug-in's, and the program may then call `fill`
// from any one thread of its own, e.g. to mix a block at a time without a
// device. Null returns to the files. Main thread, while no FBS_INIT runs.
FBS_EXPORT void fbs_set_inprocess_plugin(const FbsPlugRecord* entries);

// The fill function handed to plug-ins in the record (plug-in thread only).
FBS_EXPORT void FBS_CALL fbs_fill(FbsPlugRecord* record);

// ---- Sounds and the master callback ----
FBS_EXPORT int32_t FBS_CALL FBS_CREATE_SOUND(int32_t wave, int32_t* sound);
FBS_EXPORT int32_t FBS_CALL FBS_PLAY_WAVE(int32_t wave, int32_t loops, float speed, float volume,
                                          float pan, int32_t* sound);
FBS_EXPORT int32_t FBS_CALL FBS_PLAY_SOUND(int32_t sound, int32_t loops);
// Ends a playing sound without a click: the mixer plays `frames` more frames
// under a gain falling linearly from 1 to 0 and then ends the sound as one
// whose position reached its end (loops 0, position at the loop start, an
// unkept slot released). frames is held to 0..the output rate; 0 ends the
// sound at the next block. Returns 0 and changes nothing for a sound that is
// not playing or is paused; while a ramp runs, a second call leaves it alone.
FBS_EXPORT int32_t FBS_CALL FBS_END_SOUND_RAMPED(int32_t sound, int32_t frames);
// FBS_PLAY_SOUND with a crossfade: when the sound is being heard (playing,
// not paused or muted, rendered since it started), what it plays goes on
// fading out over `frames` frames at the volume it was heard with, or over
// what is left of a ramp running on it, while the new start fades in, all in
// the same slot. Otherwise, or with frames 0, exactly FBS_PLAY_SOUND.
FBS_EXPORT int32_t FBS_CALL FBS_PLAY_SOUND_RAMPED(int32_t sound, int32_t loops, int32_t frames);
// FBS_PLAY_SOUND_RAMPED at frame `at` of the output clock (the record's
// clock_frame): the mixer starts the sound on that frame, inside the block
// that covers it. A frame already past, or more than a second ahead (a
// clock that is not the output's), starts it at the next block. The start
// replaces one still waiting, and drops an end waiting for a frame from
// `at` on. Until then the sound goes on as it was, with its own volume and
// speed; from the start's frame it plays with `volume` and `speed` (a
// negative volume, a zero speed: the sound's own), which the sound then
// keeps, and what it played before fades out with its own. Any call that
// starts, ends or moves the sound at once drops what waits. Returns 0 for
// an invalid sound.
FBS_EXPORT int32_t FBS_CALL FBS_PLAY_SOUND_AT(int32_t sound, int32_t loops, int32_t frames,
                                              uint32_t at, float volume, float speed);
// FBS_END_SOUND_RAMPED at frame `at`, placed as FBS_PLAY_SOUND_AT places a
// start. An end asked for while a start waits ends what that start begins,
// on the start's frame at the earliest; an end already waiting for the same
// sounding is left alone. Returns 0, asking nothing, for a sound that
// neither plays nor has a start waiting.
FBS_EXPORT int32_t FBS_CALL FBS_END_SOUND_AT(int32_t sound, int32_t frames, uint32_t at);
FBS_EXPORT int32_t FBS_CALL FBS_DESTROY_SOUND(int32_t* sound);
FBS_EXPORT int32_t FBS_CALL FBS_SET_SOUNDSPEED(int32_t sound, float speed);
FBS_EXPORT int32_t FBS_CALL FBS_SET_SOUNDVOLUME(int32_t sound, float volume);
// Damping: from the next block the sound falls 60 dB every `seconds`, on
// top of its volume, as a gain that moves every frame; a new value changes
// how fast it falls from where it stands, so the level never steps. 0 or
// less: it falls no further and keeps the level reached. A start asked for
// (FBS_PLAY_SOUND, FBS_PLAY_SOUND_RAMPED, FBS_PLAY_SOUND_AT) drops a change
// still waiting, and the mixer plays the start undamped from full level. A
// sound damped below what 16 bits can hold (-96 dB) ends as one whose
// position reached its end. Any thread.
FBS_EXPORT int32_t FBS_CALL FBS_SET_SOUNDDAMPING(int32_t sound, float seconds);
// The same from frame `at` of the output clock, placed as FBS_PLAY_SOUND_AT
// places a start; it replaces a change still waiting.
FBS_EXPORT int32_t FBS_CALL FBS_SET_SOUNDDAMPING_AT(int32_t sound, float seconds, uint32_t at);
FBS_EXPORT int32_t FBS_CALL FBS_SET_SOUNDPAN(int32_t sound, float pan);
FBS_EXPORT int32_t FBS_CALL FBS_SET_SOUNDLOOPS(int32_t sound, int32_t loops);
FBS_EXPORT int32_t FBS_CALL FBS_SET_SOUNDMUTED(int32_t sound, int32_t muted);
FBS_EXPORT int32_t FBS_CALL FBS_SET_SOUNDPAUSED(int32_t sound, int32_t paused);
FBS_EXPORT int32_t FBS_CALL FBS_GET_SOUNDSPEED(int32_t sound, float* speed);
FBS_EXPORT int32_t FBS_CALL FBS_GET_SOUNDVOLUME(int32_t sound, float* volume);
FBS_EXPORT int32_t FBS_CALL FBS_GET_SOUNDPAN(int32_t sound, float* pan);
FBS_EXPORT int32_t FBS_CALL FBS_GET_SOUNDLOOPS(int32_t sound, int32_t* loops);
FBS_EXPORT int32_t FBS_CALL FBS_GET_SOUNDMUTED(int32_t sound, int32_t* muted);
FBS_EXPORT int32_t FBS_CALL FBS_GET_SOUNDPAUSED(int32_t sound, int32_t* paused);
FBS_EXPORT int32_t FBS_CALL FBS_GET_SOUNDPOINTERS(int32_t sound, void** start, void** play,
                                                  void** end);
FBS_EXPORT int32_t FBS_CALL FBS_SET_SOUNDPOINTERS(int32_t sound, void* start, void* play,
                                                  void* end);
FBS_EXPORT int32_t FBS_CALL FBS_GET_SOUNDLENGTH(int32_t sound, int32_t* milliseconds);
FBS_EXPORT int32_t FBS_CALL FBS_SET_MASTERCALLBACK(FbsBlockCallback callback);
FBS_EXPORT int32_t FBS_CALL FBS_ENABLE_MASTERCALLBACK(void);
FBS_EXPORT int32_t FBS_CALL FBS_DISABLE_MASTERCALLBACK(void);
FBS_EXPORT int32_t FBS_CALL FBS_SET_SOUNDCALLBACK(int32_t sound, FbsBlockCallback callback);
FBS_EXPORT int32_t FBS_CALL FBS_ENABLE_SOUNDCALLBACK(int32_t sound);
FBS_EXPORT int32_t FBS_CALL FBS_DISABLE_SOUNDCALLBACK(int32_t sound);

// ---- Waves and WAV loading ----
FBS_EXPORT int32_t FBS_CALL FBS_CREATE_WAVE(int32_t frames, int32_t* wave, void** data);
FBS_EXPORT int32_t FBS_CALL FBS_LOAD_WAVFILE(const char* file_name, int32_t* wave);
FBS_EXPORT int32_t FBS_CALL FBS_LOAD_WAVFILE_SHORT(void* image, int32_t* wave);
FBS_EXPORT int32_t FBS_CALL FBS_DESTROY_WAVE(int32_t* wave);
FBS_EXPORT int32_t FBS_CALL FBS_GET_WAVEPOINTERS(int32_t wave, void** begin, void** end,
                                                 int32_t* channels);
FBS_EXPORT int32_t FBS_CALL FBS_GET_WAVELENGTH(int32_t wave, int32_t* milliseconds);

// ---- MP3 loading and the stream ----
FBS_EXPORT int32_t FBS_CALL FBS_LOAD_MP3FILE(const char* file_name, int32_t* wave,
                                             const char* temp_name);
// size is read as an unsigned 32-bit count of bytes.
FBS_EXPORT int32_t FBS_CALL FBS_LOAD_MP3FILE_SHORT(const char* file_name, int32_t* wave,
                                                   uint32_t size, int32_t verbose);
FBS_EXPORT int32_t FBS_CALL FBS_CREATE_MP3STREAM(const char* file_name);
FBS_EXPORT int32_t FBS_CALL FBS_PLAY_MP3STREAM(float volume, float pan);
FBS_EXPORT int32_t FBS_CALL FBS_END_MP3STREAM(void);
FBS_EXPORT int32_t FBS_CALL FBS_GET_STREAMBUFFER(void** block, int32_t* channels, int32_t* frames);
FBS_EXPORT int32_t FBS_CALL FBS_SET_STREAMVOLUME(float volume);
FBS_EXPORT int32_t FBS_CALL FBS_GET_STREAMVOLUME(float* volume);
FBS_EXPORT int32_t FBS_CALL FBS_SET_STREAMPAN(float pan);
FBS_EXPORT int32_t FBS_CALL FBS_GET_STREAMPAN(float* pan);
FBS_EXPORT int32_t FBS_CALL FBS_SET_STREAMCALLBACK(FbsBlockCallback callback);
FBS_EXPORT int32_t FBS_CALL FBS_ENABLE_STREAMCALLBACK(void);
FBS_EXPORT int32_t FBS_CALL FBS_DISABLE_STREAMCALLBACK(void);

}  // extern "C"
