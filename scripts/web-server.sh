#!/usr/bin/env bash
# Starts and stops the web server of the configuration pages (lighttpd with web/server/lighttpd.conf):
# the pages of web/www and the CGI programs of a build directory, behind the login of the store's
# mnt/web.passwd, on 127.0.0.1 (on the box: every address, --bind 0.0.0.0).
#
#   scripts/web-server.sh run   [options]   in the foreground, until Ctrl-C
#   scripts/web-server.sh start [options]   as a daemon; its pid goes to RUN_DIR/lighttpd.pid
#   scripts/web-server.sh stop  [options]   stops the daemon of RUN_DIR
#   scripts/web-server.sh status [options]  says whether it runs
#
# Options (or the variables in brackets):
#   --port N        TCP port (WEB_PORT, default 8080)
#   --bind ADDR     the address to listen on (WEB_BIND, default 127.0.0.1; 0.0.0.0 for every address)
#   --build DIR     build directory holding web/<program>/ (WEB_BUILD, default build)
#   --run-dir DIR   configuration, pid file and logs (WEB_RUN_DIR, default $ENCODE_ROOT/tmp/web,
#                   or /tmp/encode-web without ENCODE_ROOT)
# ENCODE_ROOT, when set, is handed to the CGI programs.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
action=${1:-}
[ $# -gt 0 ] && shift

port=${WEB_PORT:-8080}
bind=${WEB_BIND:-127.0.0.1}
build=${WEB_BUILD:-$repo/build}
if [ -n "${ENCODE_ROOT:-}" ]; then
  run_dir=${WEB_RUN_DIR:-$ENCODE_ROOT/tmp/web}
else
  run_dir=${WEB_RUN_DIR:-/tmp/encode-web}
fi

usage() {
  sed -n '2,/^[^#]/{/^#/p}' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}

while [ $# -gt 0 ]; do
  case $1 in
    --port) port=${2:?--port needs a value}; shift 2 ;;
    --bind) bind=${2:?--bind needs a value}; shift 2 ;;
    --build) build=${2:?--build needs a value}; shift 2 ;;
    --run-dir) run_dir=${2:?--run-dir needs a value}; shift 2 ;;
    *) usage ;;
  esac
done

case $port in
  ''|*[!0-9]*) echo "web-server: port must be a number: $port" >&2; exit 2 ;;
esac
if [ "$port" -lt 1 ] || [ "$port" -gt 65535 ]; then
  echo "web-server: port out of range: $port" >&2
  exit 2
fi

pid_file=$run_dir/lighttpd.pid

running_pid() {
  [ -f "$pid_file" ] || return 1
  local pid
  pid=$(cat "$pid_file" 2>/dev/null || true)
  case $pid in ''|*[!0-9]*) return 1 ;; esac
  kill -0 "$pid" 2>/dev/null || return 1
  echo "$pid"
}

# The values go into the configuration as quoted strings: refuse what would break out of the quotes.
conf_string() {
  case $1 in
    *\"*|*\\*|*$'\n'*) echo "web-server: unusable path for the configuration: $1" >&2; exit 2 ;;
  esac
  printf '"%s"' "$1"
}

# Makes the run and build directories absolute (the server changes its working directory).
prepare() {
  mkdir -p "$run_dir"
  run_dir=$(cd "$run_dir" && pwd)
  pid_file=$run_dir/lighttpd.pid
  [ -d "$build/web" ] || { echo "web-server: no CGI programs under $build/web (build first)" >&2; exit 1; }
  build=$(cd "$build" && pwd)
}

write_config() {
  local conf=$run_dir/lighttpd.conf
  {
    echo "# Written by scripts/web-server.sh; the server's settings are in web/server/lighttpd.conf."
    echo "var.web_bind = $(conf_string "$bind")"
    echo "var.web_port = $port"
    echo "var.web_docroot = $(conf_string "$repo/web/www")"
    echo "var.web_cgi_dir = $(conf_string "$build/web")"
    echo "var.web_run_dir = $(conf_string "$run_dir")"
    echo "var.encode_root = $(conf_string "${ENCODE_ROOT:-}")"
    echo "include $(conf_string "$repo/web/server/lighttpd.conf")"
  } > "$conf"
  lighttpd -tt -f "$conf" >/dev/null
  echo "$conf"
}

# Where a client on this machine reaches the server.
local_address() {
  case $bind in 0.0.0.0|'') echo 127.0.0.1 ;; *) echo "$bind" ;; esac
}

wait_listening() {
  local i
  for i in $(seq 1 100); do
    if (exec 3<>"/dev/tcp/$(local_address)/$port") 2>/dev/null; then
      return 0
    fi
    sleep 0.1
  done
  return 1
}

command -v lighttpd >/dev/null || { echo "web-server: lighttpd is not installed (make deps)" >&2; exit 1; }

case $action in
  run)
    prepare
    conf=$(write_config)
    echo "web-server: http://$(local_address):$port/ (Ctrl-C stops)"
    exec lighttpd -D -f "$conf"
    ;;
  start)
    if pid=$(running_pid); then
      echo "web-server: already running (pid $pid)" >&2
      exit 1
    fi
    prepare
    conf=$(write_config)
    rm -f "$pid_file"
    lighttpd -f "$conf"
    if ! wait_listening; then
      echo "web-server: lighttpd did not start listening on port $port; see $run_dir/error.log" >&2
      if pid=$(running_pid); then kill "$pid" 2>/dev/null || true; fi
      exit 1
    fi
    echo "web-server: http://$(local_address):$port/ (pid $(cat "$pid_file"))"
    ;;
  stop)
    if ! pid=$(running_pid); then
      echo "web-server: not running" >&2
      rm -f "$pid_file"
      exit 0
    fi
    kill "$pid"
    for _ in $(seq 1 100); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    if kill -0 "$pid" 2>/dev/null; then
      echo "web-server: pid $pid did not stop" >&2
      exit 1
    fi
    rm -f "$pid_file"
    echo "web-server: stopped"
    ;;
  status)
    if pid=$(running_pid); then
      echo "web-server: running (pid $pid)"
    else
      echo "web-server: not running"
      exit 1
    fi
    ;;
  *) usage ;;
esac
