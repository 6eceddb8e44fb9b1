# SPDX-License-Identifier: GPL-3.0-or-later
# Starts and stops the services the system tests need: a virtual X display
# and a JACK server on its dummy back end (start_services, stop_services).
# Sourced by scripts/test. start_pipewire and stop_pipewire (below) run a
# desktop's sound server for the tests that need one.
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

# A headless PipeWire session, as a current desktop runs it: pipewire,
# wireplumber and pipewire-pulse (the PulseAudio service) with a null sink,
# qdsink, as the default output. It runs under a private runtime folder and
# a private D-Bus session bus, both exported for its clients in this shell
# (XDG_RUNTIME_DIR, DBUS_SESSION_BUS_ADDRESS), so it never meets another
# session on the machine. Its logs go to $QD_PW_RUNTIME/*.log.
start_pipewire() {
  QD_PW_RUNTIME=$(mktemp -d /tmp/qd-pipewire.XXXXXX)
  export XDG_RUNTIME_DIR=$QD_PW_RUNTIME
  export DBUS_SESSION_BUS_ADDRESS="unix:path=$QD_PW_RUNTIME/bus"
  QD_PW_PIDS=$(dbus-daemon --session --address="$DBUS_SESSION_BUS_ADDRESS" --fork --print-pid)
  local service
  for service in pipewire wireplumber pipewire-pulse; do
    "$service" >"$QD_PW_RUNTIME/$service.log" 2>&1 &
    QD_PW_PIDS="$QD_PW_PIDS $!"
    # wireplumber and the PulseAudio service connect to pipewire's socket.
    [ "$service" = pipewire ] && for _ in $(seq 1 50); do
      [ -S "$QD_PW_RUNTIME/pipewire-0" ] && break
      sleep 0.1
    done
  done
  for _ in $(seq 1 100); do
    pactl info >/dev/null 2>&1 && break
    sleep 0.1
  done
  # The PulseAudio service answers before the session manager has set up
  # the node factories a sink needs ("Not supported" until then).
  local sink=""
  for _ in $(seq 1 50); do
    [ -n "$sink" ] || sink=$(pactl load-module module-null-sink sink_name=qdsink 2>/dev/null) || sink=""
    [ -n "$sink" ] && pactl set-default-sink qdsink 2>/dev/null && return 0
    sleep 0.1
  done
  echo "services: the PipeWire session did not come up" >&2
  tail -n 20 "$QD_PW_RUNTIME"/*.log >&2
  stop_pipewire
  return 1
}
stop_pipewire() {
  local pid
  for pid in ${QD_PW_PIDS:-}; do kill "$pid" 2>/dev/null; done
  for pid in ${QD_PW_PIDS:-}; do
    for _ in $(seq 1 30); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  done
  QD_PW_PIDS=""
  [ -n "${QD_PW_RUNTIME:-}" ] && rm -rf "$QD_PW_RUNTIME"
  QD_PW_RUNTIME=""
}
