// SPDX-License-Identifier: GPL-3.0-or-later
// The number forms every file format writes and the leading-number
// conversion every reader and prompt uses.
#include <gtest/gtest.h>

#include <cmath>

#include "core/text_number.h"

TEST(NumberForms, RealsAsTheFilesWriteThem) {
  struct Case { double value; int significant; bool blank; const char* text; };
  const Case cases[] = {
      {127.0f, 7, false, "127"},          // no trailing point
      {0.55f, 7, false, "0.55"},
      {0.55f, 7, true, " 0.55"},           // .rev and .keyvol: blank before non-negative
      {-0.3f, 7, true, "-0.3"},
      {0.0f, 7, true, " 0"},
      {1e-05f, 7, false, "1e-05"},
      {123456789.0f, 7, false, "1.234568e+08"},
      {0.08, 16, false, "0.08"},
      {0.1f, 16, false, "0.1000000014901161"},  // a single widened shows its error at 16 digits
  };
  for (const Case& c : cases)
    EXPECT_EQ(real_text(c.value, c.significant, c.blank), c.text) << c.value;
  EXPECT_EQ(signed_int_text(1024), " 1024");
  EXPECT_EQ(signed_int_text(0), " 0");
  EXPECT_EQ(signed_int_text(-3), "-3");
}

TEST(LeadingNumber, TakesTheLongestNumberAtTheStart) {
  struct Case { const char* text; double value; };
  const Case cases[] = {
      {" 1024", 1024},   {"\t-2.5x", -2.5}, {"+.5", 0.5},     {"7.", 7},
      {"1e3", 1000},     {"1e", 1},         {"1e+", 1},       {"2E-2 rest", 0.02},
      {"", 0},           {"abc", 0},        {"-", 0},         {".", 0},
      {"- 5", 0},        {"0x10", 0},       {"1,5", 1},       {"+12.5 dB", 12.5},
      {"-.5", -0.5},     {"3e", 3},
  };
  for (const Case& c : cases) EXPECT_DOUBLE_EQ(leading_number(std::string(c.text)), c.value) << c.text;
  EXPECT_TRUE(std::isinf(leading_number(std::string("1e999"))));
  EXPECT_EQ(finite_leading_number("-1e999"), 0.0);  // prompt answers
  EXPECT_EQ(finite_leading_number("1e999"), 0.0);
  EXPECT_EQ(leading_number("12", 1), 1.0);  // stops at the given size
}

TEST(LeadingNumber, FileValuesAreBoundedBeforeUse) {
  EXPECT_EQ(whole_number(2.5), 2);  // halves to even
  EXPECT_EQ(whole_number(-3.5), -4);
  EXPECT_EQ(whole_number(1e300), 1000000000);
  EXPECT_EQ(whole_number(NAN), -1000000000);
  EXPECT_EQ(single_number(1e300), 3.40282347e+38f);
  EXPECT_EQ(trim_blanks(" \t name.preset \t"), "name.preset");
  EXPECT_EQ(trim_blanks("   "), "");
}
