#!/usr/bin/env bash
# Fuzzes the plain code with libFuzzer under AddressSanitizer and
# UndefinedBehaviorSanitizer (clang 14), in its own build tree build/fuzz.
#
#   scripts/fuzz.sh [seconds-per-target]     default 300 (the long run)
#
# For each target of tests/fuzz: replays every kept regression input, fuzzes
# for the given time starting from the seed corpus and the work corpus of
# earlier runs (build/fuzz/corpus/<target>, kept between runs; delete it for
# a run from the seeds alone), then measures
# the source coverage that the corpus reaches. Prints one block per target;
# the full libFuzzer logs stay in build/fuzz/logs. Exits non-zero when any
# input crashes or breaks a promise the target checks.
set -uo pipefail
secs=${1:-300}
if ! [[ $secs =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: $0 [seconds-per-target]" >&2
  exit 2
fi
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

pkgs=(clang-14 libclang-rt-14-dev llvm-14 cmake ninja-build)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "fuzz: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  { apt-get update -qq && apt-get install -y -qq "${missing[@]}" >/dev/null; } ||
    { echo "fuzz: could not install ${missing[*]}"; exit 1; }
fi

build=${BUILD_ROOT:-build}/fuzz   # the test command's build root, when it sets one
mkdir -p "$build/logs"
# Two runs at once would share the build tree and the work corpora.
exec 9>"$build/.lock"
flock 9

log=$build/logs/build.log
if ! { cmake -S . -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
         -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRISQUEL_FUZZ=ON -DBRISQUEL_TESTS=OFF &&
       cmake --build "$build" -j"${JOBS:-2}" --target fuzzers; } >"$log" 2>&1; then
  tail -n 40 "$log"
  echo "fuzz: build failed (log: $log)"
  exit 1
fi

# Product sources that each target is meant to reach, for the coverage line.
declare -A sources=(
  [fuzz_setup_list]="src/setuplist/setup_list.cpp src/setuplist/part_folder.cpp src/setuplist/list_signature.cpp src/base/base64.cpp"
  [fuzz_release_link]="src/net/release_link.cpp"
  [fuzz_requested_tag]="src/net/setup_address.cpp src/base/cmdline.cpp"
)
targets=(fuzz_setup_list fuzz_release_link fuzz_requested_tag)
export UBSAN_OPTIONS=print_stacktrace=1
status=0
crashed=()

# Prints where a libFuzzer log says the failure is: the sanitizer's or the
# target's own line, and the input it kept.
show_failure() {
  grep -m1 -E 'ERROR: (AddressSanitizer|libFuzzer|UndefinedBehaviorSanitizer)|runtime error|broken promise' "$1" |
    sed 's/^/    /'
  grep -m1 -E '^ *#[0-9]+ .* in .*/(src|tests)/' "$1" | sed 's/^ */    at /'
  grep 'Running: ' "$1" | tail -n1 | sed 's/^Running: /    input: /'
  grep -m1 'Test unit written to' "$1" | sed 's/^/    /'
}

for t in "${targets[@]}"; do
  bin=$build/fuzz/$t
  echo "$t"

  regs=(tests/fuzz/regressions/$t/*)
  if [ -e "${regs[0]}" ]; then
    rlog=$build/logs/$t.regressions.log
    if "$bin" "${regs[@]}" >"$rlog" 2>&1; then
      echo "  regressions: ${#regs[@]} inputs replayed, no crash"
    else
      echo "  regressions: CRASH (log: $rlog)"
      show_failure "$rlog"
      status=1
      crashed+=("$t")
    fi
  else
    echo "  regressions: none kept"
  fi

  work=$build/corpus/$t
  arts=$build/artifacts/$t/$(date +%Y%m%d-%H%M%S)/
  mkdir -p "$work" "$arts"
  flog=$build/logs/$t.log
  "$bin" "$work" "tests/fuzz/corpus/$t" -dict="tests/fuzz/$t.dict" \
    -max_total_time="$secs" -max_len=8192 -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$arts" >"$flog" 2>&1
  rc=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$flog")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$flog")
  last=$(grep -E '^#[0-9]+' "$flog" | grep 'cov:' | tail -n1)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
  corp=$(sed -n 's/.* corp: \([0-9]*\).*/\1/p' <<<"$last")
  pcs=$(sed -n 's/.*Loaded 1 PC tables (\([0-9]*\) PCs).*/\1/p' "$flog" | head -n1)
  kept=$(find "$arts" -type f | wc -l)
  if [ "$rc" = 0 ]; then
    echo "  fuzzing: ${secs} s, ${execs:-?} execs (${rate:-?}/s), cov ${cov:-?} of ${pcs:-?} counters, ft ${ft:-?}, corpus ${corp:-?}, crashes 0"
  else
    echo "  fuzzing: ${secs} s, ${execs:-?} execs, cov ${cov:-?} of ${pcs:-?} counters, ft ${ft:-?}, crashes $kept (exit $rc, log: $flog)"
    show_failure "$flog"
    status=1
    crashed+=("$t")
  fi

  # Line and branch coverage of the product sources over the whole corpus.
  cov_dir=$build/coverage/$t
  rm -rf "$cov_dir"
  mkdir -p "$cov_dir"
  if LLVM_PROFILE_FILE="$cov_dir/run.profraw" "$build/fuzz/${t}_cov" "$work" "tests/fuzz/corpus/$t" \
       >"$cov_dir/replay.log" 2>&1 &&
     llvm-profdata-14 merge -sparse -o "$cov_dir/run.profdata" "$cov_dir/run.profraw" 2>>"$cov_dir/replay.log" &&
     llvm-cov-14 report "$build/fuzz/${t}_cov" -instr-profile="$cov_dir/run.profdata" \
       ${sources[$t]} >"$cov_dir/report.txt" 2>>"$cov_dir/replay.log"; then
    # Columns: file, regions, missed, cover, functions, missed, cover,
    # lines, missed, cover, branches, missed, cover.
    awk '$1 ~ /\.cpp$/ {n = split($1, path, "/");
           printf "  source: %-16s lines %s/%s (%s), branches %s/%s (%s)\n",
           path[n], $8-$9, $8, $10, $11-$12, $11, $13}' "$cov_dir/report.txt"
  else
    echo "  source: coverage not measured (log: $cov_dir/replay.log)"
  fi
done

if [ "$status" = 0 ]; then
  echo "fuzz: ${#targets[@]} targets, ${secs} s each, no crash"
else
  echo "fuzz: crash in ${crashed[*]}; inputs under $build/artifacts"
fi
exit $status
