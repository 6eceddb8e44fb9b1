// SPDX-License-Identifier: GPL-3.0-or-later
// Calling convention and visibility of every exported engine, kernel and
// plug-in function: the callee-cleans convention on 32-bit Windows, the
// platform default elsewhere; always exported from the executable, the engine
// library and the plug-ins.
#pragma once

#if defined(_WIN32) && !defined(_WIN64)
#define FBS_CALL __stdcall
#else
#define FBS_CALL
#endif

#define FBS_EXPORT __attribute__((visibility("default")))
