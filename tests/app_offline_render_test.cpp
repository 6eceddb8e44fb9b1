// SPDX-License-Identifier: GPL-3.0-or-later
// The offline renderer, run as the program it is on small MIDI files written
// here: notes at their times and pitches, their ends after the note-off delay
// or the pedal, the tempo map and the merge of tracks, identical files from
// identical runs, and one clear line with status 1 for every bad input.
// Needs the run folder's sample sets (scripts/make-assets).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "app/settings.h"
#include "midi/midi_file.h"
#include "midi/voices.h"
#include "tests/support/audio_check.h"

extern char** environ;

namespace {

using audiocheck::Recording;

constexpr int kRate = 44100;
constexpr int kFrames = 512;  // the buffer_size of the test's settings
constexpr double kBlock = (double)kFrames / kRate;
constexpr double kDelay = 0.08;  // note_off_delay
constexpr int kTicks = 480;      // per quarter note; 960 a second at the default tempo

uint32_t tick(double seconds) { return (uint32_t)(seconds * 960 + 0.5); }
MidiTrackEvent on(double t, int key, int velocity = 100) { return {tick(t), {0x90, (uint8_t)key, (uint8_t)velocity}}; }
MidiTrackEvent off(double t, int key) { return {tick(t), {0x80, (uint8_t)key, 0}}; }
MidiTrackEvent pedal(double t, int value) { return {tick(t), {0xB0, 64, (uint8_t)value}}; }

class OfflineRender : public ::testing::Test {
 protected:
  std::string work, program = std::string(QD_RUN_DIR) + "quillon_render";

  void SetUp() override {
    if (access((std::string(QD_RUN_DIR) + "sounds/piano1_60.wav").c_str(), R_OK) != 0)
      GTEST_SKIP() << "no WAV sample set in the run folder (scripts/make-assets)";
    ASSERT_EQ(access(program.c_str(), X_OK), 0) << "quillon_render not built";
    char tmpl[] = "/tmp/qd_render_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    work = std::string(tmpl) + "/";
    // WAV set 1, blocks of 512 frames, the default delay, effects off.
    set_default_settings();
    piano_sound = 1;
    buffer_size = kFrames;
    note_off_delay = kDelay;
    ASSERT_TRUE(write_settings((work + "test.ini").c_str()));
  }
  void TearDown() override {
    if (!work.empty()) std::system(("rm -rf '" + work + "'").c_str());
  }

  void write(const std::string& name, const std::vector<uint8_t>& bytes) {
    std::ofstream(work + name, std::ios::binary).write((const char*)bytes.data(), (std::streamsize)bytes.size());
  }

