// SPDX-License-Identifier: GPL-3.0-or-later
// The pass the waits for the user run.
#include "platform/wait_pass.h"

namespace {

void (*installed_pass)() = nullptr;

}  // namespace

void set_wait_pass(void (*pass)()) { installed_pass = pass; }

void run_wait_pass() {
  if (installed_pass) installed_pass();
}
