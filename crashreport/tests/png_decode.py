#!/usr/bin/python3
"""Independent PNG reader for the screenshot tests: walks the chunks, checks
every CRC, the zlib stream (header, Adler-32) and the scan-line layout, and
writes the pixels as a binary PPM. Prints one line of facts:
  width height bit_depth colour_type plte_length row_bytes idat_bytes chunk,chunk,...
Palette images of 1, 2, 4 and 8 bits and all five filter types are read."""
import struct
import sys
import zlib


def fail(msg):
    print("png_decode: " + msg, file=sys.stderr)
    sys.exit(1)


def paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def main(src, dst):
    data = open(src, "rb").read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        fail("bad signature")
    pos, chunks, idat, plte, ihdr = 8, [], b"", b"", None
    while pos < len(data):
        if pos + 12 > len(data):
            fail("truncated chunk")
        (length,) = struct.unpack(">I", data[pos:pos + 4])
        ctype = data[pos + 4:pos + 8]
        body = data[pos + 8:pos + 8 + length]
        (crc,) = struct.unpack(">I", data[pos + 8 + length:pos + 12 + length])
        if zlib.crc32(ctype + body) != crc:
            fail("CRC mismatch in " + ctype.decode("latin-1"))
        chunks.append(ctype.decode("latin-1"))
        if ctype == b"IHDR":
            ihdr = struct.unpack(">IIBBBBB", body)
        elif ctype == b"PLTE":
            plte = body
        elif ctype == b"IDAT":
            idat += body
        pos += 12 + length
        if ctype == b"IEND":
            break
    if pos != len(data):
        fail("bytes after IEND")
    if ihdr is None:
        fail("no IHDR")
    width, height, depth, ctype, comp, filt, interlace = ihdr
    if ctype != 3 or comp or filt or interlace or depth not in (1, 2, 4, 8):
        fail("unsupported header %r" % (ihdr,))
    if len(plte) % 3 or not plte:
        fail("bad PLTE")
    # zlib.decompress checks the header and the Adler-32 trailer.
    d = zlib.decompressobj()
    raw = d.decompress(idat) + d.flush()
    if not d.eof or d.unused_data:
        fail("zlib stream does not end with the IDAT data")
    row = 1 + (width * depth + 7) // 8
    if len(raw) != row * height:
        fail("image data %d bytes, expected %d" % (len(raw), row * height))
    bpp, prev, out = 1, bytearray(row - 1), bytearray()
    entries = len(plte) // 3
    for y in range(height):
        f, line = raw[y * row], bytearray(raw[y * row + 1:(y + 1) * row])
        for i in range(len(line)):
            a = line[i - bpp] if i >= bpp else 0
            b = prev[i]
            c = prev[i - bpp] if i >= bpp else 0
            line[i] = (line[i] + (0, a, b, (a + b) // 2, paeth(a, b, c))[f]) & 0xFF if f <= 4 else fail("filter")
        prev = line
        for x in range(width):
            bit = x * depth
            index = (line[bit // 8] >> (8 - depth - bit % 8)) & ((1 << depth) - 1)
            if index >= entries:
                fail("index %d beyond the palette" % index)
            out += plte[3 * index:3 * index + 3]
    with open(dst, "wb") as f:
        f.write(b"P6\n%d %d\n255\n" % (width, height) + bytes(out))
    print(width, height, depth, ctype, len(plte), row, len(raw), ",".join(chunks))


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
