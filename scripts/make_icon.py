#!/usr/bin/env python3
"""Draws the application icon (a device with an up arrow) into resources/pushwell.ico."""
import struct, sys

def image(size):
    px = []
    for y in range(size - 1, -1, -1):          # bottom-up rows
        for x in range(size):
            fx, fy = x / size, y / size
            body = 0.15 <= fx <= 0.85 and 0.1 <= fy <= 0.9
            screen = 0.25 <= fx <= 0.75 and 0.18 <= fy <= 0.62
            arrow = (abs(fx - 0.5) <= 0.06 and 0.28 <= fy <= 0.55) or \
                    (0.25 <= fy <= 0.38 and abs(fx - 0.5) <= (0.38 - fy) * 1.2)
            if arrow and screen:
                b, g, r, a = 0x20, 0xC0, 0x20, 255
            elif screen:
                b, g, r, a = 0x80, 0x40, 0x00, 255
            elif body:
                b, g, r, a = 0x60, 0x60, 0x60, 255
            else:
                b, g, r, a = 0, 0, 0, 0
            px.append(struct.pack("BBBB", b, g, r, a))
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    mask = b"\0" * (((size + 31) // 32) * 4 * size)
    return header + b"".join(px) + mask

sizes = [16, 32, 48]
images = [image(s) for s in sizes]
out = struct.pack("<HHH", 0, 1, len(sizes))
offset = 6 + 16 * len(sizes)
for s, data in zip(sizes, images):
    out += struct.pack("<BBBBHHII", s, s, 0, 0, 1, 32, len(data), offset)
    offset += len(data)
out += b"".join(images)
with open(sys.argv[1] if len(sys.argv) > 1 else "resources/pushwell.ico", "wb") as f:
    f.write(out)
