// SPDX-License-Identifier: GPL-3.0-or-later
// The instrument's settings: one flat set of process-wide values with their
// defaults and ranges. The settings file that stores them (reader and writer)
// is app/settings.h; every reader clamps what it reads to the ranges given
// here (core/settings_ranges.h).
//
// Ownership (see core/threads.md): every setting is written by the main
// thread only (key commands, editors, prompts, presets, the reader). Values
// that the MIDI callback threads or the mixer thread read are std::atomic;
// relaxed loads are enough there, since each value stands alone and is read
// afresh on every message or block. The plain values are the main thread's alone.
#pragma once
#include <atomic>
#include <string>

constexpr int kSetCount = 15;          // sample sets 0..14
constexpr int kKeyvolRows = 16;        // one key-volume row per sample set slot
constexpr int kKeyvolKeys = 128;       // one entry per key number

// ---- Lines 1..5 of the settings file -------------------------------------------

// Sample set 0..14 (default 0); the reader turns a value outside 0..14 into 0.
// Read by the MIDI threads (row of `keyvol_table` at note-on).
extern std::atomic<int> piano_sound;
// Desktop position of the compact view (default 400, 300). Main thread only.
extern int window_x;
extern int window_y;
// Velocity curve mode 0..3 (default 2); the curve itself is rebuilt on the
// main thread. Main thread only.
extern int velo_mode;
// 0/1 (default 0): key volume map in use. Read by the MIDI threads at note-on.
extern std::atomic<int> keyvol_on;

// ---- Lines 6..2053: key volume map ----------------------------------------------

// Row r for sample set r, entry k for key number k, in units of 1/127
// (default 127 = unchanged level), 0.01..255. Read one entry at a time by
// the MIDI threads at note-on.
extern std::atomic<float> keyvol_table[kKeyvolRows][kKeyvolKeys];

// ---- Line 2055 onwards ------------------------------------------------------------

// Seconds between a note-off and the end of the note, 0.05..1.0 (default
// 0.08; the reader clamps). Read by the note-off queue (main thread) and the
// MIDI threads.
extern std::atomic<double> note_off_delay;
// 0..5 (default 0): automatic volume off, gain only, gain plus compression of
// four strengths. Read by the mixer thread and the MIDI threads (note-on).
extern std::atomic<int> autovol_mode;
// 0..3 (default 0): output reverb off or kind 1..3. Read by the mixer thread.
extern std::atomic<int> reverb_mode;

// Four parameters of a two-tap reverb line, in file order. Gains 0..0.7,
// times in ms, whole numbers 10..1000 (clamp_reverb_params). Main thread
// only: the mixer uses the copies the reverb set-up makes.
struct ReverbParams {
  float kreverb1;
  float kreverb2;
  float Treverb1;
  float Treverb2;
};
extern ReverbParams reverb3_params;   // lines 2058..2061, default 0.55, 0.34, 225, 300
extern ReverbParams reverb2_params;   // lines 2062..2065, default 0.45, 0.3, 225, 300

// 0/1 (default 0): output equalizer on (the chain tests for exactly 1). Read
// by the mixer thread.
extern std::atomic<int> equalizer_on;

// Six values of a three-band filter set, in file order, with their defaults.
// Every field is atomic because the mixer thread reads the equalizer's
// `order` on every block; the others are cheap to keep atomic too. Copying
// takes a snapshot field by field (used by the editors' undo and redo).
struct ToneBands {
  // Ranges: kEqualizerRanges, kKeytoneRanges (core/settings_ranges.h).
  std::atomic<int> lowf{200};      // low split (Hz for the equalizer)
  std::atomic<int> highf{8000};    // high split
  std::atomic<float> lowg{2.0f};   // band gains, linear factors
  std::atomic<float> midg{1.0f};
  std::atomic<float> highg{1.2f};
  std::atomic<int> order{1};       // stages per chain
  ToneBands() = default;
  ToneBands(const ToneBands& other) { *this = other; }
  ToneBands& operator=(const ToneBands& other);
};
// Equalizer set, lines 2067..2072. `order` read by the mixer thread; the
// rest by the main thread, which computes the coefficients from them.
extern ToneBands eq_bands;
// 0..2 (default 0): key tone off, on, on with inverted band signs. Main thread only.
extern int keytone_mode;
// Key tone set, lines 2074..2079 (units of the key tone). Main thread only.
extern ToneBands keytone_bands;
// 0/1 (default 0): key reverb stage of the sample pass on. Main thread only.
extern int keyrev_on;
// Key reverb parameters, lines 2081..2084 (default 0.55, 0.34, 225, 300). Main thread only.
extern ReverbParams keyrev_params;

