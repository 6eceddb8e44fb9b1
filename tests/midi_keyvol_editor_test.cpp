// SPDX-License-Identifier: GPL-3.0-or-later
// The key volume editor, headless on a virtual clock: the undo ring, what a
// mouse drag or a straight line sets, the test notes of the key row, the
// screen, the idle rule of the key marks, and the ".keyvol" file with the
// editor's save and load commands.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>

#include "midi/keyvol_editor.h"
#include "midi/keyvol_file.h"
#include "midi_test_support.h"
#include "app/key_display.h"
#include "tests/support/editor_session.h"

using namespace editortest;

namespace {

constexpr uint32_t kOrange = 0xFFC800;

class KeyvolEditor : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { engine_ok = midi_test::start_test_engine(1024); }
  static void TearDownTestSuite() { FBS_EXIT(); }
  void SetUp() override {
    midi_test::reset_midi_state();
    midi_test::stop_all_sounds();
    piano_sound = 0;
    keyvol_on = 1;
    set_row([](int) { return 127.0f; });
    make_key_markers();
    reset_keyvol_undo();
    EditorHost host = {};
    host.serve_note_offs = serve_note_off_queue;
    host.keys_down = display_keys_down;
    host.keys_up = display_keys_up;
    host.clear_hint = [] { hint_cleared = true; };
    hint_cleared = false;
    start(host);
  }
  void TearDown() override { finish(); }

  static void set_row(float (*value)(int key)) {
    for (int k = 0; k < kKeyvolKeys; k++) keyvol_table[0][k] = value(k);
  }
  static float at(int key) { return keyvol_table[0][key].load(); }

  static bool engine_ok;
  static inline bool hint_cleared = false;
};
bool KeyvolEditor::engine_ok = false;

// ---- undo ring ----

TEST_F(KeyvolEditor, UndoRedoWalkTheRing) {
  int ax, ay;
  EXPECT_FALSE(keyvol_undo(&ax, &ay)) << "undo right after a reset";

  keyvol_table[0][0] = 1.0f;
  push_keyvol_history(10, 20);
  ASSERT_TRUE(keyvol_undo(&ax, &ay));
  EXPECT_EQ(at(0), 127.0f);
  EXPECT_EQ(ax, -1);
  EXPECT_FALSE(keyvol_undo(&ax, &ay)) << "a second undo past the reset state";
  ASSERT_TRUE(keyvol_redo(&ax, &ay));
  EXPECT_EQ(at(0), 1.0f);
  EXPECT_EQ(ax, 10);
  EXPECT_EQ(ay, 20);
  EXPECT_FALSE(keyvol_redo(&ax, &ay));

  // An edit after an undo is the newest state: nothing left to redo.
  keyvol_table[0][0] = 2.0f;
  push_keyvol_history(-1, -1);
  ASSERT_TRUE(keyvol_undo(&ax, &ay));
  keyvol_table[0][0] = 3.0f;
  push_keyvol_history(-1, -1);
  EXPECT_FALSE(keyvol_redo(&ax, &ay));
}

TEST_F(KeyvolEditor, After250EditsOnlyTheLast199StatesAreReached) {
  for (int i = 1; i <= 250; i++) {
    keyvol_table[0][5] = static_cast<float>(i);
    push_keyvol_history(i, i);
  }
  int ax, ay, undos = 0;
  while (keyvol_undo(&ax, &ay)) undos++;
  EXPECT_EQ(undos, 198);  // 199 states with the current one
  EXPECT_EQ(at(5), 52.0f);
  EXPECT_EQ(ax, 52);
  int redos = 0;
  while (keyvol_redo(&ax, &ay)) redos++;
  EXPECT_EQ(redos, 198);
  EXPECT_EQ(at(5), 250.0f);
}

// ---- the mouse ----

TEST_F(KeyvolEditor, MouseReadBackMapsPixelsToKeysAndValues) {
  struct { int x; int key; } keys[] = {{0, 0}, {1, 0}, {2, 1}, {172, 60}, {343, 120}, {344, 120}, {400, 120}};
  for (auto c : keys) EXPECT_EQ(keyvol_key_at(c.x), c.key) << "x " << c.x;
  struct { int y; float value; } values[] = {{74, 0.01f}, {93, 0.01f}, {44, 129.0f}, {15, 253.7f}, {14, 255.0f}, {0, 255.0f}};
  for (auto c : values) EXPECT_FLOAT_EQ(keyvol_value_at(c.y), c.value) << "y " << c.y;
}

