"""Writes Windows icon files; shared by the programs' icon scripts (ripper/res, tools/guitool/res)."""
import struct


def ico_file(images):
    """An .ico holding 32-bit BGRA images; images is a list of (size, rows of (r, g, b, a))."""
    entries, blobs = b"", b""
    offset = 6 + 16 * len(images)
    for size, pixels in images:
        header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
        xor = b"".join(bytes((b, g, r, a)) for row in reversed(pixels) for (r, g, b, a) in row)
        stride = ((size + 31) // 32) * 4
        mask = b""
        for row in reversed(pixels):
            bits = 0
            for x, (_, _, _, a) in enumerate(row):
                if a == 0:
                    bits |= 1 << (stride * 8 - 1 - x)
            mask += bits.to_bytes(stride, "big")
        blob = header + xor + mask
        entries += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(blob), offset)
        blobs += blob
        offset += len(blob)
    return struct.pack("<HHH", 0, 1, len(images)) + entries + blobs
