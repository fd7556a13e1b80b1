#!/usr/bin/python3
"""Reads capture files and cartridge cards with independent decoders (PIL,
python3-lz4) for the capture tests, which compare the results.

  image_info.py png FILE RAW    prints "size W H"; RAW gets the RGBA pixels
  image_info.py gif FILE RAW    prints "size W H", "frames N", "loop L" and
                                "durations D1 D2 ..."; RAW gets every frame as
                                shown (composed over the earlier ones), as RGB
  image_info.py card FILE RAW   prints "size W H" and "entries NAME ..." (the
                                hidden ROM image's paths); RAW gets the hidden
                                bytes, all of them
"""
import struct
import sys

import lz4.block
from PIL import Image


def hidden_bytes(rgba):
    """The card's low bits as a bit stream: 3 bits of each of R, G and B and
    2 of A per pixel, the first bit in bit 0; bytes filled from bit 0 up."""
    out = bytearray()
    acc = nbits = 0
    for i, v in enumerate(rgba):
        count = 2 if i % 4 == 3 else 3
        acc |= (v & ((1 << count) - 1)) << nbits
        nbits += count
        while nbits >= 8:
            out.append(acc & 0xFF)
            acc >>= 8
            nbits -= 8
    return bytes(out)


def rom_entries(rom):
    assert rom[:4] == b"q64\x02", rom[:4]
    (size,) = struct.unpack("<I", rom[4:8])
    payload = lz4.block.decompress(rom[8:8 + size], uncompressed_size=1 << 26)
    names, pos = [], 0
    while pos < len(payload):
        end = payload.index(b"\0", pos)
        name = payload[pos:end].decode()
        pos = end + 1
        names.append(name)
        if name.endswith("/"):
            continue
        n = payload[pos]
        pos += 1
        if n == 255:
            (n,) = struct.unpack("<I", payload[pos:pos + 4])
            pos += 4
        pos += n
    return names


def main():
    kind, path, raw = sys.argv[1:4]
    img = Image.open(path)
    print("size %d %d" % img.size)
    with open(raw, "wb") as out:
        if kind == "png":
            out.write(img.convert("RGBA").tobytes())
        elif kind == "card":
            data = hidden_bytes(img.convert("RGBA").tobytes())
            out.write(data)
            (size,) = struct.unpack("<I", data[4:8])
            print("entries " + " ".join(rom_entries(data[:8 + size])))
        elif kind == "gif":
            print("frames %d" % img.n_frames)
            print("loop %s" % img.info.get("loop"))
            durations = []
            for i in range(img.n_frames):
                img.seek(i)
                durations.append(str(img.info.get("duration")))
                out.write(img.convert("RGB").tobytes())
            print("durations " + " ".join(durations))


if __name__ == "__main__":
    main()
