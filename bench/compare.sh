#!/usr/bin/env bash
# Compares ELQ with the established lossless codecs Debian packages (FLAC, WavPack, and ALAC and
# TTA through ffmpeg) on WAVE files: size, encode and decode speed, peak memory. Every codec runs
# single-threaded, one process at a time; every decoded file is checked against its original.
# Usage: bench/compare.sh [OPTIONS] DIR [FILES...]
#   DIR        a corpus made by bench/corpus.sh; FILES (names in DIR, or paths) default to
#              album_1min.wav album_2min.wav album_5min.wav
#   --runs N   run every encode and decode N times and take each one's median wall time (default 1)
#   --cpu      speeds from user+system CPU time instead of wall time (steadier on a busy machine)
#   --elq-only ELQ's modes only
#   --quick    the 1-minute album only (unless FILES are given), with ELQ fast and normal and flac -8
#   --only RE  only the rows whose "codec setting" matches the extended regular expression RE
#   --elq PATH use this elq binary instead of building build/elq (Release)
# Prints a markdown table on standard output (progress goes to standard error) and checks the
# ratio and speed targets that apply to the rows present. Exits 1 if a decoded file differs.
# Missing tools are installed with apt-get when run as root.
set -euo pipefail
# shellcheck source=bench/tools.sh
source "$(dirname "${BASH_SOURCE[0]}")/tools.sh"
export LC_ALL=C  # decimal points, sorting

usage() { sed -n '2,17p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; }

runs=1 cpu=0 elq_only=0 quick=0 only="" elq="" dir=""
files=()
while [ $# -gt 0 ]; do
    case "$1" in
        --runs)
            [[ "${2:-}" =~ ^[1-9][0-9]*$ ]] || { echo "--runs needs a positive number" >&2; exit 2; }
            runs=$2
            shift
            ;;
        --cpu) cpu=1 ;;
        --elq-only) elq_only=1 ;;
        --quick) quick=1 ;;
        --only)
            [ $# -ge 2 ] || { echo "--only needs a regular expression" >&2; exit 2; }
            only=$2
            shift
            ;;
        --elq)
            [ -x "${2:-}" ] || { echo "--elq needs an executable" >&2; exit 2; }
            elq="$(cd "$(dirname "$2")" && pwd)/$(basename "$2")"
            shift
            ;;
        -h | --help) usage; exit 0 ;;
        -*) echo "unknown option: $1" >&2; usage >&2; exit 2 ;;
        *) if [ -z "$dir" ]; then dir=$1; else files+=("$1"); fi ;;
    esac
    shift
done
[ -n "$dir" ] || { usage >&2; exit 2; }
[ -d "$dir" ] || { echo "no such directory: $dir (make it with bench/corpus.sh $dir)" >&2; exit 1; }

if [ ${#files[@]} -eq 0 ]; then
    if [ "$quick" -eq 1 ]; then files=(album_1min.wav); else files=(album_1min.wav album_2min.wav album_5min.wav); fi
fi
for i in "${!files[@]}"; do
    [ -f "${files[$i]}" ] || files[i]="$dir/${files[$i]}"
    [ -f "${files[$i]}" ] || { echo "no such file: ${files[$i]} (bench/corpus.sh $dir makes the albums)" >&2; exit 1; }
done

# --- the rows -------------------------------------------------------------------------------------
# Each row: identifier, codec, setting. The identifier selects the commands in encode/decode below.
rows=(
    "elq-fast|ELQ|--mode fast"
    "elq-normal|ELQ|--mode normal"
    "elq-extra|ELQ|--mode extra --optimize none"
    "elq-best|ELQ|--mode best"
    "elq-insane|ELQ|--mode insane"
    "elq-max-normal|ELQ|--mode normal --optimize max --threads 2"
    "elq-max-extra|ELQ|--mode extra --optimize max --threads 2"
    "elq-max-insane|ELQ|--mode insane --optimize max --threads 2"
    "flac-5|FLAC|-5"
    "flac-8|FLAC|-8"
    "wavpack-default|WavPack|default"
    "wavpack-hh|WavPack|-hh"
    "wavpack-hhx3|WavPack|-hhx3"
    "alac|ALAC (ffmpeg)|default"
    "tta|TTA (ffmpeg)|default"
)
selected=()
for row in "${rows[@]}"; do
    IFS='|' read -r id codec setting <<<"$row"
    [ "$elq_only" -eq 1 ] && [ "$codec" != ELQ ] && continue
    if [ "$quick" -eq 1 ]; then
        case "$id" in elq-fast | elq-normal | flac-8) ;; *) continue ;; esac
    fi
    if [ -n "$only" ] && ! [[ "$codec $setting" =~ $only ]]; then continue; fi
    selected+=("$row")
