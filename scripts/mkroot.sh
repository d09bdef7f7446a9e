#!/usr/bin/env bash
# Lays a fresh ENCODE_ROOT in DIR from the factory configuration store: DIR/mnt holds what the
# appliance keeps in /mnt, DIR/mnt/dfc the factory copies of the setting files, and the run-time
# directories the programs expect (tmp, dev/shm, the USB recording directory).
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 DIR" >&2; exit 2; }
dir=$1
src=$(cd "$(dirname "$0")/../config" && pwd)
mkdir -p "$dir"/mnt/dfc "$dir"/mnt/usb/record "$dir"/mnt/wifi "$dir"/tmp "$dir"/dev/shm "$dir"/proc/sys/vm
cp -a "$src"/. "$dir"/mnt/
# The factory copies: every setting file, not the start script or the installed programs, so that
# "cp -f /mnt/dfc/* /mnt/" restores settings and leaves the chosen start script alone.
for f in "$src"/*; do
  case $(basename "$f") in
    *.ini|qiehuan|asound.state) cp -a "$f" "$dir"/mnt/dfc/ ;;
  esac
done
