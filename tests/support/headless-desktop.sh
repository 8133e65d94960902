#!/usr/bin/env bash
# Runs a command inside a private headless desktop: Xvfb, openbox, a tray,
# a session bus with the accessibility bus, and PulseAudio whose default microphone is fed from a sink
# named "feed" (play speech into it with `paplay -d feed FILE.wav`).
# Stops exactly the processes it started, and exits with the command's status.
#   usage: headless-desktop.sh COMMAND [ARG...]
# It needs the xkey test tool of a build (XKEY, build/tests/support/xkey by default).
set -euo pipefail

work=$(mktemp -d /tmp/parlotta-desktop.XXXXXX)
pids=()

stop_all() {
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[i]}" 2>/dev/null || true
  done
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    wait "${pids[i]}" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap stop_all EXIT

wait_for() { # seconds, command...
  local tries=$(($1 * 20))
  shift
  while ! "$@" >/dev/null 2>&1; do
    tries=$((tries - 1))
    if ((tries <= 0)); then
      echo "headless-desktop: timed out waiting for: $*" >&2
      return 1
    fi
    sleep 0.05
  done
}

export XDG_RUNTIME_DIR="$work/run"
mkdir -m 700 "$XDG_RUNTIME_DIR"

Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp -noreset 3>"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
wait_for 10 test -s "$work/display"
export DISPLAY=":$(head -n1 "$work/display")"

dbus-daemon --session --nofork --nopidfile --address="unix:path=$work/bus" &
pids+=($!)
export DBUS_SESSION_BUS_ADDRESS="unix:path=$work/bus"
wait_for 10 test -S "$work/bus"

openbox --sm-disable >"$work/openbox.log" 2>&1 &
pids+=($!)
wait_for 10 sh -c 'xprop -root _NET_SUPPORTING_WM_CHECK | grep -q "window id"'

trayer --edge top --align right --widthtype request --height 32 --SetDockType true \
  --transparent false >"$work/trayer.log" 2>&1 &
pids+=($!)
# The tray owns its selection once it docks icons; a daemon started before
# that would find no tray.
wait_for 10 "${XKEY:-$(dirname "$0")/../../build/tests/support/xkey}" owner _NET_SYSTEM_TRAY_S0

# The accessibility bus, through which tests read and press windows' widgets
# as assistive technology does.
/usr/libexec/at-spi-bus-launcher --launch-immediately >"$work/at-spi.log" 2>&1 &
pids+=($!)

# A decoy source comes first, so only a recorder that follows the server's
# default source (not the first one listed) hears the test speech.
mkdir -m 700 "$XDG_RUNTIME_DIR/pulse"
cat >"$work/default.pa" <<PA
load-module module-native-protocol-unix socket=$XDG_RUNTIME_DIR/pulse/native auth-anonymous=1
load-module module-null-source source_name=decoy
load-module module-null-sink sink_name=feed rate=16000 channels=1 format=s16le
load-module module-null-sink sink_name=speakers
load-module module-remap-source master=feed.monitor source_name=mic
set-default-source mic
set-default-sink speakers
PA
pulseaudio -n -F "$work/default.pa" --daemonize=no --exit-idle-time=-1 --use-pid-file=no \
  --log-target=stderr 2>"$work/pulse.log" &
pids+=($!)
export PULSE_SERVER="unix:$XDG_RUNTIME_DIR/pulse/native"
wait_for 10 pactl info

# Keeps the microphone delivering exact-zero silence between utterances.
pacat --playback -d feed --latency-msec=20 --format=s16le --rate=16000 --channels=1 /dev/zero &
pids+=($!)
sox -n -r 16000 -c 1 -b 16 "$work/silence.wav" trim 0 0.2
paplay -d feed "$work/silence.wav" # the first playback after the feeder starts is lost

set +e
"$@"
status=$?
set -e
exit "$status"
