#!/usr/bin/env bash
# The real window under a virtual X server: sonvel-gui starts on a scratch user directory,
# shows its window, the screen is captured and must not be blank, and SIGTERM closes it
# cleanly (exit status 0, options and measurements autosaved).
# Usage: window-smoke.sh SONVEL_GUI_BINARY SCREENSHOT_DIR
set -euo pipefail
gui=$1
shots=$2
mkdir -p "$shots"
if ! command -v xvfb-run >/dev/null || ! command -v xwd >/dev/null; then
    echo "xvfb-run and xwd are needed (scripts/install-deps.sh installs them)"
    exit 1
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export SONVEL_SMOKE_WORK=$work SONVEL_SMOKE_GUI=$gui SONVEL_SMOKE_SHOTS=$shots

# shellcheck disable=SC2016
xvfb-run -a -s "-screen 0 1400x900x24" bash -c '
    set -euo pipefail
    "$SONVEL_SMOKE_GUI" --user-dir "$SONVEL_SMOKE_WORK/user" --sim speaker \
        >"$SONVEL_SMOKE_WORK/gui.log" 2>&1 &
    pid=$!
    shown=""
    for _ in $(seq 100); do
        if xwininfo -root -tree 2>/dev/null | grep -q "\"Sonvel\""; then shown=1; break; fi
        kill -0 $pid 2>/dev/null || break
        sleep 0.1
    done
    if [ -z "$shown" ]; then
        echo "no Sonvel window appeared"; cat "$SONVEL_SMOKE_WORK/gui.log"; kill $pid 2>/dev/null || true; exit 1
    fi
    sleep 1
    xwd -root -silent >"$SONVEL_SMOKE_WORK/screen.xwd"
    kill -TERM $pid
    status=0
    wait $pid || status=$?
    echo "sonvel-gui exited with $status"
    exit $status
'
# An XWD file: a header of big-endian 32-bit fields, a colour map, then the pixels. A blank
# screen has one colour; the window has many.
python3 - "$work/screen.xwd" "$shots/window-xvfb.png" <<'PY'
import struct, sys, zlib
data = open(sys.argv[1], "rb").read()
fields = struct.unpack(">25I", data[:100])
header, width, height, bpp, bpl, ncolors = fields[0], fields[4], fields[5], fields[11], fields[12], fields[19]
pixels = data[header + 12 * ncolors:]
step = bpp // 8
colours = set()
for y in range(0, height, 4):
    row = pixels[y * bpl:(y + 1) * bpl]
    for x in range(0, width * step, step * 4):
        colours.add(row[x:x + step])
print(f"screen {width}x{height}, {len(colours)} colours seen")
if len(colours) < 16:
    sys.exit("the screen is blank")
# The capture as PNG for people to look at (pixels of 3 or 4 bytes, least significant byte
# first: blue, green, red).
if step in (3, 4) and fields[7] == 0:
    raw = bytearray()
    for y in range(height):
        row = pixels[y * bpl:y * bpl + width * step]
        raw.append(0)
        out = bytearray(width * 3)
        out[0::3], out[1::3], out[2::3] = row[2::step], row[1::step], row[0::step]
        raw += out
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(bytes(raw), 6)) + chunk(b"IEND", b"")
    open(sys.argv[2], "wb").write(png)
PY
for f in RazeriRerirov.xml MeasAutosaved.zip; do
    [ -n "$(find "$work/user" -name "$f" -print -quit)" ] ||
        { echo "$f was not autosaved on SIGTERM"; exit 1; }
done
echo "window smoke test passed"
