#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The real program in its real window: started from a copy of the run folder
# on the test display ($DISPLAY, with a JACK server running), it must reach
# the key loop (engine line, sample loading, status screen), switch sets with
# N and B, and end with Esc, status 0 and both settings files written. When
# the engine cannot start, it must say so, wait for a key and end with status 1.
#
# usage: test_window.sh RUN_DIR BUILD_DIR   (screenshots go to BUILD_DIR/screenshots)
# Each step below is one function, so further checks are one line each.
set -uo pipefail
source "$(dirname "$0")/window_lib.sh" "$@"

# The set the N key goes to from set 0: the first complete set 1..14, else 0.
next_set_after_zero() {
  local s n
  for s in $(seq 1 14); do
    for n in 12 24 36 48 60 72 84 96 108; do
      [ -f "$work/sounds/piano${s}_$n.mp3" ] || [ -f "$work/sounds/piano${s}_$n.wav" ] || continue 2
    done
    echo "$s"; return
  done
  echo 0
}

# A set's name on the status screen: "piano" for set 0, "piano+5" when
# sounds/layers.txt gives it set 5 as its loud layer (velocity layers are on
# by default).
prefix_of() {
  if [ "$1" -ne 0 ]; then echo "piano$1"; return; fi
  local loud
  loud=$(awk '$1 == "0" && NF >= 4 { print $2; exit }' "$work/sounds/layers.txt" 2>/dev/null || true)
  if [ -n "$loud" ] && { [ -f "$work/sounds/piano${loud}_60.mp3" ] || [ -f "$work/sounds/piano${loud}_60.wav" ]; }; then
    echo "piano+$loud"
  else
    echo piano
  fi
}

# ---- scenarios ----

# Start-up reaches the key loop (or, without any output device, the engine
# failure), N and B switch sets, Esc saves and ends.
scenario_start_keys_exit() {
  copy_run_folder
  start_program
  local deadline=$((SECONDS + 30))
  until grep -qE '^plugout=|No free playback driver found!' "$work/out.txt"; do
    [ "$SECONDS" -ge "$deadline" ] && fail "neither the engine line nor the engine failure appeared"
    kill -0 "$prog_pid" 2>/dev/null || fail "program ended during start-up"
    dismiss_notices
    sleep 0.2
  done
  wait_window
  screenshot start

  if grep -qF 'No free playback driver found!' "$work/out.txt"; then
    echo "engine could not start: checking the fatal path"
    expect_fatal_key_ends
    return
  fi

  expect_text "loading sound files..."
  expect_text "[B]prev [N]next $(prefix_of 0)  / [I][O]type="
  expect_text "[P]presets  [M]midi"
  screenshot key_loop

  local next
  next=$(next_set_after_zero)
  if [ "$next" -ne 0 ]; then
    send_key n
    expect_text "loading sound files..." 2
    expect_text "[B]prev [N]next $(prefix_of "$next")  / [I][O]type="
    screenshot set_$next
    send_key b
    expect_text "loading sound files..." 3
    expect_text "[B]prev [N]next $(prefix_of 0)  / [I][O]type=" 2
  else
    # Only set 0: N keeps the loaded waves and only remakes the sounds.
    send_key n
    expect_text "[B]prev [N]next $(prefix_of 0)  / [I][O]type=" 2
    [ "$(grep -cF 'loading sound files...' "$work/out.txt")" -eq 1 ] || fail "set 0 was loaded again"
  fi

  # M with every prompt confirmed unchanged restarts the engine and reloads.
  local loads
  loads=$(grep -cF 'loading sound files...' "$work/out.txt")
  send_key m
  answer_with_enter 8
  expect_text "plugout=" 2
  expect_text "loading sound files..." $((loads + 1))
  # Drawn at start, after B, when the prompts close and after the restart.
  expect_text "[B]prev [N]next $(prefix_of 0)  / [I][O]type=" 4
  screenshot after_midi_prompt

  # L: set 0 without its loud layer, then with it again (loaded anew); the
  # setting is saved off.
  local layered=0
  if [ "$(prefix_of 0)" != piano ]; then
    layered=1
    send_key l
    expect_text "[B]prev [N]next piano  / [I][O]type=" 1
    send_key l
    expect_text "[B]prev [N]next $(prefix_of 0)  / [I][O]type=" 5
    send_key l
    expect_text "[B]prev [N]next piano  / [I][O]type=" 2
  fi

  send_last_key Escape
  expect_exit 0
  [ "$layered" = 0 ] || expect_line quillon_darvo.ini 2102 " 0"
  expect_settings_file quillon_darvo.ini
  expect_settings_file quillon_darvo_backup.ini
  # Ended in the full view: the compact view's position is stored, unchanged.
  expect_line quillon_darvo.ini 2 " 400"
  expect_line quillon_darvo.ini 3 " 300"
  expect_line quillon_darvo.ini 2086 " 1"
  echo "ok: key loop reached, sets switched, Esc saved both settings files"
}

