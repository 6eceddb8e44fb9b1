// SPDX-License-Identifier: GPL-3.0-or-later
// The settings file: defaults, the reader's line rules and clamps, the key
// volume map rules, the writer's number forms and its safe replacement.
#include "app/settings.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A fresh folder for the files of one test.
struct TempDir {
  std::string path;
  TempDir()
  {
    char tmpl[] = "/tmp/qd_settings_XXXXXX";
    path = mkdtemp(tmpl);
  }
  ~TempDir()
  {
    chmod(path.c_str(), 0755);
    std::string cmd = "rm -rf '" + path + "'";
    (void)system(cmd.c_str());
  }
  std::string file(const char* name) const { return path + "/" + name; }
};

std::string slurp(const std::string& path)
{
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Lines of a CR LF text; fails the test on a line without CR.
std::vector<std::string> crlf_lines(const std::string& text)
{
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t lf = text.find('\n', pos);
    EXPECT_NE(lf, std::string::npos) << "last line has no line end";
    if (lf == std::string::npos) break;
    EXPECT_TRUE(lf > pos && text[lf - 1] == '\r') << "line " << lines.size() + 1 << " lacks CR";
    lines.push_back(text.substr(pos, lf - pos - 1));
    pos = lf + 1;
  }
  return lines;
}

std::string join(const std::vector<std::string>& lines, const char* end)
{
  std::string out;
  for (auto& l : lines) out += l + end;
  return out;
}

void read_text(const std::string& text) { read_settings_from_text(text.data(), text.size()); }

// The default file as lines, and with line n (1-based) replaced.
std::vector<std::string> default_lines()
{
  set_default_settings();
  return crlf_lines(format_settings());
}

void read_with_line(int n, const std::string& value)
{
  auto lines = default_lines();
  lines[n - 1] = value;
  read_text(join(lines, "\r\n"));
}

// A few settings moved away from their defaults, so a test sees them restored.
void disturb_settings()
{
  piano_sound = 7;
  window_x = -5;
  velo_mode = 0;
  keyvol_table[3][60] = 1.5f;
  note_off_delay = 0.5;
  reverb2_params.Treverb2 = 17;
  eq_bands.order = 3;
  keytone_bands.lowg = 0.25f;
  master_level = 0.3f;
  buffer_size = 256;
  transpose = -4;
  preset_name = "x.preset";
  preset_bank = 1;
  midi_in_port_name[1] = "gone:port";
  resample_mode = 1;
}

void expect_defaults_after_keyvol()
{
  EXPECT_DOUBLE_EQ(note_off_delay, 0.08);
  EXPECT_EQ(autovol_mode, 0);
  EXPECT_FLOAT_EQ(reverb3_params.kreverb1, 0.55f);
  EXPECT_FLOAT_EQ(reverb2_params.Treverb2, 300.0f);
  EXPECT_EQ(eq_bands.lowf, 200);
  EXPECT_EQ(midi_in_port_name[1], "");
  EXPECT_EQ(resample_mode, 0);
  EXPECT_EQ(eq_bands.order, 1);
  EXPECT_FLOAT_EQ(keytone_bands.lowg, 2.0f);
  EXPECT_FLOAT_EQ(keyrev_params.kreverb2, 0.34f);
  EXPECT_FLOAT_EQ(master_level, 1.0f);
  EXPECT_EQ(full_view, 1);
  EXPECT_EQ(midi_in_port, 1);
  EXPECT_EQ(buffer_size, 1024);
  EXPECT_EQ(type_offset, 6);
  EXPECT_EQ(transpose, 0);
  EXPECT_EQ(preset_name, "");
  EXPECT_EQ(preset_bank, 0);
}

void expect_row(int row, float value, int from = 0, int to = kKeyvolKeys)
{
  for (int k = from; k < to; k++)
    ASSERT_FLOAT_EQ(keyvol_table[row][k], value) << "row " << row << " key " << k;
}

}  // namespace

