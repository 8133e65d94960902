#!/usr/bin/env bash
# Builds the libFuzzer harnesses (tests/fuzz) with clang and runs each for
# SECONDS (default 60) on a copy of its seed corpus; prints each one's
# executions. Exits non-zero when a harness finds a crash, a leak or a failed
# invariant; the input that did it is left in build-fuzz/findings/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
harnesses=(transcript pid_file listening_sockets preferences model_listing version manifest
  server_address text_pipeline)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target "${harnesses[@]/#/fuzz_}"

work=build-fuzz/work
rm -rf "$work" && mkdir -p "$work" build-fuzz/findings
# One harness; its verdict line, and the end of its log when it failed.
run() {
  local name=$1 log=$work/$1.log
  cp -r "tests/fuzz/corpus/$name" "$work/$name"
  if QT_QPA_PLATFORM=offscreen "build-fuzz/tests/fuzz/fuzz_$name" "$work/$name" \
      -max_total_time="$seconds" -artifact_prefix="build-fuzz/findings/$name-" >"$log" 2>&1; then
    echo "fuzz $name: $(grep -o 'Done [0-9]* runs in [0-9]* second(s)' "$log" | tail -1)" >"$log.verdict"
  else
    { echo "fuzz $name: FAILED"; tail -40 "$log"; } >"$log.verdict"
    return 1
  fi
}
# As many at once as there are cores: each harness runs on one.
status=0
pids=()
for name in "${harnesses[@]}"; do
  run "$name" &
  pids+=($!)
  if (( ${#pids[@]} >= $(nproc) )); then
    wait "${pids[0]}" || status=1
    pids=("${pids[@]:1}")
  fi
done
for pid in "${pids[@]}"; do wait "$pid" || status=1; done
for name in "${harnesses[@]}"; do cat "$work/$name.log.verdict"; done
exit "$status"
