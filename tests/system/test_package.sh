#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The Debian package, as a user meets it: scripts/package builds it twice
# with dpkg-buildpackage and both packages have the same bytes, lintian finds
# no error, warning or hardening tag in it, the staged tree the package was
# made from renders, apt-get installs it, and an unprivileged user with a
# fresh home starts quillon_darvo from the PATH on the test display: the
# window appears, H opens the installed help text, P S saves a preset into
# the user's data folder, Esc ends it with status 0 and the settings are in
# ~/.config/quillon_darvo/. quillon_render from the PATH renders a generated
# MIDI file without linking JACK or RtMidi, man shows the pages, the programs
# answer --help and --version, the desktop entry and the catalogue entry pass
# their validators, and a purge leaves no file of the package behind.
#
# Installing needs root (or sudo without a password); otherwise the test is
# skipped (status 77). Run as root, the program runs as the user nobody; run
# with sudo, as the calling user, in a fresh home either way. Runs of this
# test on one machine take turns.
#
# usage: test_package.sh RUN_DIR BUILD_DIR
set -uo pipefail
shot_prefix=package
source "$(dirname "$0")/window_lib.sh" "$@"
root_dir=$(cd "$(dirname "$0")/../.." && pwd)
app_id=org.quillondarvo.QuillonDarvo

if [ "$(id -u)" -eq 0 ]; then
  as_root() { "$@"; }
  user=nobody
  become_user=(setpriv --reuid="$user" --regid="$(id -g "$user")" --clear-groups)
elif sudo -n true 2>/dev/null; then
  as_root() { sudo -n "$@"; }
  user=$(id -un)
  become_user=()
else
  echo "skipped: installing a package needs root or sudo"
  exit 77
fi
apt_get() { as_root env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 -y -qq "$@"; }

exec 9>/tmp/qd-package-test.lock
flock -w 1800 9 || { echo "FAIL: another package test holds the lock" >&2; exit 1; }

home=""
purge() {
  dpkg -s quillon-darvo >/dev/null 2>&1 || return 0
  apt_get purge quillon-darvo >/dev/null 2>&1
}
finish() {
  cleanup
  purge
  [ -n "$home" ] && as_root rm -rf "$home"
}
trap finish EXIT

# One track: middle C for half a second at 480 ticks a quarter (120 bpm).
printf 'MThd\0\0\0\6\0\0\0\1\1\340MTrk\0\0\0\15\0\220\74\144\203\140\200\74\0\0\377\57\0' >"$work/c4.mid"
chmod 0644 "$work/c4.mid"
# Its loudest sample.
peak() { od -An -t d2 -v -j 44 "$1" | tr -s ' ' '\n' | awk '{v = $1 < 0 ? -$1 : $1; if (v > m) m = v} END {print m + 0}'; }

# ---- two packs of the same tree, and lintian ----
purge
# The second pack compiles through ccache, when it is installed.
pack_path=$PATH
[ -d /usr/lib/ccache ] && pack_path=/usr/lib/ccache:$PATH
pack() { PATH=$pack_path "$root_dir/scripts/package" | tail -n 1; }
deb=$(pack)
[ -f "$deb" ] || fail "scripts/package made no package"
first=$(sha256sum "$deb" | cut -d' ' -f1)
deb=$(pack)
second=$(sha256sum "$deb" | cut -d' ' -f1)
echo "package: $deb ($(du -k "$deb" | cut -f1) kB), sha256 $first, then $second"
[ "$first" = "$second" ] || fail "two packs of the same tree differ"
lintian --display-info "$deb" >"$build_dir/lintian.txt" 2>&1
echo "lintian: $(grep -c '^E: ' "$build_dir/lintian.txt") errors, $(grep -c '^W: ' "$build_dir/lintian.txt") warnings," \
  "$(grep -c '^I: ' "$build_dir/lintian.txt") notes (full list in $build_dir/lintian.txt)"
if grep -E '^[EW]: |hardening' "$build_dir/lintian.txt" >&2; then
  fail "lintian reports errors, warnings or hardening tags"
fi

# The staged tree the package was made from runs where it is.
staged=$(dirname "$deb")/src/debian/quillon-darvo
env -i HOME="$work" PATH=/usr/bin:/bin "$staged/usr/bin/quillon_render" "$work/c4.mid" "$work/staged.wav" --quiet ||
  fail "quillon_render of the staged tree failed"
[ "$(peak "$work/staged.wav")" -gt 1000 ] || fail "the staged tree rendered silence"
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print substr($6, 2)}' >"$work/files.txt"

apt_get install "$deb" >"$work/apt.txt" 2>&1 || { cat "$work/apt.txt" >&2; fail "apt-get could not install $deb"; }
plugins=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/quillon_darvo
for f in /usr/bin/quillon_darvo /usr/bin/quillon_render /usr/bin/quillon_make_set $plugins/plug-rtaudio.so \
         /usr/share/quillon_darvo/sounds/piano_60.mp3 /usr/share/quillon_darvo/readme.txt \
         /usr/share/icons/hicolor/256x256/apps/$app_id.png; do
  [ -f "$f" ] || fail "$f is not installed"
done
desktop-file-validate "/usr/share/applications/$app_id.desktop" || fail "the desktop entry does not validate"
appstreamcli validate --no-net "/usr/share/metainfo/$app_id.metainfo.xml" >"$work/appstream.txt" 2>&1 ||
  { cat "$work/appstream.txt" >&2; fail "the catalogue entry does not validate"; }
for program in quillon_darvo quillon_render quillon_make_set; do
  man -P cat "$program" 2>/dev/null | grep -q "^NAME" || fail "man $program shows no page"
  "$program" --version | grep -qE "^$program [0-9]+\.[0-9]+\.[0-9]+$" || fail "$program --version"
  "$program" --help | grep -q "^usage: $program" || fail "$program --help"