TEST(SettingsFile, DefaultsWriteAs2103CrLfLinesWithEndMarkAt2054)
{
  TempDir dir;
  std::string path = dir.file("quillon_darvo.ini");
  set_default_settings();
  ASSERT_TRUE(write_settings(path.c_str()));
  auto lines = crlf_lines(slurp(path));
  ASSERT_EQ(lines.size(), static_cast<size_t>(kSettingsLines));
  EXPECT_EQ(lines[kFinlistLine - 1], "finlist");
  EXPECT_EQ(lines[0], " 0");          // piano_sound
  EXPECT_EQ(lines[1], " 400");        // window_x
  EXPECT_EQ(lines[3], " 2");          // velo_mode
  EXPECT_EQ(lines[5], "127");         // first key volume
  EXPECT_EQ(lines[2052], "127");      // last key volume
  EXPECT_EQ(lines[2054], "0.08");     // note_off_delay
  EXPECT_EQ(lines[2057], "0.55");     // reverb3 kreverb1
  EXPECT_EQ(lines[2060], "300");      // reverb3 Treverb2
  EXPECT_EQ(lines[2062], "0.3");      // reverb2 kreverb2
  EXPECT_EQ(lines[2066], "200");      // equalizer lowf, no blank
  EXPECT_EQ(lines[2067], "8000");
  EXPECT_EQ(lines[2070], "1.2");      // highg
  EXPECT_EQ(lines[2071], "1");        // order, no blank
  EXPECT_EQ(lines[2078], "1");        // key tone order
  EXPECT_EQ(lines[2084], "1");        // master_level
  EXPECT_EQ(lines[2087], " 1024");    // buffer_size
  EXPECT_EQ(lines[2088], " 6");       // type_offset
  EXPECT_EQ(lines[2094], "");         // preset_name
  EXPECT_EQ(lines[2095], " 0");       // preset_bank
  EXPECT_EQ(lines[2096], "");         // first MIDI input's name
  EXPECT_EQ(lines[2099], "");         // thru port's name
  EXPECT_EQ(lines[2100], " 0");       // resample_mode
  EXPECT_EQ(lines[2101], " 1");       // velocity_layers
  EXPECT_EQ(lines[2102], " 0");       // pedal_mode

  disturb_settings();
  read_settings(path.c_str());
  EXPECT_EQ(piano_sound, 0);
  EXPECT_EQ(window_x, 400);
  EXPECT_EQ(velo_mode, 2);
  expect_row(3, 127.0f);
  expect_defaults_after_keyvol();
  EXPECT_EQ(format_settings(), slurp(path));
}

TEST(SettingsFile, ChangedValuesSurviveWriteAndRead)
{
  TempDir dir;
  std::string path = dir.file("s.ini");
  set_default_settings();
  piano_sound = 4;
  window_x = -20;
  keyvol_on = 1;
  keyvol_table[0][0] = 255.0f;
  keyvol_table[15][127] = 254.5f;
  keyvol_table[7][64] = 0.01f;
  note_off_delay = 1.0 / 3.0;
  autovol_mode = 5;
  reverb_mode = 3;
  reverb3_params = {0.7f, 0.1f, 10.0f, 1000.0f};
  equalizer_on = 1;
  eq_bands.lowf = 950;
  eq_bands.highg = 0.1f;
  eq_bands.order = 4;
  keytone_mode = 2;
  keytone_bands.highf = 10000;
  keyrev_on = 1;
  keyrev_params.Treverb1 = 400;
  master_level = 0.02f;
  full_view = 0;
  thru_port = 2;
  transpose = -12;
  autovolmidi = 64;
  preset_name = "my piano.preset";
  midi_in_port_name[0] = "system:midi_capture_1";
  midi_in_port_name[2] = "a2j:Keys [20] (capture): Keys MIDI 1";
  thru_port_name = "synth:in";
  resample_mode = 2;
  ASSERT_TRUE(write_settings(path.c_str()));
  std::string written = slurp(path);

  set_default_settings();
  read_settings(path.c_str());
  EXPECT_EQ(piano_sound, 4);
  EXPECT_EQ(window_x, -20);
  EXPECT_FLOAT_EQ(keyvol_table[0][0], 255.0f);
  EXPECT_FLOAT_EQ(keyvol_table[15][127], 254.5f);
  EXPECT_FLOAT_EQ(keyvol_table[7][64], 0.01f);
  EXPECT_DOUBLE_EQ(note_off_delay, 1.0 / 3.0);   // 16 digits keep the double
  EXPECT_FLOAT_EQ(reverb3_params.Treverb2, 1000.0f);
  EXPECT_EQ(eq_bands.lowf, 950);
  EXPECT_EQ(eq_bands.order, 4);
  EXPECT_EQ(keytone_bands.highf, 10000);
  EXPECT_FLOAT_EQ(keyrev_params.Treverb1, 400.0f);
  EXPECT_FLOAT_EQ(master_level, 0.02f);
  EXPECT_EQ(full_view, 0);
  EXPECT_EQ(transpose, -12);
  EXPECT_EQ(autovolmidi, 64);
  EXPECT_EQ(preset_name, "my piano.preset");
  EXPECT_EQ(midi_in_port_name[0], "system:midi_capture_1");
  EXPECT_EQ(midi_in_port_name[1], "");
  EXPECT_EQ(midi_in_port_name[2], "a2j:Keys [20] (capture): Keys MIDI 1");
  EXPECT_EQ(thru_port_name, "synth:in");
  EXPECT_EQ(resample_mode, 2);
  EXPECT_EQ(format_settings(), written);
}