done
[ ${#selected[@]} -gt 0 ] || { echo "no codec selected" >&2; exit 2; }
uses() { printf '%s\n' "${selected[@]}" | grep -q "^$1"; }

# --- tools ----------------------------------------------------------------------------------------
needed=(/usr/bin/time:time sox:sox soxi:sox cmp:diffutils)
uses flac && needed+=(flac:flac)
uses wavpack && needed+=(wavpack:wavpack wvunpack:wavpack)
uses alac || uses tta && needed+=(ffmpeg:ffmpeg)
require_tools "${needed[@]}"

if [ -z "$elq" ]; then
    # shellcheck disable=SC2119  # no extra packages for the build
    ensure_packages
    echo "== building elq (Release)" >&2
    build_release --target elq >&2
    elq="$BUILD/elq"
fi
elq_options=(--silent)
# A parallel elq would not be compared fairly with single-threaded peers.
if "$elq" --help 2>&1 | grep -q -- '--threads'; then elq_options+=(--threads 1); fi
ffmpeg_options=(-nostdin -hide_banner -loglevel error -y -filter_threads 1 -threads 1)

version_of() {
    case "$1" in
        FLAC) flac --version | head -n 1 | sed 's/^flac //' ;;
        WavPack) wavpack --version 2>&1 | head -n 1 | sed 's/^wavpack //' ;;
        *ffmpeg*) ffmpeg -version | head -n 1 | awk '{ print $3 }' | sed 's/-.*//' ;;
        *) echo "" ;;
    esac
}

# ffmpeg writes 16-bit PCM into WAVE unless told otherwise; decode into the original's width.
pcm_codec() {
    case "$1" in 8) echo pcm_u8 ;; 16) echo pcm_s16le ;; 24) echo pcm_s24le ;; *) echo pcm_s32le ;; esac
}

# encode_command ID SOURCE DESTINATION and decode_command ID SOURCE DESTINATION BITS set `command`
# to the one process that does it.
encode_command() {
    local id=$1 in=$2 out=$3
    case "$id" in
        elq-fast) command=("$elq" --encode "${elq_options[@]}" --mode fast "$in" --output "$out") ;;
        elq-normal) command=("$elq" --encode "${elq_options[@]}" --mode normal "$in" --output "$out") ;;
        elq-extra) command=("$elq" --encode "${elq_options[@]}" --mode extra --optimize none "$in" --output "$out") ;;
        elq-best) command=("$elq" --encode "${elq_options[@]}" --mode best "$in" --output "$out") ;;
        elq-insane) command=("$elq" --encode "${elq_options[@]}" --mode insane "$in" --output "$out") ;;
        elq-max-*) command=("$elq" --encode "${elq_options[@]}" --mode "${id#elq-max-}" --optimize max --threads 2 "$in" --output "$out") ;;
        flac-5) command=(flac -5 -s -f -o "$out" "$in") ;;
        flac-8) command=(flac -8 -s -f -o "$out" "$in") ;;
        wavpack-default) command=(wavpack -q -y "$in" -o "$out") ;;
        wavpack-hh) command=(wavpack -hh -q -y "$in" -o "$out") ;;
        wavpack-hhx3) command=(wavpack -hhx3 -q -y "$in" -o "$out") ;;
        alac) command=(ffmpeg "${ffmpeg_options[@]}" -i "$in" -threads 1 -c:a alac -f ipod "$out") ;;
        tta) command=(ffmpeg "${ffmpeg_options[@]}" -i "$in" -threads 1 -c:a tta -f tta "$out") ;;
    esac
}
decode_command() {
    local id=$1 in=$2 out=$3 bits=$4
    case "$id" in
        elq-*) command=("$elq" --decode "${elq_options[@]}" "$in" --output "$out") ;;
        flac-*) command=(flac -d -s -f -o "$out" "$in") ;;
        wavpack-*) command=(wvunpack -q -y "$in" -o "$out") ;;
        alac | tta) command=(ffmpeg "${ffmpeg_options[@]}" -i "$in" -threads 1 -c:a "$(pcm_codec "$bits")" -f wav "$out") ;;
    esac
}
extension() {
    case "$1" in elq-*) echo elq ;; flac-*) echo flac ;; wavpack-*) echo wv ;; alac) echo m4a ;; tta) echo tta ;; esac
}

work="$(mktemp -d "${TMPDIR:-/tmp}/elq-compare.XXXXXX")"
trap 'rm -rf "$work"' EXIT