done

# ---- an unprivileged user with a fresh home ----
home=$(mktemp -d /tmp/qd_package_home.XXXXXX)
chmod 0755 "$home"
as_root chown "$user" "$home"
# H runs the desktop's xdg-open: a stand-in notes what it was asked to open.
mkdir -p "$work/bin"
printf '#!/bin/sh\necho "$@" >>%s/opened.txt\n' "$home" >"$work/bin/xdg-open"
chmod 0755 "$work" "$work/bin" "$work/bin/xdg-open"
user_env=(env -i HOME="$home" DISPLAY="$DISPLAY" PATH="$work/bin:/usr/local/bin:/usr/bin:/bin" LANG=C.UTF-8
          JACK_NO_START_SERVER=1)
# Each step replaces the one before, so the program keeps the shell's child's id.
start_as_user() { cd "$home" && exec "${become_user[@]}" "${user_env[@]}" "$@"; }
as_root find /tmp -maxdepth 1 -name 'quillon_darvo.*' -user "$user" -exec rm -rf {} +

: >"$work/out.txt"
: >"$work/err.txt"
(start_as_user quillon_darvo) >"$work/out.txt" 2>"$work/err.txt" &
prog_pid=$!
expect_text "[P]presets  [M]midi"
wait_window
screenshot start
hold_on() { sleep "${1:-1}"; dismiss_notices; }
hold_on

send_key h
for _ in $(seq 1 50); do [ -s "$home/opened.txt" ] && break; sleep 0.2; done
[ "$(cat "$home/opened.txt" 2>/dev/null)" = /usr/share/quillon_darvo/readme.txt ] ||
  fail "H opened '$(cat "$home/opened.txt" 2>/dev/null)' instead of the installed readme.txt"

# P S: the save dialog opens in the user's save folder; a name typed there
# and confirmed becomes the preset.
send_key p
hold_on
send_key s
dialog=""
for _ in $(seq 1 100); do
  dialog=$(xdotool search --all --onlyvisible --name '^save preset$' 2>/dev/null | head -n 1)
  [ -n "$dialog" ] && break
  sleep 0.2
done
[ -n "$dialog" ] || fail "no save dialog appeared"
sleep 1
screenshot save_dialog
# Typed into the focused window: the toolkit ignores keys sent to a window.
xdotool windowfocus --sync "$dialog" type --delay 40 mine
sleep 0.3
xdotool key Return
# The confirmation has the same title; OK is its default button.
confirmed=""
for _ in $(seq 1 100); do
  w=$(xdotool search --all --onlyvisible --name '^save preset$' 2>/dev/null | head -n 1)
  if [ -n "$w" ] && [ "$w" != "$dialog" ]; then
    sleep 0.5
    xdotool windowfocus --sync "$w" key Return
    confirmed=1
    break
  fi
  sleep 0.2
done
[ -n "$confirmed" ] || fail "the save was not asked to be confirmed"
preset="$home/.local/share/quillon_darvo/save/mine.preset"
expect_text "preset saved as $preset"
[ "$(stat -c %U "$preset")" = "$user" ] || fail "the preset is not the user's"
# Keys typed while a command runs are dropped: wait for the status screen.
expect_text "[P]presets  [M]midi" 2
hold_on

send_last_key Escape
expect_exit 0
settings="$home/.config/quillon_darvo/quillon_darvo.ini"
[ "$(wc -l <"$settings")" -eq 2102 ] || fail "no settings file in ~/.config/quillon_darvo"
[ -f "$home/.config/quillon_darvo/quillon_darvo_backup.ini" ] || fail "no settings backup"
[ "$(tr -d '\r' <"$settings" | sed -n 2095p)" = mine.preset ] || fail "the settings do not name the saved preset"
if grep -q '^plugout=WAV file output' "$work/out.txt"; then
  [ "$(head -c 4 "$home/.local/share/quillon_darvo/recording.wav")" = RIFF ] ||
    fail "the file device did not record into the user's data folder"
fi
[ -z "$(find /tmp -maxdepth 1 -name 'quillon_darvo.*' -user "$user")" ] ||
  fail "the private scratch folder was left in /tmp"
as_root dpkg --verify quillon-darvo || fail "installed files were changed"
echo "ok: installed program started from the PATH, H, P S and Esc in the user's folders"

# ---- the renderer from the PATH ----
readelf -d /usr/bin/quillon_render | grep -E 'NEEDED.*lib(jack|rtmidi)' && fail "quillon_render links JACK or RtMidi"
(start_as_user quillon_render "$work/c4.mid" c4.wav --quiet) ||
  fail "quillon_render from the PATH failed"
[ "$(head -c 4 "$home/c4.wav")" = RIFF ] || fail "quillon_render wrote no WAV file"
loudest=$(peak "$home/c4.wav")
[ "$loudest" -gt 1000 ] || fail "the rendered note is silent (peak $loudest)"
echo "ok: quillon_render from the PATH rendered the note (peak $loudest)"

# ---- purge ----
apt_get purge quillon-darvo >/dev/null 2>&1 || fail "apt-get could not purge the package"
dpkg -s quillon-darvo >/dev/null 2>&1 && fail "the package is still installed"
left=""
while IFS= read -r f; do [ -e "$f" ] && left="$left $f"; done <"$work/files.txt"
[ -z "$left" ] || fail "files left after the purge:$left"
for d in /usr/share/quillon_darvo $plugins /usr/share/doc/quillon-darvo; do
  [ -e "$d" ] && fail "$d left after the purge"
done
echo "ok: the purge left no file of the package"