  // Runs the program; its status, and its standard error in *err.
  int run(std::vector<std::string> args, std::string* err = nullptr, const std::string& exe = "") {
    args.insert(args.begin(), exe.empty() ? program : exe);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, (work + "stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    if (err) *err = audiocheck::read_file(work + "stderr.txt");
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // Renders `mid` with the test's settings into `wav` and reads it back.
  Recording render(const std::string& mid, const std::string& wav) {
    Recording rec;
    std::string err, why;
    EXPECT_EQ(run({work + mid, work + wav, "--settings", work + "test.ini", "--quiet"}, &err), 0) << err;
    EXPECT_EQ(err, "");
    EXPECT_TRUE(audiocheck::read_recording(work + wav, &rec, &why)) << why;
    return rec;
  }

  // The note of `key` played at `start` within [start - 1 block, to): it
  // starts within one block of `start` (the sample's own attack may hide its
  // first frames), sounds at its pitch (within 1 %), and its end ramp begins
  // between end_from and end_to.
  void check_note(const Recording& rec, int key, double start, double end_from, double end_to, double to) {
    SCOPED_TRACE("key " + std::to_string(key));
    ASSERT_EQ(rec.rate, kRate);
    auto frame = [](double t) { return (size_t)std::max(0.0, t * kRate); };
    // The next note may start up to a block before its own time.
    audiocheck::Span s = audiocheck::sounding_span(rec, frame(start - kBlock), frame(to - kBlock));
    ASSERT_LT(s.onset, frame(to - kBlock)) << "the note is missing";
    EXPECT_NEAR((double)s.onset / kRate, start, kBlock) << "starts off its time";
    EXPECT_GE((double)s.end / kRate, end_from - 0.002) << "ends too early";
    EXPECT_LE((double)s.end / kRate, end_to + kDeclickSeconds + 0.002) << "ends too late";
    double expected = audiocheck::key_frequency(key);
    double f = audiocheck::measured_pitch(rec, s.onset + frame(0.05), 8192, expected);
    EXPECT_NEAR(f / expected, 1.0, 0.01) << "measured " << f << " Hz";
  }
};

TEST_F(OfflineRender, NotesSoundAtTheirTimesAndPitchesAndEndAfterTheDelayOrThePedal) {
  // 57 and 76 are played faster than their samples, 64 from sample 60; 69
  // is held by the pedal after its key goes up.
  write("phrase.mid",
        write_midi_file(0, kTicks,
                        {{on(0.5, 57), off(0.9, 57), on(1.3, 64), off(1.7, 64), pedal(2.1, 127), on(2.2, 69),
                          off(2.4, 69), pedal(2.9, 0), on(3.4, 76), off(3.8, 76)}}));
  Recording rec = render("phrase.mid", "phrase.wav");
  EXPECT_GE(audiocheck::sounding_span(rec, 0, (size_t)(0.5 * kRate)).onset, (size_t)((0.5 - kBlock) * kRate))
      << "sound before the first note";
  check_note(rec, 57, 0.5, 0.9 + kDelay, 0.9 + kDelay + kBlock, 1.3);
  check_note(rec, 64, 1.3, 1.7 + kDelay, 1.7 + kDelay + kBlock, 2.2);
  check_note(rec, 69, 2.2, 2.9 - kBlock, 2.9, 3.4);  // the pedal going up does not wait for the delay
  check_note(rec, 76, 3.4, 3.8 + kDelay, 3.8 + kDelay + kBlock, 10.0);
  // The render ends half a second of silence after the last note.
  EXPECT_NEAR((double)rec.mono.size() / kRate, 3.8 + kDelay + 0.5, 2 * kBlock);

  // A second run gives the same bytes, also with every effect on (the chain
  // reads the clock, the sample pass rewrites the samples).
  render("phrase.mid", "again.wav");
  EXPECT_EQ(audiocheck::read_file(work + "phrase.wav"), audiocheck::read_file(work + "again.wav"));
  autovol_mode = 2;
  reverb_mode = 3;
  equalizer_on = 1;
  keytone_mode = 1;
  keyrev_on = 1;
  ASSERT_TRUE(write_settings((work + "test.ini").c_str()));
  render("phrase.mid", "effects.wav");
  render("phrase.mid", "effects_again.wav");
  EXPECT_EQ(audiocheck::read_file(work + "effects.wav"), audiocheck::read_file(work + "effects_again.wav"));
}

// A key struck again on the tick its note-off comes (as sequencers write
// repeated notes) sounds on until its own note-off, in whichever order the
// two stand in the file.
TEST_F(OfflineRender, ARestrikeOnTheTickOfTheNoteOffSoundsOn) {
  write("again.mid", write_midi_file(0, kTicks, {{on(0.5, 60), off(1.0, 60), on(1.0, 60), off(2.0, 60)}}));
  check_note(render("again.mid", "again.wav"), 60, 0.5, 2.0 + kDelay, 2.0 + kDelay + kBlock, 10.0);
}

// Notes at ten random frames of a file, rendered from a set whose tones
// start at full level on their first frame: each is heard from its own frame
// on, wherever that falls in its block.
TEST_F(OfflineRender, NotesStartOnTheirFrames) {
  std::string folder = work + "synthetic/";
  ASSERT_EQ(std::system(("mkdir -p '" + folder + "sounds' && cp '" + program + "' '" + folder + "'").c_str()), 0);
  ASSERT_EQ(std::system(("'" QD_TOOLS_DIR "synthetic_set' '" + folder + "sounds' 14").c_str()), 0);
  piano_sound = 14;
  ASSERT_TRUE(write_settings((work + "test.ini").c_str()));
  // One tick a frame: 22050 ticks a quarter note of 0.5 s.
  std::mt19937 random(29);
  std::vector<int> starts;
  std::vector<MidiTrackEvent> track;
  for (int i = 0, at = kRate / 5; i < 10; i++) {
    at += kRate / 3 + (int)(random() % (kRate / 5));  // the last note has ended
    starts.push_back(at);
    track.push_back({(uint32_t)at, {0x90, 60, 100}});
    track.push_back({(uint32_t)(at + kRate / 10), {0x80, 60, 0}});
  }
  write("frames.mid", write_midi_file(0, kRate / 2, {track}));
  std::string err, why;
  ASSERT_EQ(run({work + "frames.mid", work + "frames.wav", "--settings", work + "test.ini", "--quiet"}, &err,
                folder + "quillon_render"), 0) << err;
  Recording rec;
  ASSERT_TRUE(audiocheck::read_recording(work + "frames.wav", &rec, &why)) << why;
  for (int start : starts) {
    audiocheck::Span s = audiocheck::sounding_span(rec, (size_t)(start - kRate / 10), (size_t)(start + kRate / 10));
    EXPECT_NEAR((double)s.onset, start, 1.0) << "the note of frame " << start;
  }
}

TEST_F(OfflineRender, TheResamplingFamilyFollowsTheSettings) {
  write("pitched.mid", write_midi_file(0, kTicks, {{on(0.2, 57), off(0.8, 57)}}));
  Recording nearest = render("pitched.mid", "nearest.wav");
  resample_mode = 2;
  ASSERT_TRUE(write_settings((work + "test.ini").c_str()));
  Recording sinc = render("pitched.mid", "sinc.wav");
  EXPECT_EQ(sinc.mono.size(), nearest.mono.size());
  EXPECT_NE(audiocheck::read_file(work + "nearest.wav"), audiocheck::read_file(work + "sinc.wav"));
  check_note(sinc, 57, 0.2, 0.8 + kDelay, 0.8 + kDelay + kBlock, 10.0);
}

TEST_F(OfflineRender, TheDefaultGrandPlaysItsNotesAtTheirTimesAndPitches) {
  // Set 0, the soft grand that quillon_make_set makes: MP3, 44.1 kHz. Key 60
  // plays its own sample, 67 one sped up. Without its soundfont make-assets
  // renders set 0 from FluidR3, which plays the same.
  piano_sound = 0;
  ASSERT_TRUE(write_settings((work + "test.ini").c_str()));
  write("grand.mid", write_midi_file(0, kTicks, {{on(0.3, 60), off(0.9, 60), on(1.3, 67), off(1.9, 67)}}));
  Recording rec = render("grand.mid", "grand.wav");
  check_note(rec, 60, 0.3, 0.9 + kDelay, 0.9 + kDelay + kBlock, 1.3);
  check_note(rec, 67, 1.3, 1.9 + kDelay, 1.9 + kDelay + kBlock, 10.0);
}

TEST_F(OfflineRender, TempoChangesAndThreeTracksPlaceNotesByTheTempoMap) {
  // Track 1: 0.5 s a quarter, from tick 960 on 0.25 s; tracks 2 and 3 take
  // turns. Tick 1440 is 1.25 s, tick 2400 is 1.75 s, tick 2880 is 2.0 s.
  write("tempo.mid", write_midi_file(1, kTicks,
                                     {{{0, midi_tempo_event(500000)}, {960, midi_tempo_event(250000)}},
                                      {{0, {0x90, 60, 100}}, {480, {0x80, 60, 0}}, {1440, {0x90, 67, 100}},
                                       {2400, {0x80, 67, 0}}},
                                      {{720, {0x91, 64, 100}}, {900, {0x81, 64, 0}}, {2880, {0x91, 72, 100}},
                                       {3840, {0x81, 72, 0}}}}));
  Recording rec = render("tempo.mid", "tempo.wav");
  for (auto n : {std::vector<double>{60, 0.0, 0.5, 0.75}, {64, 0.75, 0.9375, 1.25}, {67, 1.25, 1.75, 2.0},
                 {72, 2.0, 2.5, 10.0}})
    check_note(rec, (int)n[0], n[1], n[2] + kDelay, n[2] + kDelay + kBlock, n[3]);
}

TEST_F(OfflineRender, HangingNotesEndAtTheEndOfTheFile) {
  // A note-on without its note-off, a note-off without its note-on, and the
  // pedal left down: all silent shortly after the file's last event.
  write("hang.mid", write_midi_file(0, kTicks, {{pedal(0.1, 127), on(0.2, 60), off(0.6, 62), on(0.7, 64),
                                                 off(0.9, 64), {tick(1.5), {0xFF, 0x2F, 0x00}}}}));
  Recording rec = render("hang.mid", "hang.wav");
  audiocheck::Span s = audiocheck::sounding_span(rec, 0, rec.mono.size());
  EXPECT_NEAR((double)s.onset / kRate, 0.2, kBlock);
  EXPECT_NEAR((double)s.end / kRate, 1.5 + kDelay, kBlock + 0.002);
  EXPECT_NEAR((double)rec.mono.size() / kRate, 1.5 + kDelay + 0.5, 2 * kBlock);
}

TEST_F(OfflineRender, BadInputGivesOneLineAndStatusOneAndNoOutput) {
  std::vector<uint8_t> good = write_midi_file(0, kTicks, {{on(0.0, 60), off(0.5, 60)}});
  write("good.mid", good);
  write("cut.mid", std::vector<uint8_t>(good.begin(), good.end() - 5));
  // A delta time of 2^28 - 1 ticks at one tick a quarter: years of music.
  write("long.mid", {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 0, 1, 'M', 'T', 'r', 'k', 0, 0, 0, 7,
                     0xFF, 0xFF, 0xFF, 0x7F, 0x90, 60, 100});
  // A portable program folder whose sounds/ holds no set, and an installed
  // program without its data folder.
  std::string bare = work + "bare/";
  mkdir(bare.c_str(), 0755);
  mkdir((bare + "sounds").c_str(), 0755);
  std::system(("cp '" + program + "' '" + bare + "'").c_str());
  std::string bin = work + "opt/bin/";
  std::system(("mkdir -p '" + bin + "' && cp '" + program + "' '" + bin + "'").c_str());
  struct Case {
    const char* what;
    std::vector<std::string> args;
    std::string exe;
    std::string error;  // the start of the line
  } cases[] = {
      {"missing MIDI file", {work + "none.mid", work + "out.wav"}, "", "cannot read " + work + "none.mid: "},
      {"a folder as MIDI file", {work, work + "out.wav"}, "", "cannot read " + work + ": "},
      {"damaged MIDI file", {work + "cut.mid", work + "out.wav"}, "", work + "cut.mid: "},
      {"endless MIDI file", {work + "long.mid", work + "out.wav"}, "", work + "long.mid: lasts "},
      {"unwritable output", {work + "good.mid", work + "no/such/folder.wav"}, "", "cannot write " + work + "no/such/folder.wav: "},
      {"missing settings", {work + "good.mid", work + "out.wav", "--settings", work + "none.ini"}, "", "cannot read settings "},
      {"missing sample set", {work + "good.mid", work + "out.wav"}, bare + "quillon_render", "error loading "},
      {"missing data folder", {work + "good.mid", work + "out.wav"}, bin + "quillon_render",
       "missing " + work + "opt/share/quillon_darvo/sounds/"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string err;
    EXPECT_EQ(run(c.args, &err, c.exe), 1);
    EXPECT_EQ(err.rfind("quillon_render: " + c.error, 0), 0u) << err << " instead of quillon_render: " << c.error;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_NE(access((work + "out.wav").c_str(), F_OK), 0) << "an output file appeared";
  }
  // Nothing but the inputs is left in the folder: no temporary file either.
  std::string listing;
  FILE* ls = popen(("ls -A '" + work + "'").c_str(), "r");
  char line[256];
  while (ls && fgets(line, sizeof line, ls)) listing += line;
  if (ls) pclose(ls);
  EXPECT_EQ(listing, "bare\ncut.mid\ngood.mid\nlong.mid\nopt\nstderr.txt\ntest.ini\n");
}

}  // namespace
