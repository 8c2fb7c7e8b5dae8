#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/*.cpp) with clang in build-fuzz/ and runs each for a bounded
# time under AddressSanitizer and UndefinedBehaviorSanitizer, starting from its seeds in
# fuzz/corpus/<target>/. Exits non-zero on a finding, saying where the input that caused it was
# written. The inputs a run finds interesting are kept in build-fuzz/corpus/<target>/ for the
# next run on this machine.
# Usage: scripts/fuzz.sh [seconds per target (default 60)] [targets...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
[[ $# -gt 0 ]] && shift
build="$root/build-fuzz"

"$root/scripts/setup.sh"
if [[ ! -f "$build/build.ninja" ]]; then
    CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DBREVANTO_FUZZ=ON \
        -DBREVANTO_BENCHMARKS=OFF >/dev/null
fi
targets=("$@")
if [[ ${#targets[@]} -eq 0 ]]; then
    for source in "$root"/fuzz/*.cpp; do
        targets+=("$(basename "$source" .cpp)")
    done
fi
cmake --build "$build" --parallel "$(nproc)" --target "${targets[@]/#/fuzz_}"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
status=0
for target in "${targets[@]}"; do
    corpus="$build/corpus/$target"
    findings="$build/findings/$target"
    # The targets make their files under TMPDIR; they end without cleaning up, so the run's own
    # directory is emptied here.
    scratch="$build/tmp/$target"
    rm -rf "$scratch"
    mkdir -p "$corpus" "$findings" "$scratch"
    seeds=()
    [[ -d "$root/fuzz/corpus/$target" ]] && seeds=("$root/fuzz/corpus/$target")
    dictionary=()
    [[ -f "$root/fuzz/$target.dict" ]] && dictionary=(-dict="$root/fuzz/$target.dict")
    echo "fuzz: $target for ${seconds} s"
    # A run that takes more than 10 s on one input counts as a hang, and is a finding too.
    if TMPDIR="$scratch" "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$findings/" "${dictionary[@]}" \
        "$corpus" "${seeds[@]}" >"$findings/log" 2>&1; then
        grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' \
            "$findings/log" | sed 's/^/    /'
    else
        status=1
        tail -n 40 "$findings/log"
        echo "fuzz: $target found a fault (full log: $findings/log)"
        grep -o "Test unit written to .*" "$findings/log" | sed 's/^/    /' || true
        echo "    replay: $build/fuzz/fuzz_$target <input>   (FUZZ_TRACE=1 shows the calls)"
    fi
    rm -rf "$scratch"
done
exit $status
