#!/usr/bin/env bash
# Runs every test: plain code natively under sanitizers, then the Windows
# build under Wine (unit tests and end-to-end tests of the real exe) on a
# private Xvfb display and a Wine prefix inside the build tree.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/deps.sh || exit 1

jobs=${JOBS:-2}
# BRISQUEL_ONLY=REGEX runs only the tests whose names match, and no fuzzing.
only=()
[ -n "${BRISQUEL_ONLY:-}" ] && only=(-R "$BRISQUEL_ONLY")
out=${BUILD_ROOT:-build}   # another root gives a run of its own, e.g. a clean one
native=$out/native
win=$out/test
export WINEDEBUG=-all
export WINEPREFIX=$root/$win/wineprefix
export BRISQUEL_BUILD=$root/$win

# --- native ---------------------------------------------------------------
cmake -S . -B $native -G Ninja -DBRISQUEL_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null || exit 1
cmake --build $native -j"$jobs" || exit 1

# --- windows --------------------------------------------------------------
cmake -S . -B $win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
  -DBRISQUEL_RELEASE_HOST=https://localhost:47443/ \
  -DBRISQUEL_API_BASE=https://localhost:47443/api/ \
  -DBRISQUEL_REPOSITORY=tamrock/brisquel >/dev/null || exit 1
cmake --build $win -j"$jobs" || exit 1

# A display of our own: Wine windows can only be found with one.
disp=:$(( 90 + RANDOM % 400 ))
Xvfb "$disp" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
export DISPLAY=$disp
cleanup() {
  wineserver -k >/dev/null 2>&1
  kill "$xvfb_pid" >/dev/null 2>&1
}
trap cleanup EXIT
bash tests/prepare_prefix.sh "$root/$win" || { echo "could not prepare the Wine prefix"; exit 1; }
wineserver -p >/dev/null 2>&1   # keep it up between the many short runs

# --- run ------------------------------------------------------------------
summary() {  # "N tests failed out of M" -> passed failed
  awk '/tests passed, .* tests failed out of/ {f=$4; t=$NF; print t-f, f}' "$1" | tail -n1
}
status=0
(cd $native && ctest --output-on-failure -j"$jobs" "${only[@]}" 2>&1) | tee $out/native-ctest.log
[ "${PIPESTATUS[0]}" = 0 ] || status=1
# A short fuzzing run of every target (the long one: scripts/fuzz.sh), at a
# lower priority beside the Windows tests, which mostly wait on Wine.
fuzz_pid=""
if [ -z "${BRISQUEL_ONLY:-}" ]; then
  nice -n 10 bash scripts/fuzz.sh "${FUZZ_SECONDS:-20}" >$out/fuzz.log 2>&1 &
  fuzz_pid=$!
fi
# The release server's ports are fixed: one Windows test run at a time on
# this machine (others that start the server take the same lock).
(cd $win && flock /tmp/brisquel-server.lock ctest --output-on-failure -j"$jobs" "${only[@]}" 2>&1) |
  tee $out/win-ctest.log
[ "${PIPESTATUS[0]}" = 0 ] || status=1

fuzz_failed=0
if [ -n "$fuzz_pid" ]; then
  wait "$fuzz_pid" || fuzz_failed=1
  cat $out/fuzz.log
  [ "$fuzz_failed" = 0 ] || status=1
fi

read -r np nf < <(summary $out/native-ctest.log; echo "0 0")
read -r wp wf < <(summary $out/win-ctest.log; echo "0 0")
passed=$(( ${np:-0} + ${wp:-0} ))
failed=$(( ${nf:-0} + ${wf:-0} + fuzz_failed ))
passed=$(( passed + 1 - fuzz_failed ))
[ "$status" = 0 ] || [ "$failed" -gt 0 ] || failed=1
echo "$passed passed, $failed failed"
exit $status
