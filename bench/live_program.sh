# SPDX-License-Identifier: GPL-3.0-or-later
# Helpers of the benchmarks that run the live program, sourced by them.

# copy_run_folder SRC DEST: the run folder's files as at a first start (no
# settings, no sample cache), with the file device instead of a sound card
# unless $2 is "device".
copy_run_folder() {
  local item
  for item in "$1"/*; do
    [ "$(basename "$item")" = cache ] || cp -r "$item" "$2"/
  done
  rm -f "$2"/quillon_darvo*.ini
  [ "${3:-}" = device ] || rm -f "$2"/plug-rtaudio.so
}

# answer_notices PID: presses Enter in the notice boxes of the program and
# its children (no MIDI device here; shown by a helper program).
answer_notices() {
  local p w
  for p in "$1" $(pgrep -P "$1"); do
    for w in $(xdotool search --all --onlyvisible --pid "$p" --name '^notice$' 2>/dev/null); do
      xdotool windowfocus --sync "$w" key Return 2>/dev/null
    done
  done
}
