// SPDX-License-Identifier: GPL-3.0-or-later
// The offline renderer. The engine runs with an in-process output plug-in
// whose blocks this driver mixes itself, one after the other, on a virtual
// clock: the file's events that fall in a block reach the MIDI dispatch at
// their own times and on their own frames (the output clock counts the
// frames mixed), then the note-off queue is served at the block's end, which
// releases the notes due in the block on their frames, then the block is
// mixed (the master chain reading the clock at the block's end). No thread,
// no pacing and no real clock take part, so the same file gives the same
// bytes on every run.
#include "app/offline_render.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/instrument_setup.h"
#include "app/sample_sets.h"
#include "app/settings.h"
#include "app/velocity_layers.h"
#include "core/clock.h"
#include "core/files.h"
#include "core/paths.h"
#include "effects/sample_pass.h"
#include "engine/fbs.h"
#include "engine/wav_read.h"
#include "engine/wav_text.h"
#include "midi/midi_file.h"
#include "midi/midi_input.h"
#include "midi/pedals.h"
#include "midi/voices.h"

namespace {

constexpr int kRate = 44100;
constexpr int kChannels = 2;
constexpr int kFrameBytes = 2 * kChannels;
constexpr double kSilentTail = 0.5;      // seconds of silence that end the render
constexpr double kLongestTail = 10.0;    // the render ends at most this long after the last event
constexpr double kProgressAfter = 5.0;   // files at least this long show a progress line
constexpr double kProgressPeriod = 0.5;  // wall seconds between progress lines
// The header's 32-bit sizes bound the samples a WAV file can hold.
constexpr double kWavMostSeconds = (4294967295.0 - 36.0) / (kRate * kFrameBytes);

int fail(const std::string& text) {
  std::fprintf(stderr, "quillon_render: %s\n", text.c_str());
  return 1;
}

std::string system_error() { return std::strerror(errno); }

// ---- The virtual clock: the program clock while the renderer runs ----

double virtual_now = 0.0;
double virtual_clock() { return virtual_now; }

// ---- The in-process output plug-in: it opens nothing and keeps the record,
// whose fill the driver calls once per block ----

FbsPlugRecord* output = nullptr;

int32_t FBS_CALL offline_isany(FbsPlugRecord*) { return 1; }
int32_t FBS_CALL offline_init(FbsPlugRecord* r) {
  if (r->bits != 16 || r->channels != kChannels || r->rate != kRate || r->frames < 1 || r->frames > 65536)
    return 0;
  r->framesize = kFrameBytes;
  r->buffersize = r->frames * kFrameBytes;
  r->is_signed = 1;
  std::snprintf(r->name, sizeof r->name, "offline render");
  std::snprintf(r->device, sizeof r->device, "WAV file");
  output = r;
  return 1;
}
int32_t FBS_CALL offline_start_plug(void) { return 1; }
int32_t FBS_CALL offline_stop_plug(void) { return 1; }
int32_t FBS_CALL offline_exit(void) {
  output = nullptr;
  return 1;
}
const char* FBS_CALL offline_error(void) { return ""; }

// Engine text (an MP3 loader's warning) goes to standard error, never into
// standard output.
void engine_line_to_stderr(const char* line) { std::fprintf(stderr, "%s\n", line ? line : ""); }
void engine_line_dropped(const char*) {}

// ---- The output file: samples go to a temporary file beside it, which
// takes its name only when complete ----

struct WavOutput {
  std::string path, temp;
  FILE* file = nullptr;
  uint64_t data_bytes = 0;