TEST(SettingsFile, WriterNumberForms)
{
  auto line = [](int n) { return crlf_lines(format_settings())[n - 1]; };
  set_default_settings();
  window_x = -20;
  EXPECT_EQ(line(2), "-20");
  keyvol_table[0][0] = 1e-5f;
  EXPECT_EQ(line(6), "1e-05");
  keyvol_table[0][0] = 123456789.0f;
  EXPECT_EQ(line(6), "1.234568e+08");
  keyvol_table[0][0] = -0.5f;
  EXPECT_EQ(line(6), "-0.5");
  note_off_delay = 0.1;
  EXPECT_EQ(line(2055), "0.1");
  note_off_delay = 1.0;
  EXPECT_EQ(line(2055), "1");
  master_level = 0.3f;
  EXPECT_EQ(line(2085), "0.3");
  eq_bands.lowf = -7;
  EXPECT_EQ(line(2067), "-7");
  transpose = -3;
  EXPECT_EQ(line(2091), "-3");
  preset_name = "two\r\nlines";
  EXPECT_EQ(line(2095), "two  lines");
  EXPECT_EQ(crlf_lines(format_settings()).size(), static_cast<size_t>(kSettingsLines));
}

TEST(SettingsFile, WriterSettlesPresetBankFromThumbnailMarks)
{
  set_default_settings();
  preset_bank = 7;
  EXPECT_EQ(crlf_lines(format_settings())[2095], " 1");
  preset_bank = 1;
  preset_factory_mark = 560;
  EXPECT_EQ(crlf_lines(format_settings())[2095], " 0");
  preset_factory_mark = 0;
  preset_user_mark = 420;
  preset_bank = 0;
  EXPECT_EQ(crlf_lines(format_settings())[2095], " 1");
  preset_user_mark = 0;
}

TEST(SettingsReader, ShortOrMissingFileGivesDefaults)
{
  disturb_settings();
  read_text("3\r\n10\r\n20\r\n1\r\n1\r\n");
  EXPECT_EQ(piano_sound, 3);
  EXPECT_EQ(window_x, 10);
  EXPECT_EQ(window_y, 20);
  EXPECT_EQ(velo_mode, 1);
  EXPECT_EQ(keyvol_on, 1);
  for (int r = 0; r < kKeyvolRows; r++) expect_row(r, 127.0f);
  expect_defaults_after_keyvol();

  disturb_settings();
  read_settings("/nonexistent/folder/quillon_darvo.ini");
  EXPECT_EQ(piano_sound, 0);
  EXPECT_EQ(window_x, 400);
  expect_defaults_after_keyvol();

  disturb_settings();
  read_text("");
  EXPECT_EQ(velo_mode, 2);
  expect_defaults_after_keyvol();
}

