// SPDX-License-Identifier: GPL-3.0-or-later
// The window layer on its headless back end: text cells and the cursor,
// number forms, drawing limited by the clip rectangle, images and BMP
// loading, scripted keys and mouse. It links no SDL.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/window.h"
#include "platform/window_headless.h"
#include "tests/support/bmp_writer.h"
#include "platform/window_backend.h"

namespace {

class Window : public ::testing::Test {
 protected:
  void SetUp() override {
    win_use_headless(true);
    ASSERT_TRUE(win_open(344, 93));
  }
  void TearDown() override { win_close(); }
};

std::string ext(int scan) { return std::string(1, (char)255) + (char)scan; }

int count_color(int x1, int y1, int x2, int y2, uint32_t color) {
  int n = 0;
  for (int y = y1; y <= y2; y++)
    for (int x = x1; x <= x2; x++) n += win_read_pixel(x, y) == color;
  return n;
}

// ---------------------------------------------------------------------------
// Text

TEST_F(Window, GridFollowsWindowSize) {
  EXPECT_EQ(win_text_columns(), 43);
  EXPECT_EQ(win_text_rows(), 11);
  WinScreenInfo info = win_screen_info();
  EXPECT_EQ(info.window_width, 344);
  EXPECT_EQ(info.window_height, 93);
  EXPECT_GT(info.desktop_width, 0);
}

TEST_F(Window, PrintFillsCellsAndAdvancesCursor) {
  win_locate(3, 17);
  win_print("abc");
  EXPECT_EQ(win_cursor_row(), 3);
  EXPECT_EQ(win_cursor_column(), 20);
  EXPECT_EQ(win_cell_char(3, 17), 'a');
  EXPECT_EQ(win_cell_char(3, 19), 'c');
  EXPECT_EQ(win_cell_char(3, 20), ' ');
  win_print("!", true);
  EXPECT_EQ(win_cursor_row(), 4);
  EXPECT_EQ(win_cursor_column(), 1);
  EXPECT_EQ(win_cell_char(0, 1), 0);
  EXPECT_EQ(win_cell_char(12, 1), 0);
}

TEST_F(Window, GlyphUsesForegroundAndBackground) {
  win_color(0x9BFFFF, 0x000064);
  win_locate(2, 2);
  win_print("H ");
  // Cell (2,2) spans x 8..15, y 8..15: both colours, and nothing else.
  int ink = count_color(8, 8, 15, 15, 0x9BFFFF);
  int paper = count_color(8, 8, 15, 15, 0x000064);
  EXPECT_GT(ink, 8);
  EXPECT_GT(paper, 8);
  EXPECT_EQ(ink + paper, 64);
  EXPECT_EQ(count_color(16, 8, 23, 15, 0x000064), 64);  // the blank
}

TEST_F(Window, EveryPrintableCharacterHasItsOwnGlyph) {
  std::vector<std::vector<uint8_t>> seen;
  for (int c = 33; c <= 126; c++) {
    const uint8_t* g = font8x8_glyph((unsigned char)c);
    std::vector<uint8_t> rows(g, g + 8);
    EXPECT_NE(rows, std::vector<uint8_t>(8, 0)) << "blank glyph for " << (char)c;
    for (const auto& other : seen) EXPECT_NE(rows, other) << "duplicate glyph for " << (char)c;
    seen.push_back(rows);
  }
}

TEST_F(Window, LongTextWrapsAndLastRowScrolls) {
  win_locate(1, 42);
  win_print("xyz");
  EXPECT_EQ(win_cell_char(1, 43), 'y');
  EXPECT_EQ(win_cell_char(2, 1), 'z');
  EXPECT_EQ(win_cursor_row(), 2);
  EXPECT_EQ(win_cursor_column(), 2);

  win_locate(11, 1);
  win_print("bottom", true);  // moving below row 11 scrolls everything up
  EXPECT_EQ(win_cursor_row(), 11);
  EXPECT_EQ(win_row_text(10).substr(0, 6), "bottom");
  EXPECT_EQ(win_cell_char(1, 1), 'z');
  EXPECT_EQ(win_row_text(11), std::string(43, ' '));
}

TEST_F(Window, ClearFillsBackgroundAndHomesCursor) {
  win_color(0xFFFFFF, 0x000064);
  win_locate(5, 5);
  win_print("text");
  win_clear();
  EXPECT_EQ(win_cursor_row(), 1);
  EXPECT_EQ(win_cursor_column(), 1);
  EXPECT_EQ(win_cell_char(5, 5), ' ');
  EXPECT_EQ(count_color(0, 0, 343, 92, 0x000064), 344 * 93);
}

TEST_F(Window, LocateIsClampedToTheGrid) {
  win_locate(0, 99);
  EXPECT_EQ(win_cursor_row(), 1);
  EXPECT_EQ(win_cursor_column(), 43);
}

// ---------------------------------------------------------------------------
// Number forms

TEST(NumberForms, IntegersCarryALeadingBlankUnlessNegative) {
  win_use_headless(true);
  win_open(344, 93);
  win_print_int(5);
  win_print_int(-17);
  win_print_int(0);
  EXPECT_EQ(win_row_text(1).substr(0, 7), " 5-17 0");
  EXPECT_EQ(win_format_int(-2147483648LL), "-2147483648");
  win_close();
}

TEST(NumberForms, SingleIsShortestWithSevenDigits) {
  EXPECT_EQ(win_format_single(0.1f), "0.1");
  EXPECT_EQ(win_format_single(5.0f), "5");
  EXPECT_EQ(win_format_single(100.0f), "100");
  EXPECT_EQ(win_format_single(-2.5f), "-2.5");
  EXPECT_EQ(win_format_single(1.0f / 3.0f), "0.3333333");
  EXPECT_EQ(win_format_single(1234567.0f), "1234567");
  EXPECT_EQ(win_format_single(12345678.0f), "1.234568e+07");
  EXPECT_EQ(win_format_single(0.001234f), "0.001234");
  EXPECT_EQ(win_format_single(1e20f), "1e+20");
  EXPECT_EQ(win_format_single(-1.5e-7f), "-1.5e-07");
  EXPECT_EQ(win_format_single(-0.0f), "0");
  EXPECT_EQ(win_format_single(80.0f), "80");
}

TEST(NumberForms, DoubleIsShortestWithSixteenDigits) {
  EXPECT_EQ(win_format_double(0.1), "0.1");
  EXPECT_EQ(win_format_double(0.1 + 0.2), "0.3");  // needs 17 digits to be exact
  EXPECT_EQ(win_format_double(1.0 / 3.0), "0.3333333333333333");
  EXPECT_EQ(win_format_double(123456789012.5), "123456789012.5");
  EXPECT_EQ(win_format_double(1e20), "1e+20");
  EXPECT_EQ(win_format_double(-42.0), "-42");
  EXPECT_EQ(win_format_double(0.00001), "0.00001");
  EXPECT_EQ(win_format_double(0.000001), "1e-06");
}

TEST(NumberForms, PictureGivesFixedDecimalsRounded) {
  EXPECT_EQ(win_format_using("#.###", 2.71828), "2.718");
  EXPECT_EQ(win_format_using("#.###", 2.71858), "2.719");
  EXPECT_EQ(win_format_using("#.###", 9.99971), "10.000");
  EXPECT_EQ(win_format_using("#.##", 0.5), "0.50");
  EXPECT_EQ(win_format_using("#.##", -1.23456), "-1.23");
  EXPECT_EQ(win_format_using("#.##", -0.001), "0.00");
  EXPECT_EQ(win_format_using("###", 2.6), "3");
  EXPECT_EQ(win_format_using("f=##.# Hz", 12.345), "f=12.3 Hz");
}

// ---------------------------------------------------------------------------
// Drawing and the clip rectangle

TEST_F(Window, ClipRectangleLimitsDrawingTextAndClear) {
  win_color(0xFFFFFF, 0x0000FF);
  win_locate(1, 1);
  win_print("AAAA");
  win_set_clip(10, 10, 19, 19);
  win_line(0, 0, 343, 92, 0xFF0000, kWinFilledBox);
  EXPECT_EQ(count_color(0, 0, 343, 92, 0xFF0000), 100);
  EXPECT_EQ(count_color(10, 10, 19, 19, 0xFF0000), 100);

  win_color(0xFFFFFF, 0x00FF00);
  win_clear();
  EXPECT_EQ(count_color(0, 0, 343, 92, 0x00FF00), 100);
  EXPECT_EQ(win_cell_char(1, 1), 'A');  // cell (1,1) lies outside the clip
  EXPECT_EQ(win_cell_char(2, 2), ' ');

  win_locate(1, 3);
  win_print("B");  // cell x 16..23, y 0..7: wholly outside
  EXPECT_EQ(win_cell_char(1, 3), 'A');

  win_reset_clip();
  win_line(0, 0, 343, 92, 0xFF0000, kWinFilledBox);
  EXPECT_EQ(count_color(0, 0, 343, 92, 0xFF0000), 344 * 93);
}

TEST_F(Window, ClipCornersMayComeInAnyOrderAndBeyondTheWindow) {
  win_set_clip(400, 100, 300, -50);
  win_line(0, 0, 343, 92, 0xFF0000, kWinFilledBox);
  EXPECT_EQ(count_color(0, 0, 343, 92, 0xFF0000), 44 * 93);

  win_set_clip(350, 0, 400, 92);  // wholly right of the window
  win_color(0xFFFFFF, 0x00FF00);
  win_clear();
  win_locate(1, 43);
  win_print("Q");
  EXPECT_EQ(count_color(0, 0, 343, 92, 0x00FF00), 0);
  EXPECT_EQ(win_cell_char(1, 43), ' ');
}

TEST_F(Window, BoxOutlineAndLine) {
  win_line(205, 32, 333, 41, 0x00FF00, kWinBox);
  EXPECT_EQ(win_read_pixel(205, 32), 0x00FF00u);
  EXPECT_EQ(win_read_pixel(333, 41), 0x00FF00u);
  EXPECT_EQ(win_read_pixel(250, 36), 0u);
  EXPECT_EQ(count_color(0, 0, 343, 92, 0x00FF00), 2 * 129 + 2 * 8);

  win_line(205, 41, 333, 32, 0xFFFFFF);
  EXPECT_EQ(win_read_pixel(205, 41), 0xFFFFFFu);
  EXPECT_EQ(win_read_pixel(333, 32), 0xFFFFFFu);
  EXPECT_EQ(count_color(0, 0, 343, 92, 0xFFFFFF), 129);  // one pixel per column
}

TEST_F(Window, CirclesFilledAndOutlined) {
  win_circle(50, 50, 5, 0xFF0000, true);
  EXPECT_EQ(win_read_pixel(50, 50), 0xFF0000u);
  EXPECT_EQ(win_read_pixel(55, 50), 0xFF0000u);
  EXPECT_EQ(win_read_pixel(50, 45), 0xFF0000u);
  EXPECT_EQ(win_read_pixel(56, 50), 0u);
  EXPECT_EQ(win_read_pixel(55, 55), 0u);

  win_circle(100, 50, 5, 0x00FF00, false);
  EXPECT_EQ(win_read_pixel(100, 50), 0u);
  EXPECT_EQ(win_read_pixel(105, 50), 0x00FF00u);
  EXPECT_EQ(win_read_pixel(95, 50), 0x00FF00u);
  // An outline is closed: each of the 11 rows it spans has a left and right edge.
  for (int y = 45; y <= 55; y++) EXPECT_GE(count_color(94, y, 106, y, 0x00FF00), 1) << y;

  win_circle(0, 0, 5, 0x0000FF, true);  // partly outside: clipped, no fault
  EXPECT_EQ(win_read_pixel(0, 0), 0x0000FFu);
}

// ---------------------------------------------------------------------------
// Images

WinImage* numbered_image(int w, int h) {
  WinImage* image = win_image_create(w, h);
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) image->pixels[(size_t)y * w + x] = (uint32_t)(0x010000 * (y + 1) + x + 1);
  return image;
}