  bool open(const std::string& target, std::string* error) {
    path = target;
    data_bytes = 0;
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      *error = "cannot write " + path + ": it is a folder";
      return false;
    }
    int fd = create_file_beside(path, &temp);
    if (fd < 0 || !(file = fdopen(fd, "wb"))) {
      *error = "cannot write " + path + ": " + system_error();
      if (fd >= 0) close(fd);
      if (!temp.empty()) unlink(temp.c_str());
      temp.clear();
      return false;
    }
    uint8_t header[kWavHeaderBytes] = {};
    if (std::fwrite(header, 1, sizeof header, file) != sizeof header) return failed(error);
    return true;
  }
  bool write(const int16_t* block, size_t bytes, std::string* error) {
    if (std::fwrite(block, 1, bytes, file) != bytes) return failed(error);
    data_bytes += bytes;
    return true;
  }
  bool finish(std::string* error) {
    uint8_t header[kWavHeaderBytes];
    wav_make_header(header, kChannels, kRate, 16, (uint32_t)data_bytes);
    if (std::fflush(file) != 0 || std::fseek(file, 0, SEEK_SET) != 0 ||
        std::fwrite(header, 1, sizeof header, file) != sizeof header || std::fflush(file) != 0 ||
        fsync(fileno(file)) != 0)
      return failed(error);
    int status = std::fclose(file);
    file = nullptr;
    if (status != 0 || std::rename(temp.c_str(), path.c_str()) != 0) return failed(error);
    temp.clear();
    return true;
  }
  bool failed(std::string* error) {
    *error = "cannot write " + path + ": " + system_error();
    discard();
    return false;
  }
  void discard() {
    if (file) std::fclose(file);
    file = nullptr;
    if (!temp.empty()) unlink(temp.c_str());
    temp.clear();
  }
};

// The file being rendered into: a fatal error of the sample pass ends the
// process, which takes the temporary file with it.
WavOutput wav_file;

[[noreturn]] void sample_pass_fatal(const std::string& text) {
  wav_file.discard();
  fail(text);
  std::exit(1);
}

// ---- The MIDI file ----

std::string load_midi_file(const std::string& path, MidiFile* midi) {
  size_t length = 0;
  errno = 0;
  int fd = wav_open_regular(path.c_str(), &length);
  if (fd < 0) return "cannot read " + path + ": " + (errno ? system_error() : "not a regular file");
  close(fd);
  if (length > kMidiFileMaxBytes) return path + ": larger than " + std::to_string(kMidiFileMaxBytes >> 20) + " MiB";
  uint8_t* bytes = nullptr;
  if (!wav_read_whole_file(path.c_str(), 0, &bytes, &length)) return "cannot read " + path;
  std::string error = read_midi_file(bytes, length, midi);
  std::free(bytes);
  return error.empty() ? "" : path + ": " + error;
}

// ---- The progress line ----

struct Progress {
  bool on = false;
  double total = 0.0;  // seconds of the file
  std::chrono::steady_clock::time_point start, last;

  void begin(bool quiet, double seconds) {
    on = !quiet && seconds >= kProgressAfter;
    total = seconds;
    start = last = std::chrono::steady_clock::now();
  }
  void show(double position, bool final) {
    if (!on) return;
    auto now = std::chrono::steady_clock::now();
    if (!final && std::chrono::duration<double>(now - last).count() < kProgressPeriod) return;
    last = now;
    double wall = std::chrono::duration<double>(now - start).count();
    int percent = final ? 100 : std::min(99, (int)(position / total * 100.0));
    std::fprintf(stderr, "\r%.1f s of %.1f s  %3d %%  %.1f x real time ", position, total, percent,
                 wall > 0.0 ? position / wall : 0.0);
    if (final) std::fputc('\n', stderr);
    std::fflush(stderr);
  }
};

// Frames of silence at the end of a block: all of them when it is silent.
int silent_frames_at_end(const int16_t* block, int frames) {
  int f = frames;
  while (f > 0 && block[2 * f - 1] == 0 && block[2 * f - 2] == 0) f--;
  return frames - f;
}

// The block being made and the next one's number.
long long block_number = 0;

}  // namespace

std::string offline_start(const SoundFolders& sounds) {
  program_clock = virtual_clock;
  virtual_now = 0.0;
  block_number = 0;
  reset_midi_timing();
  reset_channel_volumes();
  clear_note_counters();
  FbsPlugRecord entries = {};
  entries.plug_isany = offline_isany;
  entries.plug_init = offline_init;
  entries.plug_start = offline_start_plug;
  entries.plug_stop = offline_stop_plug;
  entries.plug_exit = offline_exit;
  entries.plug_error = offline_error;
  fbs_set_inprocess_plugin(&entries);
  buffer_size = clamp_buffer_size(buffer_size);
  if (!FBS_INIT(kRate, kChannels, 12, buffer_size, 0) || !output) return "the engine did not start";
  read_block_factor();
  return set_up_sample_set(sounds, virtual_clock(), nullptr);
}

