#!/usr/bin/env bash
# Installs the Debian packages the build and the test harness need, only when something is missing.
set -euo pipefail

packages=(
  g++-mingw-w64-i686-posix libz-mingw-w64-dev nlohmann-json3-dev googletest nasm
  wine wine32:i386 xvfb xauth pulseaudio pulseaudio-utils
  sox libsox-fmt-mp3 lame ffmpeg mpg123 unzip zip p7zip-full imagemagick python3 tzdata
  dpkg-dev cmake make pkg-config clang-format
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