TEST_F(Window, PutImageIsClippedAtTheWindowEdges) {
  WinImage* image = numbered_image(10, 10);
  win_put_image(-5, -3, image);
  EXPECT_EQ(win_read_pixel(0, 0), 0x040006u);  // image pixel (5, 3)
  EXPECT_EQ(win_read_pixel(4, 6), 0x0A000Au);  // image pixel (9, 9)
  EXPECT_EQ(win_read_pixel(5, 0), 0u);

  win_put_image(340, 90, image);
  EXPECT_EQ(win_read_pixel(343, 92), 0x030004u);  // image pixel (3, 2)
  win_image_destroy(image);
}

TEST_F(Window, PutImageRespectsClipAndPart) {
  WinImage* image = numbered_image(10, 10);
  win_set_clip(0, 0, 343, 92);
  win_set_clip(22, 22, 25, 25);
  win_put_image(20, 20, image);
  EXPECT_EQ(win_read_pixel(21, 21), 0u);
  EXPECT_EQ(win_read_pixel(22, 22), 0x030003u);
  EXPECT_EQ(win_read_pixel(26, 26), 0u);
  win_reset_clip();

  win_put_image_part(100, 50, image, 8, 8, 5, 5);  // only 2 x 2 exist
  EXPECT_EQ(win_read_pixel(100, 50), 0x090009u);
  EXPECT_EQ(win_read_pixel(101, 51), 0x0A000Au);
  EXPECT_EQ(win_read_pixel(102, 50), 0u);
  win_image_destroy(image);
}

