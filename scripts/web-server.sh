#!/usr/bin/env bash
# Starts and stops the web server of the configuration pages (lighttpd with web/server/lighttpd.conf):
# the pages of web/www and the CGI programs of a build directory, behind the login of the store's
# mnt/web.passwd, on 127.0.0.1 (on the box: every address, --bind 0.0.0.0), over HTTPS with the box's
# own certificate (made at the first start into the store's mnt/web/) and over plain HTTP, which
# redirects to HTTPS while the store's mnt/https.ini says 1. The public ports are web_guard's (the
# connection limits, web/guard/web_guard.cpp), which hands every connection to lighttpd's UNIX
# sockets in the run directory.
#
#   scripts/web-server.sh run   [options]   in the foreground, until Ctrl-C
#   scripts/web-server.sh start [options]   as a daemon; its pid goes to RUN_DIR/lighttpd.pid
#   scripts/web-server.sh stop  [options]   stops the daemon of RUN_DIR
#   scripts/web-server.sh status [options]  says whether it runs
#
# Options (or the variables in brackets):
#   --port N        TCP port of plain HTTP (WEB_PORT, default 8080)
#   --https-port N  TCP port of HTTPS (WEB_HTTPS_PORT, default 8443, or the HTTP port + 1 beside
#                   another HTTP port than 8080)
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
https_port=${WEB_HTTPS_PORT:-}
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
    --https-port) https_port=${2:?--https-port needs a value}; shift 2 ;;
    --bind) bind=${2:?--bind needs a value}; shift 2 ;;
    --build) build=${2:?--build needs a value}; shift 2 ;;
    --run-dir) run_dir=${2:?--run-dir needs a value}; shift 2 ;;
    *) usage ;;
  esac
done

if [ -z "$https_port" ]; then
  if [ "$port" = 8080 ]; then https_port=8443; else https_port=$((port + 1)); fi
fi
for p in "$port" "$https_port"; do
  case $p in
    ''|*[!0-9]*) echo "web-server: port must be a number: $p" >&2; exit 2 ;;
  esac
  if [ "$p" -lt 1 ] || [ "$p" -gt 65535 ]; then
    echo "web-server: port out of range: $p" >&2
    exit 2
  fi
done
store=${ENCODE_ROOT:-}/mnt
# The server and the programs run as this user when started by root (scripts/install-deps.sh makes it).
web_user=${WEB_USER:-encoder-web}

pid_file=$run_dir/lighttpd.pid
guard_pid_file=$run_dir/guard.pid

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
  chmod 750 "$run_dir"
  run_dir=$(cd "$run_dir" && pwd)
  pid_file=$run_dir/lighttpd.pid
  guard_pid_file=$run_dir/guard.pid
  [ -x "$build/web/guard/web_guard" ] || { echo "web-server: no web_guard under $build/web (build first)" >&2; exit 1; }
  [ -d "$build/web" ] || { echo "web-server: no CGI programs under $build/web (build first)" >&2; exit 1; }
  build=$(cd "$build" && pwd)
  # The certificate is written into the store: under its one-writer lock (encode/core/store_lock.h),
  # so that a page or API change at the same moment never meets a half-made pair.
  mkdir -p "${ENCODE_ROOT:-}/tmp"
  exec 9>>"${ENCODE_ROOT:-}/tmp/store.lock"
  flock -w 10 9 || echo "web-server: the store stayed locked for 10 s; making the certificate anyway" >&2
  make_certificate
  exec 9>&-
  share_store
  choose_user
}

# The server runs as the web user when started by root, if that user reaches the pages, the programs
# and the store: a checkout under root's home does not, and the server then stays root, with a line
# that says so.
serve_as=
choose_user() {
  serve_as=
  [ "$(id -u)" = 0 ] && id "$web_user" >/dev/null 2>&1 || return 0
  local uid gid
  uid=$(id -u "$web_user") gid=$(id -g "$web_user")
  if setpriv --reuid="$uid" --regid="$gid" --init-groups test -r "$repo/web/www/index.html" \
      -a -x "$build/web/settings/settings_cgi" -a -w "$store" -a -w "$run_dir" 2>/dev/null; then
    serve_as=$web_user
  else
    echo "web-server: $web_user cannot reach $repo/web/www, $build/web or $store; the server runs as root" >&2
  fi
}

# What the programs write, the server's user may write: the store's files and folders, the run
# directory and the log of host commands, through the group (folders keep it for new files). The key
# stays readable to the group alone: the server reads it at its start.
share_store() {
  [ "$(id -u)" = 0 ] && id "$web_user" >/dev/null 2>&1 || return 0
  local tmp=${ENCODE_ROOT:-}/tmp
  chgrp -R "$web_user" "$store" "$run_dir"
  chmod -R g+rwX "$store" "$run_dir"
  find "$store" "$run_dir" -type d -exec chmod g+s {} +
  chmod 640 "$store/web/key.pem"
  if [ -n "${ENCODE_ROOT:-}" ]; then
    chgrp "$web_user" "$ENCODE_ROOT"
    chmod g+x "$ENCODE_ROOT"
    touch "$tmp/shell.log" "$tmp/store.lock"
    chgrp "$web_user" "$tmp" "$tmp/shell.log" "$tmp/store.lock"
    chmod g+rwx "$tmp"
    chmod g+rw "$tmp/shell.log" "$tmp/store.lock"
  fi
}

