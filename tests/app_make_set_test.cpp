// SPDX-License-Identifier: GPL-3.0-or-later
// quillon_make_set run as the program it is, on a tiny SoundFont and a tiny
// SFZ instrument written here (sine samples with known roots): the nine
// files' names, every file's pitch within 3 cents and the levels between
// them; one line, status 1 and nothing written for each bad input; and a
// group of crafted inputs (generated here, none stored), each refused at
// once or made as the format means it.
#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "tests/support/audio_check.h"

namespace {

using audiocheck::Recording;

constexpr int kRate = 44100;

// A sine of `seconds` at `hz`, amplitude `level` of full scale.
std::vector<int16_t> sine(double hz, int rate, double seconds, double level) {
  std::vector<int16_t> s((size_t)(rate * seconds));
  for (size_t i = 0; i < s.size(); i++) s[i] = (int16_t)std::lrint(level * 32767 * std::sin(2 * M_PI * hz * i / rate));
  return s;
}

void put(std::string& b, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; i++) b.push_back(i < 4 ? (char)(v >> (8 * i)) : '\0');
}
std::string chunk(const std::string& id, const std::string& body) {
  std::string c = id;
  put(c, (uint32_t)body.size(), 4);
  return c + body + (body.size() % 2 ? std::string(1, '\0') : "");
}
std::string name20(const std::string& n) { return (n + std::string(20, '\0')).substr(0, 20); }

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary).write(bytes.data(), (std::streamsize)bytes.size());
}

// A mono WAV; with `loop` frames > 0, a sampler chunk loops its last
// `loop` frames (the chunk names the loop's last frame, the file's last).
std::string wav_bytes(const std::vector<int16_t>& mono, int rate, uint32_t loop = 0) {
  std::string fmt, smpl;
  put(fmt, 1, 2), put(fmt, 1, 2), put(fmt, rate, 4), put(fmt, rate * 2, 4), put(fmt, 2, 2), put(fmt, 16, 2);
  std::string data((const char*)mono.data(), mono.size() * 2);
  if (loop > 0) {
    put(smpl, 0, 4), put(smpl, 0, 4), put(smpl, 1000000000u / rate, 4), put(smpl, 60, 4), put(smpl, 0, 12);
    put(smpl, 1, 4), put(smpl, 0, 4);  // one loop
    put(smpl, 0, 4), put(smpl, 0, 4), put(smpl, (uint32_t)(mono.size() - loop), 4), put(smpl, (uint32_t)mono.size() - 1, 4);
    put(smpl, 0, 8);
    smpl = chunk("smpl", smpl);
  }
  return chunk("RIFF", "WAVE" + chunk("fmt ", fmt) + chunk("data", data) + smpl);
}

struct Sf2Zone {
  int lokey, hikey, root, rate;
  double hz, level;
};

