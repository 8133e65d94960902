#!/usr/bin/env bash
# Builds the libFuzzer harnesses (tests/fuzz) with clang and runs each for
# SECONDS (default 60) on a copy of its seed corpus; prints each one's
# executions. Exits non-zero when a harness finds a crash, a leak or a failed
# invariant; the input that did it is left in build-fuzz/findings/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
harnesses=(transcript pid_file listening_sockets preferences model_listing version manifest
  server_address)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target "${harnesses[@]/#/fuzz_}"

work=build-fuzz/work
rm -rf "$work" && mkdir -p "$work" build-fuzz/findings
status=0
for name in "${harnesses[@]}"; do
  cp -r "tests/fuzz/corpus/$name" "$work/$name"
  log=$work/$name.log
  if QT_QPA_PLATFORM=offscreen "build-fuzz/tests/fuzz/fuzz_$name" "$work/$name" \
      -max_total_time="$seconds" -artifact_prefix="build-fuzz/findings/$name-" >"$log" 2>&1; then
    echo "fuzz $name: $(grep -o 'Done [0-9]* runs in [0-9]* second(s)' "$log" | tail -1)"
  else
    echo "fuzz $name: FAILED"
    tail -40 "$log"
    status=1
  fi
done
exit "$status"