TEST_F(KeyvolEditor, LeftDragJoinsTheLastTwoPositions) {
  run(keyvol_editor, {mouse(100, 40, 1), mouse(130, 50, 1), mouse(130, 50, 0), idle()});
  // x 100..130 covers keys 35..45; y falls from 40 to 50 along the way.
  EXPECT_FLOAT_EQ(at(35), 146.2f);  // x 101: y 40
  EXPECT_FLOAT_EQ(at(40), 124.7f);  // x 116: y floor(45.33) = 45
  EXPECT_FLOAT_EQ(at(45), 103.2f);  // x 130: y 50
  EXPECT_EQ(at(34), 127.0f);
  EXPECT_EQ(at(46), 127.0f);
  EXPECT_EQ(history_current, 1) << "one state pushed when the button came up";
  EXPECT_EQ(keyvol_history[1][128], 100.0f) << "anchor: the last point drawn with the left button";
  EXPECT_EQ(win_row_text(1).substr(0, 41), "[S]save [L]load  [K]on  [U]undo [R]redo1 ");
}

TEST_F(KeyvolEditor, AnotherButtonDrawsAStraightLineFromTheAnchor) {
  run(keyvol_editor, {mouse(100, 40, 1), mouse(101, 40, 1), mouse(101, 40, 0), mouse(300, 60, 2),
                      mouse(300, 20, 2), mouse(300, 20, 0), idle()});
  // The anchor is (100, 40); the right button first drew to (300, 60), then to (300, 20).
  EXPECT_FLOAT_EQ(at(keyvol_key_at(300)), (74 - 20) * 4.3f);
  // Key 70 lies under x 200..202; x 202 is written last, at y floor(29.8).
  EXPECT_FLOAT_EQ(at(keyvol_key_at(200)), (74 - 29) * 4.3f);
  EXPECT_EQ(history_current, 2);
}

TEST_F(KeyvolEditor, PressesOutsideTheDrawingAreaChangeNothing) {
  // Rows 79..82 (between the graph and the key row), row 4 and outside the
  // text area; keys 121..127 lie beyond the width.
  run(keyvol_editor, {mouse(100, 80, 1), mouse(150, 80, 1), mouse(150, 80, 0), mouse(100, 4, 1),
                      mouse(150, 4, 1), mouse(0, 0, 0), mouse(350, 40, 1), mouse(360, 40, 1), mouse(0, 0, 0)});
  for (int k = 0; k < kKeyvolKeys; k++) ASSERT_EQ(at(k), 127.0f) << "key " << k;
  EXPECT_EQ(history_current, 0);
}

TEST_F(KeyvolEditor, TestNoteOnChannel16GoesThroughTheMap) {
  ASSERT_TRUE(engine_ok);
  // Values a file may hold are used as read; the level stays within 0..2.
  struct { float entry, volume; } cases[] = {{200.0f, 200.0f / 127.0f}, {1e30f, 2.0f}, {-5.0f, 0.0f}};
  for (auto c : cases) {
    keyvol_table[0][60] = c.entry;
    int w = -1, j = -1;
    float volume = -1.0f;
    bool sounded = false;
    run(keyvol_editor, {mouse(172, 88, 1), [&] {
                          sounded = midi_test::find_voice(60, 15, &w, &j);
                          if (sounded) volume = midi_test::sound_volume(w, j);
                        },
                        mouse(172, 88, 0), idle(), idle()});
    ASSERT_TRUE(sounded) << "no voice for key 60 on channel 16";
    EXPECT_NEAR(volume, c.volume, 1e-5f) << "velocity 127 times the key's " << c.entry << "/127";
    EXPECT_EQ(midi_test::voices_of(60, 15), 0) << "released with the button";
    EXPECT_EQ(at(60), c.entry) << "the key row plays, it does not draw";
  }
  // Once a key is marked green, the key row plays it wherever it is pressed.
  int sounded = -1;
  run(keyvol_editor, {mouse(178, 40, 0), mouse(172, 88, 1), [&] { sounded = midi_test::voices_of(62, 15); },
                      mouse(172, 88, 0), idle()});
  EXPECT_EQ(sounded, 1) << "key 62, marked green at x 178";
}

// ---- the screen ----

TEST_F(KeyvolEditor, ScreenShowsLabelsLinePointsAndKeyRow) {
  keyvol_table[0][60] = 254.0f;
  run(keyvol_editor, {mouse(172, 30, 0), key("k"), idle()});
  EXPECT_EQ(win_row_text(1).substr(0, 41), "[S]save [L]load  [K]off [U]undo [R]redo0 ");
  EXPECT_EQ(keyvol_on.load(), 0);
  EXPECT_EQ(win_cell_char(2, 1), '2');
  EXPECT_EQ(win_cell_char(6, 1), '1');
  EXPECT_EQ(win_cell_char(10, 1), '0');
  EXPECT_EQ(win_read_pixel(21, 44), 0x000000u) << "reference line of value 128, between two points";
  EXPECT_EQ(win_read_pixel(172, 15), kOrange) << "key 60 at 254";
  EXPECT_EQ(win_read_pixel(175, 44), kOrange) << "key 61 at 127";
  EXPECT_EQ(win_read_pixel(172, 82), 0x00FF00u) << "the key under the mouse (60) is green";
  EXPECT_EQ(win_read_pixel(174, 92), 0x00FF00u);
  EXPECT_EQ(win_read_pixel(177, 85), 0xFFFFFFu) << "key 62's white marker at 177..179";
  EXPECT_EQ(win_read_pixel(180, 85), 0x000000u) << "key 63's black marker at 180..182";
  EXPECT_TRUE(hint_cleared) << "the full view's hint, as every editor does";
}