TEST(SettingsReader, ClampsDelayAndMasterLevel)
{
  read_with_line(2055, "5");
  EXPECT_DOUBLE_EQ(note_off_delay, 1.0);
  read_with_line(2055, "0");
  EXPECT_DOUBLE_EQ(note_off_delay, 0.05);
  read_with_line(2055, "0.2");
  EXPECT_DOUBLE_EQ(note_off_delay, 0.2);
  read_with_line(2085, "0");
  EXPECT_FLOAT_EQ(master_level, 0.01f);
  read_with_line(2085, "7.5");
  EXPECT_FLOAT_EQ(master_level, 1.0f);
  // Values that would index per-key tables out of range.
  read_with_line(2091, "100");
  EXPECT_EQ(transpose, 12);
  read_with_line(2089, "-1000");
  EXPECT_EQ(type_offset, -1);
  read_with_line(1, "99");
  EXPECT_EQ(piano_sound, 0);
  read_with_line(1, "14");
  EXPECT_EQ(piano_sound, 14);
  // Every value to the range its editor or the start-up keeps it in.
  struct {
    int line;
    const char* text;
    double expected;
    double (*value)();
  } ranges[] = {
      {2088, " 50", 100, [] { return (double)buffer_size; }},
      {2072, "9", 4, [] { return (double)eq_bands.order; }},
      {2074, "-5", 100, [] { return (double)keytone_bands.lowf; }},
      {2073, "7", 2, [] { return (double)keytone_mode; }},
      {2056, "-5", 0, [] { return (double)autovol_mode; }},
      {2094, "1e30", 127, [] { return (double)autovolmidi; }},
      {2058, "1.5", 0.7, [] { return (double)reverb3_params.kreverb1; }},
      {2083, "-5", 10, [] { return (double)keyrev_params.Treverb1; }},
      {2086, "-5", 1, [] { return (double)full_view; }},  // any view but 0 is the full one
      {100, "abc", 0.01, [] { return (double)keyvol_table[0][94]; }},
  };
  for (const auto& c : ranges) {
    read_with_line(c.line, c.text);
    EXPECT_FLOAT_EQ(c.value(), c.expected) << "line " << c.line << " " << c.text;
  }
  read_with_line(2101, "3");
  EXPECT_EQ(resample_mode, 2);
  read_with_line(2101, "-1");
  EXPECT_EQ(resample_mode, 0);
  read_with_line(2102, "0");
  EXPECT_EQ(velocity_layers.load(), 0);
  read_with_line(2102, "7");
  EXPECT_EQ(velocity_layers.load(), 1);

  // The pedal mode is line 2103, past the velocity layers' line 2102; a file
  // that ends before it (from before the pedals) gives the switch.
  read_with_line(2102, "1");
  EXPECT_EQ(pedal_mode, 0);
  for (auto c : {std::make_pair("1", 1), std::make_pair("7", 1), std::make_pair("-3", 0), std::make_pair("x", 0)}) {
    read_with_line(2103, c.first);
    EXPECT_EQ(pedal_mode, c.second) << c.first;
  }
  auto lines = default_lines();
  lines.resize(2101);
  pedal_mode = 1;
  read_text(join(lines, "\r\n"));
  EXPECT_EQ(pedal_mode, 0);
}

