// SPDX-License-Identifier: GPL-3.0-or-later
// The SDL2 back end on a real display (Xvfb in the test run): the window
// opens at the prompt size, shows the framebuffer, and closes again.
#include <SDL.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/dialogs.h"
#include "platform/process.h"
#include "platform/window.h"
#include "platform/window_sdl.h"

namespace {

bool display_set() {
  const char* d = std::getenv("DISPLAY");
  return d && *d;
}

// Pumps events for a while so the X server maps and draws the window.
void settle() {
  for (int i = 0; i < 20; i++) {
    win_poll_key();
    win_sleep_ms(10);
  }
}

TEST(RealWindow, OpensPrintsAndShowsTheFramebuffer) {
  if (!display_set()) GTEST_SKIP() << "no DISPLAY";
  win_install_sdl_display();
  ASSERT_TRUE(has_display());
  win_use_headless(false);
  WinScreenInfo info = win_screen_info();
  EXPECT_GT(info.desktop_width, 0);
  EXPECT_GT(info.depth, 0);

  ASSERT_TRUE(win_open(344, 293));
  ASSERT_NE(win_native_handle(), nullptr);
  int w = 0, h = 0;
  SDL_GetWindowSize((SDL_Window*)win_native_handle(), &w, &h);
  EXPECT_EQ(w, 344);
  EXPECT_EQ(h, 293);

  win_set_title("quillon_darvo    upright.preset");
  EXPECT_STREQ(SDL_GetWindowTitle((SDL_Window*)win_native_handle()), "quillon_darvo    upright.preset");
  win_set_position(40, 30);

  win_color(0x9BFFFF, 0x000064);
  win_clear();
  win_locate(2, 1);
  win_print("midi input port : enter a value (1..2)", true);
  win_line(205, 32, 333, 41, 0x00FF00, kWinFilledBox);
  win_present();
  settle();

  EXPECT_EQ(win_row_text(2).substr(0, 16), "midi input port ");
  std::vector<uint32_t> fb = win_read_framebuffer();
  ASSERT_EQ(fb.size(), 344u * 293u);
  EXPECT_EQ(fb[35 * 344 + 250], 0x00FF00u);
  EXPECT_EQ(fb[200 * 344 + 10], 0x000064u);

  // The mouse read either finds the pointer in the window or reports -1s.
  int x, y, wheel, buttons;
  if (!win_mouse(&x, &y, &wheel, &buttons)) {
    EXPECT_EQ(x, -1);
    EXPECT_EQ(buttons, -1);
  }
  EXPECT_FALSE(win_key_down(kScanLeftShift));

  // What the X server shows: a screen grab of the window's green box.
  if (system("command -v import >/dev/null 2>&1") == 0) {
    int wx = 0, wy = 0;
    win_get_position(&wx, &wy);
    std::string out = ::testing::TempDir() + "qd_real_window.txt";
    std::string cmd = "import -silent -window root -depth 8 -crop 1x1+" + std::to_string(wx + 250) + "+" +
                      std::to_string(wy + 35) + " txt:" + out + " 2>/dev/null";
    if (system(cmd.c_str()) == 0) {
      FILE* f = std::fopen(out.c_str(), "r");
      ASSERT_NE(f, nullptr);
      char text[512] = {0};
      size_t n = std::fread(text, 1, sizeof text - 1, f);
      std::fclose(f);
      text[n] = 0;
      EXPECT_NE(std::string(text).find("#00FF00"), std::string::npos) << text;
      std::remove(out.c_str());
    }
  }

  // Reopening at the compact size keeps the window.
  ASSERT_TRUE(win_open(344, 93));
  SDL_GetWindowSize((SDL_Window*)win_native_handle(), &w, &h);
  EXPECT_EQ(h, 93);
  win_close();
  EXPECT_EQ(win_native_handle(), nullptr);
  EXPECT_FALSE(win_is_open());
}

TEST(RealWindow, FileDialogWithoutZenityAsksInTheWindow) {
  if (!display_set()) GTEST_SKIP() << "no DISPLAY";
  win_install_sdl_display();
  win_use_headless(false);
  ASSERT_TRUE(win_open(344, 293));
  std::string folder = ::testing::TempDir() + "qd_prompt_dialog/";
  ASSERT_EQ(system(("mkdir -p " + folder + " && touch " + folder + "bright.equ").c_str()), 0);

  std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
  setenv("PATH", "/nonexistent", 1);  // no zenity to be found
  for (char c : std::string("bright.equ\r")) win_push_key(std::string(1, c));
  std::string chosen = file_dialog("load equalizer", folder + "*.equ");
  for (char c : std::string("missing\r")) win_push_key(std::string(1, c));
  std::string missing = file_dialog("load equalizer", folder + "*.equ");
  for (char c : std::string("bright\r")) win_push_key(std::string(1, c));
  std::string completed = file_dialog("load equalizer", folder + "*.equ");
  for (char c : std::string("new.equ\r")) win_push_key(std::string(1, c));
  std::string saved = file_dialog("save equalizer", folder + "*.equ");
  setenv("PATH", path.c_str(), 1);

  EXPECT_EQ(chosen, folder + "bright.equ");
  // The extension comes first; a missing file is the caller's "not found :".
  EXPECT_EQ(missing, folder + "missing.equ");
  EXPECT_EQ(completed, folder + "bright.equ");
  EXPECT_EQ(saved, folder + "new.equ");
  EXPECT_EQ(win_row_text(1).substr(0, 14), "load equalizer");
  EXPECT_EQ(win_row_text(2).substr(0, 21), "file name: bright.equ");
  win_close();
  system(("rm -rf " + folder).c_str());
}

}  // namespace
