#!/usr/bin/env bash
# Runs a headless GNOME Shell (Wayland, XWayland on demand) in the Debian 13
# tree that gnome-chroot.sh built, with its own session bus and the desktop
# portal, until it is terminated. /tmp is shared with the tree, so that
# programs outside it reach the session through the sockets in RUNTIME.
# Prints the variables that lead to the session, one per line ("NAME=" unsets),
# then "ready".
#   usage: gnome-session.sh ROOT RUNTIME
#          gnome-session.sh ROOT RUNTIME keys STEP...   types through Mutter's
#            remote desktop: CODE:1 / CODE:0 press / release a key (evdev
#            code), button:1 / button:0 the left mouse button, sleep:MS waits.
#          gnome-session.sh ROOT RUNTIME press APP ROLE NAME   does the first
#            action of a widget of a running application, through AT-SPI
#            (exit status 1 when there is no such widget).
set -euo pipefail
root=$1
run=$2
if [[ ${3:-} == press ]]; then
  exec chroot "$root" env -i PATH=/usr/bin:/bin HOME=/root XDG_RUNTIME_DIR="$run" \
    DBUS_SESSION_BUS_ADDRESS="unix:path=$run/bus" python3 - press "${@:4}" \
    <"$(dirname "$0")/atspi.py"
fi
if [[ ${3:-} == keys ]]; then
  shift 3
  exec chroot "$root" env -i PATH=/usr/bin:/bin HOME=/root XDG_RUNTIME_DIR="$run" \
    DBUS_SESSION_BUS_ADDRESS="unix:path=$run/bus" python3 - "$@" <<'PY'
import sys, time
from gi.repository import Gio, GLib
bus = Gio.bus_get_sync(Gio.BusType.SESSION)
M = 'org.gnome.Mutter.RemoteDesktop'
def call(path, iface, method, args=None, rtype=None):
    return bus.call_sync(M, path, iface, method, args, rtype, 0, 5000, None)
# The shell claims the remote desktop's name a while after its own.
for attempt in range(300):
    try:
        session = call('/org/gnome/Mutter/RemoteDesktop', M, 'CreateSession', None,
                       GLib.VariantType('(o)')).unpack()[0]
        break
    except GLib.Error as e:
        if 'ServiceUnknown' not in e.message or attempt == 299:
            raise
        time.sleep(0.1)
call(session, M + '.Session', 'Start')
time.sleep(0.3)  # windows learn of the new keyboard first
for step in sys.argv[1:]:
    what, value = step.split(':')
    if what == 'sleep':
        time.sleep(int(value) / 1000)
    elif what == 'button':  # the left button where the pointer is (the middle)
        call(session, M + '.Session', 'NotifyPointerButton',
             GLib.Variant('(ib)', (272, value == '1')))
    else:
        call(session, M + '.Session', 'NotifyKeyboardKeycode',
             GLib.Variant('(ub)', (int(what), value == '1')))
        time.sleep(0.02)
call(session, M + '.Session', 'Stop')
PY
fi
mkdir -p -m 700 "$run"
mounts=()
pids=()
stop_all() {
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null || true; done
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do wait "${pids[i]}" 2>/dev/null || true; done
  # What the buses started in the tree (portals, gvfs, dconf…) goes too.
  local p
  for p in /proc/[0-9]*; do
    [[ $(readlink "$p/root" 2>/dev/null) == "$root" ]] && kill "${p#/proc/}" 2>/dev/null
  done
  rm -f "$root/run/dbus/pid"
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do umount -l "${mounts[i]}" 2>/dev/null || true; done
}
trap stop_all EXIT
trap 'exit 0' TERM INT
for m in proc sys dev tmp; do
  mountpoint -q "$root/$m" && continue
  if [[ $m == proc ]]; then mount -t proc proc "$root/proc"; else mount --rbind "/$m" "$root/$m"; fi
  mounts+=("$root/$m")
