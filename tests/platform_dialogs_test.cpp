// SPDX-License-Identifier: GPL-3.0-or-later
// Dialogs and the console line input on the headless window: scripted
// answers, the file dialog's folder and filter list, and line editing.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/dialogs.h"
#include "platform/dialogs_headless.h"
#include "platform/window.h"

namespace {

class Dialogs : public ::testing::Test {
 protected:
  void SetUp() override {
    win_use_headless(true);
    ASSERT_TRUE(win_open(344, 293));
    dialog_clear_history();
  }
  void TearDown() override {
    dialog_clear_history();
    win_close();
  }
};

void type(const std::string& keys) {
  for (char c : keys) win_push_key(std::string(1, c));
}

TEST_F(Dialogs, ConfirmTakesScriptedAnswersAndDefaultsToNo) {
  dialog_script_answer("yes");
  dialog_script_answer("no");
  EXPECT_EQ(confirm("overwrite?", "save"), "yes");
  EXPECT_EQ(confirm("overwrite?", "save"), "no");
  EXPECT_EQ(confirm("again?", "save"), "no");
  ASSERT_EQ(dialog_history().size(), 3u);
  EXPECT_EQ(dialog_history()[0].kind, "confirm");
  EXPECT_EQ(dialog_history()[0].text, "overwrite?");
  EXPECT_EQ(dialog_history()[0].title, "save");
}

TEST_F(Dialogs, NoticeIsRecordedWithItsTitle) {
  notice("midi input port failed");
  ASSERT_EQ(dialog_history().size(), 1u);
  EXPECT_EQ(dialog_history()[0].kind, "notice");
  EXPECT_EQ(dialog_history()[0].title, "notice");
  EXPECT_EQ(dialog_history()[0].text, "midi input port failed");
}

TEST_F(Dialogs, FileDialogOpensInThePatternFolderWithTwoFilters) {
  dialog_script_answer("save/bright.equ");
  EXPECT_EQ(file_dialog("save equalizer", "save\\*.equ"), "save/bright.equ");
  ASSERT_EQ(dialog_history().size(), 1u);
  const DialogRecord& r = dialog_history()[0];
  EXPECT_EQ(r.kind, "file");
  EXPECT_TRUE(r.save);
  EXPECT_EQ(r.text, "save/");
  ASSERT_EQ(r.filters.size(), 2u);
  EXPECT_EQ(r.filters[0].description, " (*.equ)");
  EXPECT_EQ(r.filters[0].pattern, "*.equ");
  EXPECT_EQ(r.filters[1].description, "All  (*.*)");
  EXPECT_EQ(r.filters[1].pattern, "*.*");

  EXPECT_EQ(file_dialog("load equalizer", "save/*.equ"), "");  // cancelled
  EXPECT_FALSE(dialog_history()[1].save);
}

TEST_F(Dialogs, FilterListParsing) {
  std::string folder;
  std::vector<FileFilter> filters;
  EXPECT_TRUE(file_dialog_parse("*.preset", &folder, &filters));
  EXPECT_EQ(folder, "");
  ASSERT_EQ(filters.size(), 2u);
  EXPECT_EQ(filters[0].description, " (*.preset)");

  EXPECT_TRUE(file_dialog_parse("a\\b/*.key,key tone;*.rev,reverb", &folder, &filters));
  EXPECT_EQ(folder, "a/b/");
  ASSERT_EQ(filters.size(), 3u);
  EXPECT_EQ(filters[0].description, "key tone (*.key)");
  EXPECT_EQ(filters[1].description, "reverb (*.rev)");
  EXPECT_EQ(filters[1].pattern, "*.rev");
}

TEST_F(Dialogs, OverlongFilterListGivesAnEmptyPath) {
  std::string masks;
  for (int i = 0; i < 20; i++) masks += "*.ext" + std::to_string(i) + ",description;";
  std::string folder;
  std::vector<FileFilter> filters;
  EXPECT_FALSE(file_dialog_parse(masks, &folder, &filters));
  dialog_script_answer("kept.ext");
  EXPECT_EQ(file_dialog("load", masks), "");
  dialog_script_answer("next.equ");  // the unused answer is still first in line
  EXPECT_EQ(file_dialog("load", "*.equ"), "kept.ext");
}

TEST_F(Dialogs, LineInputEchoesAndEditsWithBackspace) {
  win_locate(5, 1);
  win_print("buffer size : ");
  type("12");
  win_push_key("\b");
  type("3x");
  win_push_key("\b");
  win_push_key(std::string(1, (char)255) + (char)72);  // Up: ignored
  win_push_key("\r");
  win_push_key("z");  // typed after Enter: left for the caller
  EXPECT_EQ(console_read_line(), "13");
  EXPECT_EQ(win_row_text(5).substr(0, 18), "buffer size : 13  ");
  EXPECT_EQ(win_cursor_row(), 6);
  EXPECT_EQ(win_cursor_column(), 1);
  EXPECT_EQ(win_poll_key(), "z");
}

TEST_F(Dialogs, BackspaceOnAnEmptyLineDoesNothing) {
  win_locate(3, 5);
  win_push_key("\b");
  win_push_key("\b");
  type("a\r");
  EXPECT_EQ(console_read_line(), "a");
  EXPECT_EQ(win_cell_char(3, 5), 'a');
  EXPECT_EQ(win_cell_char(3, 4), ' ');
}

TEST_F(Dialogs, CloseButtonEndsTheLine) {
  type("45");
  win_push_key(std::string(1, (char)255) + 'k');
  type("6\r");
  EXPECT_EQ(console_read_line(), "45");
}

TEST_F(Dialogs, WholeNumbers) {
  struct { const char* typed; int value; } cases[] = {
      {"42\r", 42}, {"\r", 0}, {"abc\r", 0}, {"-3\r", -3}, {"7.6\r", 8},
      {"  12ms\r", 12}, {"2.5\r", 2}, {"99999999999\r", 2147483647},
  };
  for (const auto& c : cases) {
    type(c.typed);
    EXPECT_EQ(console_read_int(), c.value) << c.typed;
  }
}

TEST(NoDisplay, NoticeGoesToStandardErrorAndConfirmAnswersNo) {
  std::string x11 = std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "";
  std::string wayland = std::getenv("WAYLAND_DISPLAY") ? std::getenv("WAYLAND_DISPLAY") : "";
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
  win_use_headless(false);
  ::testing::internal::CaptureStderr();
  notice("error can't open MIDI output 2 !\rport name");
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "notice: error can't open MIDI output 2 !\nport name\n");
  EXPECT_EQ(confirm("overwrite?", "save"), "no");
  EXPECT_EQ(file_dialog("load", "save/*.equ"), "");  // no window to ask in either
  win_use_headless(true);
  if (!x11.empty()) setenv("DISPLAY", x11.c_str(), 1);
  if (!wayland.empty()) setenv("WAYLAND_DISPLAY", wayland.c_str(), 1);
}

}  // namespace
