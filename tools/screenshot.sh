#!/usr/bin/env bash
# Pictures of what the operator sees: the About box of the running driver, the driver's icon in
# the notification area in its idle, active and locked states, and the four tray icons at every
# stored size.
#
#   tools/screenshot.sh [BUILD_DIR]     default build/windows-x64
#
# Writes BUILD_DIR/about-box.png, BUILD_DIR/tray-idle.png, tray-active.png, tray-locked.png and
# BUILD_DIR/icon-sheet.png. The driver is started under Wine in the build's own Xvfb, its About
# box opened by a WM_COMMAND ID_ABOUT posted to the hidden main dialog ("QEVR-1.4"), and the
# driver is told to exit (ID_EXIT) at the end. The tray pictures show Wine's own notification
# area ("Wine System Tray"), taken by veltra-tray-pictures, which runs veltra.exe with the test HID
# device as the pendant and the stand-in NcStudio, as the demo does.
set -eu
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(realpath -m "${1:-$root/build/windows-x64}")"
"$root/tools/install-packages.sh" imagemagick x11-apps

if [ ! -f "$build/CMakeCache.txt" ]; then
  (cd "$root" && cmake --preset windows-x64 -B "$build" >/dev/null)
fi
cmake --build "$build" --target veltra veltra-tray-pictures >/dev/null

# A tiny console helper: finds a window by title, posts it a command, reports its rectangle.
helper="$build/ui-helper.exe"
if [ ! -x "$helper" ]; then
  cat >"$build/ui-helper.c" <<'EOF'
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

/* ui-helper find TITLE MS       succeed once the window exists (shown or hidden)
   ui-helper wait TITLE MS       print "W H X Y" of the window once it is visible
   ui-helper post TITLE COMMAND  post WM_COMMAND COMMAND to the window */
int main(int argc, char** argv) {
    if (argc < 4) return 2;
    DWORD limit = argv[1][0] == 'p' ? 5000 : (DWORD)atoi(argv[3]);
    DWORD start = GetTickCount();
    HWND hwnd = NULL;
    while (!(hwnd = FindWindowA(NULL, argv[2])) || (argv[1][0] == 'w' && !IsWindowVisible(hwnd))) {
        if (GetTickCount() - start > limit) return 1;
        Sleep(50);
    }
    if (argv[1][0] == 'p') return PostMessageA(hwnd, WM_COMMAND, (WPARAM)atoi(argv[3]), 0) ? 0 : 1;
    if (argv[1][0] == 'f') return 0;
    RECT r;
    GetWindowRect(hwnd, &r);
    printf("%ld %ld %ld %ld\n", r.right - r.left, r.bottom - r.top, r.left, r.top);
    return 0;
}
EOF
  x86_64-w64-mingw32-gcc -O2 -static -o "$helper" "$build/ui-helper.c"
fi

state="$build/wine"
run() { "$root/tools/wine-run" --state "$state" "$@"; }
# The start leaves a watchdog behind; it must not hold this script's output open.
run --start >"$build/screenshot-wine.log" 2>&1 </dev/null
export $(run --env)

run "$build/bin/veltra.exe" >>"$build/screenshot-wine.log" 2>&1 </dev/null &
driver=$!
# Whatever happens below, the driver is told to exit.
trap 'run "$helper" post "QEVR-1.4" 32773 >/dev/null 2>&1 || true' EXIT
run "$helper" find "QEVR-1.4" 20000               # exists (hidden) once the driver is up
run "$helper" post "QEVR-1.4" 32774               # ID_ABOUT
read -r w h x y < <(run "$helper" wait "Qorin PX40 DRIVER-V2.3" 10000 | tr -d '\r')
sleep 0.5                                         # let it paint
margin=8
import -window root -crop "$((w + 2 * margin))x$((h + 2 * margin))+$((x > margin ? x - margin : 0))+$((y > margin ? y - margin : 0))" \
  +repage "$build/about-box.png"
run "$helper" post "Qorin PX40 DRIVER-V2.3" 1     # OK
run "$helper" post "QEVR-1.4" 32773               # ID_EXIT
trap - EXIT
wait "$driver" || true

