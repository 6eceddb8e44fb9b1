#!/usr/bin/env bash
# The real program in its real window: started from a copy of the run folder
# on the test display ($DISPLAY, with a JACK server running), it must reach
# the key loop (engine line, sample loading, status screen), switch sets with
# N and B, and end with Esc, status 0 and both settings files written. When
# the engine cannot start, it must say so, wait for a key and end with status 1.
#
# usage: test_window.sh RUN_DIR BUILD_DIR   (screenshots go to BUILD_DIR/screenshots)
# Each step below is one function, so further checks are one line each.
set -uo pipefail
run_src=$(cd "${1:?usage: test_window.sh RUN_DIR BUILD_DIR}" && pwd)
build_dir=$(cd "${2:?usage: test_window.sh RUN_DIR BUILD_DIR}" && pwd)
shots="$build_dir/screenshots"
mkdir -p "$shots"

work=$(mktemp -d /tmp/qd_window_test.XXXXXX)
prog_pid=""
win=""
# Ends the program if it still runs (and the dialogs it started), by id.
stop_program() {
  [ -n "$prog_pid" ] || return 0
  local child i
  for child in $(pgrep -P "$prog_pid" 2>/dev/null); do kill "$child" 2>/dev/null; done
  kill "$prog_pid" 2>/dev/null
  for i in $(seq 1 20); do
    kill -0 "$prog_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -9 "$prog_pid" 2>/dev/null
  wait "$prog_pid" 2>/dev/null
  prog_pid=""
}
cleanup() {
  stop_program
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  screenshot failure
  echo "---- program output" >&2; cat "$work/out.txt" >&2 2>/dev/null
  echo "---- program errors" >&2; cat "$work/err.txt" >&2 2>/dev/null
  exit 1
}

