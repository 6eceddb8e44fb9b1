// SPDX-License-Identifier: GPL-3.0-or-later
// The offline renderer: a MIDI file played through the instrument into a WAV
// file, with no window, sound device, MIDI port or JACK. It is a second
// program (quillon_render) built from the instrument's own libraries.
// Threads: everything runs on the caller's thread, the mixing included.
#pragma once
#include <cstdint>
#include <string>

#include "app/sample_sets.h"

struct RenderOptions {
  std::string midi_path;      // IN.mid
  std::string wav_path;       // OUT.wav
  std::string settings_path;  // empty: quillon_darvo.ini in the settings folder (core/paths.h)
  bool quiet = false;         // no progress line
  bool help = false;          // --help: the usage, nothing rendered
  bool version = false;       // --version
};

// Plays the file through the instrument in blocks of buffer_size frames at
// 44100 Hz stereo on a virtual clock and writes 16-bit samples to the WAV
// file, which appears only when complete. The settings and sample sets come
// from the folders of core/paths.h. The render ends when the last
// event has passed, every voice has ended and the output has stayed silent
// for 0.5 s, or 10 s after the last event. Returns 0, or 1 after one line on
// standard error.
int render_midi_file(const RenderOptions& options);

// ---- The renderer's driver, for in-process use (tests) ----
// The caller plays the part of render_midi_file: it starts the instrument,
// then for every block begins it, dispatches the block's MIDI messages and
// mixes it, and stops at the end. Main thread.

// Starts the engine on the in-process output (44100 Hz stereo, blocks of
// buffer_size frames) with the current settings and the live program's
// set-up of the set of piano_sound; the program clock becomes the
// renderer's virtual clock, at 0. Returns an empty text or the failure.
std::string offline_start(const SoundFolders& sounds);
// Frames of a block.
int offline_block_frames();
// Begins the next block: the clock goes to its start. Its start and end in
// seconds.
struct OfflineBlock {
  double start, end;
};
OfflineBlock offline_begin_block();
// A MIDI short message of the block begun, at `seconds` (not before the
// block's start), heard on its frame.
void offline_dispatch(uint32_t message, double seconds);
// Serves the note-off queue at the block's end (the releases due in the
// block fall on their frames) and mixes the block begun into `block`
// (frames x 2 values) with the clock at the block's end.
void offline_mix_block(int16_t* block);
// Ends the sounds and waves and stops the engine.
void offline_stop();
