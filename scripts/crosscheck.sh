#!/usr/bin/env bash
# Builds elq with several compilers, optimization levels and targets, encodes a set of WAVE files
# in several modes with every build, and checks that every build writes the very bytes of the
# x86-64 g++ -O2 build and decodes every build's files back to the source bytes.
# Usage: scripts/crosscheck.sh [--quick] [--only NAME[,NAME...]]
#   --quick  the short file set, for CI: the conformance vectors with their own options and one
#            small generated file; without it, also every conformance WAVE and five generated
#            files in five modes (insane mode only on the shortest files).
#   --only   run only the named builds (the reference x64-gcc-O2 is always added).
# Builds: x86-64 with g++ and clang++ at -O0, -O2 and -O3 -march=native; i686 (-m32 -msse2
# -mfpmath=sse) with g++ and clang++, run under qemu-i386; aarch64 with g++ and clang++, run under
# qemu-aarch64; Windows x86-64 (mingw-w64, static), run under wine64; Windows i686 (build only).
# Each build lives in build/cross/NAME, the files of a run in build/cross/run. Missing packages are
# installed with apt-get when running as root.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

quick=0
only=""
while [ $# -gt 0 ]; do
    case "$1" in
        --quick) quick=1 ;;
        --only)
            only="${2:?--only needs a list of build names}"
            shift
            ;;
        -h | --help)
            sed -n '2,14p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'
            exit 0
            ;;
        *)
            echo "unknown argument: $1" >&2
            exit 2
            ;;
    esac
    shift
done

CROSS="$BUILD/cross"
RUN="$CROSS/run"
REFERENCE=x64-gcc-O2
AARCH64_ROOT=/usr/aarch64-linux-gnu
export WINEDEBUG=-all
export WINEPREFIX="$CROSS/wineprefix"
export WINEDLLOVERRIDES="mscoree,mshtml="  # no .NET or HTML engine set-up in the new prefix
started=$(date +%s)

# ---------------------------------------------------------------------------------------------
# Packages

# Debian 12's g++-multilib conflicts with the aarch64 cross compiler (both want /usr/include/asm),
# so the versioned multilib package is taken, and the kernel headers are found through a private
# include directory (see i686_include_flags).
gcc_major=$(g++ -dumpversion 2>/dev/null | cut -d. -f1)
compiles() {  # compiles (and links) a small program with the given compiler command
    printf '#include <cerrno>\n#include <cstdio>\nint main() { std::printf("%%d", errno); }\n' |
        "$@" -x c++ - -o /dev/null >/dev/null 2>&1
}
wine_binary() {
    command -v wine64 2>/dev/null || { [ -x /usr/lib/wine/wine64 ] && echo /usr/lib/wine/wine64; }
}

ensure_cross_packages() {
    local missing=()
    command -v cmake >/dev/null 2>&1 || missing+=(cmake)
    command -v make >/dev/null 2>&1 || missing+=(make)
    command -v g++ >/dev/null 2>&1 || missing+=(g++)
    command -v clang++ >/dev/null 2>&1 || missing+=(clang)
    command -v python3 >/dev/null 2>&1 || missing+=(python3)
    command -v qemu-i386 >/dev/null 2>&1 && command -v qemu-aarch64 >/dev/null 2>&1 || missing+=(qemu-user)
    command -v aarch64-linux-gnu-g++ >/dev/null 2>&1 || missing+=(g++-aarch64-linux-gnu)
    [ -d "/usr/lib/gcc/x86_64-linux-gnu/${gcc_major:-12}/32" ] || missing+=("g++-${gcc_major:-12}-multilib")
    command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 || missing+=(g++-mingw-w64-x86-64-posix)
    command -v i686-w64-mingw32-g++-posix >/dev/null 2>&1 || missing+=(g++-mingw-w64-i686-posix)
    [ -n "$(wine_binary)" ] || missing+=(wine64)
    install_packages "${missing[@]}"
}