// Final volume factor 0.01..1.0 (default 1; the reader clamps). Read by the
// mixer thread.
extern std::atomic<float> master_level;
// 1 full view (default), 0 compact view. Main thread only (the MIDI threads
// fill the key display lists whatever the view).
extern std::atomic<int> full_view;
// MIDI input port 1..number of inputs (default 1; clamped when the ports are
// opened). Main thread only.
extern int midi_in_port;
// Frames per engine buffer, 100..2048 (default 1024; the reader clamps, and
// so does the engine's start). Main thread only.
extern int buffer_size;
// -1..13 (default 6), shifts keys to samples; the reader clamps. Read by the
// MIDI threads.
extern std::atomic<int> type_offset;
// Thru output port: 0 none (default), else 1..number of outputs (clamped when
// the port is opened). Read by the MIDI threads.
extern std::atomic<int> thru_port;
// -12..12 semitones added to incoming keys (default 0; the reader clamps).
// Read by the MIDI threads.
extern std::atomic<int> transpose;
// Second and third MIDI input ports, 0 none (default). Main thread only.
extern int midi_in2_port;
extern int midi_in3_port;
// 0..127 velocity normalisation target, 0 off (default). Read by the MIDI threads.
extern std::atomic<int> autovolmidi;
// File name (no folder) of the preset last saved or loaded, default empty;
// shown in the window title. Main thread only.
extern std::string preset_name;
// 0 factory thumbnails (default), 1 user thumbnails. Main thread only.
extern int preset_bank;

// ---- Lines 2097..2101 ---------------------------------------------------------------

constexpr int kMidiInputs = 3;   // MIDI inputs open at once
// Names of the chosen MIDI inputs 1..3 and of the thru port (lines
// 2097..2100), empty for none (default). A port of that name is preferred
// to the port numbers when the ports are opened; a preset load keeps them,
// as it keeps the numbers. Main thread only.
extern std::string midi_in_port_name[kMidiInputs];
extern std::string thru_port_name;
// Kernel family for sounds played at a speed other than 1 (line 2101): 0
// nearest sample (default), 1 cubic, 2 band-limited; the reader clamps.
// Main thread only: the engine keeps its own copy for the mixer.
extern int resample_mode;

// ---- Line 2102 -----------------------------------------------------------------------

// 1 (default): a set with louder layers (sounds/layers.txt) plays them by
// velocity; 0: the set alone. Read by the MIDI threads at note-on; the main
// thread loads the layers at the set's load.
extern std::atomic<int> velocity_layers;

// ---- Line 2103 -----------------------------------------------------------------------

// How the pedals play (line 2103): 0 a switch (default): controller 64 holds
// at 127 only and 66 and 67 do nothing; 1 piano pedals: a continuous
// sustain with half-pedalling, the sostenuto (66) and the soft pedal (67),
// midi/pedals.h. A machine value: a preset load keeps it. The reader clamps
// to 0..1. Read by the MIDI threads.
extern std::atomic<int> pedal_mode;

// Selection marks of the thumbnail row: the x of the marked factory slot and
// of the marked user slot, 0 for none. Not stored in the file: kept by the
// screen code while the full view is shown (0 in the compact view); the
// writer reads them to settle `preset_bank`. Main thread only.
extern int preset_factory_mark;
extern int preset_user_mark;

// ---- Defaults (main thread) --------------------------------------------------------

// Every setting above to its default (also the program image's start values).
void set_default_settings();
// Every default but the machine's own values (`full_view`, the MIDI ports
// and their names, `buffer_size`, `thru_port`, `transpose`, `pedal_mode`), which a preset
// load leaves alone.
void set_default_sound_settings();
