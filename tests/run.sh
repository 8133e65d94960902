#!/usr/bin/env bash
# Builds Parlotta twice (a normal build and an AddressSanitizer/UBSan build),
# checks formatting, and runs every test, the end-to-end ones inside a private
# headless desktop (Xvfb, openbox, a tray, PulseAudio with a fake microphone).
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh --test
tools/check-format.sh

cmake --preset default >/dev/null
cmake --build --preset default
cmake --preset asan >/dev/null
cmake --build --preset asan

# Qt's own libraries are not instrumented; leaks are checked, their one-time
# allocations at exit are not ours to chase.
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

tests/support/headless-desktop.sh bash -c '
  ctest --test-dir build --output-on-failure
  normal=$?
  ctest --test-dir build-asan --output-on-failure
  sanitized=$?
  exit $((normal || sanitized))'
