#!/usr/bin/env bash
# Main job: builds the release exe and a copy that talks to a local release
# host, then installs and updates a sample release under Wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/deps.sh

echo "== building the release exe (default constants)"
cmake -S . -B build/release -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
  -DBRISQUEL_TESTS=OFF >/dev/null
cmake --build build/release >/dev/null
exe=build/release/BrisquelBuilder.exe
echo "   $exe: $(stat -c %s $exe) bytes, imports: $(x86_64-w64-mingw32-objdump -p $exe |
  awk '/DLL Name:/{printf "%s ", $3}')"

echo "== building a copy for the local release host, and the demo's tools"
demo=build/demo-build
cmake -S . -B $demo -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
  -DBRISQUEL_RELEASE_HOST=https://localhost:47443/ \
  -DBRISQUEL_API_BASE=https://localhost:47443/api/ >/dev/null
cmake --build $demo --target BrisquelBuilder tool_observer tool_recorder tool_trust_ca libarchive_win >/dev/null

export WINEDEBUG=-all WINEPREFIX=$root/$demo/wineprefix BRISQUEL_BUILD=$root/$demo
started_x=""
if [ -z "${DISPLAY:-}" ]; then
  export DISPLAY=:$(( 500 + RANDOM % 400 ))
  Xvfb "$DISPLAY" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  started_x=$!
  sleep 1
fi
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  if [ -n "$started_x" ]; then kill "$started_x" 2>/dev/null || true; fi
}
trap cleanup EXIT
echo "== preparing the Wine prefix ($WINEPREFIX)"
bash tests/prepare_prefix.sh "$root/$demo" >/dev/null
wineserver -p >/dev/null 2>&1 || true
python3 demo/run_demo.py