// One preset (bank 0, program 0) over one instrument whose zones each play
// a sine sample of their own. With `copies` > 1 the preset names the
// instrument that often and the instrument has the last zone that often more
// or, with `own`, each of those zones is an instrument of its own.
std::string sf2_bytes(const std::vector<Sf2Zone>& zones, int copies = 1, bool own = false) {
  std::string smpl, shdr, igen, ibag;
  uint32_t at = 0;
  for (int c = 1; c < copies; c++) {
    put(ibag, (uint32_t)(igen.size() / 4), 2), put(ibag, 0, 2);
    put(igen, 53, 2), put(igen, (uint32_t)zones.size() - 1, 2);
  }
  for (size_t z = 0; z < zones.size(); z++) {
    std::vector<int16_t> s = sine(zones[z].hz, zones[z].rate, 2.0, zones[z].level);
    s.insert(s.end(), 46, 0);  // the 46 zero samples the format asks after each
    smpl.append((const char*)s.data(), s.size() * 2);
    const uint32_t end = at + (uint32_t)s.size() - 46;
    shdr += name20("s" + std::to_string(z));
    put(shdr, at, 4), put(shdr, end, 4), put(shdr, at + 8, 4), put(shdr, end - 8, 4), put(shdr, zones[z].rate, 4);
    put(shdr, zones[z].root, 1), put(shdr, 0, 1), put(shdr, 0, 2), put(shdr, 1, 2);
    at += (uint32_t)s.size();
    put(ibag, (uint32_t)(igen.size() / 4), 2), put(ibag, 0, 2);
    put(igen, 43, 2), put(igen, zones[z].lokey | zones[z].hikey << 8, 2);
    put(igen, 53, 2), put(igen, (uint32_t)z, 2);
  }
  shdr += name20("EOS") + std::string(26, '\0');
  put(ibag, (uint32_t)(igen.size() / 4), 2), put(ibag, 0, 2);
  put(igen, 0, 4);
  std::string phdr = name20("Sines");
  put(phdr, 0, 2), put(phdr, 0, 2), put(phdr, 0, 2), put(phdr, 0, 12);
  phdr += name20("EOP");
  put(phdr, 0, 2), put(phdr, 0, 2);
  put(phdr, (uint32_t)copies, 2), put(phdr, 0, 12);
  std::string pbag, pgen, inst;
  for (int c = 0; own && c + 1 < copies; c++) inst += name20("i"), put(inst, (uint32_t)c, 2);
  inst += name20("Sines");
  for (int c = 0; c <= copies; c++) put(pbag, (uint32_t)c, 2), put(pbag, 0, 2);
  for (int c = 0; c < copies; c++) put(pgen, 41, 2), put(pgen, own ? (uint32_t)c : 0, 2);
  put(pgen, 0, 4);
  put(inst, own ? (uint32_t)copies - 1 : 0, 2);
  inst += name20("EOI");
  put(inst, (uint32_t)(zones.size() + copies - 1), 2);
  std::string mod(10, '\0'), bag0(4, '\0');
  std::string ifil;
  put(ifil, 2, 2), put(ifil, 1, 2);
  std::string info = "INFO" + chunk("ifil", ifil) + chunk("INAM", std::string("Sines") + '\0');
  std::string pdta = "pdta" + chunk("phdr", phdr) + chunk("pbag", pbag) + chunk("pmod", mod) + chunk("pgen", pgen) +
                     chunk("inst", inst) + chunk("ibag", ibag) + chunk("imod", mod) + chunk("igen", igen) +
                     chunk("shdr", shdr);
  return chunk("RIFF", "sfbk" + chunk("LIST", info) + chunk("LIST", "sdta" + chunk("smpl", smpl)) + chunk("LIST", pdta));
}

double key_hz(double key) { return 440.0 * std::pow(2.0, (key - 69) / 12.0); }

// Frequency from the rising zero crossings of the file's middle 80 %,
// placed between frames.
double crossing_pitch(const std::vector<float>& x) {
  double first = -1, last = -1;
  int count = 0;
  for (size_t i = x.size() / 10 + 1; i < x.size() * 9 / 10; i++) {
    if (x[i - 1] < 0 && x[i] >= 0) {
      const double t = i - 1 + x[i - 1] / (x[i - 1] - x[i]);
      if (first < 0) first = t;
      last = t;
      count++;
    }
  }
  return count > 1 ? (count - 1) * kRate / (last - first) : 0;
}

class MakeSet : public ::testing::Test {
 protected:
  std::string work, out, program = std::string(QD_RUN_DIR) + "quillon_make_set";

  void SetUp() override {
    ASSERT_EQ(access(program.c_str(), X_OK), 0) << "quillon_make_set not built";
    char tmpl[] = "/tmp/qd_make_set_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    work = std::string(tmpl) + "/";
    out = work + "sounds/";
  }
  void TearDown() override {
    // QD_KEEP_TEST_FILES keeps the generated inputs, to time them by hand.
    if (std::getenv("QD_KEEP_TEST_FILES")) std::printf("inputs kept in %s\n", work.c_str());
    else if (!work.empty()) std::system(("rm -rf '" + work + "'").c_str());
  }

