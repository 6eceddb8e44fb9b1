// SPDX-License-Identifier: GPL-3.0-or-later
// Text and number helpers of the file formats and prompts.
#include "core/text_number.h"

#include <cctype>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static bool is_digit(char c) { return isdigit(static_cast<unsigned char>(c)) != 0; }

double leading_number(const char* s, size_t n)
{
  if (!s) return 0.0;
  size_t i = 0;
  while (i < n && (s[i] == ' ' || s[i] == '\t')) i++;
  bool negative = false;
  if (i < n && (s[i] == '+' || s[i] == '-')) {
    negative = s[i] == '-';
    i++;
  }
  size_t start = i;
  int digits = 0;
  while (i < n && is_digit(s[i])) i++, digits++;
  if (i < n && s[i] == '.') {
    i++;
    while (i < n && is_digit(s[i])) i++, digits++;
  }
  if (digits == 0) return 0.0;
  size_t end = i;
  if (i < n && (s[i] == 'e' || s[i] == 'E')) {
    size_t j = i + 1;
    if (j < n && (s[j] == '+' || s[j] == '-')) j++;
    if (j < n && is_digit(s[j])) {
      while (j < n && is_digit(s[j])) j++;
      end = j;
    }
  }
  double value = 0.0;
  auto result = std::from_chars(s + start, s + end, value, std::chars_format::general);
  if (result.ec == std::errc::result_out_of_range) {
    // Too large or too small for a double: strtod gives +-HUGE_VAL or a tiny value.
    std::string digits_only(s + start, end - start);
    value = strtod(digits_only.c_str(), nullptr);
  } else if (result.ec != std::errc()) {
    value = 0.0;
  }
  return negative ? -value : value;
}

double leading_number(const std::string& text) { return leading_number(text.data(), text.size()); }

double finite_leading_number(const std::string& text)
{
  double v = leading_number(text);
  return std::isfinite(v) ? v : 0.0;
}

int whole_number(double v)
{
  if (!(v >= -kWholeNumberLimit)) v = -kWholeNumberLimit;
  if (v > kWholeNumberLimit) v = kWholeNumberLimit;
  return static_cast<int>(std::nearbyint(v));   // halves to even
}

float single_number(double v)
{
  if (!(v >= -FLT_MAX)) v = -FLT_MAX;
  if (v > FLT_MAX) v = FLT_MAX;
  return static_cast<float>(v);
}

std::string signed_int_text(int v)
{
  char b[24];
  snprintf(b, sizeof b, v >= 0 ? " %d" : "%d", v);
  return b;
}

std::string real_text(double v, int significant, bool blank_if_non_negative)
{
  char b[48];
  int n = snprintf(b, sizeof b, "%.*g", significant, v);
  if (n > 0 && n < static_cast<int>(sizeof b) && b[n - 1] == '.') b[n - 1] = 0;
  std::string out = b;
  if (blank_if_non_negative && !std::signbit(v) && !std::isnan(v)) out.insert(out.begin(), ' ');
  return out;
}

std::string trim_blanks(const std::string& s, const char* blanks)
{
  size_t first = s.find_first_not_of(blanks);
  if (first == std::string::npos) return std::string();
  size_t last = s.find_last_not_of(blanks);
  return s.substr(first, last - first + 1);
}