TEST_F(KeyvolEditor, ValuesFarOutsideTheRangeDrawOffTheGraph) {
  set_row([](int k) { return k % 3 == 0 ? 1e30f : (k % 3 == 1 ? -FLT_MAX : 0.0f); });
  run(keyvol_editor, {key("u"), key("r"), idle()});
  for (int k : {0, 1, 60, 61}) {
    int x = static_cast<int>(std::nearbyint(k * 344.0 / 120.0));
    for (int y = 0; y < 93; y++) ASSERT_NE(win_read_pixel(x, y), kOrange) << "key " << k << " y " << y;
  }
  EXPECT_EQ(win_read_pixel(6, 74), kOrange) << "key 2 at 0";
}

TEST_F(KeyvolEditor, KeyRowFollowsPlayedKeysUntilAMinuteWithoutMouseMovement) {
  bool shown_at_start = false, shown_after_idle = true, shown_after_move = false;
  uint32_t played = 0;
  std::vector<Tick> ticks = {[&] { shown_at_start = editor_key_row() != nullptr; },
                             [] { voice_note_on(0, 64, 100); }, [&] { played = win_read_pixel(184, 85); }};
  ticks = ticks + repeat(idle(), 410) + std::vector<Tick>{[&] { shown_after_idle = editor_key_row() != nullptr; },
                                                         mouse(10, 10, 0), idle(),
                                                         [&] { shown_after_move = editor_key_row() != nullptr; }};
  run(keyvol_editor, ticks);
  EXPECT_TRUE(shown_at_start);
  EXPECT_EQ(played, 0xFF0000u) << "key 64 sounding is red on the key row";
  EXPECT_FALSE(shown_after_idle);
  EXPECT_TRUE(shown_after_move);
  EXPECT_EQ(editor_key_row(), nullptr) << "no key row once the editor has closed";
  EXPECT_EQ(keyvol_editor_open, 0);
}

TEST_F(KeyvolEditor, KeyMarkersAreFilledBoxesOfTheirColours) {
  ASSERT_NE(marker_red, nullptr);
  EXPECT_EQ(marker_red->width, 3);
  EXPECT_EQ(marker_red->height, 11);
  for (uint32_t p : marker_red->pixels) EXPECT_EQ(p, 0xFF0000u);
  for (uint32_t p : marker_green->pixels) EXPECT_EQ(p, 0x00FF00u);
  for (int key : {60, 62, 64, 65, 127}) EXPECT_EQ(key_marker[key], marker_white) << key;
  for (int key : {61, 63, 66, 68, 70}) EXPECT_EQ(key_marker[key], marker_black) << key;
}

// ---- the file ----

TEST_F(KeyvolEditor, FileHoldsOneLinePerKeyWithABlankBeforeNonNegatives) {
  set_row([](int k) { return k == 0 ? -3.5f : (k == 1 ? 1e30f : (k == 2 ? 0.1f : 127.0f)); });
  std::string text = format_keyvol_row(0);
  EXPECT_EQ(text.substr(0, 30), "-3.5\r\n 1e+30\r\n 0.1\r\n 127\r\n 127");
  size_t lines = 0;
  for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at + 2)) lines++;
  EXPECT_EQ(lines, 128u);

  // Every value the mouse can set comes back unchanged, keys 121..127 too.
  set_row([](int k) { return keyvol_value_at(5 + k % 74) + (k > 120 ? 100.0f : 0.0f); });
  text = format_keyvol_row(0);
  set_row([](int) { return 0.0f; });
  read_keyvol_text(text.data(), text.size(), 0);
  for (int k = 0; k < kKeyvolKeys; k++)
    ASSERT_EQ(at(k), keyvol_value_at(5 + k % 74) + (k > 120 ? 100.0f : 0.0f)) << "key " << k;
}