  // Runs the program; its status, with standard output and error in *text.
  int run(const std::string& args, std::string* text) {
    std::string command = program + " " + args + " 2>&1";
    FILE* p = popen(command.c_str(), "r");
    text->clear();
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) text->append(buf, n);
    int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::set<std::string> files() {
    std::set<std::string> names;
    if (DIR* d = opendir(out.c_str())) {
      while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') names.insert(e->d_name);
      closedir(d);
    }
    return names;
  }

  // Every file of set 3 is there, at its key's pitch within 3 cents; their
  // levels in dB relative to piano3_60.wav are `levels`.
  void check_set(const std::vector<double>& levels) {
    std::set<std::string> expected;
    for (int key = 12; key <= 108; key += 12) expected.insert("piano3_" + std::to_string(key) + ".wav");
    EXPECT_EQ(files(), expected);
    double level60 = 0;
    std::vector<double> level(9);
    for (int w = 0; w < 9; w++) {
      const int key = 12 * (w + 1);
      SCOPED_TRACE("key " + std::to_string(key));
      Recording rec;
      std::string why;
      ASSERT_TRUE(audiocheck::read_recording(out + "piano3_" + std::to_string(key) + ".wav", &rec, &why)) << why;
      EXPECT_EQ(rec.rate, kRate);
      ASSERT_GT(rec.mono.size(), (size_t)kRate / 10);
      const double hz = crossing_pitch(rec.mono);
      EXPECT_NEAR(1200 * std::log2(hz / key_hz(key)), 0.0, 3.0) << hz << " Hz";
      level[w] = audiocheck::level_db(rec, rec.mono.size() / 10, rec.mono.size() * 9 / 10);
      if (key == 60) level60 = level[w];
    }
    for (int w = 0; w < 9; w++) EXPECT_NEAR(level[w] - level60, levels[w], 0.5) << "key " << 12 * (w + 1);
  }
};

TEST_F(MakeSet, ASoundFontGivesNineFilesAtPitchWithTheSourcesLevels) {
  // Roots 21, 60 (at 22050 Hz) and 72 (half as loud): key 12 comes from the
  // lowest sample, 36..108 are pitched by up to three octaves.
  write_file(work + "sines.sf2", sf2_bytes({{0, 30, 21, kRate, key_hz(21), 0.5},
                                            {31, 66, 60, 22050, key_hz(60), 0.5},
                                            {67, 127, 72, kRate, key_hz(72), 0.25}}));
  std::string text;
  ASSERT_EQ(run(work + "sines.sf2 3 --into " + out, &text), 0) << text;
  EXPECT_NE(text.find("piano3_12.wav: key 12 (below most pianos) from the lowest sample, s0 (root 21, pitched -9)"),
            std::string::npos) << text;
  EXPECT_NE(text.find("piano3_60.wav: key 60 from s1 (root 60)"), std::string::npos) << text;
  EXPECT_NE(text.find("set 3: 9 samples in " + out), std::string::npos) << text;
  check_set({0, 0, 0, 0, 0, -6.02, -6.02, -6.02, -6.02});
}

TEST_F(MakeSet, AnSfzGivesNineFilesAtPitchWithTheSourcesLevels) {
  // A sample 50 cents flat, put right by tune and played an octave up by
  // transpose; a 48 kHz one; a release region that must not sound.
  ASSERT_EQ(std::system(("mkdir -p '" + work + "samples'").c_str()), 0);
  write_file(work + "samples/low.wav", wav_bytes(sine(key_hz(21), kRate, 2, 0.5), kRate));
  write_file(work + "samples/mid.wav", wav_bytes(sine(key_hz(60), 48000, 2, 0.5), 48000));
  write_file(work + "samples/flat.wav", wav_bytes(sine(key_hz(59.5), kRate, 2, 0.5), kRate));
  write_file(work + "piano.sfz",
             "// a test piano\n<control> default_path=samples/\n"
             "<global> lovel=1 hivel=127\n"
             "<region> sample=low.wav lokey=0 hikey=30 pitch_keycenter=a0\n"
             "<region> sample=mid.wav lokey=31 hikey=66 pitch_keycenter=c4 /* C4 is 60 */\n"
             "<group> volume=-6\n<region> sample=flat.wav lokey=67 hikey=127 pitch_keycenter=72 transpose=12 tune=50\n"
             "<group> trigger=release\n<region> sample=low.wav lokey=0 hikey=127\n");
  std::string text;
  ASSERT_EQ(run(work + "piano.sfz 3 --into " + out, &text), 0) << text;
  check_set({0, 0, 0, 0, 0, -6.02, -6.02, -6.02, -6.02});
}

