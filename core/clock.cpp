// SPDX-License-Identifier: GPL-3.0-or-later
// The program clock.
#include "core/clock.h"

#include <chrono>

double steady_seconds()
{
  static const auto start = std::chrono::steady_clock::now();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double (*program_clock)() = steady_seconds;
