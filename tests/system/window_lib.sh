# SPDX-License-Identifier: GPL-3.0-or-later
# Helpers of the system tests that drive the real program in its window
# (sourced): a fresh copy of the run folder, starting and ending the program,
# answering its notices, keys, screenshots, pixels and the settings file.
# The sourcing script passes its RUN_DIR and BUILD_DIR arguments and may set
# shot_prefix (the screenshots' name prefix) before sourcing.
run_src=$(cd "${1:?usage: $0 RUN_DIR BUILD_DIR}" && pwd)
build_dir=$(cd "${2:?usage: $0 RUN_DIR BUILD_DIR}" && pwd)
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
  import -window root "$shots/${shot_prefix:-window}_$1.png" 2>/dev/null || true
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
  [ "$lines" -eq 2102 ] || fail "$1 has $lines lines, expected 2102"
  [ "$(sed -n 2054p "$work/$1" | tr -d '\r')" = finlist ] || fail "$1: line 2054 is not finlist"
}

# expect_line FILE LINE TEXT
expect_line() {
  local got
  got=$(sed -n "$2p" "$work/$1" | tr -d '\r')
  [ "$got" = "$3" ] || fail "$1 line $2 is '$got', expected '$3'"
}

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