# timed COMMAND...: runs it under /usr/bin/time; sets elapsed_us (wall, or user+system with --cpu)
# and rss_kib. A failing command stops the benchmark with its messages.
timed() {
    local start end
    start=${EPOCHREALTIME/./}
    if ! /usr/bin/time -f '%U %S %M' -o "$work/time" "$@" >"$work/out" 2>&1; then
        echo "failed: $*" >&2
        cat "$work/out" >&2
        exit 1
    fi
    end=${EPOCHREALTIME/./}
    local user system
    read -r user system rss_kib < <(tail -n 1 "$work/time")
    if [ "$cpu" -eq 1 ]; then
        elapsed_us=$(awk -v u="$user" -v s="$system" 'BEGIN { printf "%d", (u + s) * 1000000 }')
    else
        elapsed_us=$((end - start))
    fi
}

# median of the numbers given as arguments (integers)
median() {
    printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : int((v[NR / 2] + v[NR / 2 + 1]) / 2) }'
}

# same_samples A B: same channels, rate and sample values (headers may differ).
same_samples() {
    [ "$(soxi -c "$1") $(soxi -r "$1") $(soxi -s "$1")" = "$(soxi -c "$2") $(soxi -r "$2") $(soxi -s "$2")" ] || return 1
    local bits
    bits="$(soxi -b "$1")"
    cmp -s <(sox -D "$1" -t raw -e signed-integer -b "$bits" -) <(sox -D "$2" -t raw -e signed-integer -b "$bits" -)
}

# --- the corpus -----------------------------------------------------------------------------------
wave_bytes=0 audio_seconds=0 names=()
for f in "${files[@]}"; do
    wave_bytes=$((wave_bytes + $(stat -c %s "$f")))
    audio_seconds="$(awk -v a="$audio_seconds" -v b="$(soxi -D "$f")" 'BEGIN { printf "%.6f", a + b }')"
    names+=("$(basename "$f")")
    cat "$f" >/dev/null  # read once, so no codec pays for the first read from disk
done
echo "== ${#files[@]} file(s), $audio_seconds s of audio, ${#selected[@]} codec setting(s), $runs run(s) each" >&2

# --- the runs -------------------------------------------------------------------------------------
command=()
declare -A size_of enc_of dec_of enc_rss_of dec_rss_of check_of label_of
failed=0
for row in "${selected[@]}"; do
    IFS='|' read -r id codec setting <<<"$row"
    label_of[$id]="$codec|$setting"
    total_size=0 total_enc=0 total_dec=0 enc_rss=0 dec_rss=0 check="byte-identical"
    for f in "${files[@]}"; do
        compressed="$work/coded.$(extension "$id")"
        decoded="$work/decoded.wav"
        bits="$(soxi -b "$f")"
        enc_times=() dec_times=()
        for _ in $(seq "$runs"); do
            rm -f "$compressed"
            encode_command "$id" "$f" "$compressed"
            timed "${command[@]}"
            enc_times+=("$elapsed_us")
            [ "$rss_kib" -gt "$enc_rss" ] && enc_rss=$rss_kib
            rm -f "$decoded"
            decode_command "$id" "$compressed" "$decoded" "$bits"
            timed "${command[@]}"
            dec_times+=("$elapsed_us")
            [ "$rss_kib" -gt "$dec_rss" ] && dec_rss=$rss_kib
        done
        total_size=$((total_size + $(stat -c %s "$compressed")))
        total_enc=$((total_enc + $(median "${enc_times[@]}")))
        total_dec=$((total_dec + $(median "${dec_times[@]}")))
        if cmp -s "$f" "$decoded"; then
            :
        elif [[ "$id" != elq-* ]] && same_samples "$f" "$decoded"; then
            check="same samples, other header"
        else
            echo "MISMATCH: $codec $setting decoded $(basename "$f") differently" >&2
            check="**MISMATCH**"
            failed=1
        fi
    done
    size_of[$id]=$total_size enc_of[$id]=$total_enc dec_of[$id]=$total_dec
    enc_rss_of[$id]=$enc_rss dec_rss_of[$id]=$dec_rss check_of[$id]=$check
    echo "   $codec $setting: $total_size bytes, encode $((total_enc / 1000)) ms, decode $((total_dec / 1000)) ms" >&2
done

# --- the table ------------------------------------------------------------------------------------
speed() { awk -v s="$audio_seconds" -v us="$1" 'BEGIN { printf "%.1f", s / (us / 1000000) }'; }
mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }
clock="wall"
[ "$cpu" -eq 1 ] && clock="CPU (user+system)"
median_note=""
[ "$runs" -gt 1 ] && median_note=", median of $runs runs"

