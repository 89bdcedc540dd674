#!/usr/bin/env bash
# Checks libelq as its users get it: builds build/ (with the GStreamer plugin), runs the C
# interface's tests, installs into a temporary prefix and checks the installed tree (the program,
# both libraries with their SONAME links, the header, pkg-config, the CMake package, the man page),
# builds the example against it through pkg-config and through find_package(elq) and compares its
# output with the program's, then runs the installed GStreamer plugin: gst-inspect, decodebin into
# wavenc for every sample width, mono and stereo, playbin, and seeks in the middle.
# Installs pkg-config, GStreamer's development files, tools and plugins when missing (as root).
# Usage: scripts/library.sh [--speed]
#   --speed  also measures the CPU time of decoding one 5-minute file through the program, the
#            library (the example) and GStreamer (median of 5 runs each).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

speed=0
case "${1:-}" in
    --speed) speed=1 ;;
    "") ;;
    *)
        sed -n '2,11p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'
        exit 2
        ;;
esac

ensure_packages pkg-config python3
missing=()
[ -f /usr/include/gstreamer-1.0/gst/gst.h ] || missing+=(libgstreamer1.0-dev)
[ -f /usr/include/gstreamer-1.0/gst/audio/audio.h ] || missing+=(libgstreamer-plugins-base1.0-dev)
command -v gst-launch-1.0 >/dev/null 2>&1 || missing+=(gstreamer1.0-tools)
gst_has() { command -v gst-inspect-1.0 >/dev/null 2>&1 && gst-inspect-1.0 "$1" >/dev/null 2>&1; }
gst_has decodebin || missing+=(gstreamer1.0-plugins-base)
gst_has wavenc || missing+=(gstreamer1.0-plugins-good)
install_packages "${missing[@]}"

echo "== build (with the GStreamer plugin) and the C interface's tests"
build_release >/dev/null
[ -f "$BUILD/gstreamer/libgstelq.so" ] || { echo "the GStreamer plugin was not built" >&2; exit 1; }
"$BUILD/test_api" --gtest_brief=1

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"
failures=0
check() {  # check NAME COMMAND...: the command succeeds
    local name="$1"
    shift
    if "$@"; then
        echo "ok    $name"
    else
        echo "FAIL  $name" >&2
        failures=$((failures + 1))
    fi
}

echo "== installed tree"
cmake --install "$BUILD" --prefix "$prefix" >/dev/null
for file in bin/elq lib/libelq.so lib/libelq.so.1 lib/libelq.a include/elq/elq.h lib/pkgconfig/elq.pc \
    lib/cmake/elq/elqConfig.cmake lib/cmake/elq/elqConfigVersion.cmake lib/cmake/elq/elqTargets.cmake \
    share/man/man1/elq.1 lib/gstreamer-1.0/libgstelq.so; do
    check "installs $file" test -e "$prefix/$file"
done
check "libelq.so.1 is the SONAME" bash -c "objdump -p '$prefix/lib/libelq.so.1' | grep -q 'SONAME *libelq.so.1'"
check "only elq_ functions are exported" bash -c \
    "! nm -D --defined-only '$prefix/lib/libelq.so.1' | awk '{print \$3}' | grep -v '^elq_' | grep -q ."
# Every option of the README's command-line tables is in the man page.
mapfile -t options < <(sed -n 's/^| `\(--[a-z-]*\)`.*/\1/p' "$ROOT/README.md")
for option in "${options[@]}"; do
    check "man page names $option" grep -q -- "${option//-/\\\\-}" "$prefix/share/man/man1/elq.1"
done
if command -v man >/dev/null 2>&1; then
    check "man page renders" bash -c "man -l '$prefix/share/man/man1/elq.1' 2>&1 | grep -q 'lossless compression of PCM WAVE audio'"
fi

echo "== the example against the installed tree"
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Werror "$ROOT/examples/elq_decode.c" $(pkg-config --cflags --libs elq) \
    -Wl,-rpath,"$(pkg-config --variable=libdir elq)" -o "$work/elq_decode"
cc -std=c99 -Wall -Wextra -Werror "$ROOT/examples/elq_decode.c" $(pkg-config --cflags elq) \
    "$prefix/lib/libelq.a" $(pkg-config --libs-only-other --static elq) -lstdc++ -lm -o "$work/elq_decode_static"
cmake -S "$ROOT/examples" -B "$work/example-build" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_RPATH="$prefix/lib" \
    >/dev/null && cmake --build "$work/example-build" >/dev/null
