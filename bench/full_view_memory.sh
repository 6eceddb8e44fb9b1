#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Resident size of the instrument after start-up with set 0 in the full view:
# starts a copy of the run folder (settings as at a first start, the file
# device instead of a sound card) on $DISPLAY, waits for the status screen,
# reads /proc/PID/status, and ends the program with Esc. With "device" the
# sound device plug-in stays (JACK's shared memory then counts too); with
# "passes" the key tone and the key reverb are on, so the sample pass makes
# its buffers at start-up.
# usage: bench/full_view_memory.sh RUN_DIR [device] [passes]
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
run_src=$(cd "${1:?usage: full_view_memory.sh RUN_DIR [device] [passes]}" && pwd)
shift
device=0 passes=0
for option in "$@"; do
  case $option in
    device) device=1 ;;
    passes) passes=1 ;;
    *) echo "full_view_memory.sh: unknown option $option" >&2; exit 1 ;;
  esac
done
work=$(mktemp -d /tmp/qd_memory.XXXXXX)
trap 'kill "$pid" 2>/dev/null; rm -rf "$work"' EXIT
source "$root/bench/live_program.sh"
copy_run_folder "$run_src" "$work" "$([ $device = 1 ] && echo device)"
# Settings lines 2073 and 2080: keytone_mode and keyrev_on.
[ $passes = 0 ] ||
  sed -e '2073s/.*/ 1\r/' -e '2080s/.*/ 1\r/' "$root/tests/fuzz/seeds/app_settings/defaults.ini" \
    > "$work/quillon_darvo.ini"
(cd / && exec "$work/quillon_darvo") >"$work/out.txt" 2>&1 &
pid=$!
for _ in $(seq 1 900); do
  grep -qF "[P]presets  [M]midi" "$work/out.txt" && break
  answer_notices "$pid"
  sleep 0.1
done
grep -qF "[P]presets  [M]midi" "$work/out.txt" || { echo "the program did not reach its status screen:"; cat "$work/out.txt"; exit 1; }
sleep 2
grep -E 'VmRSS|RssAnon|RssFile|RssShmem' "/proc/$pid/status"
kb=$(awk '/VmRSS/ {print $2}' "/proc/$pid/status")
# The sample pass's buffer (the unfiltered copy of the nine samples, 16 s of
# stereo each) is made only when a pass needs it; each pass worker adds its
# key reverb lines, sized to the echoes (at most 2 x 3.3 MB).
pass_kb=$(((9 * 1411201 * 2) / 1024))
state=$([ $passes = 1 ] && echo "on: the sample pass buffers are made" || echo "off: the sample pass buffers are not made")
echo "resident: $((kb / 1024)) MB with the key tone and key reverb $state ($((pass_kb / 1024)) MB); target 160 MB"
grep -ciE 'libGL|libLLVM|swrast' "/proc/$pid/maps" | sed 's/^/GL or LLVM mappings: /'
w=$(xdotool search --all --onlyvisible --pid "$pid" --name '^quillon_darvo' | head -n 1)
xdotool windowfocus --sync "$w" key Escape 2>/dev/null
wait "$pid"
