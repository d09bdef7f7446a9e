#!/usr/bin/env bash
# Runs the appliance on this machine the way the box runs itself: the web server with the pages and
# the CGIs, rtsp_server and webrtc_server beside the encoder, and the start script mnt/autorun.sh, whose body turns
# its settings into the encoder's options and execs the encoder. What the box does by rebooting, this
# runner does by running the start script again:
# - a reboot asked for (a "reboot" line that a CGI or the encoder appended to $ENCODE_ROOT/tmp/shell.log)
#   stops the encoder (SIGTERM, SIGKILL after BOX_STOP_TIMEOUT seconds, default 10) and starts it
#   again, so that a changed setting takes effect, and webrtc_server and the web server too (its certificate and its
#   HTTPS setting are read at its start);
# - an encoder that ends by itself is started again after BOX_RESTART_PAUSE seconds (default 3), as
#   the watchdog would reset the box.
# The start script's output, and these lines of the runner, go to $ENCODE_ROOT/tmp/encode.log and to
# standard output. SIGINT or SIGTERM stops everything the runner started.
#
#   ENCODE_ROOT=DIR scripts/box.sh [--build DIR] [--port N] [--https-port N] [--bind ADDR]
#
# ENCODE_ROOT is a root laid by scripts/mkroot.sh (it is required: without it the start script would
# configure this machine's network and the encoder would arm its watchdog). --build is the build
# directory (default build); the web server listens on --https-port (WEB_HTTPS_PORT, default 8443)
# and plain HTTP on --port (WEB_PORT, default 8080) at --bind (WEB_BIND, default 127.0.0.1); the encoder's TCP servers and rtsp_server on ENCODE_BIND_ADDRESS
# (default 127.0.0.1). ENCODE_VIDEO_SOURCE and ENCODE_AUDIO_SOURCE default to testsrc and tone.
set -uo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build=${WEB_BUILD:-$repo/build}
port=${WEB_PORT:-8080}
https_port=${WEB_HTTPS_PORT:-}
bind=${WEB_BIND:-127.0.0.1}
stop_timeout=${BOX_STOP_TIMEOUT:-10}
restart_pause=${BOX_RESTART_PAUSE:-3}

while [ $# -gt 0 ]; do
  case $1 in
    --build) build=${2:?--build needs a value}; shift 2 ;;
    --port) port=${2:?--port needs a value}; shift 2 ;;
    --https-port) https_port=${2:?--https-port needs a value}; shift 2 ;;
    --bind) bind=${2:?--bind needs a value}; shift 2 ;;
    *) sed -n '2,/^[^#]/{/^#/p}' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
  esac
done

