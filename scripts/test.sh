#!/usr/bin/env bash
# make test: the black-box tests against the optimised build while the sanitizer build compiles beside
# them, then the unit tests under AddressSanitizer and UndefinedBehaviorSanitizer.
#
# The black-box tests spend most of their time waiting on real time (streams, peers, restarts), so
# the sanitizer build takes the processor time they leave. It runs at the lowest priority, so the
# programs under test keep theirs and their timing verdicts hold (the encoder raises its own).
#
#   scripts/test.sh BUILD ASAN_BUILD JOBS [MAKE]
set -uo pipefail
build=$1
asan=$2
jobs=$3
make=${4:-make}
mkdir -p "$asan"
log=$asan/build.log
nice -n 19 $make --no-print-directory asan-build ASAN_BUILD="$asan" JOBS="$jobs" >"$log" 2>&1 &
asan_build=$!

status=0
(cd "$build" && ctest --output-on-failure -j "$jobs" --timeout 300 -L integration) || status=1
echo "== black-box tests: ${SECONDS} s; waiting for the sanitizer build ($log)"

started=$SECONDS
if ! wait $asan_build; then
  tail -n 60 "$log"
  echo "the sanitizer build failed; its whole output is in $log"
  exit 1
fi
echo "== the sanitizer build ended $((SECONDS - started)) s after them"
started=$SECONDS
(cd "$asan" && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --output-on-failure -j "$jobs" -L unit --timeout 300) || status=1
echo "== unit tests under the sanitizers: $((SECONDS - started)) s"
exit $status
