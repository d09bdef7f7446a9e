#!/usr/bin/env bash
# Lays a fresh ENCODE_ROOT in DIR from the factory configuration store: DIR/mnt holds what the
# appliance keeps in /mnt, DIR/mnt/dfc the factory copies of the setting files, and the run-time
# directories the programs expect (tmp, dev/shm, the USB recording directory).
#
# The subtitle glyph tables zk and zk48 are made by the build (BUILD/glyphs/), not kept in config/:
# they are copied into DIR/mnt from the build directory BUILD (the second argument, else
# $ENCODE_BUILD_DIR, else build/ beside the sources) when it has them.
set -euo pipefail
[ $# -eq 1 ] || [ $# -eq 2 ] || { echo "usage: $0 DIR [BUILD]" >&2; exit 2; }
dir=$1
here=$(cd "$(dirname "$0")/.." && pwd)
src="$here/config"
build=${2:-${ENCODE_BUILD_DIR:-$here/build}}
mkdir -p "$dir"/mnt/dfc "$dir"/mnt/usb/record "$dir"/mnt/wifi "$dir"/tmp "$dir"/dev/shm "$dir"/proc/sys/vm
cp -a "$src"/. "$dir"/mnt/
# The factory copies: every setting file, not the start script or the installed programs, so that
# "cp -f /mnt/dfc/* /mnt/" restores settings and leaves the chosen start script alone. The factory
# login is kept there too, to be copied back by hand when its password is lost (the settings
# program keeps the operator's password across its restore).
for f in "$src"/*; do
  case $(basename "$f") in
    *.ini|qiehuan|asound.state|web.passwd) cp -a "$f" "$dir"/mnt/dfc/ ;;
  esac
done
# The login's password hashes are for the web server's and the settings program's eyes only.
chmod 600 "$dir"/mnt/web.passwd "$dir"/mnt/dfc/web.passwd
# The glyph tables are installed with the system like the programs, not settings: no factory copy
# (a settings restore never removes them, and a copy would double 3.6 MB of flash).
for t in zk zk48; do
  if [ -f "$build/glyphs/$t" ]; then
    cp "$build/glyphs/$t" "$dir/mnt/$t"
  fi
done
