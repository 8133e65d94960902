#!/usr/bin/env bash
# The long-running checks (bench_soak.cpp) inside the private headless desktop:
#   bench/soak.sh [DICTATIONS]     (default 500; about 3 s each)
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset default >/dev/null
cmake --build --preset default --target bench_soak whisper_server
ctest --test-dir build -R '^fixture_model_' >/dev/null # the real server's test models
tests/support/headless-desktop.sh build/bench/bench_soak "$@"
