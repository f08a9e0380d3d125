#!/usr/bin/env bash
# Installs everything the build, the main job and the tests need. Idempotent.
set -euo pipefail
pkgs=(cmake ninja-build g++ g++-mingw-w64-x86-64-posix mingw-w64-tools
      libz-mingw-w64-dev wine wine64 xvfb x11-utils openssl python3
      googletest imagemagick libarchive-dev zip p7zip-full osslsigncode
      libcurl4-openssl-dev libjansson-dev libssl-dev)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "deps: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi
