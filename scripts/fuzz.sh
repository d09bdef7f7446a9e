#!/usr/bin/env bash
# Builds and runs every libFuzzer harness tests/fuzz/*_fuzz.cpp for a bounded time (not part of the
# test run). A harness names the sources it needs on a line of its own:
#     // fuzz-sources: web/form/form.cpp encode/core/paths.cpp
# (paths from the repository root). Seeds are read from tests/fuzz/seeds/<harness>/; what the fuzzer
# finds goes to fuzz-build/corpus/<harness>/ and crash inputs to fuzz-build/artifacts/.
#
#   scripts/fuzz.sh [SECONDS] [HARNESS...]      (SECONDS defaults to FUZZ_TIME or 30)
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-${FUZZ_TIME:-30}}
[ $# -gt 0 ] && shift
case $seconds in ''|*[!0-9]*) echo "fuzz: SECONDS must be a number" >&2; exit 2 ;; esac
out=${FUZZ_BUILD:-$repo/fuzz-build}
cxx=${FUZZ_CXX:-clang++}
command -v "$cxx" >/dev/null || { echo "fuzz: $cxx is not installed (make deps)" >&2; exit 1; }
mkdir -p "$out/artifacts"

harnesses=()
if [ $# -gt 0 ]; then
  for h in "$@"; do harnesses+=("$repo/tests/fuzz/${h%_fuzz}_fuzz.cpp"); done
else
  shopt -s nullglob
  harnesses=("$repo"/tests/fuzz/*_fuzz.cpp)
fi
[ ${#harnesses[@]} -gt 0 ] || { echo "fuzz: no harness in tests/fuzz" >&2; exit 1; }

failed=0
for src in "${harnesses[@]}"; do
  [ -f "$src" ] || { echo "fuzz: no such harness: $src" >&2; exit 2; }
  name=$(basename "$src" _fuzz.cpp)
  sources=()
  while read -r rel; do
    for f in $rel; do sources+=("$repo/$f"); done
  done < <(sed -n 's|^// fuzz-sources:||p' "$src")
  echo "== $name: building"
  "$cxx" -std=c++20 -g -O1 -fno-omit-frame-pointer -fsanitize=fuzzer,address,undefined \
    -fno-sanitize-recover=undefined -I"$repo" "$src" "${sources[@]}" -o "$out/$name"
  corpus=$out/corpus/$name
  mkdir -p "$corpus"
  seeds=()
  [ -d "$repo/tests/fuzz/seeds/$name" ] && seeds=("$repo/tests/fuzz/seeds/$name")
  echo "== $name: fuzzing for ${seconds}s"
  if ! "$out/$name" "$corpus" "${seeds[@]}" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -max_len=65536 -print_final_stats=1 -artifact_prefix="$out/artifacts/$name-" 2>"$out/$name.log"; then
    echo "== $name: FAILED (see $out/$name.log and $out/artifacts/)" >&2
    tail -n 40 "$out/$name.log" >&2
    failed=1
  else
    grep -E "stat::number_of_executed_units|stat::peak_rss_mb" "$out/$name.log" | sed "s/^/   $name /"
    echo "== $name: no crash"
  fi
done
exit $failed