# A fresh copy of the run folder, without settings from earlier runs.
copy_run_folder() {
  rm -rf "${work:?}"/*
  cp -r "$run_src"/. "$work"/
  rm -f "$work"/quillon_darvo*.ini "$work"/recording.wav
}

# Starts the copy, with the environment changes given as NAME=VALUE. The
# program prints every screen line it writes to standard output as well. It
# is started from another folder: it must find its files by itself.
start_program() {
  : >"$work/out.txt"
  : >"$work/err.txt"
  (cd / && exec env "$@" "$work/quillon_darvo") >"$work/out.txt" 2>"$work/err.txt" &
  prog_pid=$!
}

# Notice boxes (title "notice") are modal: answer each with Enter, as a user
# would. With no MIDI device on the test machine the port cycle shows two.
# Only the boxes of this program (its own or its dialog helpers') are touched,
# as other tests may share the display.
notices=0
seen_notices=" "
dismiss_notices() {
  local pid w
  for pid in "$prog_pid" $(pgrep -P "$prog_pid" 2>/dev/null); do
    for w in $(xdotool search --all --onlyvisible --pid "$pid" --name '^notice$' 2>/dev/null); do
      xdotool windowfocus --sync "$w" 2>/dev/null && xdotool key Return 2>/dev/null
      case "$seen_notices" in
        *" $pid:$w "*) ;;
        *) seen_notices="$seen_notices$pid:$w "; notices=$((notices + 1)) ;;
      esac
    done
  done
}

wait_window() {
  local deadline=$((SECONDS + 30))
  win=""
  while [ -z "$win" ]; do
    [ "$SECONDS" -ge "$deadline" ] && fail "no window appeared"
    win=$(xdotool search --all --onlyvisible --pid "$prog_pid" --name '^quillon_darvo' 2>/dev/null | head -n 1)
    sleep 0.2
  done
}

screenshot() {
  import -window root "$shots/window_$1.png" 2>/dev/null || true
}

send_key() {
  xdotool key --window "$win" "$1" || fail "could not send key $1"
}

# A key that ends the program: the window may be gone before the key's
# release is sent, which is not an error.
send_last_key() {
  xdotool key --window "$win" "$1" 2>/dev/null || true
}

# expect_text TEXT [COUNT] [SECONDS]: the output holds TEXT at least COUNT times.
expect_text() {
  local text=$1 count=${2:-1} deadline=$((SECONDS + ${3:-30}))
  while [ "$(grep -cF -- "$text" "$work/out.txt")" -lt "$count" ]; do
    [ "$SECONDS" -ge "$deadline" ] && fail "not shown (x$count): $text"
    kill -0 "$prog_pid" 2>/dev/null || fail "program ended before showing: $text"
    dismiss_notices
    sleep 0.2
  done
}

# answer_with_enter COUNT: answers COUNT console prompts with Enter alone.
# The prompts print on the screen, not in the output: wait a little for each.
answer_with_enter() {
  local i
  sleep 1
  for i in $(seq 1 "$1"); do
    send_key Return
    sleep 0.2
  done
}

# expect_exit STATUS [SECONDS]
expect_exit() {
  local want=$1 deadline=$((SECONDS + ${2:-30}))
  while kill -0 "$prog_pid" 2>/dev/null; do
    [ "$SECONDS" -ge "$deadline" ] && fail "program did not end"
    dismiss_notices
    sleep 0.2
  done
  wait "$prog_pid"
  local status=$?
  prog_pid=""
  [ "$status" -eq "$want" ] || fail "exit status $status, expected $want"
}

expect_settings_file() {
  [ -f "$work/$1" ] || fail "$1 not written"
  local lines
  lines=$(wc -l <"$work/$1")
  [ "$lines" -eq 2096 ] || fail "$1 has $lines lines, expected 2096"
  [ "$(sed -n 2054p "$work/$1" | tr -d '\r')" = finlist ] || fail "$1: line 2054 is not finlist"
}

# expect_line FILE LINE TEXT
expect_line() {
  local got
  got=$(sed -n "$2p" "$work/$1" | tr -d '\r')
  [ "$got" = "$3" ] || fail "$1 line $2 is '$got', expected '$3'"
}

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

prefix_of() { if [ "$1" -eq 0 ]; then echo piano; else echo "piano$1"; fi; }

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
  expect_text "[B]prev [N]next piano  / [I][O]type="
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
    expect_text "[B]prev [N]next piano  / [I][O]type=" 2
  else
    # Only set 0: N keeps the loaded waves and only remakes the sounds.
    send_key n
    expect_text "[B]prev [N]next piano  / [I][O]type=" 2
    [ "$(grep -cF 'loading sound files...' "$work/out.txt")" -eq 1 ] || fail "set 0 was loaded again"
  fi

  # M with every prompt confirmed unchanged restarts the engine and reloads.
  local loads
  loads=$(grep -cF 'loading sound files...' "$work/out.txt")
  send_key m
  answer_with_enter 7
  expect_text "plugout=" 2
  expect_text "loading sound files..." $((loads + 1))
  # Drawn at start, after B, when the prompts close and after the restart.
  expect_text "[B]prev [N]next piano  / [I][O]type=" 4
  screenshot after_midi_prompt

  send_last_key Escape
  expect_exit 0
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
  expect_text "[B]prev [N]next piano  / [I][O]type="
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
  expect_text "[B]prev [N]next piano  / [I][O]type="
  wait_window
  send_last_key Escape
  expect_exit 0
  echo "ok: a device plug-in that cannot open a device is unloaded safely"
}

# Without any display the program says so on standard error and ends with 1.
scenario_no_display() {
  copy_run_folder
  local status=0
  (cd / && exec env -u DISPLAY -u WAYLAND_DISPLAY "$work/quillon_darvo") \
    >"$work/out.txt" 2>"$work/err.txt" </dev/null || status=$?
  [ "$status" -eq 1 ] || fail "without a display: status $status, expected 1"
  [ -s "$work/err.txt" ] || fail "without a display: nothing on standard error"
  [ ! -f "$work/quillon_darvo.ini" ] || fail "without a display: settings written"
  echo "ok: without a display: $(head -n 1 "$work/err.txt")"
}

# ---- the full view ----

# The colour of pixel (x, y) of the window, as RRGGBB.
pixel() {
  import -window "$win" "$work/view.png" 2>/dev/null || fail "no screenshot of the window"
  convert "$work/view.png" -format "%[hex:p{$1,$2}]" info: 2>/dev/null | cut -c1-6 | tr A-F a-f
}
# expect_pixel X Y RRGGBB [WHAT]
expect_pixel() {
  local got
  got=$(pixel "$1" "$2")
  [ "$got" = "$3" ] || fail "${4:-pixel} at ($1, $2) is $got, expected $3"
}
# expect_not_black X Y WHAT
expect_not_black() {
  [ "$(pixel "$1" "$2")" != 000000 ] || fail "$3 at ($1, $2) is black"
}
window_geometry() { xdotool getwindowgeometry "$win" | awk '/Position|Geometry/ {print $2}' | tr '\n' ' '; }
# The program reads the buttons' state a few times a second, as a hand's
# click lasts: the button stays down a moment.
click_at() {
  xdotool mousemove --window "$win" "$1" "$2" mousedown "${3:-1}" || fail "could not click at ($1, $2)"
  sleep 0.15
  xdotool mouseup "${3:-1}"
}

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

scenario_start_keys_exit
scenario_full_view
scenario_no_plugins
scenario_file_device
scenario_device_plugin_fails
scenario_no_display
echo "PASS ($notices notice boxes answered)"
