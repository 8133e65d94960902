#!/usr/bin/env bash
# Runs a headless Wayland compositor until it is terminated: sway, KWin, KWin
# without Parlotta's desktop entry (it then grants the daemon nothing, and the
# desktop portal is restarted for this session), or weston (no clipboard
# access and no keyboard for clients). Prints the variables that lead to the
# session, one per line ("NAME=" unsets), then "ready".
#   usage: wayland-session.sh sway|kwin|kwin-unlisted|weston DIR [SWAY-CONFIG]
# The environment names the test's programs: PARLOTTA, WLKEY, SWAY_AS_ROOT.
set -euo pipefail
kind=$1
dir=$2
run=$dir/run
mkdir -p -m 700 "$run"
export XDG_RUNTIME_DIR=$run
unset DISPLAY
case $kind in
  sway)
    printf 'xwayland disable\n%s' "${3:-}" >"$dir/config"
    WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman LD_PRELOAD=$SWAY_AS_ROOT \
      sway -c "$dir/config" >"$dir/compositor.log" 2>&1 &
    socket=wayland-1 desktop=sway settle=0.5
    ;;
  kwin | kwin-unlisted)
    # The copy drops the file capability that a container refuses; KWin
    # finds its plugins only under its own name.
    mkdir -p "$dir/bin" "$dir/data/applications"
    cp /usr/bin/kwin_wayland "$dir/bin/"
    # KWin grants fake input to programs whose installed desktop entry asks
    # for it: the daemon's own entry, and the test's key tool.
    [[ $kind == kwin ]] && sed "s|^Exec=parlotta|Exec=$PARLOTTA|" \
      "$(dirname "$0")/../../packaging/com.parlotta.app.desktop" \
      >"$dir/data/applications/com.parlotta.app.desktop"
    printf '[Desktop Entry]\nType=Application\nName=wlkey\nExec=%s\nNoDisplay=true\n%s\n' \
      "$WLKEY" X-KDE-Wayland-Interfaces=org_kde_kwin_fake_input >"$dir/data/applications/wlkey.desktop"
    export XDG_DATA_HOME=$dir/data XDG_CACHE_HOME=$dir/cache XDG_CURRENT_DESKTOP=KDE
    kbuildsycoca5 --noincremental >/dev/null 2>&1
    # Software painting leaves the CPU to whisper.
    KWIN_COMPOSE=Q "$dir/bin/kwin_wayland" --virtual --width 1024 --height 768 \
      --socket wayland-kw >"$dir/compositor.log" 2>&1 &
    socket=wayland-kw desktop=KDE settle=3 # KWin loads its plugins after the socket
    ;;
  weston)
    weston --backend=headless-backend.so --socket=wayland-w >"$dir/compositor.log" 2>&1 &
    socket=wayland-w desktop=weston settle=0.5
    ;;
esac
compositor=$!
trap 'kill $compositor 2>/dev/null; wait $compositor 2>/dev/null' EXIT
trap 'exit 0' TERM INT
for _ in $(seq 400); do [[ -S $run/$socket ]] && break; sleep 0.05; done
sleep "$settle"
kill -0 $compositor
export WAYLAND_DISPLAY=$run/$socket XDG_CURRENT_DESKTOP=$desktop QT_QPA_PLATFORM=wayland
if [[ $kind == kwin-unlisted ]]; then
  # The portal and its back ends, afresh for this session (an earlier one may
  # serve another display): only those of the test's own bus, by the PIDs the
  # bus knows, never a portal of the desktop this runs on.
  for name in org.freedesktop.portal.Desktop org.freedesktop.impl.portal.desktop.kde \
    org.freedesktop.impl.portal.desktop.gtk org.freedesktop.impl.portal.PermissionStore; do
    pid=$(dbus-send --session --print-reply=literal --dest=org.freedesktop.DBus / \
      org.freedesktop.DBus.GetConnectionUnixProcessID "string:$name" 2>/dev/null |
      awk '{print $2}') || true
    [[ -n $pid ]] && kill "$pid" 2>/dev/null || true
  done
  dbus-update-activation-environment WAYLAND_DISPLAY XDG_CURRENT_DESKTOP QT_QPA_PLATFORM \
    XDG_DATA_HOME XDG_CACHE_HOME
fi
for name in WAYLAND_DISPLAY XDG_CURRENT_DESKTOP QT_QPA_PLATFORM XDG_DATA_HOME XDG_CACHE_HOME; do
  echo "$name=${!name:-}"
done
# Qt on Wayland joins the accessibility bus only when a screen reader is on.
echo QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
echo DISPLAY=
echo ready
wait $compositor
