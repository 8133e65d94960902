#!/usr/bin/env bash
# Builds and runs the benchmarks inside the private headless desktop; prints their figures.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset default >/dev/null
cmake --build --preset default --target bench_dictation bench_tap bench_settings bench_download bench_tray bench_idle whisper_server
ctest --test-dir build -R '^fixture_model_' >/dev/null # the real server's test models
tests/support/headless-desktop.sh bash -c "build/bench/bench_tap && build/bench/bench_tray && build/bench/bench_settings && build/bench/bench_download && build/bench/bench_dictation $*"
