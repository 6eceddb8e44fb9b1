// SPDX-License-Identifier: GPL-3.0-or-later
// The test plug-in without PLUG_EXIT: the engine must skip it.
#define PLUG_TEST_NO_EXIT
#include "plug_test.cpp"