int offline_block_frames() { return output ? output->frames : 0; }

OfflineBlock offline_begin_block() {
  int frames = offline_block_frames();
  OfflineBlock b = {(double)(block_number * frames) / kRate, (double)((block_number + 1) * frames) / kRate};
  virtual_now = b.start;
  return b;
}

void offline_dispatch(uint32_t message, double seconds) {
  int frames = offline_block_frames();
  virtual_now = std::max((double)(block_number * frames) / kRate, seconds);
  // The output clock counts the frames mixed since the engine started.
  midi_dispatch(message, virtual_now, (uint32_t)std::llround(virtual_now * kRate));
}

void offline_mix_block(int16_t* block) {
  if (!output) return;
  virtual_now = (double)((block_number + 1) * output->frames) / kRate;
  serve_note_off_queue();
  output->buffer = block;
  output->fill(output);
  block_number++;
}

void offline_stop() {
  FBS_DISABLE_MASTERCALLBACK();
  silence_all_voices();
  voices_detach();
  for (int w = 0; w < kSamplesPerSet; w++) FBS_DESTROY_WAVE(&wave[w]);
  drop_layer_waves();
  loaded_sound = -1;  // a start after this one loads the set again
  FBS_EXIT();
  fbs_set_inprocess_plugin(nullptr);
}

int render_midi_file(const RenderOptions& options) {
  fbs_set_text_sink(options.quiet ? engine_line_dropped : engine_line_to_stderr);
  MidiFile midi;
  std::string error = load_midi_file(options.midi_path, &midi);
  if (!error.empty()) return fail(error);
  if (midi.end_seconds + kLongestTail > kWavMostSeconds)
    return fail(options.midi_path + ": lasts " + std::to_string((long long)midi.end_seconds) +
                " s, longer than a WAV file can hold");

  set_default_settings();
  std::string settings = options.settings_path.empty() ? config_folder() + "quillon_darvo.ini" : options.settings_path;
  if (!options.settings_path.empty()) {
    size_t length = 0;
    errno = 0;
    int fd = wav_open_regular(settings.c_str(), &length);
    if (fd < 0) return fail("cannot read settings " + settings + ": " + (errno ? system_error() : "not a regular file"));
    close(fd);
  }
  read_settings(settings.c_str());
  piano_pedals_up();  // a render begins with every pedal up
  WavOutput& out = wav_file;
  if (!out.open(options.wav_path, &error)) return fail(error);
  set_sample_pass_fatal(sample_pass_fatal);
  error = offline_start(program_sound_folders());
  if (!error.empty()) {
    out.discard();
    offline_stop();
    return fail(error);
  }

  const int frames = offline_block_frames();
  std::vector<int16_t> block((size_t)frames * kChannels);
  Progress progress;
  progress.begin(options.quiet, midi.end_seconds);
  size_t next = 0;
  bool ended_hanging = false;
  long long silent = 0;  // frames of silence at the end of the output so far
  for (;;) {
    OfflineBlock b = offline_begin_block();
    for (; next < midi.events.size() && midi.events[next].seconds < b.end; next++)
      offline_dispatch(midi.events[next].message, midi.events[next].seconds);
    // Once the file is over and the queue has ended every released note,
    // what still sounds hangs (no note-off, or the pedal never up): it ends.
    if (!ended_hanging && next == midi.events.size() && b.start >= midi.end_seconds + note_off_delay.load()) {
      voice_pedal_release();
      silence_all_voices();
      ended_hanging = true;
    }
    offline_mix_block(block.data());
    if (!out.write(block.data(), block.size() * sizeof(int16_t), &error)) {
      offline_stop();
      return fail(error);
    }
    int quiet = silent_frames_at_end(block.data(), frames);
    silent = quiet == frames ? silent + frames : quiet;
    progress.show(b.end, false);
    if (next == midi.events.size() && b.end >= midi.end_seconds) {
      bool voices_ended = ended_hanging && voice_count.load() == 0 && FBS_GET_PLAYINGSOUNDS() == 0;
      if ((voices_ended && silent >= (long long)(kSilentTail * kRate)) || b.end >= midi.end_seconds + kLongestTail) {
        progress.show(b.end, true);
        break;
      }
    }
  }
  offline_stop();
  if (!out.finish(&error)) return fail(error);
  return 0;
}