elq="$prefix/bin/elq"
cd "$work"

# The WAVE file's samples: the data chunk's bytes.
samples() {
    python3 - "$1" <<'EOF'
import struct, sys
data = open(sys.argv[1], "rb").read()
at = 12
while at + 8 <= len(data):
    size = struct.unpack_from("<I", data, at + 4)[0]
    if data[at:at + 4] == b"data":
        sys.stdout.buffer.write(data[at + 8:at + 8 + size])
        break
    at += 8 + size + (size & 1)
EOF
}
data_offset() {  # the offset of the first sample byte
    python3 - "$1" <<'EOF'
import struct, sys
data = open(sys.argv[1], "rb").read()
at = 12
while data[at:at + 4] != b"data":
    at += 8 + struct.unpack_from("<I", data, at + 4)[0]
    at += at & 1
print(at + 8)
EOF
}

export GST_PLUGIN_PATH="$prefix/lib/gstreamer-1.0"
export GST_REGISTRY="$work/registry.bin"
echo "== GStreamer"
check "gst-inspect-1.0 elq lists elqdec" bash -c "gst-inspect-1.0 elq | grep -q elqdec"
check "gst-inspect-1.0 elqdec" bash -c "gst-inspect-1.0 elqdec | grep -q 'audio/x-elq'"
for bits in 8 16 24 32; do
    for channels in 1 2; do
        name="s${bits}c${channels}"
        python3 "$ROOT/scripts/make_test_signal.py" "$name.wav" --seconds 12 --bits "$bits" --channels "$channels" \
            --seed "$bits" >/dev/null
        "$elq" --silent --seek fast "$name.wav"
        "$elq" --silent "$name.elq" --output "$name.cli.wav"
        samples "$name.cli.wav" >"$name.expected"
        "$work/elq_decode" "$name.elq" >"$name.example"
        check "example (pkg-config) gives the program's samples: $name" cmp -s "$name.expected" "$name.example"
        if [ "$bits" = 16 ]; then
            "$work/elq_decode_static" "$name.elq" >"$name.static"
            check "example (static library) gives the program's samples: $name" cmp -s "$name.expected" "$name.static"
            "$work/example-build/elq_decode" "$name.elq" >"$name.cmake"
            check "example (find_package) gives the program's samples: $name" cmp -s "$name.expected" "$name.cmake"
        fi
        gst-launch-1.0 -q filesrc location="$name.elq" ! decodebin ! audioconvert ! wavenc ! \
            filesink location="$name.gst.wav" >/dev/null
        samples "$name.gst.wav" >"$name.gst"
        check "decodebin ! wavenc gives the program's samples: $name" cmp -s "$name.expected" "$name.gst"
        frame_bytes=$((bits / 8 * channels))
        frames=$(($(stat -c %s "$name.expected") / frame_bytes))
        # The middle, and the first frame of the second block (441000 values a block).
        for frame in $((frames / 2)) $((441000 / channels)); do
            check "seek to frame $frame of $name" "$BUILD/gst_seek_check" "$name.elq" "$name.cli.wav" \
                "$(data_offset "$name.cli.wav")" "$frame_bytes" 44100 "$frame" 20000
        done
    done
done
check "playbin plays to the end" gst-launch-1.0 -q playbin uri="file://$work/s16c2.elq" \
    audio-sink="fakesink sync=false" video-sink=fakesink

if [ "$speed" -eq 1 ]; then
    echo "== decoding speed: CPU seconds (user + system), median of 5 runs, one 5-minute 16-bit stereo file"
    python3 "$ROOT/scripts/make_test_signal.py" album.wav --seconds 300 >/dev/null
    "$elq" --silent album.wav
    median() {  # median CPU seconds (the children's user + system time) of five runs of the command
        python3 - "$@" <<'EOF'
import resource, statistics, subprocess, sys
times = []
for _ in range(5):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, check=True)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    times.append(after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime)
print(f"{statistics.median(times):.2f} s")
EOF
    }
    printf '%-42s %s\n' "program (elq --threads 1 --decode)" "$(median "$elq" --silent --threads 1 album.elq --output /dev/null)"
    printf '%-42s %s\n' "library (examples/elq_decode)" "$(median "$work/elq_decode" album.elq)"
    printf '%-42s %s\n' "GStreamer (filesrc ! decodebin ! fakesink)" \
        "$(median gst-launch-1.0 -q filesrc location=album.elq ! decodebin ! fakesink)"
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures library check(s) failed" >&2
    exit 1
fi
echo "== every library check passed"
