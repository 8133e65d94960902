#!/usr/bin/env bash
# Runs a command with PipeWire's PulseAudio server in place of PulseAudio (the
# usual Debian desktop's sound server), inside a headless desktop: the same
# default microphone "mic" fed from the sink "feed". Stops what it started and
# exits with the command's status.
#   usage: headless-desktop.sh tests/support/pipewire-session.sh COMMAND [ARG...]
set -euo pipefail

run=$(mktemp -d /tmp/parlotta-pipewire.XXXXXX)
pids=()
stop_all() {
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[i]}" 2>/dev/null || true
    wait "${pids[i]}" 2>/dev/null || true
  done
  rm -rf "$run"
}
trap stop_all EXIT

# Its own runtime folder: the desktop's PulseAudio keeps its socket.
chmod 700 "$run"
start() { XDG_RUNTIME_DIR="$run" "$@" >>"$run/log" 2>&1 & pids+=($!); }
start pipewire
sleep 0.3
start wireplumber
start pipewire-pulse
export PULSE_SERVER="unix:$run/pulse/native"
for _ in $(seq 100); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
pactl info | grep -q 'on PipeWire' || { echo "pipewire-session: no PipeWire" >&2; exit 1; }

# Until WirePlumber has started, and until PipeWire has made the node a step
# names ("feed.monitor", "mic"), pactl answers "Failure: Not supported": each
# step is tried again for up to 5 s.
again() {
  for _ in $(seq 50); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
  "$@" >/dev/null
}
again pactl load-module module-null-sink sink_name=feed rate=16000 channels=1 format=s16le
again pactl load-module module-remap-source master=feed.monitor source_name=mic
again pactl load-module module-null-sink sink_name=speakers
again pactl set-default-source mic
again pactl set-default-sink speakers
pacat --playback -d feed --latency-msec=20 --format=s16le --rate=16000 --channels=1 /dev/zero &
pids+=($!)

set +e
"$@"
status=$?
set -e
exit "$status"