TEST(SettingsReader, LeadingNumberConversion)
{
  read_with_line(2, "  12abc");
  EXPECT_EQ(window_x, 12);
  read_with_line(2, "abc12");
  EXPECT_EQ(window_x, 0);
  read_with_line(2, "");
  EXPECT_EQ(window_x, 0);
  read_with_line(2, "\t-3.7e1x");
  EXPECT_EQ(window_x, -37);
  read_with_line(2, "2.5");       // halves to even
  EXPECT_EQ(window_x, 2);
  read_with_line(2, "3.5");
  EXPECT_EQ(window_x, 4);
  read_with_line(2, "-2.5");
  EXPECT_EQ(window_x, -2);
  read_with_line(2, "+7e");
  EXPECT_EQ(window_x, 7);
  read_with_line(2, ".5e1");
  EXPECT_EQ(window_x, 5);
  read_with_line(2, "inf");
  EXPECT_EQ(window_x, 0);
  read_with_line(2, "1e999");     // bounded, not undefined
  EXPECT_EQ(window_x, 1000000000);
  read_with_line(6, "-1e999");     // then clamped as a key volume
  EXPECT_FLOAT_EQ(keyvol_table[0][0], 0.01f);
  read_with_line(2058, "0x10");
  EXPECT_FLOAT_EQ(reverb3_params.kreverb1, 0.0f);
  read_with_line(2095, "   spaced name.preset   ");
  EXPECT_EQ(preset_name, "spaced name.preset");
  read_with_line(2095, std::string(150, 'n'));
  EXPECT_EQ(preset_name, std::string(100, 'n'));
  // 130 characters with blanks at 95..105: the name ends where the blanks begin.
  read_with_line(2095, std::string(95, 'n') + std::string(11, ' ') + std::string(24, 'm'));
  EXPECT_EQ(preset_name, std::string(95, 'n'));
}

TEST(SettingsReader, LfOnlyLinesAndMissingFinalNewline)
{
  set_default_settings();
  window_y = 77;
  keyvol_table[2][5] = 64.0f;
  buffer_size = 512;
  preset_name = "lf.preset";
  preset_bank = 1;
  auto lines = crlf_lines(format_settings());
  std::string lf_text = join(lines, "\n");
  disturb_settings();
  read_text(lf_text);
  EXPECT_EQ(window_y, 77);
  EXPECT_FLOAT_EQ(keyvol_table[2][5], 64.0f);
  EXPECT_EQ(buffer_size, 512);
  EXPECT_EQ(preset_name, "lf.preset");
  EXPECT_EQ(preset_bank, 1);

  lf_text.pop_back();   // the last line without its line end still counts
  preset_bank = 0;
  read_text(lf_text);
  EXPECT_EQ(preset_bank, 1);
}

TEST(SettingsReader, GarbageAndBinaryLinesReadAsZero)
{
  auto lines = default_lines();
  lines[1] = std::string("\x00\xff\x80 17", 6);
  lines[2] = std::string(100000, '9');   // a very long line
  lines[2055] = "\x01\x02";
  std::string text = join(lines, "\r\n");
  read_text(text);
  EXPECT_EQ(window_x, 0);
  EXPECT_EQ(window_y, 1000000000);
  EXPECT_EQ(autovol_mode, 0);
  EXPECT_EQ(buffer_size, 1024);   // the lines after the damage keep their places
  EXPECT_EQ(preset_bank, 0);
}

TEST(KeyvolMap, RowsBeyondSixteenLandInTheLastRow)
{
  auto head = default_lines();
  std::vector<std::string> lines(head.begin(), head.begin() + 5);
  for (int r = 0; r < 18; r++)
    for (int k = 0; k < kKeyvolKeys; k++) lines.push_back(std::to_string(r + 1));
  lines.push_back("finlist");
  lines.push_back("0.3");   // note_off_delay
  lines.push_back(" 2");    // autovol_mode
  read_text(join(lines, "\r\n"));
  for (int r = 0; r < 15; r++) expect_row(r, static_cast<float>(r + 1));
  expect_row(15, 18.0f);
  EXPECT_DOUBLE_EQ(note_off_delay, 0.3);
  EXPECT_EQ(autovol_mode, 2);
}

TEST(KeyvolMap, EndMarkInsideARowLeavesTheRestOfIt)
{
  auto head = default_lines();
  std::vector<std::string> lines(head.begin(), head.begin() + 5);
  for (int k = 0; k < kKeyvolKeys; k++) lines.push_back("50");
  for (int k = 0; k < 10; k++) lines.push_back("60");
  lines.push_back("finlist");
  lines.push_back("0.5");
  keyvol_table[1][20] = 3.0f;   // the reader restores the default before the map
  read_text(join(lines, "\r\n"));
  expect_row(0, 50.0f);
  expect_row(1, 60.0f, 0, 10);
  expect_row(1, 127.0f, 10, kKeyvolKeys);
  for (int r = 2; r < kKeyvolRows; r++) expect_row(r, 127.0f);
  EXPECT_DOUBLE_EQ(note_off_delay, 0.5);
  EXPECT_EQ(autovol_mode, 0);
}

