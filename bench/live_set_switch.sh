#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Set switch time of the live program (B and N keys) with the sample cache
# cold and warm: starts a copy of the run folder (settings as at a first
# start, set 0, the file device instead of a sound card, an empty cache) on
# $DISPLAY, then presses B (set 4, cold), B (set 3, cold), N (set 4, warm)
# and B (set 3, warm), sets 3 and 4 being MP3 sets. For each switch: the time
# from the key to the next status screen, and the set-up within it: from the
# "loading sound files..." line to the next line the program prints, when
# the MIDI ports are opened (the nine loads, the sample pass and the 216
# sounds). The rest is the main loop's fixed pauses (1.1 s) and, on a
# machine without MIDI devices, the two notices about them, which this
# script answers.
# usage: bench/live_set_switch.sh RUN_DIR
set -uo pipefail
run_src=$(cd "${1:?usage: live_set_switch.sh RUN_DIR}" && pwd)
work=$(mktemp -d /tmp/qd_switch.XXXXXX)
trap 'kill "$pid" 2>/dev/null; rm -rf "$work"' EXIT
source "$(dirname "$0")/live_program.sh"
copy_run_folder "$run_src" "$work"

# Every line the program prints, behind the time it arrived (ns).
(cd / && exec "$work/quillon_darvo") 2>&1 |
  while IFS= read -r line; do printf '%s %s\n' "$(date +%s%N)" "$line"; done >"$work/out.txt" &
sleep 0.5
pid=$(pgrep -f "^$work/quillon_darvo" | head -n 1)

screens() { grep -cF "[P]presets  [M]midi" "$work/out.txt"; }
# Waits until the status screen has been drawn more than $1 times, answering
# notice boxes.
wait_screen() {
  for _ in $(seq 1 1200); do
    [ "$(screens)" -gt "$1" ] && return 0
    answer_notices "$pid"
    sleep 0.05
  done
  echo "live_set_switch: no status screen:" >&2
  cat "$work/out.txt" >&2
  exit 1
}
wait_screen 0
sleep 1
window=$(xdotool search --all --onlyvisible --pid "$pid" --name '^quillon_darvo' | head -n 1)

printf '%-6s %-6s %-5s %10s %10s\n' key "to set" cache "total ms" "set-up ms"
for step in "b 4 cold" "b 3 cold" "n 4 warm" "b 3 warm"; do
  read -r key set cache <<<"$step"
  before=$(screens)
  lines=$(wc -l <"$work/out.txt")
  sent=$(date +%s%N)
  xdotool windowfocus --sync "$window" key "$key" 2>/dev/null
  wait_screen "$before"
  tail -n +"$((lines + 1))" "$work/out.txt" >"$work/switch.txt"
  drawn=$(grep -F "[P]presets  [M]midi" "$work/switch.txt" | tail -n 1 | cut -d' ' -f1)
  loading=$(grep -nF "loading sound files..." "$work/switch.txt" | head -n 1)
  [ -n "$loading" ] || { echo "live_set_switch: key $key loaded no set" >&2; exit 1; }
  at=${loading%%:*}
  loaded=$(sed -n "$((at + 1))p" "$work/switch.txt" | cut -d' ' -f1)
  loading=$(sed -n "${at}p" "$work/switch.txt" | cut -d' ' -f1)
  grep -qF "piano$set " "$work/switch.txt" || echo "live_set_switch: the screen does not name piano$set" >&2
  printf '%-6s %-6s %-5s %10d %10d\n' "$key" "$set" "$cache" $(((drawn - sent) / 1000000)) \
    $(((loaded - loading) / 1000000))
  sleep 1
  window=$(xdotool search --all --onlyvisible --pid "$pid" --name '^quillon_darvo' | head -n 1)
done
echo "cache entries after the switches: $(find "$work/cache" -name '*.wave' | wc -l)"
xdotool windowfocus --sync "$window" key Escape 2>/dev/null
wait "$pid" 2>/dev/null
