#!/usr/bin/env bash
# Builds Parlotta three times (a normal build, an AddressSanitizer/UBSan build,
# and a release build pointed at a local release site for the update test) and
# the portable whisper-server releases carry,
# checks formatting, builds the GNOME test tree, and runs every test: the unit tests as they are (they need
# no display and no sound server), the end-to-end ones inside a private
# headless desktop (Xvfb, openbox, a tray, PulseAudio with a fake microphone),
# and the fuzzers for half a minute each.
set -euo pipefail
cd "$(dirname "$0")/.."
# Each step's start, in minutes since this script began, for the log's reader.
step() { echo "== $(( SECONDS / 60 )) min $(( SECONDS % 60 )) s: $*"; }

step "packages"
tools/install-deps.sh --test
tools/check-format.sh
# GNOME 48 for the GNOME tests: a Debian 13 tree, built once (about two
# minutes, 1.3 GB) and kept.
sudo=()
[[ $(id -u) -ne 0 ]] && sudo=(sudo)
"${sudo[@]}" tests/support/gnome-chroot.sh "${PARLOTTA_GNOME_ROOT:=/var/cache/parlotta-test/gnome48}"
export PARLOTTA_GNOME_ROOT

step "builds"
cmake --preset default >/dev/null
cmake --build --preset tests
cmake --preset asan >/dev/null
cmake --build --preset asan
# The daemon as a release would be built, but pointed at the update test's
# release site on loopback (the release site's address is compiled in).
cmake --preset releases-test >/dev/null
cmake --build --preset releases-test
# The whisper-server a release carries (every x86-64 CPU, Vulkan), which the
# release tests pack and run: built once into the shared cache.
step "the portable whisper-server"
scratch=$(mktemp -d)
tools/build-whisper-server.sh --portable build/cache/whisper.cpp "$scratch"
rm -rf "$scratch"

# Qt's own libraries are not instrumented; leaks are checked, their one-time
# allocations at exit are not ours to chase.
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

status=0
step "unit and release tests"
ctest --test-dir build -L 'unit|release' --output-on-failure || status=1
# The release rows pack and run the portable server for minutes; once is enough.
ctest --test-dir build-asan -L unit --output-on-failure || status=1
step "end-to-end tests"
tests/support/headless-desktop.sh bash -c '
  ctest --test-dir build -L e2e --output-on-failure
  normal=$?
  ctest --test-dir build-asan -L e2e --output-on-failure
  sanitized=$?
  exit $((normal || sanitized))' || status=1
# Every parser of what other programs or hand edits give us, half a minute each.
step "fuzzers"
tools/fuzz.sh 30 || status=1
step "done"
exit $status
