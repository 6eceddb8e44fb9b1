// SPDX-License-Identifier: GPL-3.0-or-later
// The thumbnail row of the full view: five preset thumbnails of the bank
// `preset_bank` at y 8, x 350..630, the frames that show the hovered slot
// and each bank's selected preset, the "[H]help" label and the bank arrows.
// A click on a thumbnail loads its preset.
//
// Threads: main thread only.
#pragma once

constexpr int kThumbnailTop = 8;
constexpr int kThumbnailWidth = 64;
constexpr int kThumbnailHeight = 67;
constexpr int kThumbnailSlots = 5;
constexpr int kThumbnailX[kThumbnailSlots] = {350, 420, 490, 560, 630};

// Frame colours.
constexpr unsigned kHoverFrame = 0xFF0000;
constexpr unsigned kFactoryFrame = 0x00FF00;
constexpr unsigned kUserFrame = 0xFFFF50;
constexpr unsigned kNoFrame = 0x000000;

// x of the hovered slot, 0 for none.
extern int hovered_thumbnail_x;

// Loads the ten thumbnails "bmp/<name>.bmp" (once; first full view).
void load_thumbnails();
// Draws the thumbnails of the bank `preset_bank`, marks the slots whose
// preset is `preset_name` (preset_factory_mark, preset_user_mark) and frames
// the bank's marked slot.
void draw_thumbnail_row();
// No selection marks (the compact view shows no thumbnails).
void clear_thumbnail_marks();
// The new window shows no hover frame.
void forget_hovered_thumbnail();

// Mouse over the thumbnails: the hover frame follows the mouse; a left click
// selects the slot and returns it (the main loop loads its preset), else -1.
int thumbnail_mouse(int x, int y, int buttons);
// "[H]help" at (351, 85).
void draw_help_label();
// "<" and ">" at (418, 85) and (426, 85), shown while the mouse is near; a
// left click on either switches the bank and asks for the window to be
// rebuilt (app/loop_request.h).
void bank_arrows(int x, int y, int buttons);

void destroy_thumbnails();