TEST_F(KeyvolEditor, ReaderStopsAtFinlistAndRepeatsTheLastLine) {
  struct Case {
    const char* name;
    std::string text;
    float key0, key9, key10, key127;
  } cases[] = {
      {"ten lines", " 1\r\n 2\r\n 3\r\n 4\r\n 5\r\n 6\r\n 7\r\n 8\r\n 9\r\n 10\r\n", 1, 10, 10, 10},
      {"LF only, no last end", "1\n2\n3\n4\n5\n6\n7\n8\n9\n10", 1, 10, 10, 10},
      {"finlist on line 3", " 5\r\n 6\r\nfinlist\r\n 7\r\n", 5, 127, 127, 127},
      {"empty file: 0, at least 0.01", "", 0.01f, 0.01f, 0.01f, 0.01f},
      {"nonsense and leading blanks", "abc\r\n   42.5xyz\r\n", 0.01f, 42.5f, 42.5f, 42.5f},
      {"huge and tiny: 0.01..255", "1e999\r\n-1e999\r\n1e-999\r\n", 255, 0.01f, 0.01f, 0.01f},
  };
  for (const Case& c : cases) {
    set_row([](int) { return 127.0f; });
    read_keyvol_text(c.text.data(), c.text.size(), 0);
    EXPECT_EQ(at(0), c.key0) << c.name;
    EXPECT_EQ(at(9), c.key9) << c.name;
    EXPECT_EQ(at(10), c.key10) << c.name;
    EXPECT_EQ(at(127), c.key127) << c.name;
  }
}

TEST_F(KeyvolEditor, SaveChecksTheNameAndAsksFirst) {
  SaveFolder folder;
  struct Case {
    std::vector<std::string> answers;
    const char* file;       // written, or null
    const char* notice;     // the last notice, or ""
  } cases[] = {
      {{"save/plain", "yes"}, "save/plain.keyvol", "keyvol saved as save/plain.keyvol"},
      {{"  save/UP.KEYVOL  ", "yes"}, "save/UP.KEYVOL", "keyvol saved as save/UP.KEYVOL"},
      {{"save/other.txt"}, nullptr, "bad name save/other.txt"},
      {{"save/refused", "no"}, nullptr, ""},
      {{""}, nullptr, ""},
      {{"save/missing_folder/x.keyvol", "yes"}, nullptr, "not saved :save/missing_folder/x.keyvol"},
  };
  for (const Case& c : cases) {
    dialog_clear_history();
    run(keyvol_editor, {answers(c.answers), key("s"), idle()});
    std::vector<std::string> notices = dialog_texts("notice");
    EXPECT_EQ(notices.empty() ? "" : notices.back(), c.notice) << c.answers[0];
    ASSERT_EQ(dialog_texts("file").size(), 1u);
    EXPECT_EQ(dialog_texts("file")[0], "save keyvol");
    EXPECT_EQ(dialog_history()[0].text, "save/") << "the dialog starts in the save folder";
    if (c.file) {
      EXPECT_EQ(dialog_texts("confirm").at(0), std::string("save in ") + c.file + " ?");
      EXPECT_EQ(file_text(c.file), format_keyvol_row(0));
    }
  }
  EXPECT_FALSE(std::filesystem::exists("save/other.txt"));
  EXPECT_FALSE(std::filesystem::exists("save/refused.keyvol"));
  EXPECT_EQ(input_active.load(), 0);
}

TEST_F(KeyvolEditor, LoadReadsOnlyAfterYesAndPushesAState) {
  SaveFolder folder;
  write_text("save/ten.keyvol", "1\r\n2\r\n3\r\n4\r\n5\r\n6\r\n7\r\n8\r\n9\r\n10\r\n");
  struct Case {
    std::vector<std::string> answers;
    const char* notice;
    float key20;
    int history;
  } cases[] = {
      {{"save/none"}, "not found :save/none.keyvol", 127, 0},
      {{"save/ten.txt"}, "bad name save/ten.txt", 127, 0},
      {{"save/ten", "no"}, "", 127, 0},
      {{"save/ten", "yes"}, "", 10, 1},
  };
  for (const Case& c : cases) {
    dialog_clear_history();
    run(keyvol_editor, {answers(c.answers), key("l"), idle()});
    std::vector<std::string> notices = dialog_texts("notice");
    EXPECT_EQ(notices.empty() ? "" : notices.back(), c.notice) << c.answers[0];
    EXPECT_EQ(at(20), c.key20) << c.answers[0];
    EXPECT_EQ(history_current, c.history) << c.answers[0];
  }
  EXPECT_EQ(dialog_texts("confirm").at(0), "load save/ten.keyvol ?");
  EXPECT_EQ(keyvol_history[1][128], -1.0f) << "a loaded state has no anchor";
  EXPECT_EQ(at(3), 4.0f);
  // Undo brings the map from before the load back.
  run(keyvol_editor, {key("u"), idle()});
  EXPECT_EQ(at(3), 127.0f);
}

}  // namespace
