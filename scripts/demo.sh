#!/usr/bin/env bash
# The appliance's main job on a PC: lays a fresh configuration store under build/demo-root and starts
# what of the appliance has been built, with the virtual devices standing in for the board.
set -euo pipefail
build=${1:-build}
here=$(cd "$(dirname "$0")/.." && pwd)
root="$here/$build/demo-root"
rm -rf "$root"
bash "$here/scripts/mkroot.sh" "$root"
export ENCODE_ROOT="$root"
export ENCODE_VIDEO_SOURCE=${ENCODE_VIDEO_SOURCE:-testsrc}
export ENCODE_AUDIO_SOURCE=${ENCODE_AUDIO_SOURCE:-tone}
echo "configuration store: $root/mnt"

started=0
if [ -x "$here/$build/encode/encode" ]; then
  started=1
  echo "starting encode (Ctrl-C stops it)"
  "$here/$build/encode/encode" "$@" || true
fi
if [ $started -eq 0 ]; then
  echo "the encoder program is not built yet; the configuration store above is what it will read"
fi
