#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The five editors in the real window: each is opened with its key from the
# status screen, edited with the mouse (xdotool), shown in a screenshot whose
# pixels must hold the edit where the editor draws it, and left with another
# key; the settings file written at exit holds every edited value. And on the
# file device: an equalizer edit made with the mouse while a note sounds is
# recorded from the device block after the edit on.
#
# usage: test_editors.sh RUN_DIR BUILD_DIR   (screenshots go to BUILD_DIR/screenshots)
set -uo pipefail
shot_prefix=editors
source "$(dirname "$0")/window_lib.sh" "$@"

# The editors poll the mouse a few times a second: every step waits a moment.
hold() { sleep "${1:-0.6}"; }
press_at() {  # press_at X Y: move, press, hold, release
  xdotool mousemove --window "$win" "$1" "$2" || fail "could not move to ($1, $2)"
  hold 0.5
  xdotool mousedown 1
  hold 0.8
  xdotool mouseup 1
  hold 0.5
}
drag() {  # drag X1 Y1 X2 Y2 with the left button
  xdotool mousemove --window "$win" "$1" "$2"
  hold 0.5
  xdotool mousedown 1
  hold 0.5
  xdotool mousemove --window "$win" "$3" "$4"
  hold 0.5
  xdotool mouseup 1
  hold 0.5
}
# open_editor SWITCH_KEY EDIT_KEY STATUS_TEXT: switch the feature on, then open its editor.
status_draws=0
open_editor() {
  send_key "$1"
  status_draws=$((status_draws + 1))
  expect_text "$3"
  send_key "$2"
  hold 1
}
leave_editor() {
  xdotool mousemove --window "$win" 600 30
  send_key q
  status_draws=$((status_draws + 1))
  expect_text "[P]presets  [M]midi" "$status_draws"
}

scenario_editors() {
  copy_run_folder
  start_program
  expect_text "[P]presets  [M]midi"
  status_draws=$(grep -cF "[P]presets  [M]midi" "$work/out.txt")
  wait_window
  hold 1

  # Key volume: a drag from (100, 40) to (130, 50) sets keys 35..45.
  open_editor k e "[K]keyvol   [E]edit"
  drag 100 40 130 50
  screenshot keyvol
  expect_pixel 100 40 ffc800 "key 35's point at 146.2"
  expect_pixel 115 45 ffc800 "key 40's point at 124.7"
  expect_pixel 172 44 ffc800 "key 60's point at 127"
  expect_pixel 172 85 ffffff "key 60's white marker"
  leave_editor

  # Equalizer: a press at (172, 30) sets the low band to 893 Hz, 20 log10(4.45) dB.
  open_editor g f "[G]equal  [F]edit"
  press_at 172 30
  screenshot equalizer
  expect_pixel 50 30 ffe100 "the low shelf of the sketch"
  expect_pixel 250 54 ffe100 "the mid line of the sketch, right of the slope down from (172, 30)"
  expect_pixel 200 17 9bffff "the +20 dB line"
  leave_editor

  # Key tone: a press at (173, 30) gives 1.138 f0. (At (172, 30), the last
  # position the equalizer processed, it would be ignored: the editors share it.)
  open_editor x s "[X]keytone  [S]edit"
  press_at 173 30
  screenshot keytone
  expect_pixel 100 30 ffe100 "the key tone's low shelf"
  leave_editor

  # Reverb3 (R three times; keys typed during a command are dropped, so each
  # waits for the screen): slider 1 at x 105 is 500 ms.
  send_key r
  expect_text "[R]reverb1"
  send_key r
  expect_text "[R]reverb2  [T]edit"
  status_draws=$((status_draws + 2))
  open_editor r t "[R]reverb3  [T]edit"
  press_at 105 19
  screenshot reverb
  expect_pixel 104 19 00ff00 "the first slider filled to x 105"
  expect_pixel 108 19 000064 "the first slider empty beyond"
  expect_pixel 100 15 00ff00 "the fill over the outline"
  expect_pixel 150 15 9bffff "the outline"
  leave_editor

  # Key reverb: slider 1 at x 105 is 200 ms, which switches it on at once.
  open_editor y z "[Y]keyrev [Z]edit"
  press_at 105 19
  screenshot keyrev
  expect_pixel 104 19 00ff00 "the first slider filled to x 105"
  expect_pixel 108 19 000064 "the first slider empty beyond"
  leave_editor

  send_last_key Escape
  expect_exit 0
  expect_settings_file quillon_darvo.ini
  expect_line quillon_darvo.ini 5 " 1"              # keyvol_on
  expect_line quillon_darvo.ini 41 "146.2"          # set 0, key 35
  expect_line quillon_darvo.ini 46 "124.7"          # key 40
  expect_line quillon_darvo.ini 51 "103.2"          # key 45
  expect_line quillon_darvo.ini 52 "127"            # key 46 untouched
  expect_line quillon_darvo.ini 2057 " 3"           # reverb_mode
  expect_line quillon_darvo.ini 2060 "500"          # reverb3 Treverb1
  expect_line quillon_darvo.ini 2066 " 1"           # equalizer_on
  expect_line quillon_darvo.ini 2067 "893"          # equalizer lowf
  expect_line quillon_darvo.ini 2069 "4.452959"     # equalizer lowg
  expect_line quillon_darvo.ini 2073 " 1"           # keytone_mode
  expect_line quillon_darvo.ini 2074 "1138"         # key tone lowf
  expect_line quillon_darvo.ini 2076 "4.452959"     # key tone lowg
  expect_line quillon_darvo.ini 2080 " 1"           # keyrev_on
  expect_line quillon_darvo.ini 2083 "200"          # key reverb Treverb1
  echo "ok: five editors opened, edited with the mouse, drawn and saved at exit"
}