# The box's own certificate, made once: a key that never leaves the store, the box's names and
# addresses in the certificate, and the same names in mnt/web/names, which the programs take as the
# box's own Host names. A certificate the page stored is kept as it is, while its key is its own (a
# stop between the page's two renames could leave them apart, and the server would not start).
make_certificate() {
  local dir=$store/web names public
  command -v openssl >/dev/null || { echo "web-server: openssl is not installed (make deps)" >&2; exit 1; }
  if [ -s "$dir/cert.pem" ] && [ -s "$dir/key.pem" ]; then
    public=$(openssl pkey -in "$dir/key.pem" -pubout 2>/dev/null || true)
    [ -n "$public" ] && [ "$public" = "$(openssl x509 -in "$dir/cert.pem" -noout -pubkey 2>/dev/null)" ] && return 0
    echo "web-server: $dir/cert.pem and key.pem do not belong together; the box makes its own again" >&2
  fi
  mkdir -p "$dir"
  names="localhost $(hostname) 127.0.0.1 ::1 $(hostname -I 2>/dev/null || true)"
  local san= n
  for n in $names; do
    case $n in
      *:*|*[0-9].*[0-9]) san="$san,IP:$n" ;;
      *) san="$san,DNS:$n" ;;
    esac
  done
  (umask 077 && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 3650 \
    -subj "/CN=$(hostname)" -addext "subjectAltName=${san#,}" -keyout "$dir/key.pem" -out "$dir/cert.pem" \
    2>/dev/null) || { echo "web-server: the certificate could not be made" >&2; exit 1; }
  chmod 644 "$dir/cert.pem"
  printf '%s\n' $names > "$dir/names"
  echo "web-server: made the box's certificate for: $names"
}

# Plain HTTP sends every request to HTTPS while mnt/https.ini says 1 (a new store's default).
redirect_rule() {
  local c=
  IFS= read -r -n 1 c 2>/dev/null < "$store/https.ini" || true
  [ "$c" = 1 ] || return 0
  echo '$SERVER["socket"] == var.web_http_sock {'
  echo '  $HTTP["host"] =~ "^(\[[^]]*\]|[^:]*)" {'
  echo '    url.redirect-code = 302'
  echo "    url.redirect = ( \"\" => \"https://%1:$https_port\${url.path}\${qsa}\" )"
  echo '  }'
  echo '}'
}

write_config() {
  local conf=$run_dir/lighttpd.conf
  {
    echo "# Written by scripts/web-server.sh; the server's settings are in web/server/lighttpd.conf."
    echo "var.web_http_sock = $(conf_string "$run_dir/http.sock")"
    echo "var.web_https_sock = $(conf_string "$run_dir/https.sock")"
    echo "var.web_cert = $(conf_string "$store/web/cert.pem")"
    echo "var.web_key = $(conf_string "$store/web/key.pem")"
    echo "var.web_docroot = $(conf_string "$repo/web/www")"
    echo "var.web_cgi_dir = $(conf_string "$build/web")"
    echo "var.web_run_dir = $(conf_string "$run_dir")"
    echo "var.encode_root = $(conf_string "${ENCODE_ROOT:-}")"
    echo "include $(conf_string "$repo/web/server/lighttpd.conf")"
    redirect_rule
    if [ -n "$serve_as" ]; then
      echo "server.username = $(conf_string "$serve_as")"
      echo "server.groupname = $(conf_string "$serve_as")"
    fi
  } > "$conf"
  lighttpd -tt -f "$conf" >/dev/null
  echo "$conf"
}

# Where a client on this machine reaches the server.
local_address() {
  case $bind in 0.0.0.0|'') echo 127.0.0.1 ;; *) echo "$bind" ;; esac
}

# The public ports, each handed to its socket of lighttpd.
start_guard() {
  rm -f "$guard_pid_file"
  local user=()
  [ -z "$serve_as" ] || user=(--user "$serve_as")
  "$build/web/guard/web_guard" --pair "$bind:$port=$run_dir/http.sock" --pair "$bind:$https_port=$run_dir/https.sock" \
    "${user[@]}" >>"$run_dir/error.log" 2>&1 &
  echo $! > "$guard_pid_file"
}

# Ended once it is gone or only waits to be reaped (a zombie: its parent is init, which may be slow).
stop_pid() {
  local pid=$1 state
  kill "$pid" 2>/dev/null || return 0
  for _ in $(seq 1 100); do
    kill -0 "$pid" 2>/dev/null || return 0
    state=$(sed 's/.*) //' "/proc/$pid/stat" 2>/dev/null | cut -c1) || true
    [ "$state" != Z ] || return 0
    sleep 0.1
  done
  return 1
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
    echo "web-server: https://$(local_address):$https_port/ and http://$(local_address):$port/ (Ctrl-C stops)"
    start_guard
    trap 'stop_pid "$(cat "$guard_pid_file")"; rm -f "$guard_pid_file"' EXIT
    lighttpd -D -f "$conf"
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
    start_guard
    if ! wait_listening; then
      echo "web-server: lighttpd did not start listening on port $port; see $run_dir/error.log" >&2
      if pid=$(running_pid); then kill "$pid" 2>/dev/null || true; fi
      stop_pid "$(cat "$guard_pid_file")" || true
      exit 1
    fi
    echo "web-server: https://$(local_address):$https_port/ and http://$(local_address):$port/ (pid $(cat "$pid_file"))"
    ;;
  stop)
    if ! pid=$(running_pid); then
      echo "web-server: not running" >&2
      rm -f "$pid_file"
      exit 0
    fi
    if [ -f "$guard_pid_file" ]; then
      stop_pid "$(cat "$guard_pid_file")" || echo "web-server: web_guard did not stop" >&2
      rm -f "$guard_pid_file"
    fi
    if ! stop_pid "$pid"; then
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
