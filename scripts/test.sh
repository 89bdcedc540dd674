#!/usr/bin/env bash
# Builds the project into build/ and runs the test suite.
# Usage: scripts/test.sh [--sanitize] [--full]
#   --sanitize  also builds with address and undefined-behaviour sanitizers (build/sanitize) and
#               runs the whole suite there, the replay of saved fuzz inputs included.
#   --full      also checks formatting, implies --sanitize, and runs the full cross-check of
#               compilers, optimization levels and platforms (scripts/crosscheck.sh).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

full=0
sanitize=0
for arg in "$@"; do
    case "$arg" in
        --full) full=1 sanitize=1 ;;
        --sanitize) sanitize=1 ;;
        -h | --help)
            sed -n '2,7p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'
            exit 0
            ;;
        *)
            echo "unknown argument: $arg" >&2
            exit 2
            ;;
    esac
done

ensure_packages

build_release
(cd "$BUILD" && ctest --output-on-failure -j"$JOBS")

if [ "$full" -eq 1 ]; then
    check_format
fi
if [ "$sanitize" -eq 1 ]; then
    echo "== sanitizer build (address, undefined behaviour)"
    cmake -S "$ROOT" -B "$BUILD/sanitize" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DELQ_SANITIZE=ON >/dev/null
    cmake --build "$BUILD/sanitize" -j"$JOBS" >/dev/null
    export UBSAN_OPTIONS="print_stacktrace=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
    (cd "$BUILD/sanitize" && ctest --output-on-failure -j"$JOBS")
fi

if [ "$full" -eq 1 ]; then
    echo "== identical output across compilers, optimization levels and platforms"
    bash "$ROOT/scripts/crosscheck.sh"
fi
