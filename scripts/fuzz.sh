#!/usr/bin/env bash
# Fuzzes every parser of outside input with libFuzzer. Configures the clang build build-fuzz
# (TARN_FUZZ=ON), builds the fuzz targets, runs each one for the given number of seconds starting
# from its regression corpus (fuzz/corpus/<target>/), and prints a summary.
#
#   scripts/fuzz.sh [seconds-per-target] [target...]     (default: 60 seconds, every target)
#
# A run keeps going after a failure (libFuzzer's fork mode), so that it always uses its time;
# failing inputs land in build-fuzz/artifacts/<target>/ and the summary names each distinct
# failure once. Inputs that found new coverage collect in build-fuzz/corpus/<target>/. To keep a
# failing input: minimize it (build-fuzz/fuzz/fuzz_<target> -minimize_crash=1 -runs=10000 <file>),
# add it to fuzz/corpus/<target>/ under a name that says what it is, and fix the code.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

seconds=${1:-60}
shift || true
all_targets=()
for src in fuzz/*_fuzz.cpp; do
    name=${src##*/}
    all_targets+=("${name%_fuzz.cpp}")
done
if [ $# -gt 0 ]; then targets=("$@"); else targets=("${all_targets[@]}"); fi
build=$root/build-fuzz

command -v clang++ >/dev/null || { echo "fuzz.sh needs clang++ (libFuzzer)" >&2; exit 1; }
cmake -S . -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DTARN_FUZZ=ON \
      -DTARN_TESTS=OFF -DTARN_BENCHMARKS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target "${targets[@]/#/fuzz_}"

# The config and key store targets write a file per input: keep their scratch directories in
# memory when there is room for them.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi
export UBSAN_OPTIONS=print_stacktrace=1

summary=()
failed=0
for t in "${targets[@]}"; do
    corpus=$build/corpus/$t
    artifacts=$build/artifacts/$t
    log=$build/logs/$t.log
    mkdir -p "$corpus" "$artifacts" "$(dirname "$log")"
    rm -f "$artifacts"/*  # what failed in an earlier run is not this run's news
    echo "== $t: ${seconds}s"
    start=$(date +%s)
    set +e
    "$build/fuzz/fuzz_$t" -fork=1 -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1 \
        -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="$artifacts/" "$corpus" "$root/fuzz/corpus/$t" >"$log" 2>&1
    rc=$?
    set -e
    elapsed=$(( $(date +%s) - start ))
    # Status lines of fork mode: "#<runs>: cov: <n> ft: <n> corp: <n> exec/s <n> ..."
    last=$(grep -E '^#[0-9]+:' "$log" | tail -n 1 || true)
    runs=$(sed -E 's/^#([0-9]+):.*/\1/' <<<"$last")
    cov=$(sed -nE 's/.* cov: ([0-9]+) .*/\1/p' <<<"$last")
    corp=$(sed -nE 's/.* corp: ([0-9]+) .*/\1/p' <<<"$last")
    # Each failing input replayed once more, to name what failed.
    declare -A seen=()
    problems=()
    for f in "$artifacts"/*; do
        [ -f "$f" ] || continue
        what=$("$build/fuzz/fuzz_$t" "$f" 2>&1 |
               grep -m1 -E 'check failed|ERROR: AddressSanitizer|runtime error|ERROR: libFuzzer: (timeout|out-of-memory)' |
               sed -E 's/^==[0-9]+==//; s/ on address 0x[0-9a-f]+.*//' || true)
        [ -n "$what" ] || what="(does not fail when replayed alone)"
        if [ -z "${seen[$what]+x}" ]; then
            seen[$what]=1
            problems+=("    $what   e.g. $f")
        fi
    done
    unset seen
    status=ok
    if [ "$rc" -ne 0 ] || [ ${#problems[@]} -gt 0 ]; then status=FAILED; failed=1; fi
    summary+=("$(printf '%-24s %-6s %5ss %12s runs  cov %-6s corpus %s' "$t" "$status" "$elapsed" "${runs:-?}" "${cov:-?}" "${corp:-?}")")
    for p in "${problems[@]}"; do summary+=("$p"); done
done

echo
echo "== summary (logs in $build/logs/, failing inputs in $build/artifacts/)"
printf '%s\n' "${summary[@]}"
exit "$failed"
