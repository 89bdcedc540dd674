#!/usr/bin/env bash
# Builds elq (Release) and shows it at work on one WAVE file: encode with progress, list the
# ELQ file, decode, compare byte for byte, then size, ratio and speed.
# Usage: scripts/demo.sh [FILE.wav]
#   Without a file, a 30-second 16-bit stereo 44.1 kHz music-like signal is synthesized
#   (scripts/make_test_signal.py) and kept in build/demo/ for later runs.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

case "${1:-}" in
    -h | --help)
        sed -n '2,6p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'
        exit 0
        ;;
esac

ensure_packages python3
build_release --target elq >/dev/null
ELQ="$BUILD/elq"

echo "== elq --help"
"$ELQ" --help

if [ $# -ge 1 ]; then
    source_wav="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
    [ -f "$source_wav" ] || { echo "no such file: $1" >&2; exit 1; }
else
    mkdir -p "$BUILD/demo"
    source_wav="$BUILD/demo/test_signal.wav"
    if [ ! -f "$source_wav" ]; then
        echo "== synthesizing $source_wav"
        python3 "$ROOT/scripts/make_test_signal.py" "$source_wav"
    fi
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
compressed="$work/demo.elq"
restored="$work/restored.wav"

now() { date +%s.%N; }

echo "== elq --encode $(basename "$source_wav")"
start=$(now)
"$ELQ" --encode "$source_wav" --output "$compressed"
encode_seconds=$(python3 -c "print($(now) - $start)")

echo
echo "== elq --info"
"$ELQ" --silent --info "$compressed"

echo "== elq --decode"
start=$(now)
"$ELQ" --decode "$compressed" --output "$restored"
decode_seconds=$(python3 -c "print($(now) - $start)")

echo
echo "== cmp"
cmp "$source_wav" "$restored"
echo "restored file is identical to the source"

python3 - "$source_wav" "$compressed" "$encode_seconds" "$decode_seconds" <<'EOF'
import os
import struct
import sys

source, compressed, encode_seconds, decode_seconds = sys.argv[1], sys.argv[2], float(sys.argv[3]), float(sys.argv[4])

# Playing time from the RIFF chunks: data bytes / bytes per second of the fmt chunk.
duration = None
with open(source, "rb") as f:
    header = f.read(12)
    byte_rate = data_size = None
    while len(header) == 12 and header[:4] == b"RIFF" and header[8:12] == b"WAVE":
        chunk = f.read(8)
        if len(chunk) < 8:
            break
        tag, size = chunk[:4], struct.unpack("<I", chunk[4:])[0]
        if tag == b"fmt ":
            body = f.read(size)
            byte_rate = struct.unpack("<I", body[8:12])[0] if len(body) >= 12 else None
        elif tag == b"data":
            data_size = size
            break
        else:
            f.seek(size, os.SEEK_CUR)
        if size & 1:
            f.seek(1, os.SEEK_CUR)
    if byte_rate and data_size is not None:
        duration = data_size / byte_rate

original_size = os.path.getsize(source)
compressed_size = os.path.getsize(compressed)
print()
print(f"source      {original_size:>12,} bytes")
print(f"compressed  {compressed_size:>12,} bytes  ({100.0 * compressed_size / original_size:.2f} %, "
      f"ratio {original_size / max(compressed_size, 1):.3f})")
if duration:
    print(f"playing time {duration:.1f} s")
    print(f"encode      {encode_seconds:8.2f} s  ({duration / max(encode_seconds, 1e-9):.1f} x real time)")
    print(f"decode      {decode_seconds:8.2f} s  ({duration / max(decode_seconds, 1e-9):.1f} x real time)")
else:
    print(f"encode {encode_seconds:.2f} s, decode {decode_seconds:.2f} s")
EOF
