#!/usr/bin/env bash
# A keyboard plays the real instrument: on a JACK server of its own, the
# keyboard tool opens a virtual MIDI output, the program (a copy of the run
# folder, output through the recording file device) opens it as MIDI input 1,
# the tool plays four notes with pauses, and the recording must hold four
# separate sounds, each lasting its key time plus the note-off delay, and
# silence before the first. Esc then ends the program with status 0.
#
# usage: test_midi_e2e.sh RUN_DIR BUILD_DIR   (needs $DISPLAY and jackd)
set -uo pipefail
run_src=$(cd "${1:?usage: test_midi_e2e.sh RUN_DIR BUILD_DIR}" && pwd)
build_dir=$(cd "${2:?usage: test_midi_e2e.sh RUN_DIR BUILD_DIR}" && pwd)
keyboard_tool="$build_dir/tools/midi_keyboard"

work=$(mktemp -d /tmp/qd_midi_e2e.XXXXXX)
server="qd_midi_e2e_$$"
jackd_pid=""
prog_pid=""
kb_pid=""
cleanup() {
  for pid in "$kb_pid" "$prog_pid"; do
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
      kill "$pid" 2>/dev/null
      wait "$pid" 2>/dev/null
    fi
  done
  if [ -n "$jackd_pid" ]; then
    kill "$jackd_pid" 2>/dev/null
    wait "$jackd_pid" 2>/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  echo "---- program output" >&2; tail -n 40 "$work/out.txt" >&2 2>/dev/null
  echo "---- program errors" >&2; cat "$work/err.txt" >&2 2>/dev/null
  echo "---- keyboard" >&2; cat "$work/kb.txt" >&2 2>/dev/null
  exit 1
}

[ -x "$keyboard_tool" ] || fail "keyboard tool not built: $keyboard_tool"
[ -x "$run_src/quillon_darvo" ] || fail "program not built in $run_src"
ls "$run_src"/sounds/piano_12.mp3 "$run_src"/sounds/piano12.wav >/dev/null 2>&1 ||
  ls "$run_src"/sounds/ | grep -q '^piano' || fail "no sample sets in $run_src/sounds (run scripts/make-assets)"

# A JACK server of our own: the MIDI port list then holds only our keyboard,
# so it is input 1 whatever else runs on the machine.
export JACK_NO_AUDIO_RESERVATION=1 JACK_NO_START_SERVER=1 JACK_DEFAULT_SERVER=$server
jackd --no-realtime -n "$server" -d dummy -r 44100 -p 256 >"$work/jackd.txt" 2>&1 &
jackd_pid=$!
for _ in $(seq 1 50); do jack_lsp >/dev/null 2>&1 && break; sleep 0.2; done
jack_lsp >/dev/null 2>&1 || fail "private jackd did not start: $(cat "$work/jackd.txt")"

# The program folder, recording through the file device: without the
# device plug-in the engine's last attempt takes plug-wav.
mkdir -p "$work/run"
cp -r "$run_src"/. "$work/run"/
rm -f "$work/run"/quillon_darvo*.ini "$work/run"/recording.wav "$work/run"/plug-rtaudio.so

# Notes: key/velocity:held ms, 400 ms of silence between them.
"$keyboard_tool" --client qd_e2e_keyboard --port keys --go "$work/go" --wait 60 --gap 400 --hold 0.5 \
  60/100:300 64/100:300 67/110:300 72/120:500 >"$work/kb.txt" 2>&1 &
kb_pid=$!
for _ in $(seq 1 50); do jack_lsp 2>/dev/null | grep -q '^qd_e2e_keyboard:keys$' && break; sleep 0.1; done
jack_lsp | grep -q '^qd_e2e_keyboard:keys$' || fail "keyboard port did not appear"

(cd / && exec "$work/run/quillon_darvo") >"$work/out.txt" 2>"$work/err.txt" &
prog_pid=$!

# The program has opened the keyboard once its input port is connected to it.
deadline=$((SECONDS + 60))
until jack_lsp -c qd_e2e_keyboard:keys 2>/dev/null | grep -q '^ '; do
  [ "$SECONDS" -ge "$deadline" ] && fail "the program did not connect to the keyboard"
  kill -0 "$prog_pid" 2>/dev/null || fail "program ended during start-up"
  sleep 0.2
done
grep -q 'plugout=' "$work/out.txt" || sleep 1
grep -q 'plugout=' "$work/out.txt" || fail "no engine line"
grep -q 'recording.wav' "$work/out.txt" || fail "the engine does not record into recording.wav"
sleep 1  # a second of silence in the recording before the first note
touch "$work/go"
wait "$kb_pid"
kb_status=$?
kb_pid=""
[ "$kb_status" -eq 0 ] || fail "keyboard tool ended with $kb_status"
grep -q 'played 4 notes' "$work/kb.txt" || fail "keyboard did not play its phrase"
sleep 0.5

win=$(timeout 20 xdotool search --onlyvisible --name '^quillon_darvo' 2>/dev/null | head -n 1)
[ -n "$win" ] || fail "no window"
xdotool key --window "$win" Escape || fail "could not send Esc"
deadline=$((SECONDS + 30))
while kill -0 "$prog_pid" 2>/dev/null; do
  [ "$SECONDS" -ge "$deadline" ] && fail "program did not end after Esc"
  sleep 0.2
done
wait "$prog_pid"
status=$?
prog_pid=""
[ "$status" -eq 0 ] || fail "program ended with status $status"
[ -s "$work/run/recording.wav" ] || fail "no recording"

# Sound segments of the recording (44-byte header, 44.1 kHz stereo 16-bit):
# 10 ms windows whose peak is above 300, runs of them separated by at least
# 150 ms of silence. Each note must sound its held time plus the 80 ms
# note-off delay (give or take a block or two and the window size), and the
# recording must start with silence.
segments=$(od -An -v -t d2 -j 44 "$work/run/recording.wav" | awk '
  { for (i = 1; i <= NF; i++) { v = $i < 0 ? -$i : $i; if (v > peak) peak = v;
      if (++n == 882) { print peak; peak = 0; n = 0 } } }' | awk '
  { if ($1 > 300) { if (start < 0) start = NR; quiet = 0; last = NR }
    else if (start >= 0 && ++quiet >= 15) { print (start - 1) * 10, (last - start + 1) * 10; start = -1 } }
  BEGIN { start = -1 }
  END { if (start >= 0) print (start - 1) * 10, (last - start + 1) * 10 }')
echo "recording segments (start ms, length ms):" $segments
[ "$(echo "$segments" | grep -c .)" -eq 4 ] || fail "expected 4 notes in the recording"
set -- 300 300 300 500
first=1
while read -r at length; do
  [ "$first" -eq 0 ] || [ "$at" -ge 500 ] || fail "sound before the first note (at $at ms)"
  first=0
  want=$(($1 + 80))
  [ "$length" -ge $((want - 60)) ] && [ "$length" -le $((want + 80)) ] ||
    fail "a note lasted $length ms, expected about $want"
  shift
done <<<"$segments"
echo PASS