# A fatal start-up text stays until a key; then status 1 and no settings.
expect_fatal_key_ends() {
  sleep 0.5
  kill -0 "$prog_pid" 2>/dev/null || fail "program did not wait for a key"
  # A key typed before the text appeared would be discarded; this one comes
  # after it and ends the program.
  send_last_key space
  expect_exit 1
  [ ! -f "$work/quillon_darvo.ini" ] || fail "settings written after a fatal error"
}

# No output plug-in at all: the engine cannot start.
scenario_no_plugins() {
  copy_run_folder
  rm -f "$work"/plug-*.so
  start_program
  expect_text "No free playback driver found!"
  wait_window
  screenshot no_plugins
  expect_fatal_key_ends
  echo "ok: without plug-ins the engine failure is shown, a key ends with status 1"
}

# No sound device: without the device plug-in the engine's last attempt takes
# the file device, which names itself on the engine line and records.
scenario_file_device() {
  copy_run_folder
  rm -f "$work"/plug-rtaudio.so
  start_program
  expect_text "plugout=WAV file output /recording.wav / 44100 3*2048"
  expect_text "[B]prev [N]next $(prefix_of 0)  / [I][O]type="
  wait_window
  send_last_key Escape
  expect_exit 0
  [ "$(head -c 4 "$work/recording.wav" 2>/dev/null)" = RIFF ] || fail "no recording.wav from the file device"
  echo "ok: without a sound device the file device is chosen and named"
}

# No JACK server and no sound card, but the device plug-in present: it fails,
# is unloaded, and the file device takes over. The device library's hooks in
# the JACK client library must not outlive it: the MIDI ports open JACK
# clients afterwards.
scenario_device_plugin_fails() {
  copy_run_folder
  JACK_DEFAULT_SERVER=qd_no_such_server_$$ start_program
  expect_text "plugout=WAV file output /recording.wav / 44100 3*2048"
  expect_text "[B]prev [N]next $(prefix_of 0)  / [I][O]type="
  wait_window
  send_last_key Escape
  expect_exit 0
  echo "ok: a device plug-in that cannot open a device is unloaded safely"
}

# Without a display, or with one that does not answer, the program says so
# on standard error and ends with 1 (it never runs unseen on an offscreen
# driver, waiting for keys nobody can type).
scenario_no_display() {
  local silent=200 status
  while [ -e "/tmp/.X11-unix/X$silent" ]; do silent=$((silent + 1)); done
  for display in "" ":$silent"; do
    copy_run_folder
    status=0
    (cd / && exec timeout 20 env -u WAYLAND_DISPLAY -u SDL_VIDEODRIVER DISPLAY="$display" "$work/quillon_darvo") \
      >"$work/out.txt" 2>"$work/err.txt" </dev/null || status=$?
    [ "$status" -eq 1 ] || fail "display '$display': status $status, expected 1"
    [ -s "$work/err.txt" ] || fail "display '$display': nothing on standard error"
    [ ! -f "$work/quillon_darvo.ini" ] || fail "display '$display': settings written"
  done
  echo "ok: without a display or with a silent one: $(tail -n 1 "$work/err.txt")"
}

# A program in a bin/ folder without sounds/ is an installed one: without
# its share/quillon_darvo/ it says so and ends with 1 before any window.
scenario_no_data_folder() {
  copy_run_folder
  mkdir -p "$work/opt/bin"
  cp "$work/quillon_darvo" "$work/opt/bin/"
  local status=0
  (cd / && exec timeout 20 "$work/opt/bin/quillon_darvo") >"$work/out.txt" 2>"$work/err.txt" </dev/null || status=$?
  [ "$status" -eq 1 ] || fail "status $status without a data folder, expected 1"
  grep -qF "quillon_darvo: missing $work/opt/share/quillon_darvo/sounds/" "$work/err.txt" ||
    fail "no clear error without a data folder"
  echo "ok: without a data folder: $(cat "$work/err.txt")"
}

# ---- the full view ----

# Picture x of the dot of white key number $1 (keys 9, 11, 12, 14, ...).
white_dot_x() {
  local key=9 b=0 steps=(2 1 2 2 1 2 2)
  while [ "$key" -lt "$1" ]; do key=$((key + steps[b % 7])); b=$((b + 1)); done
  echo $(( (29 * 104 + (2 * b + 1) * 639 + 52) / 104 ))  # 29 + (b + 0.5) x 639 / 52, rounded
}

# The loudest sample of the recording (16-bit, after the 44-byte header).
loudest_recorded() {
  od -An -t d2 -v -j 44 "$work/recording.wav" | tr -s ' ' '\n' |
    awk 'BEGIN {m = 0} {v = $1 < 0 ? -$1 : $1; if (v > m) m = v} END {print m}'
}

