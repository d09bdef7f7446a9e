#!/usr/bin/env bash
# make demo: the appliance on this PC, started as the box starts itself. Builds only the programs
# the box runs (not the tests or benchmarks), lays a fresh store in BUILD/demo-root, sets it the way
# a user would for watching on this machine (the transport stream to 127.0.0.1, the RTSP server fed,
# AAC audio) through the settings program, and runs the box there with scripts/box.sh: the web pages
# on 127.0.0.1:WEB_PORT (default 8080), rtsp_server, webrtc_server (the dashboard's live picture,
# WHEP) and the start script mnt/autorun.sh with the virtual capture and sound devices. Ctrl-C stops
# all of it.
set -euo pipefail
build=${1:-build}
here=$(cd "$(dirname "$0")/.." && pwd)
case $build in /*) ;; *) build="$here/$build" ;; esac
root="$build/demo-root"
port=${WEB_PORT:-8080}

targets=(encode rtsp_server webrtc_server settings_cgi stream2_cgi timing_cgi login_cgi whep_cgi hls_cgi api_cgi metrics_cgi tokens_cgi web_guard encode_glyph_tables)
# The status program comes with the dashboard; it is built when this tree has it.
if cmake --build "$build" --target help 2>/dev/null | grep -qE '^(\.\.\. )?status_cgi(:|$)'; then
  targets+=(status_cgi)
fi
cmake --build "$build" -j "${JOBS:-2}" --target "${targets[@]}"

rm -rf "$root"
bash "$here/scripts/mkroot.sh" "$root" "$build"

# One press of the settings page's buttons: the stream to this machine, the RTSP server fed (the
# factory store leaves it off), AAC audio on.
form='namez_submit=Set&tz=127.0.0.1&codec_submit=Apply&ctrlez=female&audioen=male'
# As a script on the box sends it: to the box's own name, with the factory login.
answer=$(printf '%s' "$form" | env -i PATH="$PATH" ENCODE_ROOT="$root" REQUEST_METHOD=POST HTTP_HOST=localhost \
  REMOTE_ADDR=127.0.0.1 HTTP_AUTHORIZATION="Basic $(printf 'admin:changeme' | base64)" \
  CONTENT_TYPE=application/x-www-form-urlencoded CONTENT_LENGTH=${#form} "$build/web/settings/settings_cgi")
case $answer in
  *"enable rtsp server"*"set ok"*) ;;
  *) echo "demo: the settings program did not take the demo's settings:" >&2; echo "$answer" >&2; exit 1 ;;
esac
# HLS on, as the page's HLS section stores it (off in the factory store: while it runs every I frame
# is coded as an IDR frame).
printf 'enable=1\nsegment=1\nsegments=6\npublic=0\npush_url=\n' > "$root/mnt/hls.ini"
echo "demo: store $root/mnt: the transport stream to udp://127.0.0.1:1234, RTSP server fed, AAC audio, HLS"

export ENCODE_ROOT="$root"
export ENCODE_VIDEO_SOURCE=${ENCODE_VIDEO_SOURCE:-testsrc}
export ENCODE_AUDIO_SOURCE=${ENCODE_AUDIO_SOURCE:-tone}
export ENCODE_BIND_ADDRESS=${ENCODE_BIND_ADDRESS:-127.0.0.1}
exec bash "$here/scripts/box.sh" --build "$build" --port "$port"