TEST_F(MakeSet, BadInputGivesOneLineStatusOneAndWritesNothing) {
  ASSERT_EQ(std::system(("mkdir -p '" + out + "' '" + work + "samples'").c_str()), 0);
  write_file(out + "piano3_60.wav", "the set's old file");
  write_file(work + "sines.sf2", sf2_bytes({{0, 127, 60, kRate, key_hz(60), 0.5}}));
  write_file(work + "junk.sf2", "RIFF nothing of a SoundFont");
  write_file(work + "samples/mid.wav", wav_bytes(sine(key_hz(60), kRate, 1, 0.5), kRate));
  write_file(work + "missing.sfz", "<region> sample=samples/mid.wav lokey=0 hikey=100 <region> sample=gone.wav key=108");
  write_file(work + "quiet.sfz", "<region> sample=samples/silence.wav");
  write_file(work + "samples/silence.wav", wav_bytes(std::vector<int16_t>(kRate), kRate));
  struct Case {
    std::string args, line;
  } cases[] = {
      {"junk.sf2 3", "junk.sf2: is not a SoundFont (.sf2, .sf3) or an SFZ instrument (.sfz)"},
      {"sines.sf2 15", "quillon_make_set: '15' is not a set number (0..14)"},
      {"sines.sf2 3 --program 5", "sines.sf2: has no program 5 in bank 0"},
      {"missing.sfz 3", "missing.sfz: sample gone.wav is missing or cannot be read"},
      {"quiet.sfz 3", "quiet.sfz: no key near 12 sounds at velocity 100"},
  };
  for (const Case& c : cases) {
    std::string text;
    std::string args = c.args;
    args.insert(0, work);
    EXPECT_EQ(run(args + " --into " + out, &text), 1) << c.args;
    EXPECT_NE(text.find(c.line), std::string::npos) << c.args << ": " << text;
    EXPECT_EQ(text.find("set 3:"), std::string::npos) << c.args;
    EXPECT_EQ(files(), std::set<std::string>{"piano3_60.wav"}) << c.args;
    EXPECT_EQ(audiocheck::read_file(out + "piano3_60.wav"), "the set's old file") << c.args;
  }
}

