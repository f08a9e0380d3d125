#!/usr/bin/env bash
# Builds the release exe twice, in two build trees at different paths, and
# checks that the two are the same to the byte.
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for d in a b/deeper; do
  cmake -S "$src" -B "$work/$d" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-w64.cmake" \
    -DBRISQUEL_TESTS=OFF >/dev/null
  cmake --build "$work/$d" --target BrisquelBuilder >/dev/null
done
one=$work/a/BrisquelBuilder.exe
two=$work/b/deeper/BrisquelBuilder.exe
if cmp -s "$one" "$two"; then
  echo "identical: $(sha256sum < "$one" | cut -c1-16)... $(stat -c %s "$one") bytes"
else
  echo "the two builds differ:"
  cmp -l "$one" "$two" | head -n 10
  exit 1
fi
