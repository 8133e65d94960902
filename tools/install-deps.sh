#!/usr/bin/env bash
# Installs the Debian 12 packages Parlotta needs (the Vulkan ones build and
# find whisper-server's GPU backend). With --test, also what the headless test
# desktop needs (X server, window manager, tray, sound server), the Wayland
# compositors the Wayland tests start (sway, KWin, weston) and their tools,
# debootstrap (for the GNOME tests' Debian 13 tree, which tests/run.sh builds),
# Mesa's software Vulkan driver and qemu-user (the release's server on other CPUs).
# Packages already present are skipped, so a second run costs about a second.
set -euo pipefail

build_pkgs=(cmake ninja-build g++ pkg-config clang-format qt6-base-dev qt6-svg-dev
  libx11-dev libx11-xcb-dev libxi-dev libxtst-dev libxkbcommon-x11-dev libarchive-dev libssl-dev
  libpulse-dev libcurl4-openssl-dev ca-certificates openssl python3
  glslc spirv-headers libvulkan1 vulkan-tools curl qt6-wayland libwayland-dev
  plasma-wayland-protocols qtkeychain-qt6-dev)
# npm fetches the pinned whisper.cpp source. A machine whose Node.js came from
# elsewhere has its own npm, and Debian's would conflict with it.
command -v npm >/dev/null || build_pkgs+=(npm)
test_pkgs=(xvfb xauth x11-utils openbox trayer xdotool xclip xsel imagemagick dbus-daemon zenity
  pulseaudio pulseaudio-utils sox espeak-ng procps curl python3 python3-numpy xterm clang libclang-rt-14-dev
  at-spi2-core python3-pyatspi fonts-dejavu-core mesa-vulkan-drivers qemu-user xfce4-settings
  sway kwin-wayland libkf5globalaccel-bin libkf5service-bin qtwayland5 weston wtype wl-clipboard
  xdg-desktop-portal xdg-desktop-portal-kde debootstrap pipewire pipewire-pulse wireplumber
  stunnel4 gnome-keyring)

pkgs=("${build_pkgs[@]}")
[[ "${1:-}" == "--test" ]] && pkgs+=("${test_pkgs[@]}")

missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=()
[[ $(id -u) -ne 0 ]] && sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get -o DPkg::Lock::Timeout=600 update -q
"${sudo[@]}" apt-get -o DPkg::Lock::Timeout=600 install -y -q --no-install-recommends "${missing[@]}"