TEST(KeyvolMap, FileEndingInsideARowRepeatsItsLastValue)
{
  read_text(" 1\r\n 2\r\n 3\r\n 1\r\n 1\r\n5\r\n6\r\n7");
  EXPECT_FLOAT_EQ(keyvol_table[0][0], 5.0f);
  EXPECT_FLOAT_EQ(keyvol_table[0][1], 6.0f);
  expect_row(0, 7.0f, 2, kKeyvolKeys);
  expect_row(1, 127.0f);
  EXPECT_DOUBLE_EQ(note_off_delay, 0.08);
}

TEST(KeyvolMap, EndMarkRightAfterTheHeadSkipsTheMap)
{
  read_text(" 1\r\n 2\r\n 3\r\n 1\r\nfinlist\r\n0.7\r\n 3\r\n");
  EXPECT_EQ(keyvol_on, 0);   // "finlist" is not a number
  expect_row(0, 127.0f);
  EXPECT_DOUBLE_EQ(note_off_delay, 0.7);
  EXPECT_EQ(autovol_mode, 3);
}

TEST(SettingsWriter, FailedWriteKeepsTheOldFile)
{
  TempDir dir;
  EXPECT_FALSE(write_settings(dir.file("missing/quillon_darvo.ini").c_str()));
  EXPECT_FALSE(write_settings(""));

  std::string path = dir.file("quillon_darvo.ini");
  set_default_settings();
  ASSERT_TRUE(write_settings(path.c_str()));
  std::string before = slurp(path);
  window_x = 1234;

  // A folder in the way of the new name: the rename fails, nothing is left behind.
  std::string blocked = dir.file("blocked.ini");
  ASSERT_EQ(mkdir(blocked.c_str(), 0755), 0);
  EXPECT_FALSE(write_settings(blocked.c_str()));

  // A read-only folder (meaningless for root, who may write anyway).
  if (geteuid() != 0) {
    ASSERT_EQ(chmod(dir.path.c_str(), 0555), 0);
    EXPECT_FALSE(write_settings(path.c_str()));
    chmod(dir.path.c_str(), 0755);
  }
  EXPECT_EQ(slurp(path), before);
  std::string listing;
  FILE* ls = popen(("ls -A '" + dir.path + "'").c_str(), "r");
  char buf[256];
  while (fgets(buf, sizeof buf, ls)) listing += buf;
  pclose(ls);
  EXPECT_EQ(listing, "blocked.ini\nquillon_darvo.ini\n");

  ASSERT_TRUE(write_settings(path.c_str()));
  EXPECT_NE(slurp(path), before);
}

TEST(Presets, NameChecks)
{
  std::string out;
  EXPECT_EQ(check_preset_name("   ", out), 0);
  EXPECT_EQ(check_preset_name(" mine ", out), 1);
  EXPECT_EQ(out, "mine.preset");
  EXPECT_EQ(check_preset_name("notes.txt", out), -1);
  EXPECT_EQ(out, "notes.txt");
  EXPECT_EQ(check_preset_name("LOUD.PRESET", out), 1);
  EXPECT_EQ(check_preset_name("/home/u/my.music/save/soft", out), 1);
  EXPECT_EQ(out, "/home/u/my.music/save/soft.preset");
  EXPECT_EQ(preset_file_name("C:\\a\\b.preset"), "b.preset");
  EXPECT_EQ(preset_file_name("/x/y/z.preset"), "z.preset");
  EXPECT_EQ(thumbnail_preset_path(0, 3), "bmp/upright.preset");
  EXPECT_EQ(thumbnail_preset_path(1, 4), "save/user/user5.preset");
  EXPECT_EQ(thumbnail_preset_path(2, 0), "");
  EXPECT_EQ(thumbnail_preset_path(0, 5), "");
}

