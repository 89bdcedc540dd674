#!/usr/bin/env bash
# Runs the real ffmpeg, sox and arecord through the pipes users build with elq, and checks every
# result byte for byte: WAVE streams of unknown or placeholder length into elq, RF64 files, ELQ files
# through standard input and output. Installs ffmpeg, sox and alsa-utils when missing (as root).
# Builds build/ first.
# Usage: scripts/pipes.sh
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_packages
missing=()
command -v ffmpeg >/dev/null 2>&1 || missing+=(ffmpeg)
command -v sox >/dev/null 2>&1 || missing+=(sox)
command -v arecord >/dev/null 2>&1 || missing+=(alsa-utils)
install_packages "${missing[@]}"
build_release >/dev/null

elq="$BUILD/elq"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"
failures=0
check() {  # check NAME EXPECTED ACTUAL: the two files are identical
    if cmp -s "$2" "$3"; then
        echo "ok    $1"
    else
        echo "FAIL  $1" >&2
        failures=$((failures + 1))
    fi
}
# ffmpeg reads standard input for its own commands unless told not to. The reference streams go
# through `cat`, so that the tools write them as they write into a pipe.
ff() { ffmpeg -nostdin -v error "$@"; }

# 20 s of a 16-bit stereo tone mix and 10 s of 24-bit mono noise, made by the tools themselves.
ff -f lavfi -i "sine=frequency=440:duration=20,aformat=sample_fmts=s16:channel_layouts=stereo" -ar 44100 -y tone.wav
sox -n -r 48000 -b 24 -c 1 noise.wav synth 10 pinknoise vol 0.5

echo "== WAVE streams into elq, decoded back"
ff -i tone.wav -f wav - | cat >ffmpeg.stream                     # RIFF and data sizes all ones, a LIST chunk
ff -i tone.wav -f wav - | "$elq" --silent --encode - --output a
"$elq" --silent a.elq --output a.wav && check "ffmpeg -f wav - | elq" ffmpeg.stream a.wav
ff -i noise.wav -c:a pcm_s24le -f wav - | cat >ffmpeg24.stream   # extensible format
ff -i noise.wav -c:a pcm_s24le -f wav - | "$elq" --silent --encode - --output b
"$elq" --silent b.elq --output b.wav && check "ffmpeg 24-bit | elq" ffmpeg24.stream b.wav
sox -V1 tone.wav -t wav - trim 0 7.5 | cat >sox.stream               # placeholder sizes near 0x7FFFF000
sox -V1 tone.wav -t wav - trim 0 7.5 | "$elq" --silent --encode - --output c
"$elq" --silent c.elq --output c.wav && check "sox -t wav - trim | elq" sox.stream c.wav
sox -V1 noise.wav -b 24 -t wav - trim 0 3 | cat >sox24.stream        # extensible, a fact chunk
sox -V1 noise.wav -b 24 -t wav - trim 0 3 | "$elq" --silent --encode - --output d
"$elq" --silent d.elq --output d.wav && check "sox 24-bit | elq" sox24.stream d.wav
# arecord writes placeholder sizes and runs until stopped; the "null" device needs no sound card.
if (timeout -s INT 0.5 arecord -q -D null -f cd -t wav 2>/dev/null || true) | tee arecord.stream |
    "$elq" --silent --encode - --output r && [ -s arecord.stream ]; then
    "$elq" --silent r.elq --output r.wav && check "arecord | elq" arecord.stream r.wav
else
    echo "skip  arecord: no null capture device here"
fi
if ff -i tone.wav -f wav - 2>/dev/null | "$elq" --silent --encode - --output - >e.elq 2>e.err; then
    echo "FAIL  a stream of unknown length to standard output is refused" >&2
    failures=$((failures + 1))
elif [ -s e.elq ]; then
    echo "FAIL  nothing is written before the refusal" >&2
    failures=$((failures + 1))
else
    echo "ok    ffmpeg | elq --output - is refused before any output"
fi

echo "== RF64"
ff -i tone.wav -rf64 always -y rf64.wav
"$elq" --silent rf64.wav && "$elq" --silent rf64.elq --output rf64.back.wav && check "RF64 file" rf64.wav rf64.back.wav
ff -i tone.wav -rf64 always -f wav - | cat >rf64.stream
ff -i tone.wav -rf64 always -f wav - | "$elq" --silent --encode - --output f
"$elq" --silent f.elq --output f.wav && check "ffmpeg -rf64 always | elq" rf64.stream f.wav

echo "== ELQ through standard input and output"
"$elq" --silent tone.wav --output g.elq
"$elq" --silent --encode tone.wav --output - >g.stdout.elq && check "elq --output - equals the file" g.elq g.stdout.elq
cat g.elq | "$elq" --silent --decode - --output g.wav && check "cat x.elq | elq --decode -" tone.wav g.wav
"$elq" --silent --decode g.elq --output - | ff -f wav -i - -f wav -c:a pcm_s16le -fflags +bitexact -y h.wav
ff -i tone.wav -f wav -c:a pcm_s16le -fflags +bitexact -y h.expected.wav
check "elq --output - | ffmpeg -i -" h.expected.wav h.wav

if [ "$failures" -ne 0 ]; then
    echo "$failures pipe check(s) failed" >&2
    exit 1
fi
echo "== every pipe check passed"