# Without Debian's gcc-multilib the 32-bit compilations miss <asm/...>; the x86 kernel headers
# serve both widths, so a directory holding only a link to them is searched last.
i686_include_flags() {
    if compiles g++ -m32; then return 0; fi
    mkdir -p "$CROSS/include-i686"
    ln -sfn /usr/include/x86_64-linux-gnu/asm "$CROSS/include-i686/asm"
    echo "-idirafter $CROSS/include-i686"
}

# ---------------------------------------------------------------------------------------------
# Builds: NAME|COMPILER|BUILD TYPE|FLAGS|RUNNER (empty: native; "-": build only)

SSE32="-m32 -msse2 -mfpmath=sse"
build_table() {
    local inc="$1"
    cat <<EOF
x64-gcc-O2|g++|Release||
x64-gcc-O0|g++|None|-O0|
x64-gcc-O3n|g++|None|-O3 -march=native -DNDEBUG|
x64-clang-O0|clang++|None|-O0|
x64-clang-O2|clang++|Release||
x64-clang-O3n|clang++|None|-O3 -march=native -DNDEBUG|
i686-gcc-O2|g++|Release|$SSE32 $inc|qemu-i386
i686-clang-O2|clang++|Release|$SSE32 $inc|qemu-i386
a64-gcc-O2|aarch64-linux-gnu-g++|Release||qemu-aarch64 -L $AARCH64_ROOT
a64-clang-O2|clang++ aarch64-linux-gnu|Release||qemu-aarch64 -L $AARCH64_ROOT
win64-gcc-O2|mingw-w64-x86_64|Release||wine64
win32-gcc-O2|mingw-w64-i686|Release|-msse2 -mfpmath=sse|-
EOF
}

declare -a NAMES
declare -A RUNNER EXE STATUS NOTE

configure_and_build() {
    local name="$1" compiler="$2" type="$3" flags="$4"
    local dir="$CROSS/$name" args=(-S "$ROOT" -B "$CROSS/$name" -DELQ_TESTS=OFF -DCMAKE_BUILD_TYPE="$type")
    case "$compiler" in
        mingw-w64-*) args+=(-DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/$compiler.cmake") ;;
        "clang++ "*) args+=(-DCMAKE_CXX_COMPILER=clang++ -DCMAKE_CXX_COMPILER_TARGET="${compiler#clang++ }") ;;
        *) args+=(-DCMAKE_CXX_COMPILER="$compiler") ;;
    esac
    # Always given, so that a build directory never keeps the flags of an earlier run.
    args+=("-DCMAKE_CXX_FLAGS=$flags")
    {
        cmake "${args[@]}" && cmake --build "$dir" -j"$JOBS" --target elq
    } >"$CROSS/$name.build.log" 2>&1
}

build_all() {
    local inc name compiler type flags runner t0
    inc="$(i686_include_flags)"
    while IFS='|' read -r name compiler type flags runner; do
        if [ -n "$only" ] && [ "$name" != "$REFERENCE" ] && [[ ",$only," != *",$name,"* ]]; then continue; fi
        NAMES+=("$name")
        t0=$(date +%s)
        echo "== build $name" >&2
        if configure_and_build "$name" "$compiler" "$type" "$flags"; then
            STATUS[$name]=built
            if [ -f "$CROSS/$name/elq.exe" ]; then EXE[$name]="$CROSS/$name/elq.exe"; else EXE[$name]="$CROSS/$name/elq"; fi
        else
            STATUS[$name]=FAIL
            NOTE[$name]="build failed, see build/cross/$name.build.log"
            tail -20 "$CROSS/$name.build.log" >&2
        fi
        [ "$runner" = wine64 ] && runner="$(wine_binary)"
        RUNNER[$name]="$runner"
        echo "   $(($(date +%s) - t0)) s" >&2
    done < <(build_table "$inc")
}

# ---------------------------------------------------------------------------------------------
# Cases: ID|WAVE (under run/in)|OPTIONS|EXPECTED .elq (a conformance vector, or empty)

generate() {  # NAME SECONDS CHANNELS BITS SEED
    local file="$RUN/in/$1.wav"
    [ -f "$file" ] || python3 "$ROOT/scripts/make_test_signal.py" --seconds "$2" --channels "$3" --bits "$4" \
        --seed "$5" "$file"
}