# The tray in three states, as BMPs from veltra-tray-pictures, turned into PNGs here.
run "$build/testhid/testhid.exe" install >>"$build/screenshot-wine.log" 2>&1 </dev/null
run "$build/bin/veltra-tray-pictures.exe" "Z:${build//\//\\}" >>"$build/screenshot-wine.log" 2>&1 </dev/null
python3 - "$build" <<'EOF'
import os, struct, sys, zlib

build = sys.argv[1]
for state in ("idle", "active", "locked"):
    bmp = os.path.join(build, "tray-%s.bmp" % state)
    data = open(bmp, "rb").read()
    offset, = struct.unpack_from("<I", data, 10)
    width, height, _, bpp = struct.unpack_from("<iiHH", data, 18)
    assert bpp == 24 and height > 0, "24-bit bottom-up BMP only"
    stride = (width * 3 + 3) & ~3
    raw = b""
    for y in range(height):
        row = data[offset + (height - 1 - y) * stride:][:width * 3]
        raw += b"\0" + b"".join(bytes((row[3 * x + 2], row[3 * x + 1], row[3 * x])) for x in range(width))
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF)
    png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) + \
          chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")
    open(bmp[:-4] + ".png", "wb").write(png)
    os.remove(bmp)
EOF

# The icon sheet: one row per icon, every stored size, over a light and a dark background so
# that the alpha edges show.
python3 - "$root/res" "$build/icon-sheet.png" <<'EOF'
import struct, sys, zlib

res, out = sys.argv[1], sys.argv[2]
names = ["active", "idle", "no_device", "locked_active"]

def read_ico(path):
    data = open(path, "rb").read()
    _, _, count = struct.unpack_from("<HHH", data, 0)
    images = []
    for i in range(count):
        w, h, _, _, _, bpp, size, offset = struct.unpack_from("<BBBBHHII", data, 6 + 16 * i)
        w, h = w or 256, h or 256
        header = struct.unpack_from("<IiiHH", data, offset)
        assert bpp == 32 and header[4] == 32, "32-bit images only"
        pixels = data[offset + header[0]: offset + header[0] + w * h * 4]
        rows = []
        for y in range(h):  # stored bottom up, BGRA
            row = pixels[(h - 1 - y) * w * 4:(h - y) * w * 4]
            rows.append([(row[4 * x + 2], row[4 * x + 1], row[4 * x], row[4 * x + 3]) for x in range(w)])
        images.append((w, rows))
    return sorted(images, key=lambda image: image[0])

icons = [read_ico("%s/%s.ico" % (res, n)) for n in names]
pad, scale = 8, 2  # each icon drawn at twice its size so that the 16-pixel image can be judged
backgrounds = [(0xF0, 0xF0, 0xF0), (0x30, 0x30, 0x30)]
cell_w = [pad + image[0] * scale for image in icons[0]]
width = 2 * (pad + sum(cell_w))
row_h = pad + max(image[0] for image in icons[0]) * scale
height = pad + len(icons) * row_h
half = width // 2
canvas = [[backgrounds[0]] * half + [backgrounds[1]] * (width - half) for _ in range(height)]
for r, images in enumerate(icons):
    x0 = pad
    for half_index, bg in enumerate(backgrounds):
        x0 = pad + half_index * (width // 2)
        for size, rows in images:
            top = pad + r * row_h
            for y in range(size * scale):
                for x in range(size * scale):
                    cr, cg, cb, a = rows[y // scale][x // scale]
                    canvas[top + y][x0 + x] = tuple((c * a + b * (255 - a)) // 255 for c, b in zip((cr, cg, cb), bg))
            x0 += pad + size * scale

raw = b"".join(b"\0" + bytes(v for px in row for v in px) for row in canvas)
def chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF)
png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) + \
      chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")
open(out, "wb").write(png)
EOF
echo "$build/about-box.png"
for state in idle active locked; do echo "$build/tray-$state.png"; done
echo "$build/icon-sheet.png"