TEST(Images, DrawingIntoAnImageStaysInside) {
  WinImage* image = win_image_create(20, 20);
  ASSERT_NE(image, nullptr);
  win_image_circle(image, 18, 10, 5, 0xFF0000, true);
  win_image_line(image, -10, 0, 30, 0, 0x00FF00);
  EXPECT_EQ(image->pixels[10 * 20 + 18], 0xFF0000u);
  EXPECT_EQ(image->pixels[10 * 20 + 13], 0xFF0000u);
  EXPECT_EQ(image->pixels[19], 0x00FF00u);
  EXPECT_EQ(win_image_create(0, 5), nullptr);
  win_image_destroy(image);
}

TEST(Images, LoadsA24BitBmpIntoTheOverlap) {
  std::string path = ::testing::TempDir() + "qd_window_test.bmp";
  ASSERT_TRUE(write_bmp24(path, 3, 2, {0xFF0000, 0x00FF00, 0x0000FF, 0x123456, 0xFFFFFF, 0x000001}));
  WinImage* image = win_image_create(4, 4);
  for (uint32_t& p : image->pixels) p = 0xABCDEF;
  ASSERT_TRUE(win_image_load_bmp(image, path.c_str()));
  EXPECT_EQ(image->pixels[0], 0xFF0000u);
  EXPECT_EQ(image->pixels[1], 0x00FF00u);
  EXPECT_EQ(image->pixels[2], 0x0000FFu);
  EXPECT_EQ(image->pixels[3], 0xABCDEFu);  // beyond the picture: unchanged
  EXPECT_EQ(image->pixels[4], 0x123456u);
  EXPECT_EQ(image->pixels[6], 0x000001u);
  EXPECT_EQ(image->pixels[8], 0xABCDEFu);

  WinImage* small = win_image_create(2, 1);
  ASSERT_TRUE(win_image_load_bmp(small, path.c_str()));
  EXPECT_EQ(small->pixels[1], 0x00FF00u);
  win_image_destroy(small);
  win_image_destroy(image);
  std::remove(path.c_str());
}

