// SPDX-License-Identifier: GPL-3.0-or-later
// The SDL2 display back end of the window layer (library qd_platform_sdl,
// the only part of the program that links SDL). A program that shows a real
// window installs it once at start; without it the window layer runs on its
// headless and framebuffer-only paths.
// Threads: main thread only.
#pragma once
#include <string>

union SDL_Event;

// Makes SDL the window layer's display. Before the first window opens.
void win_install_sdl_display();

// Key code of one SDL event ("" when the event gives none); see
// win_poll_key() for the codes.
std::string sdl_event_key_code(const SDL_Event* event);
// PC set-1 scan code of an SDL scancode, 0 when it has none.
int sdl_scancode_to_set1(int sdl_scancode);