echo "Files: ${names[*]} ($(awk -v s="$audio_seconds" 'BEGIN { printf "%.1f", s }') s of audio, $wave_bytes WAVE bytes)."
echo "Speeds are audio seconds per $clock second$median_note, single-threaded, one process at a time."
echo
echo "| Codec | Setting | Size (% of WAVE) | Encode (× real time) | Decode (× real time) | Encode peak RSS (MiB) | Decode peak RSS (MiB) | Decoded file |"
echo "|---|---|---:|---:|---:|---:|---:|---|"
for row in "${selected[@]}"; do
    IFS='|' read -r id codec setting <<<"$row"
    version="$(version_of "$codec")"
    if [[ "$codec" == *"(ffmpeg)" ]]; then
        codec="${codec%(ffmpeg)}(ffmpeg $version)"
    elif [ -n "$version" ]; then
        codec="$codec $version"
    fi
    [ "$setting" = default ] || setting="\`$setting\`"
    percent=$(awk -v a="${size_of[$id]}" -v b="$wave_bytes" 'BEGIN { printf "%.2f", 100 * a / b }')
    echo "| $codec | $setting | $percent | $(speed "${enc_of[$id]}") | $(speed "${dec_of[$id]}") |" \
        "$(mib "${enc_rss_of[$id]}") | $(mib "${dec_rss_of[$id]}") | ${check_of[$id]} |"
done

# --- the targets ----------------------------------------------------------------------------------
targets=()
check() { if [ "$2" -eq 1 ]; then targets+=("- [x] $1"); else targets+=("- [ ] $1"); fi; }
less() { [ "$1" -lt "$2" ] && echo 1 || echo 0; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
has() { [ -n "${size_of[$1]:-}" ]; }
if has elq-normal && has flac-8; then
    check "\`--mode normal\` smaller than \`flac -8\`" "$(less "${size_of[elq-normal]}" "${size_of[flac-8]}")"
    r=$(ratio "${enc_of[elq-normal]}" "${enc_of[flac-8]}")
    check "\`--mode normal\` encode time at most 1.5× that of \`flac -8\` (${r}×)" "$(awk -v r="$r" 'BEGIN { print (r <= 1.5) }')"
    r=$(ratio "${dec_of[elq-normal]}" "${dec_of[flac-8]}")
    check "\`--mode normal\` decode time at most 3× that of \`flac -d\` (${r}×)" "$(awk -v r="$r" 'BEGIN { print (r <= 3) }')"
fi
if has elq-normal && has wavpack-hhx3; then
    check "\`--mode normal\` smaller than \`wavpack -hhx3\`" "$(less "${size_of[elq-normal]}" "${size_of[wavpack-hhx3]}")"
fi
if has elq-insane; then
    smallest_peer=""
    for id in "${!size_of[@]}"; do
        [[ "$id" == elq-* ]] && continue
        if [ -z "$smallest_peer" ] || [ "${size_of[$id]}" -lt "${size_of[$smallest_peer]}" ]; then smallest_peer=$id; fi
    done
    if [ -n "$smallest_peer" ]; then
        check "\`--mode insane\` smaller than every peer (smallest: ${label_of[$smallest_peer]/|/ })" \
            "$(less "${size_of[elq-insane]}" "${size_of[$smallest_peer]}")"
    fi
    s=$(speed "${enc_of[elq-insane]}")
    check "\`--mode insane\` encodes at least 5× real time (${s}×)" "$(awk -v s="$s" 'BEGIN { print (s >= 5) }')"
fi
# --optimize max, against the default file (--mode normal) of the same files; its rows run on two threads.
max_target() {
    local mode=$1 most=$2 speed=$3
    has "elq-max-$mode" || return 0
    if has elq-normal; then
        r=$(awk -v a="${size_of[elq-max-$mode]}" -v b="${size_of[elq-normal]}" 'BEGIN { printf "%.4f", a / b }')
        check "\`--mode $mode --optimize max\` at most ${most}× the size of \`--mode normal\` (${r}×)" \
            "$(awk -v r="$r" -v m="$most" 'BEGIN { print (r <= m) }')"
    fi
    s=$(speed "${enc_of[elq-max-$mode]}")
    check "\`--mode $mode --optimize max\` encodes at least ${speed}× real time on two threads (${s}×)" \
        "$(awk -v s="$s" -v m="$speed" 'BEGIN { print (s >= m) }')"
}
max_target normal 0.985 40
max_target insane 0.96 8
if [ ${#targets[@]} -gt 0 ]; then
    echo
    echo "Targets:"
    echo
    printf '%s\n' "${targets[@]}"
fi
exit "$failed"