TEST(Images, BmpSizeFromTheHeaderAlone) {
  auto header = [](uint32_t info_size, int32_t w, int32_t h) {
    std::vector<uint8_t> d(26, 0);
    d[0] = 'B';
    d[1] = 'M';
    auto le = [&](int at, uint32_t v, int bytes) { for (int i = 0; i < bytes; i++) d[at + i] = (uint8_t)(v >> (8 * i)); };
    le(14, info_size, 4);
    if (info_size == 12) {
      le(18, (uint32_t)w, 2);
      le(20, (uint32_t)h, 2);
    } else {
      le(18, (uint32_t)w, 4);
      le(22, (uint32_t)h, 4);
    }
    return d;
  };
  struct Case {
    std::vector<uint8_t> data;
    bool ok;
    int w, h;
  };
  std::vector<Case> cases = {
      {header(40, 700, 148), true, 700, 148},  {header(40, 64, -67), true, 64, 67},  // top-down rows
      {header(12, 5000, 5000), true, 5000, 5000}, {header(40, 0, 5), false, 0, 0},
      {header(40, 5, INT32_MIN), false, 0, 0},     {std::vector<uint8_t>(25, 'B'), false, 0, 0},
  };
  cases.push_back({header(40, 700, 148), false, 0, 0});
  cases.back().data[1] = 'X';  // not "BM"
  for (size_t i = 0; i < cases.size(); i++) {
    int w = 0, h = 0;
    EXPECT_EQ(win_bmp_header_size(cases[i].data.data(), cases[i].data.size(), &w, &h), cases[i].ok) << i;
    if (cases[i].ok) {
      EXPECT_EQ(w, cases[i].w) << i;
      EXPECT_EQ(h, cases[i].h) << i;
    }
  }
  EXPECT_FALSE(win_bmp_size("/nonexistent/piano.bmp", nullptr, nullptr));
  EXPECT_FALSE(win_bmp_size("/", nullptr, nullptr));  // not a regular file
}

