#!/usr/bin/env bash
# Mutation check: does the test suite catch realistic faults? Each mutant of scripts/mutants.tsv
# replaces one exact text of one source file; the suite must then fail.
# Usage: scripts/mutate.sh [--list] [--check] [--rev REV] [--timeout SECONDS] [NAME ...]
#   NAME        run only the mutants whose names match (shell patterns, e.g. 'range-*')
#   --list      print the mutants and what each expects, then stop
#   --check     only check that every mutant's text occurs exactly once (no build)
#   --rev       test the committed revision REV instead of the working tree
#   --timeout   seconds a single test may take before the mutant counts as caught (default 120)
# The mutants are applied to a private copy of the tree (build/mutate/tree, rebuilt incrementally
# in build/mutate/build, Release), never to the working tree, and each is reverted before the
# next. Exit status 1 when a mutant expected to be caught survives, its text is stale (not found
# exactly once), or it does not build.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

LIST="$ROOT/scripts/mutants.tsv"
WORK="$BUILD/mutate"
TREE="$WORK/tree"
OBJ="$WORK/build"
LOGS="$WORK/logs"
testTimeout=120
mode=run
rev=""
patterns=()
while [ $# -gt 0 ]; do
    case "$1" in
        --list) mode=list ;;
        --check) mode=check ;;
        --timeout)
            testTimeout="$2"
            shift
            ;;
        --rev)
            rev="$2"
            shift
            ;;
        -h | --help)
            sed -n '2,13p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'
            exit 0
            ;;
        -*)
            echo "unknown argument: $1" >&2
            exit 2
            ;;
        *) patterns+=("$1") ;;
    esac
    shift
done

