// The instrument's settings: one flat set of process-wide values, their
// defaults, and the 2096-line text file that stores them (the settings file,
// its backup and every preset share this layout).
//
// Ownership: every setting is written by the main thread only (key commands,
// editors, prompts, presets, the reader). Values that the MIDI callback thread
// or the mixer thread read are std::atomic; relaxed loads are enough there,
// since each value stands alone ("read afresh" on every message or block).
// The rest are plain values used by the main thread alone.
#pragma once
#include <atomic>
#include <cstddef>
#include <string>

constexpr int kSettingsLines = 2096;   // lines of a settings file or preset
constexpr int kFinlistLine = 2054;     // 1-based line of the end mark "finlist"
constexpr int kKeyvolRows = 16;        // one key-volume row per sample set slot
constexpr int kKeyvolKeys = 128;       // one entry per key number
constexpr int kPresetNameMax = 100;    // characters of `preset_name` kept by the reader

// ---- Lines 1..5 -------------------------------------------------------------

// Sample set 0..14; the reader turns a value outside 0..14 into 0 (no such
// set exists). Read by the MIDI thread (row of `keyvol_table` at note-on).
extern std::atomic<int> piano_sound;
// Desktop position of the compact view. Main thread only.
extern int window_x;
extern int window_y;
// Velocity curve mode 0..3 (the curve is rebuilt on the main thread). Main thread only.
extern int velo_mode;
// 0/1: key volume map in use. Read by the MIDI thread at note-on.
extern std::atomic<int> keyvol_on;

// ---- Lines 6..2053: key volume map --------------------------------------------

// Row r for sample set r, entry k for key number k, in units of 1/127
// (127 = unchanged level). Written by the main thread (reader, key-volume
// editor), read one entry at a time by the MIDI thread at note-on.
extern std::atomic<float> keyvol_table[kKeyvolRows][kKeyvolKeys];

// ---- Line 2055 onwards ---------------------------------------------------------

// Seconds between a note-off and the end of the note, 0.05..1.0 (the reader
// clamps). Read by the main thread's note-off queue and by the MIDI thread.
extern std::atomic<double> note_off_delay;
// 0..5: automatic volume off, gain only, gain plus compression of four
// strengths. Read by the mixer thread (master chain) and the MIDI thread (note-on).
extern std::atomic<int> autovol_mode;
// 0..3: output reverb off or kind 1..3. Read by the mixer thread.
extern std::atomic<int> reverb_mode;

// Four parameters of a two-tap reverb line, in file order. Gains 0..0.7,
// times in ms, whole numbers 10..1000 (clamped at start-up, not by the reader).
// Main thread only: the mixer uses the copies that setup_reverb makes.
struct ReverbParams {
  float kreverb1;
  float kreverb2;
  float Treverb1;
  float Treverb2;
};
extern ReverbParams reverb3_params;   // lines 2058..2061
extern ReverbParams reverb2_params;   // lines 2062..2065

// 0/1: output equalizer on (the chain tests for exactly 1). Read by the mixer thread.
extern std::atomic<int> equalizer_on;

