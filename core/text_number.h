// SPDX-License-Identifier: GPL-3.0-or-later
// Text and number helpers shared by every file format and prompt: the
// leading-number conversion, the number forms the files are written in,
// trimming and clamping.
#pragma once
#include <cstddef>
#include <string>

// The leading number of a text: blanks and tabs skipped, an optional sign,
// digits with an optional point and exponent; the conversion stops at the
// first character that cannot continue the number, and a text without one
// gives 0. Never NaN; an exponent too large gives +-inf (callers clamp or
// use finite_leading_number). Independent of the locale.
double leading_number(const char* text, size_t size);
double leading_number(const std::string& text);
// The same with +-inf turned into 0 (prompt answers).
double finite_leading_number(const std::string& text);

// Whole numbers read from files are bounded well inside the int range so that
// later arithmetic on them (a step up or down, a sum of two) cannot overflow.
constexpr double kWholeNumberLimit = 1e9;
// A number read from a file as an int: clamped to +-kWholeNumberLimit (NaN
// to the lower end), rounded to nearest with halves to even.
int whole_number(double value);
// A number read from a file as a single: clamped to the float range.
float single_number(double value);

// An int with a blank before a non-negative value and a minus sign before a
// negative one (" 1024", "-3").
std::string signed_int_text(int value);
// A real in the printf form "%.7g" (significant 7, for singles) or "%.16g"
// (16, for doubles), a trailing decimal point removed; with
// blank_if_non_negative a blank before a value that is not negative.
std::string real_text(double value, int significant = 7, bool blank_if_non_negative = false);

// The text without leading and trailing blanks (by default blanks and tabs;
// `blanks` lists the characters to remove).
std::string trim_blanks(const std::string& text, const char* blanks = " \t");

// value clamped to lo..hi.
inline int clamp_int(int value, int lo, int hi) { return value < lo ? lo : (value > hi ? hi : value); }
// The same for a single; NaN gives lo.
inline float clamp_single(float value, float lo, float hi) { return value > lo ? (value < hi ? value : hi) : lo; }
