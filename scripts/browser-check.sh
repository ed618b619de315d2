#!/usr/bin/env bash
# Does a browser show our WebM transparent? Cuts a second of the shared 1080p clip to WebM,
# shows its first frame in headless Chromium over a checkerboard of two loud colours,
# screenshots it, and compares the screenshot with the raw stream's first frame: where that
# frame is clear the checkerboard must show, where it is opaque the person's own colours.
#
#   scripts/browser-check.sh [build folder]      (default: build)
#
# Not part of CI: it needs Debian's chromium, installed here when run as root.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
tool="$build/quelm-matte"
clip="$root/../shared/media/video/v10_h264_1080p30_people_zoom_pan.mp4"
width=270 height=480

[[ -x "$tool" ]] || { echo "browser-check: no $tool; build first" >&2; exit 1; }
[[ -f "$clip" ]] || { echo "browser-check: no $clip" >&2; exit 1; }
if ! command -v chromium >/dev/null; then
  if [[ $(id -u) -eq 0 ]] && command -v apt-get >/dev/null; then
    apt-get install -y chromium >/dev/null
  else
    echo "browser-check: needs chromium (as root: apt-get install -y chromium)" >&2
    exit 1
  fi
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

options=(--in "$clip" --ss 1 --size "${width}x${height}" --mode person)
"$tool" "${options[@]}" --t 1 --out "$work/cut.webm" 2>/dev/null
"$tool" "${options[@]}" --t 0.03 >"$work/frame.rgba" 2>/dev/null  # the first frame alone

# 16-pixel squares of magenta and green: colours no person in the clip wears.
cat >"$work/page.html" <<EOF
<!doctype html>
<html><body style="margin:0;background:#000">
<div style="position:absolute;left:0;top:0;width:${width}px;height:${height}px;
  background:repeating-conic-gradient(#ff00ff 0 25%, #00ff00 0 50%) 0 0/32px 32px">
  <video src="cut.webm" muted preload="auto" style="display:block;width:${width}px;height:${height}px"></video>
</div>
</body></html>
EOF

chromium --headless --no-sandbox --disable-gpu --hide-scrollbars --force-device-scale-factor=1 \
  --window-size="$width,$height" --virtual-time-budget=5000 \
  --screenshot="$work/shot.png" "file://$work/page.html" >/dev/null 2>&1

python3 - "$work/shot.png" "$work/frame.rgba" "$width" "$height" <<'EOF'
import struct, sys, zlib

def read_png(path):
    data = open(path, 'rb').read()
    pos, idat, header = 8, b'', None
    while pos < len(data):
        length, kind = struct.unpack('>I4s', data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b'IHDR': header = struct.unpack('>IIBBBBB', body)
        if kind == b'IDAT': idat += body
        pos += 12 + length
    w, h, depth, colour, _, _, interlace = header
    assert depth == 8 and colour in (2, 6) and not interlace, header
    bpp = 3 if colour == 2 else 4
    raw, stride = zlib.decompress(idat), w * bpp
    out, prev = bytearray(), bytearray(stride)
    for y in range(h):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - bpp] if i >= bpp else 0
            b, c = prev[i], prev[i - bpp] if i >= bpp else 0
            if kind == 1: line[i] = (line[i] + a) & 255
            elif kind == 2: line[i] = (line[i] + b) & 255
            elif kind == 3: line[i] = (line[i] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        out += line
        prev = line
    return w, h, bpp, out

shot_path, frame_path, width, height = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
w, h, bpp, shot = read_png(shot_path)
frame = open(frame_path, 'rb').read()
assert (w, h) == (width, height), f'screenshot is {w}x{h}'

# Pixels 4 or more away from any other kind of alpha: the codec blurs edges a little.
def eroded(keep):
    r = 4
    rows = [[all(keep[y * width + max(0, x - r):y * width + min(width, x + r + 1)]) for x in range(width)]
            for y in range(height)]
    return [all(rows[yy][x] for yy in range(max(0, y - r), min(height, y + r + 1)))
            for y in range(height) for x in range(width)]

alpha = frame[3::4]
clear = eroded([a == 0 for a in alpha])
opaque = eroded([a == 255 for a in alpha])

def shown(i): return shot[i * bpp:i * bpp + 3]
# The gradient's first quarter (magenta) is the top right of each 32-pixel tile.
def board(i):
    x, y = i % width, i // width
    return (0, 255, 0) if (x // 16 + y // 16) % 2 == 0 else (255, 0, 255)
# The squares' own borders may be smoothed: only their insides count.
def inside_square(i): return 0 < i % width % 16 < 15 and 0 < i // width % 16 < 15
def near(p, q, tolerance): return max(abs(a - b) for a, b in zip(p, q)) <= tolerance

clear_ids = [i for i in range(width * height) if clear[i] and inside_square(i)]
opaque_ids = [i for i in range(width * height) if opaque[i]]
board_shows = sum(near(shown(i), board(i), 24) for i in clear_ids) / max(1, len(clear_ids))
person_shows = sum(near(shown(i), frame[i * 4:i * 4 + 3], 48) for i in opaque_ids) / max(1, len(opaque_ids))
print(f'clear pixels: {len(clear_ids)}, checkerboard shown on {100 * board_shows:.1f}%')
print(f'opaque pixels: {len(opaque_ids)}, the frame\'s colours shown on {100 * person_shows:.1f}%')
ok = len(clear_ids) > 1000 and len(opaque_ids) > 1000 and board_shows >= 0.97 and person_shows >= 0.97
print('browser-check: ' + ('transparent where clear, the person where opaque' if ok else 'FAILED'))
sys.exit(0 if ok else 1)
EOF
