#!/usr/bin/env bash
# Creates the test run's Wine prefix inside the build tree ($1): trusts the
# test CA, places the real tar (bsdtar of libarchive 3.7.2, as Windows
# ships it; built into $1/tools/bsdtar.exe) as the system tar.exe, and turns
# off window management (no window manager runs under Xvfb).
set -euo pipefail
build=$1
src=$(cd "$(dirname "$0")/.." && pwd)
: "${WINEPREFIX:?}"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wineboot -i >/dev/null 2>&1 || true
  wineserver -w
fi
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 || true
# Runs start at 96 DPI, whatever a test that changed it and was killed left.
wine reg delete 'HKCU\Control Panel\Desktop' /v LogPixels /f >/dev/null 2>&1 || true
# Test CA and server certificate (made once per build tree).
bash "$src/tests/server/make_certs.sh" "$build/certs"
wine "$build/tools/trust_ca.exe" "$build/certs/ca.der"
sys32=$WINEPREFIX/drive_c/windows/system32
cp "$build/tools/bsdtar.exe" "$sys32/tar.exe"
# A fault layer a test placed (harness.Bench.place_tar) is gone again.
rm -f "$sys32/bsdtar.exe"