TEST(Images, MissingOrBrokenFileLeavesTheImageUnchanged) {
  WinImage* image = win_image_create(2, 2);
  for (uint32_t& p : image->pixels) p = 0x445566;
  EXPECT_FALSE(win_image_load_bmp(image, "/nonexistent/piano.bmp"));
  std::string path = ::testing::TempDir() + "qd_window_broken.bmp";
  FILE* out = std::fopen(path.c_str(), "wb");
  std::fputs("BMnot really a bitmap", out);
  std::fclose(out);
  EXPECT_FALSE(win_image_load_bmp(image, path.c_str()));
  for (uint32_t p : image->pixels) EXPECT_EQ(p, 0x445566u);
  EXPECT_FALSE(win_image_load_bmp(nullptr, path.c_str()));
  std::remove(path.c_str());
  win_image_destroy(image);
}

// ---------------------------------------------------------------------------
// Keys and mouse

TEST_F(Window, ScriptedKeysArriveInOrderAndNeverBlock) {
  EXPECT_EQ(win_poll_key(), "");
  win_push_key("m");
  win_push_key(ext(kScanClose));
  EXPECT_EQ(win_poll_key(), "m");
  EXPECT_EQ(win_poll_key(), ext(107));
  EXPECT_EQ(win_poll_key(), "");

  win_push_key("A");
  win_push_key(ext(kScanUp));
  win_push_key(ext(kScanClose));
  EXPECT_EQ(win_poll_key_code(), 65);
  EXPECT_EQ(win_poll_key_code(), 256 + 72);
  EXPECT_EQ(win_poll_key_code(), 363);
  EXPECT_EQ(win_poll_key_code(), 0);

  win_headless_set_key_down(kScanLeftShift, true);
  EXPECT_TRUE(win_key_down(42));
  EXPECT_FALSE(win_key_down(kScanF1));
  win_headless_set_key_down(kScanLeftShift, false);
  EXPECT_FALSE(win_key_down(42));
  EXPECT_FALSE(win_key_down(-1));
  EXPECT_FALSE(win_key_down(999));
}

TEST_F(Window, MouseFailureReportsMinusOnes) {
  int x = 7, y = 7, wheel = 7, buttons = 7;
  win_headless_remove_mouse();
  EXPECT_FALSE(win_mouse(&x, &y, &wheel, &buttons));
  EXPECT_EQ(x, -1); EXPECT_EQ(y, -1); EXPECT_EQ(wheel, -1); EXPECT_EQ(buttons, -1);

  win_headless_set_mouse(210, 35, 3, 1);
  EXPECT_TRUE(win_mouse(&x, &y, &wheel, &buttons));
  EXPECT_EQ(x, 210); EXPECT_EQ(y, 35); EXPECT_EQ(wheel, 3); EXPECT_EQ(buttons, 1);

  win_headless_set_mouse(344, 35, 0, 2);  // just right of the window
  EXPECT_FALSE(win_mouse(&x, &y, &wheel, &buttons));
  EXPECT_EQ(x, -1); EXPECT_EQ(buttons, -1);
  EXPECT_FALSE(win_mouse(nullptr, nullptr, nullptr, nullptr));
}

// ---------------------------------------------------------------------------
// Window state

TEST_F(Window, TitlePositionAndReopen) {
  win_set_title(std::string(200, 't').c_str());
  EXPECT_EQ(win_get_title().size(), 127u);
  win_set_position(17, 23);
  int x = 0, y = 0;
  win_get_position(&x, &y);
  EXPECT_EQ(x, 17);
  EXPECT_EQ(y, 23);

  win_set_clip(0, 0, 10, 10);
  win_locate(4, 4);
  win_print("old");
  ASSERT_TRUE(win_open(700, 241));  // a reopening starts afresh
  EXPECT_EQ(win_text_columns(), 87);
  EXPECT_EQ(win_cell_char(4, 4), ' ');
  EXPECT_EQ(win_cursor_row(), 1);
  win_line(0, 0, 699, 240, 0x123456, kWinFilledBox);
  EXPECT_EQ(count_color(0, 0, 699, 240, 0x123456), 700 * 241);
}

TEST(Timer, RunsForwardInSeconds) {
  double a = win_timer();
  win_sleep_ms(20);
  double b = win_timer();
  EXPECT_GE(b - a, 0.019);
  EXPECT_LT(b - a, 5.0);
}

TEST(Closed, CallsWithoutAWindowAreHarmless) {
  win_use_headless(true);
  win_close();
  win_print("nothing");
  win_clear();
  win_line(0, 0, 10, 10, 0xFFFFFF, kWinFilledBox);
  win_put_image(0, 0, nullptr);
  EXPECT_EQ(win_read_pixel(0, 0), 0u);
  EXPECT_FALSE(win_mouse(nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(win_cell_char(1, 1), 0);
}

}  // namespace
