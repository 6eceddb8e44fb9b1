# Starts and stops the services the system tests need: a virtual X display
# and a JACK server on its dummy back end. Sourced by scripts/test.
# QD_DISPLAY and JACK_DEFAULT_SERVER choose the display and the server name,
# so several trees can run their system tests side by side. QD_JACKD_LOG names
# the server's log, where the MIDI tests look for late cycles.
QD_DISPLAY=${QD_DISPLAY:-:97}
start_services() {
  Xvfb "$QD_DISPLAY" -screen 0 1280x1024x24 -nolisten tcp >"/tmp/qd-xvfb${QD_DISPLAY#:}.log" 2>&1 &
  QD_XVFB_PID=$!
  export DISPLAY=$QD_DISPLAY
  export JACK_NO_AUDIO_RESERVATION=1 JACK_NO_START_SERVER=1
  export QD_JACKD_LOG="/tmp/qd-jackd${QD_DISPLAY#:}.log"
  jackd --no-realtime -n "${JACK_DEFAULT_SERVER:-default}" -d dummy -r 44100 -p 256 >"$QD_JACKD_LOG" 2>&1 &
  QD_JACKD_PID=$!
  for _ in $(seq 1 50); do
    xdpyinfo -display "$QD_DISPLAY" >/dev/null 2>&1 && jack_lsp >/dev/null 2>&1 && return 0
    sleep 0.2
  done
  echo "services: Xvfb or jackd did not come up" >&2
  cat "/tmp/qd-xvfb${QD_DISPLAY#:}.log" "$QD_JACKD_LOG" >&2
  return 1
}
stop_services() {
  [ -n "${QD_JACKD_PID:-}" ] && kill "$QD_JACKD_PID" 2>/dev/null || true
  [ -n "${QD_XVFB_PID:-}" ] && kill "$QD_XVFB_PID" 2>/dev/null || true
  wait 2>/dev/null || true
}
