#!/usr/bin/env bash
# Installs every Debian package the appliance's build, tests, demo and benchmarks need.
# Idempotent: apt-get skips what is already there. Quiet unless something fails.
set -euo pipefail

packages=(
  build-essential cmake pkg-config ninja-build
  googletest libgtest-dev libgmock-dev
  clang libclang-rt-14-dev
  libx264-dev libavcodec-dev libavformat-dev libavutil-dev libswscale-dev libswresample-dev libyuv-dev
  libavcodec-extra
  libasound2-dev alsa-utils
  librtmp-dev libgnutls28-dev
  libsrt-openssl-dev srt-tools
  libfreetype-dev fonts-wqy-zenhei
  libgstrtspserver-1.0-dev libgstreamer1.0-dev gstreamer1.0-plugins-base
  libgstreamer-plugins-bad1.0-dev gstreamer1.0-nice gstreamer1.0-libav libcurl4-openssl-dev
  gstreamer1.0-plugins-good gstreamer1.0-plugins-bad gstreamer1.0-tools
  ffmpeg
  nginx libnginx-mod-rtmp libnginx-mod-stream
  lighttpd lighttpd-mod-openssl openssl libssl-dev
  nlohmann-json3-dev libturbojpeg0-dev libcrypt-dev
  python3-jsonschema
  curl nodejs
  chromium chromium-driver python3-selenium
  iproute2 procps
  prometheus
)

if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi

# The web server and its programs run as this user when started by root (scripts/web-server.sh); the
# audio group lets the page's volume reach the mixer.
if ! id encoder-web >/dev/null 2>&1; then
  $SUDO useradd --system --no-create-home --shell /usr/sbin/nologin --user-group encoder-web
fi
if getent group audio >/dev/null && ! id -nG encoder-web | grep -qw audio; then
  $SUDO usermod -a -G audio encoder-web
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

log=$(mktemp)
export DEBIAN_FRONTEND=noninteractive
if ! { $SUDO apt-get update -q && $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"; } >"$log" 2>&1; then
  cat "$log" >&2
  rm -f "$log"
  echo "install-deps: apt-get failed" >&2
  exit 1
fi
rm -f "$log"
