// SPDX-License-Identifier: GPL-3.0-or-later
// The piano picture of the full view: the clean picture, its second copy
// with a red dot on every key, the key geometry that places those dots and
// maps mouse positions to keys, and the marks of sounding keys.
//
// Threads: main thread only.
#pragma once

// White keys: white_key_number[b] is the key number of white key b (0..69,
// 9, 11, 12, 14, ...); white_key_index[k] is b for a white key number k
// (0..120) and -1 for a black key or one outside the table.
constexpr int kWhiteKeys = 70;
constexpr int kWhiteKeyIndexSize = 121;
extern int white_key_number[kWhiteKeys];
extern int white_key_index[kWhiteKeyIndexSize];
void fill_white_key_tables();

constexpr int kPianoTop = 94;  // the picture's top row in the full view
constexpr int kPianoWidth = 700;
constexpr int kPianoHeight = 148;
// Keys shown on the picture (88 keys: key numbers 9..96).
constexpr int kFirstPianoKey = 9;
constexpr int kLastPianoKey = 96;
// Picture x of the keys: white keys span x 29..668 (52 keys), the 88 key
// columns of the black-key row x 29..665.
constexpr int kPianoLeft = 29;

// Dot of key number k on the picture (picture coordinates, y from the
// picture's top); set for k = 9..96 by the key geometry, 0 elsewhere.
extern int key_dot_x[128];
extern int key_dot_y[128];

// True when key number k is a black key.
bool is_black_key(int key);

// The key under picture x (30..667) on the white-key row (lower part of
// the keys) or the black-key row; -1 outside the keys.
int piano_key_at(int x, bool white_row);

// Loads the clean picture "bmp/piano.bmp" (once; first full view).
void load_piano_picture();
// Loads the second copy (once), computes the key dots and paints them onto
// it. Needs the white-key tables (fill_white_key_tables).
void load_key_picture_and_geometry();
// The clean picture at (0, 94).
void draw_piano_picture();
// Red dot on a sounding key, or the key as it is without: the 11 x 11 square
// around the key's dot from the dotted or the clean picture. Keys outside
// 9..96 are ignored.
void mark_key_down(int key);
void mark_key_up(int key);

void destroy_piano_pictures();