// Each crafted input: status 1 at once with its one line and the set as it
// was, or (status 0) a set made as the format means it.
TEST_F(MakeSet, CraftedInputsAreRefusedAtOnceOrMadeAsMeant) {
  const std::string in = work + "inst/", made = work + "made/";
  ASSERT_EQ(std::system(("mkdir -p '" + out + "' '" + work + "samples' '" + in + "'").c_str()), 0);
  write_file(out + "piano3_60.wav", "the set's old file");
  write_file(work + "samples/mid.wav", wav_bytes(sine(key_hz(60), kRate, 1, 0.5), kRate));
  write_file(work + "samples/loud.wav", wav_bytes(sine(key_hz(60), kRate, 1, 0.9), kRate));
  // Half a second whose last 0.1 s loops, up to the file's last frame.
  write_file(work + "samples/looped.wav", wav_bytes(sine(441, kRate, 0.5, 0.5), kRate, kRate / 10));
  // A FLAC header that claims 2^36 - 1 frames, and nothing after it.
  std::string flac = "fLaC" + std::string("\x80\x00\x00\x22", 4) + std::string("\x10\x00\x10\x00", 4) +
                     std::string(6, '\0');
  const uint64_t info = (uint64_t)44100 << 44 | (uint64_t)15 << 36 | (((uint64_t)1 << 36) - 1);
  for (int b = 7; b >= 0; b--) flac.push_back((char)(info >> (8 * b)));
  write_file(work + "samples/claims.flac", flac + std::string(16 + 1400, '\xff'));
  write_file(work + "flac.sfz", "<region> sample=samples/claims.flac");
  write_file(work + "root0.sfz", "<region> sample=samples/looped.wav pitch_keycenter=0 loop_mode=loop_continuous");
  write_file(work + "root0.sf2", sf2_bytes({{0, 127, 0, kRate, key_hz(0), 0.5}}));
  write_file(work + "zones.sf2", sf2_bytes({{0, 127, 60, kRate, key_hz(60), 0.5}}, 3000));
  write_file(work + "insts.sf2", sf2_bytes({{0, 127, 60, kRate, key_hz(60), 0.5}}, 9000, true));
  std::string tokens(4 << 20, ' ');  // 2 M words, none an opcode
  for (size_t i = 0; i < tokens.size(); i += 2) tokens[i] = 'x';
  write_file(work + "tokens.sfz", tokens);
  std::string groups = "<group>";
  for (int i = 0; i < 30000; i++) groups += " tune=0";
  for (int i = 0; i < 30000; i++) groups += "\n<region> sample=samples/mid.wav";
  write_file(work + "groups.sfz", groups);
  std::string work_sfz;  // 32 layers of a looped sample, pitched up: more to render than any piano
  for (int i = 0; i < 32; i++) work_sfz += "<region> sample=samples/looped.wav pitch_keycenter=24 loop_mode=loop_continuous\n";
  write_file(work + "work.sfz", work_sfz);
  // Definitions that double themselves, and one of 4000 bytes put in 800 000 times.
  std::string doubled = "#define $A aa\n", grown = "#define $X " + std::string(4000, 'y') + "\n";
  for (int i = 0; i < 40; i++) doubled += "#define $A $A$A\n";
  for (int i = 0; i < 800000; i++) grown += "<region>sample=$X\n";
  write_file(work + "double.sfz", doubled + "<region> sample=$A\n");
  write_file(work + "grown.sfz", grown);
  write_file(work + "value.sfz", "<region> sample=samples/mid.wav\n<region> sample=samples/mid.wav lovel=abc");
  write_file(in + "up.sfz", "<region> sample=../samples/mid.wav");
  write_file(in + "absolute.sfz", "<region> sample=" + work + "samples/mid.wav");
  ASSERT_EQ(symlink((work + "samples/mid.wav").c_str(), (in + "link.wav").c_str()), 0);
  write_file(in + "link.sfz", "<region> sample=link.wav");
  // Not a layer: a region no key plays, one for velocity 1 only; the byte
  // order mark before the first header.
  write_file(work + "layers.sfz",
             "\xEF\xBB\xBF<control> default_path=samples/\n#define $SOFT 1\n"
             "<region> sample=loud.wav hikey=-1\n<region> sample=loud.wav lovel=$SOFT hivel=$SOFT\n"
             "<region> sample=mid.wav volume=-20\n");
  // Included files: one inside (its sample relative to the instrument's
  // folder), one outside, one that includes itself.
  ASSERT_EQ(std::system(("mkdir -p '" + work + "parts'").c_str()), 0);
  write_file(work + "parts/keys.sfz", "<region> sample=samples/mid.wav\n");
  write_file(work + "include.sfz", "<control> // the keys:\n  #include \"parts/keys.sfz\"\n");
  write_file(in + "include.sfz", "#include \"../parts/keys.sfz\"\n");
  write_file(work + "self.sfz", "#include \"self.sfz\"\n#include \"self.sfz\"\n");
  write_file(work + "short.sfz", "<region> sample=samples/mid.wav lokey=0 hikey=100");
  write_file(work + "loop.sfz", "<region> sample=samples/looped.wav loop_mode=loop_continuous");
  write_file(work + "sines.sf2", sf2_bytes({{0, 127, 60, kRate, key_hz(60), 0.5}}));
  struct Case {
    std::string args;
    int status;
    std::string line;
  } cases[] = {
      {"flac.sfz 3", 1, "flac.sfz: sample samples/claims.flac is longer than 16777216 frames"},
      {"root0.sfz 3", 1, "root0.sfz: key 72 would play sample samples/looped.wav 64 times as fast"},
      {"root0.sf2 3", 1, "root0.sf2: key 72 would play sample s0 64 times as fast"},
      {"zones.sf2 3", 1, "zones.sf2: key 0 starts more than 256 samples"},
      {"insts.sf2 3", 1, "insts.sf2: has more preset zones (9001) times instruments (9001) than the synthesiser"},
      {"tokens.sfz 3", 1, "tokens.sfz: is not an SFZ instrument (no region with a sample)"},
      {"groups.sfz 3", 1, "groups.sfz: key 0 starts more than 32 regions"},
      {"work.sfz 3", 1, "work.sfz: key 36 takes the set past 67108864 sample frames to render"},
      {"double.sfz 3", 1, "double.sfz: line 13: #define $A: is too long once $A is put in"},
      {"grown.sfz 3", 1, "grown.sfz: line 4196: the #defines add more than 16 MB to the file"},
      {"value.sfz 3", 1, "value.sfz: line 2: lovel=abc is not a whole number in 0..127"},
      {"inst/up.sfz 3", 1, "up.sfz: sample ../samples/mid.wav lies outside the instrument's folder"},
      {"inst/absolute.sfz 3", 1, "samples/mid.wav lies outside the instrument's folder"},
      {"inst/link.sfz 3", 1, "link.sfz: sample link.wav lies outside the instrument's folder"},
      {"inst/include.sfz 3", 1, "#include ../parts/keys.sfz lies outside the instrument's folder"},
      {"self.sfz 3", 1, "self.sfz: #include self.sfz: files include each other too often"},
      {"sines.sf2 -1", 1, "'-1' is not a set number (0..14)"},
      {"sines.sf2 ' 1'", 1, "' 1' is not a set number (0..14)"},
      {"sines.sf2 +1", 1, "'+1' is not a set number (0..14)"},
      {"inst/up.sfz 3 --allow-outside", 0, "piano3_60.wav: key 60 from ../samples/mid.wav (root 60)"},
      {"include.sfz 3", 0, "piano3_60.wav: key 60 from samples/mid.wav (root 60)"},
      {"layers.sfz 3", 0, "piano3_60.wav: key 60 from samples/mid.wav (root 60)"},
      {"short.sfz 3", 0,
       "piano3_108.wav: key 108 from samples/mid.wav (root 60, pitched +48), played by key 100: the source has no key "
       "108 at velocity 100"},
      {"loop.sfz 3", 0, "piano3_60.wav: key 60 from samples/looped.wav (root 60), 16.0 s"},
  };
  for (const Case& c : cases) {
    std::string text;
    EXPECT_EQ(run(work + c.args + " --into " + (c.status == 0 ? made : out), &text), c.status) << c.args << ": " << text;
    EXPECT_NE(text.find(c.line), std::string::npos) << c.args << ": " << text;
    EXPECT_EQ(audiocheck::read_file(out + "piano3_60.wav"), "the set's old file") << c.args;
  }
  EXPECT_EQ(files(), std::set<std::string>{"piano3_60.wav"});
  // A link planted where a new file is first written is removed, not
  // written through.
  write_file(work + "victim", "not ours");
  ASSERT_EQ(symlink((work + "victim").c_str(), (out + ".piano3_60.wav.new").c_str()), 0);
  std::string text;
  EXPECT_EQ(run(work + "sines.sf2 3 --into " + out, &text), 0) << text;
  EXPECT_EQ(audiocheck::read_file(work + "victim"), "not ours");
  EXPECT_EQ(files().size(), 9u);
}

}  // namespace
