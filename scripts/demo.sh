#!/usr/bin/env bash
# The appliance's main job on a PC: lays a fresh configuration store under build/demo-root, starts the
# web configuration pages on 127.0.0.1 (port WEB_PORT, default 8080) and the encoder with the virtual
# devices standing in for the board, with rtsp_server beside it. Ctrl-C stops them all. ENCODE_ARGS
# replaces the encoder's options; by default it streams 720p at 30 frames a second with AAC audio to
# udp://127.0.0.1:1234, the stream slots and, through the hand-off FIFOs, rtsp://127.0.0.1:8554/live.
# Its TCP servers listen on loopback only (ENCODE_BIND_ADDRESS).
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
export ENCODE_BIND_ADDRESS=${ENCODE_BIND_ADDRESS:-127.0.0.1}
offset=${ENCODE_PORT_OFFSET:-0}
# The demo hands the elementary streams to the RTSP server as well (the factory store leaves it off).
echo 1 > "$root/mnt/rtsp.ini"
echo "configuration store: $root/mnt (host commands are logged to $root/tmp/shell.log)"

web=0
if bash "$here/scripts/web-server.sh" start --port "$port" --build "$build"; then
  web=1
  echo "web configuration: http://127.0.0.1:$port/  (second stream: /stream2.html, capture timing: /timing.html)"
else
  echo "the web server did not start (is port $port free? set WEB_PORT)"
fi
rtsp_pid=
if [ -x "$build/rtsp/rtsp_server" ]; then
  "$build/rtsp/rtsp_server" --address "$ENCODE_BIND_ADDRESS" &
  rtsp_pid=$!
fi
stop_all() {
  [ -n "$rtsp_pid" ] && kill "$rtsp_pid" 2>/dev/null && wait "$rtsp_pid" 2>/dev/null
  [ $web -eq 1 ] && bash "$here/scripts/web-server.sh" stop --build "$build" >/dev/null 2>&1
  true
}
trap stop_all EXIT

status=0
args=${ENCODE_ARGS:--z 127.0.0.1 -c 1234 -v /tmp/main.264 -a /tmp/main.aac -u 44100 -p 128000 -y 3 -f 30 -i 30 -b 4000000}
if [ -x "$build/encode/app/encode" ]; then
  echo "starting encode $args (Ctrl-C stops it)"
  echo "watch it: ffplay udp://127.0.0.1:1234   or   vlc udp://@:1234"
  echo "RTSP:     ffplay rtsp://127.0.0.1:$((8554 + offset))/live"
  echo "TCP:      raw H.264 on 127.0.0.1:$((8888 + offset)) (slots down to $((8884 + offset))), AAC on 127.0.0.1:$((9999 + offset)),"
  echo "          second stream on 127.0.0.1:$((7777 + offset)); with mnt/tcp.ini 1 each unit has a 16-byte tag"
  echo "          e.g.  nc 127.0.0.1 $((8888 + offset)) | ffplay -f h264 -"
  echo "HTTP TS:  with mnt/httpts.ini 1 (instead of UDP): ffplay http://127.0.0.1:$((10000 + offset))/"
  # shellcheck disable=SC2086
  "$build/encode/app/encode" $args || status=$?
  echo "encode exited with status $status"
else
  echo "the encoder program is not built"
  status=1
fi
exit $status
