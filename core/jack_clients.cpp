// SPDX-License-Identifier: GPL-3.0-or-later
// The process's one count of JACK clients, exported so that the output
// plug-in, loaded at run time, finds it by name.
#include "core/jack_clients.h"

extern "C" {
__attribute__((visibility("default"))) JackClients qd_jack_clients;
}