[ -n "${ENCODE_ROOT:-}" ] || { echo "box: ENCODE_ROOT must name a root laid by scripts/mkroot.sh" >&2; exit 2; }
[ -f "$ENCODE_ROOT/mnt/autorun.sh" ] || { echo "box: no start script $ENCODE_ROOT/mnt/autorun.sh" >&2; exit 2; }
case $build in /*) ;; *) build="$PWD/$build" ;; esac
encode_bin=$build/encode/app/encode
[ -x "$encode_bin" ] || { echo "box: the encoder is not built ($encode_bin)" >&2; exit 1; }

export ENCODE_ROOT
export ENCODE_VIDEO_SOURCE=${ENCODE_VIDEO_SOURCE:-testsrc}
export ENCODE_AUDIO_SOURCE=${ENCODE_AUDIO_SOURCE:-tone}
export ENCODE_BIND_ADDRESS=${ENCODE_BIND_ADDRESS:-127.0.0.1}
offset=${ENCODE_PORT_OFFSET:-0}
log=$ENCODE_ROOT/tmp/encode.log
shell_log=$ENCODE_ROOT/tmp/shell.log
mkdir -p "$ENCODE_ROOT/tmp"

# A background job ignores Ctrl-C, so tee keeps writing while the encoder says its last lines.
out_fifo=$ENCODE_ROOT/tmp/box-output
rm -f "$out_fifo"
mkfifo "$out_fifo"
tee -a "$log" < "$out_fifo" &
tee_pid=$!
exec 3> "$out_fifo"

encode_pid=
rtsp_pid=
webrtc_pid=
web_started=0
stopping=0

# Everything the runner and the start script say goes through one tee into the log and to standard
# output, so that their lines keep their order in both.
say() {
  echo "box: $*" >&3
}

# No command substitution runs once the signal traps are set: bash 5.2 of Debian 12 aborts ("bad
# jump") when a trap fires while it parses one. The helpers below use builtins and leave their
# answer in REPLY.

# A local address to reach a server bound to $1.
reach() {
  case $1 in 0.0.0.0|'') REPLY=127.0.0.1 ;; *) REPLY=$1 ;; esac
}

# True when the first character of mnt/$1 is $2; a missing file matches nothing.
flag_is() {
  local c=
  IFS= read -r -n 1 c 2>/dev/null < "$ENCODE_ROOT/mnt/$1"
  [ "$c" = "$2" ]
}

flag_on() {
  flag_is "$1" 1
}

# A value of the start script's settings block.
setting() {
  local line
  REPLY=
  while IFS= read -r line; do
    case $line in "$1="*) REPLY=${line#"$1="}; return ;; esac
  done < "$ENCODE_ROOT/mnt/autorun.sh"
}

show_outputs() {
  local at tz tc
  reach "$ENCODE_BIND_ADDRESS"; at=$REPLY
  if flag_on httpts.ini; then
    say "watch: HTTP TS      ffplay http://$at:$((10000 + offset))/"
  elif ! flag_on ts.ini; then
    setting tz; tz=$REPLY
    setting tc; tc=$REPLY
    say "watch: UDP TS       ffplay udp://$tz:$tc   (sent to $tz port $tc)"
  fi
  # rtsporrtmp.ini: 1 publishes instead of feeding the RTSP server, 2 does both.
  if flag_on rtsp.ini; then
    if ! flag_on rtsporrtmp.ini; then
      say "watch: RTSP         ffplay rtsp://$at:$((8554 + offset))/live"
    fi
    if flag_on rtsporrtmp.ini || flag_is rtsporrtmp.ini 2; then
      setting url
      say "watch: RTMP         published to $REPLY"
    fi
  fi
  if flag_on tcp.ini; then
    say "watch: TCP slots    H.264 on $at:$((8888 + offset))..$((8884 + offset)), second stream $((7777 + offset)),"
    say "                    audio $((9999 + offset))..$((9995 + offset)); each unit after a 16-byte tag"
  fi
  if flag_on tsf.ini; then
    say "watch: recording    $ENCODE_ROOT/mnt/usb/record/"
  fi
  if [ -n "$webrtc_pid" ] && [ $web_started -eq 1 ] && grep -qx 'enable=1' "$ENCODE_ROOT/mnt/webrtc.ini" 2>/dev/null; then
    reach "$bind"
    say "watch: WebRTC       the dashboard's live picture; WHEP https://$REPLY:$web_https/whep/main (second stream"
    say "                    /whep/second), with the login: any WHEP player"
  fi
  if [ $web_started -eq 1 ] && grep -qx 'enable=1' "$ENCODE_ROOT/mnt/hls.ini" 2>/dev/null; then
    reach "$bind"
    say "watch: HLS          ffplay -headers \"Authorization: Basic \$(printf admin:PASSWORD | base64)\" \\"
    say "                    https://$REPLY:$web_https/hls/index.m3u8   (files in $ENCODE_ROOT/dev/shm/hls)"
  fi
  if [ $web_started -eq 1 ]; then
    reach "$bind"
    say "pages: https://$REPLY:$web_https/  login admin, factory password changeme (the pages ask for a new one);"
    local plain="serves the pages too (mnt/https.ini is not 1)"
    flag_on https.ini && plain="redirects there"
    say "       the box's own certificate is $ENCODE_ROOT/mnt/web/cert.pem (curl --cacert it); http://$REPLY:$port/ $plain"
  fi
  say "logs:  $log (this output), $shell_log (host commands: reboot, sync)"
}

# The log keeps its last lines across restarts; it is cut back when it grows past 1 MiB.
trim_log() {
  if find "$log" -size +1024k 2>/dev/null | grep -q .; then
    # Cut in place: tee holds the file open for appending.
    tail -n 2000 "$log" > "$log.tmp" && cat "$log.tmp" > "$log"
    rm -f "$log.tmp"
  fi
}

start_encode() {
  trim_log
  say "running the start script mnt/autorun.sh"
  # The body execs the encoder, so this job's pid is the encoder's.
  ENCODE_BIN=$encode_bin sh "$ENCODE_ROOT/mnt/autorun.sh" >&3 2>&3 &
  encode_pid=$!
  show_outputs
}

# Stops the encoder as a reboot would: SIGTERM lets it finish its recordings, SIGKILL after the bound.
stop_encode() {
  [ -n "$encode_pid" ] || return 0
  if kill -0 "$encode_pid" 2>/dev/null; then
    kill -TERM "$encode_pid" 2>/dev/null
    local i
    for ((i = 0; i < stop_timeout * 10; i++)); do
      kill -0 "$encode_pid" 2>/dev/null || break
      sleep 0.1
    done
    if kill -0 "$encode_pid" 2>/dev/null; then
      say "encode did not stop within $stop_timeout s: killed"
      kill -KILL "$encode_pid" 2>/dev/null
    fi
  fi
  wait "$encode_pid" 2>/dev/null
  encode_pid=
}

# Stops a program beside the encoder: SIGTERM, SIGKILL after the bound.
stop_beside() {
  [ -n "$1" ] || return 0
  kill -TERM "$1" 2>/dev/null
  local i
  for ((i = 0; i < stop_timeout * 10; i++)); do
    kill -0 "$1" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$1" 2>/dev/null
  wait "$1" 2>/dev/null
}

# webrtc_server reads its settings at its start, as the encoder does.
start_webrtc() {
  if [ -x "$build/webrtc/webrtc_server" ]; then
    "$build/webrtc/webrtc_server" >&3 2>&3 &
    webrtc_pid=$!
  fi
}

stop_all() {
  trap '' INT TERM
  stop_encode
  stop_beside "$rtsp_pid"
  rtsp_pid=
  stop_beside "$webrtc_pid"
  webrtc_pid=
  if [ $web_started -eq 1 ]; then
    bash "$repo/scripts/web-server.sh" stop --build "$build" >/dev/null 2>&1
    web_started=0
  fi
  say "stopped"
  # The last writer gone, tee ends.
  exec 3>&-
  [ -n "$tee_pid" ] && wait "$tee_pid" 2>/dev/null
  rm -f "$out_fifo"
}

trap 'stopping=1' INT TERM
# A reader of our output that went away must not end the runner with its children left running.
trap '' PIPE
trap stop_all EXIT

# The shell log's lines; a line still being written is no line yet.
shell_lines=()
read_shell_log() {
  shell_lines=()
  [ -f "$shell_log" ] && mapfile -t shell_lines < "$shell_log"
}

# Reboot requests made before this run are not this run's.
read_shell_log
seen=${#shell_lines[@]}

# True when lines appended to the shell log since the last look ask for a reboot.
reboot_requested() {
  read_shell_log
  local n=${#shell_lines[@]} i asked=1
  [ "$n" -lt "$seen" ] && seen=0
  for ((i = seen; i < n; i++)); do
    [[ ${shell_lines[i]} =~ ^[[:space:]]*(/sbin/)?reboot([[:space:]]|$) ]] && asked=0
  done
  seen=$n
  return $asked
}

# The pages' server, as the box starts it: its certificate and its HTTPS setting are read at its
# start, so a reboot asked for from the pages starts it again too.
if [ -z "$https_port" ]; then
  if [ "$port" = 8080 ]; then web_https=8443; else web_https=$((port + 1)); fi
else
  web_https=$https_port
fi
start_web() {
  if bash "$repo/scripts/web-server.sh" start --port "$port" --https-port "$web_https" --bind "$bind" --build "$build"; then
    web_started=1
  else
    say "the web server did not start (are ports $port and $web_https free? --port, --https-port)"
  fi
}
restart_web() {
  if [ $web_started -eq 1 ]; then
    bash "$repo/scripts/web-server.sh" stop --build "$build" >/dev/null 2>&1
    web_started=0
  fi
  start_web
}
start_web
if [ -x "$build/rtsp/rtsp_server" ]; then
  "$build/rtsp/rtsp_server" --address "$ENCODE_BIND_ADDRESS" >&3 2>&3 &
  rtsp_pid=$!
fi
start_webrtc

start_encode
while [ $stopping -eq 0 ]; do
  sleep 0.5
  [ $stopping -eq 0 ] || break
  if reboot_requested; then
    say "reboot requested: stopping encode and running the start script again"
    stop_encode
    stop_beside "$webrtc_pid"
    restart_web
    start_webrtc
    start_encode
  elif ! kill -0 "$encode_pid" 2>/dev/null; then
    wait "$encode_pid" 2>/dev/null
    status=$?
    encode_pid=
    say "encode ended (status $status); the start script runs again in $restart_pause s, as the watchdog would reset the box"
    for ((i = 0; i < restart_pause * 10 && stopping == 0; i++)); do
      sleep 0.1
    done
    [ $stopping -eq 0 ] || break
    reboot_requested || true
    start_encode
  fi
done
exit 0