done
in_root() {
  chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root XDG_RUNTIME_DIR="$run" \
    DBUS_SESSION_BUS_ADDRESS="unix:path=$run/bus" XDG_SESSION_TYPE=wayland \
    XDG_CURRENT_DESKTOP=GNOME WAYLAND_DISPLAY=wayland-gnome "$@"
}
# Parlotta's desktop entry where its package puts it: the portal knows an
# application by it, and only when the program it starts exists (the daemon
# itself runs outside the tree; a stand-in is its launcher on the PATH here).
cp "$(dirname "$0")/../../packaging/com.parlotta.app.desktop" "$root/usr/share/applications/"
ln -sf /bin/true "$root/usr/bin/parlotta"
# gnome-shell follows logind's seats where it finds them; here there are none.
rm -rf "$root/run/systemd/seats"
mkdir -p "$root/run/dbus"
# A system bus left by a session that was killed goes first.
[[ -e "$root/run/dbus/pid" ]] && kill "$(cat "$root/run/dbus/pid")" 2>/dev/null || true
rm -f "$root/run/dbus/pid"
chroot "$root" dbus-daemon --system --fork
# What the bus starts (portals, gvfs, goa…) writes to its log, not into the
# test's output, where a failure's own lines would drown.
in_root dbus-daemon --session --nofork --nopidfile --address="unix:path=$run/bus" \
  >"$run/bus.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [[ -S "$run/bus" ]] && break; sleep 0.05; done
in_root dbus-update-activation-environment WAYLAND_DISPLAY XDG_CURRENT_DESKTOP XDG_RUNTIME_DIR \
  XDG_SESSION_TYPE
# The shortcut Parlotta asks for, allowed beforehand: GNOME then binds it without its dialog.
in_root dconf write /org/gnome/settings-daemon/global-shortcuts/applications "['com.parlotta.app']"
in_root dconf write /org/gnome/settings-daemon/global-shortcuts/com.parlotta.app/shortcuts \
  "[('push-to-talk', {'shortcuts': <['F9']>, 'description': <'Push to talk'>})]"
in_root gnome-shell --headless --wayland --virtual-monitor 1280x720 \
  --wayland-display wayland-gnome >"$run/shell.log" 2>&1 &
pids+=($!)
for name in org.gnome.Shell org.gnome.Mutter.RemoteDesktop; do
  for _ in $(seq 600); do
    in_root gdbus call --session -d org.freedesktop.DBus -o /org/freedesktop/DBus \
      -m org.freedesktop.DBus.NameHasOwner "$name" 2>/dev/null | grep -q true && break
    sleep 0.1
  done
done
# The seat has a keyboard only while a remote desktop session runs, and no
# window gets the focus without one: one runs for the session's life, its
# keyboard made by a Shift press. (Escape, pressed while the shell was still
# opening its overview, at times left it in a mode where no portal shortcut
# fires; the test's click on its window leaves the overview instead.)
"$0" "$root" "$run" keys 42:1 42:0 sleep:100000000 &
pids+=($!)
sleep 1
# XWayland's display, reserved by the shell (its lock file names it), for
# the test's own X11 windows.
for lock in /tmp/.X*-lock; do
  if [[ $(cat "/proc/$(tr -dc 0-9 <"$lock")/comm" 2>/dev/null) == gnome-shell ]]; then
    n=${lock#/tmp/.X}
    echo "XWAYLAND_DISPLAY=:${n%-lock}"
  fi
done
echo "XWAYLAND_AUTHORITY=$(ls "$run"/.mutter-Xwaylandauth.* | head -n1)"
echo "DBUS_SESSION_BUS_ADDRESS=unix:path=$run/bus"
echo "WAYLAND_DISPLAY=$run/wayland-gnome"
echo "XDG_RUNTIME_DIR=$run"
echo XDG_CURRENT_DESKTOP=GNOME
echo XDG_SESSION_TYPE=wayland
echo QT_QPA_PLATFORM=wayland
# The daemon finds XWayland's display itself.
echo DISPLAY=
echo XAUTHORITY=
echo ready
wait "${pids[1]}"