// Six values of a three-band filter set, in file order. Every field is atomic
// because the mixer thread reads the equalizer's `order` on every value; the
// others are cheap to keep atomic too. Copying takes a snapshot field by field
// (used by the editors' undo and redo).
struct ToneBands {
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
// rest by the main thread (compute_eq_coefficients copies the gains).
extern ToneBands eq_bands;
// 0..2: key tone off, on, on with inverted band signs. Main thread only.
extern int keytone_mode;
// Key tone set, lines 2074..2079 (units of the key tone). Main thread only.
extern ToneBands keytone_bands;
// 0/1: key reverb stage of the sample pass on. Main thread only.
extern int keyrev_on;
// Key reverb parameters, lines 2081..2084. Main thread only.
extern ReverbParams keyrev_params;

// Final volume factor 0.01..1.0 (the reader clamps). Read by the mixer thread.
extern std::atomic<float> master_level;
// 1 full view, 0 compact view. Read by the MIDI thread (key display marks).
extern std::atomic<int> full_view;
// MIDI input port 1..number of inputs (clamped when the ports are opened). Main thread only.
extern int midi_in_port;
// Frames per engine buffer, 100..2048 (clamped when the engine starts). Main thread only.
extern int buffer_size;
// −1..13, shifts keys to samples; the reader clamps. Read by the MIDI thread.
extern std::atomic<int> type_offset;
// Thru output port: 0 none, else 1..number of outputs. Read by the MIDI thread.
extern std::atomic<int> thru_port;
// −12..12 semitones added to incoming keys; the reader clamps. Read by the MIDI thread.
extern std::atomic<int> transpose;
// Second and third MIDI input ports, 0 none. Main thread only.
extern int midi_in2_port;
extern int midi_in3_port;
// 0..127 velocity normalisation target, 0 off. Read by the MIDI thread.
extern std::atomic<int> autovolmidi;
// File name (no folder) of the preset last saved or loaded; shown in the
// window title. Main thread only.
extern std::string preset_name;
// 0 factory thumbnails, 1 user thumbnails. Main thread only.
extern int preset_bank;

// Selection marks of the thumbnail row: the x of the marked factory slot and
// of the marked user slot, 0 for none. Kept by the screen code while the full
// view is shown (0 in the compact view); the writer reads them to settle
// `preset_bank`. Main thread only.
extern int preset_factory_mark;
extern int preset_user_mark;

// ---- Functions (main thread) -----------------------------------------------------

// Every setting above to its default (also the program image's start values).
void set_default_settings();

// Fill the settings from a file; a missing or unreadable file, or one that is
// not a regular file, reads as an empty one (every setting takes its default).
// Lines may end in CR LF or LF alone.
void read_settings(const char* path);
// The same from a text already in memory (size bytes, need not end in a newline).
void read_settings_from_text(const char* text, size_t size);

// The 2096 lines of the current settings, CR LF ended. Settles `preset_bank`
// first, as the writer does.
std::string format_settings();
// Write all settings to path. The text goes to a temporary file in the same
// folder, is flushed to disk and only then renamed over path, so a failed
// write leaves the previous file intact. Returns true on success.
bool write_settings(const char* path);

// ---- Preset files ------------------------------------------------------------------

// The part of a path after its last "/" or "\" (the whole path if neither).
std::string preset_file_name(const std::string& path);

// Check a name chosen in the preset file dialog: blanks trimmed, ".preset"
// appended when the name has no ".". Returns 1 and the name in out when it
// ends in ".preset" (any case), 0 when it is empty (dialog cancelled), and −1
// when it has another extension (the caller shows "bad name " + out).
int check_preset_name(const std::string& chosen, std::string& out);

// Save: write_settings(path); on success `preset_name` becomes the file name.
bool save_preset_file(const char* path);
// Load: if the file exists (a regular file), read it as settings but keep `full_view`,
// `midi_in_port`, `buffer_size`, `midi_in2_port`, `midi_in3_port`,
// `thru_port` and `transpose`; `preset_name` becomes the file name. Returns
// false (changing nothing) when the file does not exist. The caller then asks
// the main loop to reload ("reload") and sets the window title.
bool load_preset_file(const char* path);

// Thumbnail presets: bank 0 factory (granpiano, granpiano1, granpiano2,
// upright, epiano under "bmp/"), bank 1 user (user1..user5 under
// "save/user/"); slot 0..4. preset_slot_name gives the bare name (null for a
// bad bank or slot); thumbnail_preset_path gives program_dir + folder + name
// + ".preset" (empty for a bad bank or slot). program_dir ends in "/" or is empty.
const char* preset_slot_name(int bank, int slot);
std::string thumbnail_preset_path(const std::string& program_dir, int bank, int slot);