TEST(Presets, LoadKeepsPortsBufferTransposeAndView)
{
  TempDir dir;
  std::string path = dir.file("soft.preset");
  set_default_settings();
  window_x = 50;
  piano_sound = 2;
  full_view = 0;
  buffer_size = 300;
  transpose = 5;
  thru_port = 3;
  autovolmidi = 90;
  preset_bank = 1;
  resample_mode = 1;
  pedal_mode = 1;
  midi_in_port_name[0] = "saved:in";
  thru_port_name = "saved:thru";
  ASSERT_TRUE(save_preset_file(path.c_str()));
  EXPECT_EQ(preset_name, "soft.preset");

  set_default_settings();
  midi_in_port = 2;
  midi_in2_port = 1;
  midi_in_port_name[0] = "here:in";
  preset_name = "other.preset";
  EXPECT_FALSE(load_preset_file(dir.file("none.preset").c_str()));
  EXPECT_FALSE(load_preset_file(dir.path.c_str()));
  EXPECT_EQ(preset_name, "other.preset");

  ASSERT_TRUE(load_preset_file(path.c_str()));
  EXPECT_EQ(window_x, 50);
  EXPECT_EQ(piano_sound, 2);
  EXPECT_EQ(autovolmidi, 90);
  EXPECT_EQ(preset_bank, 1);
  EXPECT_EQ(full_view, 1);
  EXPECT_EQ(buffer_size, 1024);
  EXPECT_EQ(transpose, 0);
  EXPECT_EQ(thru_port, 0);
  EXPECT_EQ(midi_in_port, 2);
  EXPECT_EQ(midi_in2_port, 1);
  EXPECT_EQ(midi_in_port_name[0], "here:in");
  EXPECT_EQ(thru_port_name, "");
  EXPECT_EQ(resample_mode, 1);
  EXPECT_EQ(pedal_mode, 0);  // the machine's, like the ports
  EXPECT_EQ(preset_name, "soft.preset");
}

TEST(Presets, LoadNeverShowsOtherPortOrTransposeValuesToTheMidiThread)
{
  // The MIDI thread reads thru_port and transpose on every message while a
  // preset loads; they must keep their values throughout, not pass through
  // the defaults or the preset's own values.
  TempDir dir;
  std::string path = dir.file("far.preset");
  set_default_settings();
  thru_port = 5;
  transpose = 7;
  ASSERT_TRUE(save_preset_file(path.c_str()));
  set_default_settings();
  thru_port = 2;
  transpose = -3;

  std::atomic<bool> done{false};
  std::atomic<int> odd_values{0};
  std::thread midi([&] {
    while (!done.load()) {
      if (thru_port.load() != 2 || transpose.load() != -3) odd_values++;
    }
  });
  for (int i = 0; i < 300; i++) ASSERT_TRUE(load_preset_file(path.c_str()));
  done = true;
  midi.join();
  EXPECT_EQ(odd_values.load(), 0);
  EXPECT_EQ(thru_port, 2);
  EXPECT_EQ(transpose, -3);
}

TEST(Presets, AFifoIsNotAPresetAndNeverBlocks)
{
  // Opening a FIFO for reading waits for a writer; a preset or settings file
  // that is one must be refused at once, like any file that is not regular.
  TempDir dir;
  std::string path = dir.file("pipe.preset");
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  set_default_settings();
  window_x = 77;
  std::atomic<bool> done{false};
  bool loaded = true;
  std::thread reader([&] {
    loaded = load_preset_file(path.c_str());
    read_settings(path.c_str());
    done = true;
  });
  for (int i = 0; i < 200 && !done.load(); i++) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  bool blocked = !done.load();
  // Release a blocked reader so the test ends either way.
  while (!done.load()) {
    int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd >= 0) close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  reader.join();
  EXPECT_FALSE(blocked);
  EXPECT_FALSE(loaded);
  EXPECT_EQ(window_x, 400);  // the settings reader took the defaults
}
