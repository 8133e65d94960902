#!/usr/bin/env bash
# Builds, once, a Debian 13 tree with GNOME 48 in which the tests run a
# headless GNOME Shell (Debian 12 has no global shortcuts portal for GNOME).
# Kept between runs: a tree that finished building is marked and reused.
#   usage: gnome-chroot.sh DIR
set -euo pipefail
root=$1
[[ -e "$root/.parlotta-ready" ]] && exit 0
rm -rf "$root"
debootstrap --variant=minbase trixie "$root" http://deb.debian.org/debian
chroot "$root" apt-get install -y -q --no-install-recommends \
  gnome-shell gnome-control-center xdg-desktop-portal xdg-desktop-portal-gnome dbus \
  dbus-user-session python3-gi gir1.2-glib-2.0 dconf-cli libglib2.0-bin xwayland \
  libgl1-mesa-dri wl-clipboard at-spi2-core python3-pyatspi gir1.2-atspi-2.0
chroot "$root" apt-get clean
mkdir -p "$root/etc/xdg-desktop-portal"
printf '[preferred]\ndefault=gnome;gtk;\n' >"$root/etc/xdg-desktop-portal/portals.conf"
touch "$root/.parlotta-ready"