# Level (RMS) of each device block of the recording, one a line.
block_levels() {
  od -An -t d2 -v -j 44 "$work/recording.wav" | tr -s ' ' '\n' | awk -v n=$((2 * 2048)) '
    NF { s += $1 * $1; c++; if (c == n) { printf "%.1f\n", sqrt(s / n); s = 0; c = 0 } }'
}
recorded_blocks() { echo $(( ($(stat -c %s "$work/recording.wav") - 44) / (4 * 2048) )); }

# A left press on key 60 of the piano picture plays it while the equalizer
# editor is open (full view); with the button still down the mouse moves to
# (172, 80) on the graph, which cuts the low band (below 893 Hz) by
# 20 log10(0.198) dB. The recording falls by more than half in one block,
# between the blocks written before the move and those written once the
# editor has read it. (The soft grand of set 0 has decayed to a few hundred
# by then; a decaying note loses about an eighth a block.)
scenario_equalizer_recording() {
  copy_run_folder
  rm -f "$work"/plug-rtaudio.so  # the file device records
  start_program
  expect_text "plugout=WAV file output /recording.wav / 44100 3*2048"
  expect_text "[P]presets  [M]midi"
  wait_window
  hold 1
  send_key g
  expect_text "[G]equal  [F]edit"
  send_key f
  hold 1
  xdotool mousemove --window "$win" 404 215 mousedown 1  # key 60's white key
  hold 1
  local before after
  before=$(recorded_blocks)
  xdotool mousemove --window "$win" 172 80
  hold 0.8
  after=$(recorded_blocks)
  xdotool mouseup 1
  hold 0.5
  # Keys typed while the editor closes are dropped: Escape waits for the screen.
  local draws
  draws=$(grep -cF "[P]presets  [M]midi" "$work/out.txt")
  send_key q
  expect_text "[P]presets  [M]midi" "$((draws + 1))"
  send_last_key Escape
  expect_exit 0
  expect_line quillon_darvo.ini 2067 "893"
  local drop
  drop=$(block_levels | awk -v from="$((before - 3))" '
    NR > from && prev > 100 && $1 < 0.5 * prev { print NR - 1; exit } { prev = $1 }')
  [ -n "$drop" ] || fail "the recording never falls by half in one block"
  # The fill of a block may run a block ahead of the file.
  [ "$drop" -ge "$((before - 1))" ] && [ "$drop" -le "$((after + 1))" ] ||
    fail "the level falls at block $drop, not between blocks $before and $after (the edit)"
  echo "ok: the edit is heard from block $drop (edit between blocks $before and $after)"
}

scenario_editors
scenario_equalizer_recording
echo "PASS ($notices notice boxes answered)"
