#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang++ (address and undefined-behaviour
# sanitizers, build/fuzz) and runs each of them (or the TARGETs named) for SECONDS seconds
# (default 60), two at a time.
# Corpora grow in build/fuzz/corpus/<target>, seeded from inputs our encoder makes afresh
# (build/fuzz/seeds) and from fuzz/regressions/<target>. A crashing input is kept in
# build/fuzz/artifacts/<target>/; save it small under fuzz/regressions/<target>/ once fixed.
# Usage: scripts/fuzz.sh [SECONDS [TARGET ...]]
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

case "${1:-}" in
    -h | --help)
        sed -n '2,8p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'
        exit 0
        ;;
esac
seconds="${1:-60}"
[[ "$seconds" =~ ^[0-9]+$ ]] || { echo "SECONDS must be a whole number: $seconds" >&2; exit 2; }

# clang++ and its libFuzzer runtime (Debian: clang, libclang-rt-dev), installed when missing.
ensure_packages
if ! command -v clang++ >/dev/null 2>&1 ||
    ! compgen -G '/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a' >/dev/null; then
    install_packages clang libclang-rt-dev
fi

FUZZ="$BUILD/fuzz"
targets=(wave_reader decode_blocks decode_container round_trip decode_api)
if [ $# -gt 1 ]; then
    for target in "${@:2}"; do
        [[ " ${targets[*]} " == *" $target "* ]] || { echo "no fuzz target $target" >&2; exit 2; }
    done
    targets=("${@:2}")
fi
echo "== fuzz build (clang++, libFuzzer, address and undefined-behaviour sanitizers)"
cmake -S "$ROOT" -B "$FUZZ" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DELQ_FUZZ=ON -DELQ_TESTS=OFF -DELQ_WERROR=OFF >/dev/null
cmake --build "$FUZZ" -j"$JOBS" --target fuzz_all >/dev/null

# Scratch files of the targets stay in memory and inside the build folder.
# Each run its own: two runs may share the build.
export TMPDIR="$FUZZ/tmp.$$"
rm -rf "$FUZZ/seeds" "$TMPDIR"
mkdir -p "$TMPDIR"
"$FUZZ/fuzz_targets/fuzz_replay" --write-seeds "$FUZZ/seeds"

run_target() {
    local target="$1" corpus="$FUZZ/corpus/$1" artifacts="$FUZZ/artifacts/$1/" extra=()
    mkdir -p "$corpus" "$artifacts"
    [ -d "$ROOT/fuzz/regressions/$target" ] && extra+=("$ROOT/fuzz/regressions/$target")
    # -timeout: no single input may take this long; -rss_limit_mb: nor this much memory.
    "$FUZZ/fuzz_targets/fuzz_$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=4096 \
        -print_final_stats=1 -artifact_prefix="$artifacts" "$corpus" "$FUZZ/seeds/$target" "${extra[@]}" \
        >"$FUZZ/$target.log" 2>&1
}

echo "== fuzzing ${#targets[@]} targets for $seconds s each, two at a time"
declare -A status
for ((i = 0; i < ${#targets[@]}; i += JOBS)); do
    pids=()
    for ((j = i; j < i + JOBS && j < ${#targets[@]}; ++j)); do
        run_target "${targets[j]}" &
        pids+=("$!")
    done
    for ((j = 0; j < ${#pids[@]}; ++j)); do
        if wait "${pids[j]}"; then status[${targets[i + j]}]=ok; else status[${targets[i + j]}]=FAULT; fi
    done
done

stat() { sed -n "s/^stat::$2: *//p" "$FUZZ/$1.log" | tail -1; }
failed=0
printf '%-18s %12s %8s %8s  %s\n' target executions exec/s corpus result
for target in "${targets[@]}"; do
    printf '%-18s %12s %8s %8s  %s\n' "$target" "$(stat "$target" number_of_executed_units)" \
        "$(stat "$target" average_exec_per_sec)" "$(find "$FUZZ/corpus/$target" -type f | wc -l)" \
        "${status[$target]}"
    if [ "${status[$target]}" != ok ]; then
        failed=1
        grep -E -m 3 'ERROR|fuzz check failed|runtime error' "$FUZZ/$target.log" >&2 || true
        echo "  log: $FUZZ/$target.log; inputs: $(ls "$FUZZ/artifacts/$target")" >&2
    fi
done
rm -rf "$TMPDIR"
[ "$failed" -eq 0 ] && echo "fuzzing found nothing"
exit "$failed"
