#!/usr/bin/env bash
# Main job: builds the release exe and runs it under Wine so its window shows.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/deps.sh

cmake -S . -B build/release -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
  -DBRISQUEL_TESTS=OFF >/dev/null
cmake --build build/release
exe=build/release/BrisquelBuilder.exe
echo "built $exe: $(stat -c %s $exe) bytes"
echo "imports: $(x86_64-w64-mingw32-objdump -p $exe | awk '/DLL Name:/{printf "%s ", $3}')"

export WINEDEBUG=-all WINEPREFIX=$root/build/release/wineprefix
started_x=""
if [ -z "${DISPLAY:-}" ]; then
  export DISPLAY=:$(( 500 + RANDOM % 400 ))
  Xvfb "$DISPLAY" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  started_x=$!
fi
cleanup() { wineserver -k >/dev/null 2>&1 || true; [ -n "$started_x" ] && kill "$started_x" 2>/dev/null || true; }
trap cleanup EXIT
[ -f "$WINEPREFIX/system.reg" ] || { wineboot -i >/dev/null 2>&1 || true; wineserver -w; }
base=$(mktemp -d)
echo "starting the setup under Wine (data root $base)"
TAMROCK_SETUP_BASE="Z:${base//\//\\}" timeout 20 wine "$exe" &
sleep 8
if command -v import >/dev/null; then
  import -window root build/release/window.png && echo "screenshot: build/release/window.png"
fi
wait || true
