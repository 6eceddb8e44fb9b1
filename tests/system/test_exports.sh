#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The engine is exported from the executable and from its shared library:
# other programs find the FBS_ entry points and the block kernels by name.
# usage: test_exports.sh RUN_DIR BUILD_DIR
set -u
run_dir=${1:?usage: test_exports.sh RUN_DIR BUILD_DIR}
build_dir=${2:?usage: test_exports.sh RUN_DIR BUILD_DIR}
status=0
check() {  # check FILE SYMBOL...
  local file=$1; shift
  local symbols
  symbols=$(nm -D --defined-only "$file" 2>/dev/null | awk '{ print $3 }')
  for s in "$@"; do
    if ! grep -qx "$s" <<<"$symbols"; then
      echo "FAIL: $file does not export $s"
      status=1
    fi
  done
}
engine_api=(FBS_INIT FBS_START FBS_STOP FBS_EXIT FBS_CREATE_SOUND FBS_PLAY_SOUND
            FBS_PLAY_SOUND_AT FBS_END_SOUND_AT FBS_GET_PLUGCLOCK
            FBS_LOAD_WAVFILE FBS_LOAD_MP3FILE FBS_CREATE_MP3STREAM FBS_SET_RESAMPLEMODE fbs_fill
            MIX16 SCALE16 PAN16 COPYRIGHT32 COPYSLICERIGHT32 ISSSE2 MHZ CPUCOUNTER)
check "$run_dir/quillon_darvo" "${engine_api[@]}"
check "$build_dir/libquillon_engine.so" "${engine_api[@]}"
for plugin in plug-rtaudio plug-wav; do
  check "$run_dir/$plugin.so" PLUG_ISANY PLUG_INIT PLUG_START PLUG_STOP PLUG_EXIT PLUG_ERROR PLUG_LOST
done
[ "$status" -eq 0 ] && echo PASS
exit $status
