#!/usr/bin/env bash
# The fault suite's main run with `encode` and `rtsp_server` built under ThreadSanitizer: the test
# program (from the ordinary build) starts the sanitized programs, which write any report to files;
# a report, or the run failing, fails this script. Sanitized programs are several times slower, so the
# test's time limits (pauses, coming back, stopping) are sixteen times as long: this run looks for races;
# the ordinary run of the same test holds the timing.
#
#   scripts/tsan_faults.sh BUILD TSAN_BUILD
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=$1
tsan=$2
reports=$(mktemp -d /tmp/tsan-faults-XXXXXX)
trap 'rm -rf "$reports"' EXIT
status=0
ENCODE_TEST_ENCODE_BINARY=$(realpath "$tsan/encode/app/encode") \
ENCODE_TEST_RTSP_SERVER_BINARY=$(realpath "$tsan/rtsp/rtsp_server") \
ENCODE_TEST_TIME_SCALE=16 \
TSAN_OPTIONS="log_path=$reports/report second_deadlock_stack=1 suppressions=$repo/tests/tsan.supp" \
  "$build/tests/integration/faults/test_integration_faults" --gtest_filter='FaultSuite.UdpWithSlotsRtspAndRecording' ||
  status=$?
if compgen -G "$reports/report*" >/dev/null; then
  cat "$reports"/report*
  echo "tsan-faults: ThreadSanitizer reported the above" >&2
  exit 1
fi
[ "$status" -eq 0 ] || { echo "tsan-faults: the fault run failed under ThreadSanitizer" >&2; exit "$status"; }
echo "tsan-faults: no ThreadSanitizer report"
