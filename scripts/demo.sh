#!/usr/bin/env bash
# The appliance's main job on a PC: lays a fresh configuration store under build/demo-root, starts the
# web configuration pages on 127.0.0.1 (port WEB_PORT, default 8080) and the encoder with the virtual
# devices standing in for the board. Ctrl-C stops both. ENCODE_ARGS replaces the encoder's options;
# by default it streams 720p at 30 frames a second to udp://127.0.0.1:1234.
set -euo pipefail
build=${1:-build}
here=$(cd "$(dirname "$0")/.." && pwd)
case $build in /*) ;; *) build="$here/$build" ;; esac
root="$build/demo-root"
port=${WEB_PORT:-8080}
rm -rf "$root"
bash "$here/scripts/mkroot.sh" "$root" "$build"
export ENCODE_ROOT="$root"
export ENCODE_VIDEO_SOURCE=${ENCODE_VIDEO_SOURCE:-testsrc}
export ENCODE_AUDIO_SOURCE=${ENCODE_AUDIO_SOURCE:-tone}
echo "configuration store: $root/mnt (host commands are logged to $root/tmp/shell.log)"

web=0
if bash "$here/scripts/web-server.sh" start --port "$port" --build "$build"; then
  web=1
  echo "web configuration: http://127.0.0.1:$port/  (second stream: /stream2.html, capture timing: /timing.html)"
else
  echo "the web server did not start (is port $port free? set WEB_PORT)"
fi
stop_web() { [ $web -eq 1 ] && bash "$here/scripts/web-server.sh" stop --build "$build" >/dev/null 2>&1 || true; }
trap stop_web EXIT

status=0
args=${ENCODE_ARGS:--z 127.0.0.1 -c 1234 -v /tmp/main.264 -y 3 -f 30 -i 30 -b 4000000}
if [ -x "$build/encode/app/encode" ]; then
  echo "starting encode $args (Ctrl-C stops it)"
  echo "watch it: ffplay udp://127.0.0.1:1234   or   vlc udp://@:1234"
  # shellcheck disable=SC2086
  "$build/encode/app/encode" $args || status=$?
  echo "encode exited with status $status"
else
  echo "the encoder program is not built"
  status=1
fi
exit $status