MODES=("default|" "fast_none|--mode fast --optimize none" "extra|--mode extra" "insane_1x|--mode insane --speedup 1x"
    "seekfast|--seek fast")

case_table() {
    local conformance="$ROOT/tests/data/conformance" wav elq options mode label
    # Every conformance vector with the options that made it, compared with its own bytes too.
    while IFS=$'\t' read -r wav elq _ options; do
        case "$wav" in '#'* | '') continue ;; esac
        echo "${elq%.elq}|$wav|$options|$conformance/$elq"
    done <"$conformance/MANIFEST.tsv"
    if [ "$quick" -eq 1 ]; then
        for mode in "default|" "extra|--mode extra" "seekfast|--seek fast"; do
            echo "q16s-${mode%%|*}|q16s.wav|${mode#*|}|"
        done
        # The vectors cover insane mode already; its 1x speedup on the smallest one.
        echo "bell8m-insane_1x|bell8m.wav|--mode insane --speedup 1x|"
        return
    fi
    # Every conformance WAVE in the five modes; insane mode, whose search costs about a
    # hundred times the default's (under emulation 1 to 2 ms per sample), only on the short files.
    for wav in "$conformance"/*.wav; do
        wav="$(basename "$wav")"
        for mode in "${MODES[@]}"; do
            label="${mode%%|*}"
            [ "$label" = insane_1x ] && [ "$(stat -c %s "$conformance/$wav")" -gt 50000 ] && continue
            echo "${wav%.wav}-$label|$wav|${mode#*|}|"
        done
    done
    for wav in g8m g16m g16s g24m g24s; do
        for mode in "${MODES[@]}"; do
            label="${mode%%|*}"
            [ "$label" = insane_1x ] && continue
            echo "$wav-$label|$wav.wav|${mode#*|}|"
        done
    done
    echo "g24s05-insane_1x|g24s05.wav|--mode insane --speedup 1x|"
}

prepare_inputs() {
    mkdir -p "$RUN/in"
    cp -f "$ROOT"/tests/data/conformance/*.wav "$RUN/in/"
    if [ "$quick" -eq 1 ]; then
        generate q16s 5 2 16 7
    else
        generate g8m 5 1 8 3
        generate g16m 5 1 16 11
        generate g16s 5 2 16 7
        generate g24m 5 1 24 5
        generate g24s 5 2 24 13
        generate g24s05 0.5 2 24 17
    fi
}

# ---------------------------------------------------------------------------------------------
# Tasks. Each runs in the run directory with relative paths (so that the Windows build sees
# ordinary names) and leaves one result line in results/.

run_elq() {  # BUILD ARGS...
    local name="$1"
    shift
    local runner="${RUNNER[$name]}"
    if [[ "$name" == win* ]]; then
        # Windows opens every file with share mode 0, so two runs must not touch one file at
        # once (say, two encodings of one source): the Windows runs take turns.
        # shellcheck disable=SC2086  # the runner is a command with its arguments
        flock -o "$RUN/wine.lock" $runner "${EXE[$name]}" "$@" </dev/null
    else
        # shellcheck disable=SC2086
        $runner "${EXE[$name]}" "$@" </dev/null
    fi
}

# Microseconds since the epoch, from bash's own clock (no external tool; either decimal mark).
microseconds() {
    echo "${EPOCHREALTIME/[.,]/}"
}

# Writes the result line of a task that started at START (microseconds), with its elapsed seconds.
record() {  # BUILD PHASE CASE VERDICT START [TEXT]
    local elapsed=$(($(microseconds) - $5))
    printf '%s\t%s\t%s\t%s\t%d.%03d\t%s\n' "$1" "$2" "$3" "$4" $((elapsed / 1000000)) \
        $((elapsed / 1000 % 1000)) "${6:-}" >"results/$1.$2.$3"
}

encode_task() {  # BUILD ID WAVE OPTIONS EXPECTED
    local name="$1" id="$2" wav="$3" options="$4" expected="$5" t0 verdict=PASS text=""
    t0=$(microseconds)
    # shellcheck disable=SC2086  # options are separate words
    if ! run_elq "$name" --silent $options "in/$wav" --output "$name/$id.elq" >"$name/$id.enc.log" 2>&1; then
        verdict=FAIL
        text="encode failed: $(tr '\n' ' ' <"$name/$id.enc.log" | cut -c1-200)"
    elif [ "$name" = "$REFERENCE" ]; then
        if [ -n "$expected" ] && ! cmp -s "$name/$id.elq" "$expected"; then
            verdict=FAIL
            text="differs from the conformance vector $(basename "$expected")"
        fi
    elif ! cmp -s "$name/$id.elq" "$REFERENCE/$id.elq"; then
        verdict=FAIL
        text="differs from $REFERENCE: $(cmp "$name/$id.elq" "$REFERENCE/$id.elq" 2>&1 | head -1)"
    fi
    record "$name" enc "$id" "$verdict" "$t0" "$text"
}

# Decodes one encoding (the file of build SOURCE) with build NAME and compares it with the WAVE.
decode_task() {  # NAME SOURCE ID WAVE
    local name="$1" source="$2" id="$3" wav="$4" t0 verdict=PASS text="" out
    out="$name/$id.from-$source.wav"
    t0=$(microseconds)
    if ! run_elq "$name" --silent "$source/$id.elq" --output "$out" >"$out.log" 2>&1; then
        verdict=FAIL
        text="decode of $source's file failed: $(tr '\n' ' ' <"$out.log" | cut -c1-200)"
    elif ! cmp -s "$out" "in/$wav"; then
        verdict=FAIL
        text="decode of $source's file differs from the source: $(cmp "$out" "in/$wav" 2>&1 | head -1)"
    else
        rm -f "$out" "$out.log"
    fi
    record "$name" "dec-$source" "$id" "$verdict" "$t0" "$text"
}

# Standard input and output: the reference's file decoded to stdout, a WAVE encoded from stdin.
stdio_task() {  # NAME ID WAVE OPTIONS
    local name="$1" id="$2" wav="$3" options="$4" t0 verdict=PASS text=""
    t0=$(microseconds)
    local runner="${RUNNER[$name]}"
    # shellcheck disable=SC2086
    if ! $runner "${EXE[$name]}" --silent "$REFERENCE/$id.elq" --output - >"$name/$id.stdout.wav" 2>"$name/$id.stdio.log" </dev/null ||
        ! cmp -s "$name/$id.stdout.wav" "in/$wav"; then
        verdict=FAIL
        text="decode to standard output differs or failed"
    elif ! $runner "${EXE[$name]}" --silent --encode $options - --output "$name/$id.stdin.elq" <"in/$wav" \
        >>"$name/$id.stdio.log" 2>&1 || ! cmp -s "$name/$id.stdin.elq" "$REFERENCE/$id.elq"; then
        verdict=FAIL
        text="encode from standard input differs or failed"
    fi
    record "$name" stdio "$id" "$verdict" "$t0" "$text"
}

# Failure reports through the real executable: the same code and system function on every build;
# the error number and its text are the system's own.
expect_failure() {  # NAME LABEL CODE FUNCTION ARGS...
    local name="$1" label="$2" code="$3" function="$4" rc
    shift 4
    local log="$name/report.$label.log"
    run_elq "$name" --silent "$@" >"$log" 2>&1
    rc=$?
    if [ "$rc" -ne 1 ] || ! grep -q "^Exception $code in file Unknown, line 0" "$log" ||
        ! grep -q "^function $function" "$log"; then
        echo "$label: exit $rc, $(tr '\r\n' '  ' <"$log" | cut -c1-160); "
    fi
}

reports_task() {  # NAME
    local name="$1" t0 text="" dir="$1/reports"
    t0=$(microseconds)
    mkdir -p "$dir/folder.elq"
    head -c 1000 "$REFERENCE/chord16s.default.elq" >"$dir/cut.elq"
    ln -sfn /dev/full "$dir/full.wav"
    text+=$(expect_failure "$name" missing FILENOTFOUND "CreateFile, code " in/none.wav)
    text+=$(expect_failure "$name" folder FILENOTFOUND "CreateFile, code " --decode "$dir/folder.elq" --output "$dir/f.wav")
    text+=$(expect_failure "$name" truncated UNEXPECTEDEOF "readMin" "$dir/cut.elq" --output "$dir/cut.wav")
    text+=$(expect_failure "$name" full WRITEERROR "WriteFile, code " "$REFERENCE/chord16s.default.elq" --output "$dir/full.wav")
    # The listing (which takes the file's size from the system) is the reference's, line ends aside.
    run_elq "$name" --silent --info "$REFERENCE/chord16s.default.elq" "$REFERENCE/long16m.seekfast.elq" 2>&1 |
        tr -d '\r' >"$dir/info.txt"
    run_elq "$REFERENCE" --silent --info "$REFERENCE/chord16s.default.elq" "$REFERENCE/long16m.seekfast.elq" >"$dir/info.expected" 2>&1
    cmp -s "$dir/info.txt" "$dir/info.expected" || text+="info listing differs from $REFERENCE's; "
    record "$name" reports failures "$([ -z "$text" ] && echo PASS || echo FAIL)" "$t0" "$text"
}

# Windows builds open files with share mode 0: while one process writes an output (under its
# temporary name until it is complete), another one cannot open it. The writer encodes from
# standard input and is held inside its samples.
sharing_task() {  # NAME
    local name="$1" t0 text="" dir="$1/sharing" waited=0 rc held
    t0=$(microseconds)
    mkdir -p "$dir"
    rm -f "$dir/feed" "$dir/held.elq" "$dir"/.held.elq.*
    mkfifo "$dir/feed"
    # shellcheck disable=SC2086
    ${RUNNER[$name]} "${EXE[$name]}" --silent --encode - --output "$dir/held.elq" <"$dir/feed" \
        >"$dir/writer.log" 2>&1 &
    local writer=$!
    exec 7>"$dir/feed"
    head -c 20000 in/chord16s.wav >&7
    held=""
    while [ -z "$held" ] && [ "$waited" -lt 600 ]; do
        sleep 0.1
        waited=$((waited + 1))
        held=$(find "$dir" -maxdepth 1 -name '.held.elq.*' -print -quit)
    done
    [ -e "$dir/held.elq" ] && text+="the final name exists before the output is complete; "
    text+=$(expect_failure "$name" shared FILENOTFOUND "CreateFile, code 32," --decode "${held:-$dir/.held.elq.none}" --output "$dir/h.wav" 7>&-)
    tail -c +20001 in/chord16s.wav >&7
    exec 7>&-
    wait "$writer"
    rc=$?
    { [ "$rc" -eq 0 ] && cmp -s "$dir/held.elq" "$REFERENCE/chord16s.default.elq"; } ||
        text+="the held writer failed (exit $rc) or wrote other bytes; "
    record "$name" sharing held "$([ -z "$text" ] && echo PASS || echo FAIL)" "$t0" "$text"
}

# Runs the task lines of a file (shell words), at most JOBS at once.
run_pool() {
    local running=0 line
    while IFS= read -r line; do
        eval "$line" &
        running=$((running + 1))
        if [ "$running" -ge "$JOBS" ]; then
            wait -n
            running=$((running - 1))
        fi
    done <"$1"
    wait
}

runnable() {
    [ "${STATUS[$1]}" = built ] && [ "${RUNNER[$1]}" != "-" ]
}

# ---------------------------------------------------------------------------------------------

ensure_cross_packages
build_all
prepare_inputs
cd "$RUN" || exit 1
rm -rf results
mkdir -p results
for name in "${NAMES[@]}"; do
    rm -rf "${name:?}"
    mkdir -p "$name"
done
mapfile -t CASES < <(case_table)
wineserver=""
if [ -n "${RUNNER[win64-gcc-O2]:-}" ] && runnable win64-gcc-O2; then
    # One server for the whole run, started here with no open files of ours: a server that a
    # run started on the fly would inherit that run's pipes and locks and hold them.
    wineserver="$(dirname "${RUNNER[win64-gcc-O2]}")/wineserver"
    "$wineserver" -p </dev/null >/dev/null 2>&1
    trap '"$wineserver" -k 2>/dev/null' EXIT
    run_elq win64-gcc-O2 --help >/dev/null 2>&1  # creates the private Wine prefix once
fi

if ! runnable "$REFERENCE"; then
    echo "the reference build $REFERENCE is not available" >&2
    exit 1
fi
t_run=$(date +%s)
echo "== ${#CASES[@]} encodings per build" >&2
# The reference first: the other builds are compared with its files.
for entry in "${CASES[@]}"; do
    IFS='|' read -r id wav options expected <<<"$entry"
    printf 'encode_task %q %q %q %q %q\n' "$REFERENCE" "$id" "$wav" "$options" "$expected"
done >tasks.reference
run_pool tasks.reference
for name in "${NAMES[@]}"; do
    [ "$name" = "$REFERENCE" ] && continue
    runnable "$name" || continue
    for entry in "${CASES[@]}"; do
        IFS='|' read -r id wav options expected <<<"$entry"
        printf 'encode_task %q %q %q %q %q\n' "$name" "$id" "$wav" "$options" "$expected"
    done
done >tasks.encode
run_pool tasks.encode

# Every build decodes each distinct encoding of a case: the reference's, and any build's that
# differs from it.
for entry in "${CASES[@]}"; do
    IFS='|' read -r id wav options expected <<<"$entry"
    sources=("$REFERENCE")
    for name in "${NAMES[@]}"; do
        [ "$name" = "$REFERENCE" ] && continue
        runnable "$name" && [ -f "$name/$id.elq" ] && ! cmp -s "$name/$id.elq" "$REFERENCE/$id.elq" &&
            sources+=("$name")
    done
    for name in "${NAMES[@]}"; do
        runnable "$name" || continue
        for source in "${sources[@]}"; do
            printf 'decode_task %q %q %q %q\n' "$name" "$source" "$id" "$wav"
        done
    done
done >tasks.decode
# One small case through standard input and output, and the failure reports, on every build.
for name in "${NAMES[@]}"; do
    runnable "$name" || continue
    printf 'stdio_task %q %q %q %q\n' "$name" chord16s.default chord16s.wav ""
    printf 'reports_task %q\n' "$name"
    [[ "$name" == win* ]] && printf 'sharing_task %q\n' "$name"
done >>tasks.decode
run_pool tasks.decode

# ---------------------------------------------------------------------------------------------
# Summary

cat results/* >results.tsv 2>/dev/null
passed=0
failed=0
printf '\n%-15s %-8s %9s %9s %10s  %s\n' build result encodes decodes "run s" "" >&2
for name in "${NAMES[@]}"; do
    encodes=$(awk -F'\t' -v n="$name" '$1 == n && $2 == "enc"' results.tsv | wc -l)
    decodes=$(awk -F'\t' -v n="$name" '$1 == n && $2 != "enc"' results.tsv | wc -l)
    bad=$(awk -F'\t' -v n="$name" '$1 == n && $4 != "PASS"' results.tsv | wc -l)
    seconds=$(awk -F'\t' -v n="$name" '$1 == n { s += $5 } END { printf "%.1f", s }' results.tsv)
    result=PASS
    if [ "${STATUS[$name]}" != built ]; then
        result=FAIL
    elif [ "${RUNNER[$name]}" = "-" ]; then
        result=BUILT
        NOTE[$name]="build only (not run here)"
    elif [ "$bad" -gt 0 ] || [ "$encodes" -ne "${#CASES[@]}" ]; then
        result=FAIL
        NOTE[$name]="$bad of $((encodes + decodes)) checks failed"
    fi
    if [ "$result" = FAIL ]; then failed=$((failed + 1)); else passed=$((passed + 1)); fi
    printf '%-15s %-8s %9s %9s %10s  %s\n' "$name" "$result" "$encodes" "$decodes" "$seconds" "${NOTE[$name]:-}" >&2
done
awk -F'\t' '$4 != "PASS" { print "  " $1 " " $2 " " $3 ": " $6 }' results.tsv | head -40 >&2
echo "builds compared: ${#NAMES[@]}; cases per build: ${#CASES[@]}; runs: $(($(date +%s) - t_run)) s;" \
    "total: $(($(date +%s) - started)) s" >&2
echo "crosscheck: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