# The mutants: name, expectation (caught, or survives with the reason in the note), file,
# exact text, replacement, note. "\n" in a text stands for a line break.
names=() expects=() files=() finds=() replaces=() notes=()
while IFS=$'\t' read -r name expect file find replace note; do
    [[ -z "$name" || "$name" == \#* ]] && continue
    if [[ "$expect" != caught && "$expect" != survives ]] || [ -z "$replace" ]; then
        echo "malformed mutant line: $name" >&2
        exit 2
    fi
    selected=$((${#patterns[@]} == 0))
    for pattern in "${patterns[@]}"; do
        # shellcheck disable=SC2053
        [[ "$name" == $pattern ]] && selected=1
    done
    [ "$selected" -eq 1 ] || continue
    names+=("$name") expects+=("$expect") files+=("$file") notes+=("$note")
    finds+=("${find//\\n/$'\n'}") replaces+=("${replace//\\n/$'\n'}")
done <"$LIST"
if [ ${#names[@]} -eq 0 ]; then
    echo "no mutant matches" >&2
    exit 2
fi

if [ "$mode" = list ]; then
    for i in "${!names[@]}"; do
        printf '%-32s %-9s %-44s %s\n' "${names[$i]}" "${expects[$i]}" "${files[$i]}" "${notes[$i]}"
    done
    exit 0
fi

# Occurrences of `find` in the file's text `content`.
occurrences() {
    local content="$1" find="$2" rest
    rest="${content//"$find"/}"
    echo $(((${#content} - ${#rest}) / ${#find}))
}
# The whole file into REPLY, trailing line breaks included (a command substitution would drop them).
readFile() {
    REPLY="$(cat "$1" && printf x)"
    REPLY="${REPLY%x}"
}

# Brings the private copy up to the working tree (tracked and new files) or to the revision: only
# changed files are written, so the build stays incremental.
syncTree() {
    mkdir -p "$TREE"
    local file source="$ROOT"
    if [ -n "$rev" ]; then
        source="$WORK/revision"
        rm -rf "$source"
        mkdir -p "$source"
        (cd "$ROOT" && git archive "$rev") | tar -x -C "$source"
        (cd "$ROOT" && git ls-tree -r --name-only "$rev") | sort >"$WORK/files.new"
    else
        (cd "$ROOT" && git ls-files -co --exclude-standard) | grep -v '^build' | sort >"$WORK/files.new"
    fi
    while IFS= read -r file; do
        [ -f "$source/$file" ] || continue
        if ! cmp -s "$source/$file" "$TREE/$file"; then
            mkdir -p "$(dirname "$TREE/$file")"
            cat "$source/$file" >"$TREE/$file"
        fi
    done <"$WORK/files.new"
    if [ -f "$WORK/files" ]; then
        comm -23 "$WORK/files" "$WORK/files.new" | while IFS= read -r file; do rm -f "$TREE/$file"; done
    fi
    mv "$WORK/files.new" "$WORK/files"
}

mkdir -p "$WORK" "$LOGS"
syncTree

if [ "$mode" = check ]; then
    bad=0
    for i in "${!names[@]}"; do
        n=0
        [ -f "$TREE/${files[$i]}" ] && readFile "$TREE/${files[$i]}" && n=$(occurrences "$REPLY" "${finds[$i]}")
        if [ "$n" -ne 1 ]; then
            echo "stale: ${names[$i]} (${files[$i]}: text found $n times)"
            bad=1
        fi
    done
    [ "$bad" -eq 0 ] && echo "all ${#names[@]} mutants apply"
    exit "$bad"
fi

ensure_packages
launcher=()
command -v ccache >/dev/null 2>&1 && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
# Warnings stay warnings: a mutant may leave a variable unused, and should still be tested.
cmake -S "$TREE" -B "$OBJ" -DCMAKE_BUILD_TYPE=Release -DELQ_WERROR=OFF "${launcher[@]}" >/dev/null

# Reverts the mutated file of the copy whatever ends the run.
mutated="" original=""
revert() {
    if [ -n "$mutated" ]; then
        printf '%s' "$original" >"$mutated"
        mutated=""
    fi
}
trap revert EXIT
trap 'revert; echo; echo "interrupted; the working tree was never changed" >&2; exit 130' INT TERM HUP

build() {
    cmake --build "$OBJ" -j"$JOBS" >"$1" 2>&1 || return 1
    # Every test gets the per-test limit, however long the suite allows it otherwise.
    sed -i -E "s/TIMEOUT [0-9]+/TIMEOUT $testTimeout/g" "$OBJ"/*_tests.cmake
}
# Runs the suite, stopping at the first failure; prints the result word and the first failing test.
runSuite() {
    local log="$1" status=0
    timeout --kill-after=10 $((testTimeout * 4)) \
        ctest --test-dir "$OBJ" -j"$JOBS" --timeout "$testTimeout" --stop-on-failure --output-on-failure \
        >"$log" 2>&1 || status=$?
    if [ "$status" -eq 0 ]; then
        echo "survived -"
    elif [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
        echo "caught(timeout) (suite)"
    else
        local first
        first=$(grep -E -m1 '\*\*\*(Failed|Timeout|Exception)|Not Run' "$log" |
            sed -E 's/.*Test +#[0-9]+: ([^ ]+).*/\1/' || true)
        if grep -q '\*\*\*Timeout' "$log"; then
            echo "caught(timeout) ${first:--}"
        else
            echo "caught ${first:--}"
        fi
    fi
}

echo "== baseline: the unmutated suite must pass"
start=$SECONDS
build "$LOGS/baseline.build" || {
    echo "the unmutated tree does not build: see $LOGS/baseline.build" >&2
    exit 1
}
read -r result _ < <(runSuite "$LOGS/baseline.log")
if [ "$result" != survived ]; then
    echo "the unmutated suite fails: see $LOGS/baseline.log" >&2
    exit 1
fi
echo "   passed in $((SECONDS - start)) s"

table="$WORK/results.tsv"
printf 'mutant\texpected\tresult\tfirst failing test\tseconds\n' >"$table"
printf '%-32s %-9s %-16s %-52s %s\n' mutant expected result "first failing test" s
unexpected=0 caughtCount=0 survivedCount=0 staleCount=0 brokenCount=0
for i in "${!names[@]}"; do
    name="${names[$i]}" file="$TREE/${files[$i]}"
    start=$SECONDS
    first="-"
    n=0
    [ -f "$file" ] && readFile "$file" && n=$(occurrences "$REPLY" "${finds[$i]}")
    if [ "$n" -ne 1 ]; then
        result=stale
        staleCount=$((staleCount + 1))
        unexpected=1
    else
        original="$REPLY"
        mutated="$file"
        printf '%s' "${original/"${finds[$i]}"/"${replaces[$i]}"}" >"$file"
        if ! build "$LOGS/$name.build"; then
            result="no-build"
            brokenCount=$((brokenCount + 1))
            unexpected=1
        else
            read -r result first < <(runSuite "$LOGS/$name.log")
        fi
        revert
        case "$result" in
            caught*)
                caughtCount=$((caughtCount + 1))
                [ "${expects[$i]}" = survives ] && first="$first (expected to survive: update the list)"
                ;;
            survived)
                survivedCount=$((survivedCount + 1))
                [ "${expects[$i]}" = caught ] && unexpected=1
                ;;
        esac
    fi
    printf '%-32s %-9s %-16s %-52s %s\n' "$name" "${expects[$i]}" "$result" "$first" $((SECONDS - start))
    printf '%s\t%s\t%s\t%s\t%s\n' "$name" "${expects[$i]}" "$result" "$first" $((SECONDS - start)) >>"$table"
done

echo
echo "${#names[@]} mutants: $caughtCount caught, $survivedCount survived, $staleCount stale, $brokenCount not building"
echo "table: $table; logs: $LOGS"
if [ "$unexpected" -ne 0 ]; then
    echo "FAILED: a mutant expected to be caught survived, is stale or does not build" >&2
    exit 1
fi
echo "every mutant met its expectation"