# Start in the full view: pictures, slider and meter where they belong; the
# hover frame; a right click to the compact view and back at the same place;
# notes from the piano picture and F1 (red dots while they sound, the
# recording has them); a thumbnail's preset loads; P then S saves a preset
# through the in-window file name prompt.
scenario_full_view() {
  copy_run_folder
  rm -f "$work"/plug-rtaudio.so  # the file device records what is played
  start_program PATH=/nonexistent  # no zenity: the file dialog asks in the window
  expect_text "[P]presets  [M]midi"
  wait_window
  sleep 1
  screenshot full_view
  expect_not_black 100 $((94 + 127)) "piano picture"
  expect_not_black 382 40 "thumbnail"
  expect_pixel 206 36 00ff00 "master-level slider"
  expect_pixel 205 32 9bffff "slider outline"
  expect_pixel 4 36 00ff00 "level meter bar"
  expect_pixel 69 36 0000fa "level meter background"
  xdotool mousemove --window "$win" 565 30
  sleep 0.5
  expect_pixel 570 7 ff0000 "hover frame"

  local before
  before=$(window_geometry)
  click_at 200 200 3
  sleep 1.5
  [ "$(xdotool getwindowgeometry "$win" | awk '/Geometry/ {print $2}')" = 344x93 ] || fail "right click did not show the compact view"
  click_at 100 50 3
  sleep 1.5
  [ "$(window_geometry)" = "$before" ] || fail "the full view came back at $(window_geometry), not $before"
  expect_text "[P]presets  [M]midi" 3

  # A white key held with the mouse, then F1 (key 48): a red dot while each sounds.
  local x48 x60
  x48=$(white_dot_x 48)
  x60=$(white_dot_x 60)
  xdotool mousemove --window "$win" "$x60" 215 mousedown 1
  sleep 0.4
  expect_pixel "$x60" 220 ff0000 "mouse note dot"
  xdotool mouseup 1
  sleep 0.5
  xdotool mousemove --window "$win" 100 50 keydown --window "$win" F1
  sleep 0.4
  expect_pixel "$x48" $((94 + 127)) ff0000 "F1 note dot"
  xdotool keyup --window "$win" F1
  sleep 0.5
  [ "$(pixel "$x48" $((94 + 127)))" != ff0000 ] || fail "the F1 dot stays after the key is up"

  # The thumbnail at x 350 is granpiano1, whose set (1) is not the loaded one.
  local loads
  loads=$(grep -cF 'loading sound files...' "$work/out.txt")
  click_at 360 30
  expect_text "loading sound files..." $((loads + 1))
  expect_text "[B]prev [N]next piano1  / [I][O]type="
  [ "$(xdotool getwindowname "$win")" = "quillon_darvo    granpiano1.preset" ] ||
    fail "title after the thumbnail: $(xdotool getwindowname "$win")"
  expect_pixel 360 7 00ff00 "selection frame"

  send_key p
  sleep 1
  send_key s
  sleep 1
  xdotool type --window "$win" mine
  send_key Return
  # No zenity and no fonts for a message box: "save in ... ?" is asked in
  # the window too.
  sleep 0.5
  send_key y
  send_key Return
  local deadline=$((SECONDS + 20))
  until [ -f "$work/save/mine.preset" ]; do
    [ "$SECONDS" -ge "$deadline" ] && fail "the preset was not saved"
    sleep 0.3
  done
  expect_text "notice: preset saved as $work/save/mine.preset"
  expect_settings_file save/mine.preset
  expect_text "[P]presets  [M]midi" 5

  send_last_key Escape
  expect_exit 0
  [ "$(loudest_recorded)" -gt 1000 ] || fail "the recording is silent: the notes were not played"
  echo "ok: full view pictures, frames, slider, meter, mouse and F1 notes, thumbnail preset, saved preset"
}

# Function keys held through many repeats only play notes: F7, F8, F10 and
# F12 (whose scan codes are the letters A, B, D and X) and Shift+F8 leave
# the automatic volume, the set, the delay and the key tone as they were.
scenario_held_function_keys() {
  copy_run_folder
  start_program
  expect_text "[P]presets  [M]midi"
  wait_window
  # Only the window with the focus gets a held key's repeats.
  xdotool mousemove --window "$win" 100 50 windowfocus --sync "$win" || fail "could not focus the window"
  local k
  for k in F7 F8 F10 F12 shift+F8; do
    xdotool keydown "$k" && sleep 1.2 && xdotool keyup "$k" || fail "could not hold $k"
    sleep 0.2
  done
  send_last_key Escape
  expect_exit 0
  expect_line quillon_darvo.ini 1 " 0"
  expect_line quillon_darvo.ini 2055 "0.08"
  expect_line quillon_darvo.ini 2056 " 0"
  expect_line quillon_darvo.ini 2073 " 0"
  [ "$(grep -cF 'loading sound files...' "$work/out.txt")" -eq 1 ] || fail "a held function key changed the set"
  echo "ok: held function keys left the settings as they were"
}

scenario_start_keys_exit
scenario_held_function_keys
scenario_full_view
scenario_no_plugins
scenario_file_device
scenario_device_plugin_fails
scenario_no_display
scenario_no_data_folder
echo "PASS ($notices notice boxes answered)"
