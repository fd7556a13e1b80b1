"""Deltas against an independent decoder and a model of the match finder, written here
from the format's description, with python3-lz4 for the block and zlib for CRC-32.

Every delta the codec makes is decoded here and must give the new data, and its op
stream must equal the model's byte for byte. Deltas made only here must be applied by
the codec.
"""
import os
import random
import struct
import subprocess
import tempfile
import unittest
import zlib

import lz4.block

TOOL = os.path.join(os.environ.get("ORVANTA_BUILD_DIR", "build"), "delta_tool")


def count(n):
    return bytes([n]) if n < 255 else b"\xff" + struct.pack("<I", n)


def model_ops(old, new):
    """The op stream by the match-finding rules: sparse hash index of old, two candidates."""
    def h(buf, i):
        return ((buf[i] + (buf[i + 3] << 6)) * 627) & 0x7FFF

    def run(a, i, b, j):
        n = 0
        while i + n < len(a) and j + n < len(b) and a[i + n] == b[j + n]:
            n += 1
        return n

    table = {}
    if len(old) >= 32:
        step = len(new) >> 13 if len(new) >= 40960 else 4
        for p in range(0, len(old) - 31, step):
            table.setdefault(h(old, p), p)
    out = bytearray(struct.pack("<III", len(new), zlib.crc32(old), zlib.crc32(new)))
    pos = 0
    while pos < len(new):
        o, found = pos, None
        while o < len(new):
            same = run(old, o, new, o) if o < len(old) else 0
            far, b = 0, None
            if len(new) - o >= 31 and h(new, o) in table:
                b = table[h(new, o)]
                far = run(old, b, new, o)
            best = (far, b) if far > same else (same, o)
            if best[0] >= 8:
                found = best
                break
            o += 1
        if found:
            out += count(o - pos) + new[pos:o] + count(found[0]) + struct.pack("<I", found[1])
            pos = o + found[0]
        else:
            out += count(len(new) - pos) + new[pos:]
            pos = len(new)
    return bytes(out)


def decode(old, delta):
    """The new data, or None when the delta does not apply."""
    ops = delta
    if delta[:4] == b"dst\0":
        (n,) = struct.unpack("<I", delta[4:8])
        ops = lz4.block.decompress(delta[8:], uncompressed_size=n)
        assert len(ops) == n
    new_len, old_crc, new_crc = struct.unpack("<III", ops[:12])
    if zlib.crc32(old) != old_crc:
        return None
    out, p = bytearray(), 12

    def get_count():
        nonlocal p
        c = ops[p]
        p += 1
        if c < 255:
            return c
        (v,) = struct.unpack("<I", ops[p:p + 4])
        p += 4
        return v

    while p < len(ops):
        n = get_count()
        out += ops[p:p + n]
        p += n
        if p == len(ops):
            break
        n = get_count()
        (off,) = struct.unpack("<I", ops[p:p + 4])
        p += 4
        assert off + n <= len(old)
        out += old[off:off + n]
    assert len(out) == new_len and zlib.crc32(out) == new_crc
    return bytes(out)


def text(rng, n):
    words = [b"the", b"delta", b"of", b"a", b"file", b"keeps", b"literal", b"runs", b"and", b"copies", b"\n"]
    out = bytearray()
    while len(out) < n:
        out += rng.choice(words) + b" "
    return bytes(out[:n])


def edited(rng, data, edits):
    b = bytearray(data)
    for _ in range(edits):
        at = rng.randrange(len(b) + 1)
        kind = rng.randrange(3)
        if kind == 0 and at < len(b):
            b[at] = rng.randrange(256)
        elif kind == 1:
            b[at:at] = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 40)))
        else:
            del b[at:at + rng.randrange(1, 40)]
    return bytes(b)


class Delta(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()

    @classmethod
    def tearDownClass(cls):
        cls.dir.cleanup()

    def tool(self, cmd, a, b):
        pa, pb = os.path.join(self.dir.name, "a"), os.path.join(self.dir.name, "b")
        for p, d in ((pa, a), (pb, b)):
            with open(p, "wb") as f:
                f.write(d)
        r = subprocess.run([TOOL, self.dir.name, cmd, pa, pb], stdout=subprocess.PIPE, timeout=60)
        return r.stdout if r.returncode == 0 else None

    def pairs(self):
        rng = random.Random(18)
        yield b"", b""
        yield b"", b"only new"
        yield b"some old bytes", b""
        yield b"x" * 31, b"x" * 31 + b"y"
        yield b"x" * 32, b"y" + b"x" * 40
        # The last position indexed is old length - 32.
        tail = bytes(rng.randrange(256) for _ in range(31))
        yield b"ABCD" + tail, b"zz" + tail
        yield b"ABCDE" + tail, b"zz" + tail[1:]
        for n in (1, 7, 8, 9, 100, 254, 255, 256, 1000, 5000):
            old = bytes(rng.randrange(256) for _ in range(n))
            yield old, edited(rng, old, 3)
            yield old, bytes(rng.randrange(256) for _ in range(rng.randrange(n + 300)))
        for n in (300, 4096, 40959, 40960, 60000):
            old = text(rng, n)
            yield old, edited(rng, old, 5)
            yield old, old[n // 2:] + old[:n // 2]
        big = text(rng, 50000)
        yield big, big

    def test_deltas_match_the_model_and_decode(self):
        for old, new in self.pairs():
            d = self.tool("create", old, new)
            self.assertIsNotNone(d)
            self.assertEqual(d[:4], b"dst\0")
            ops = model_ops(old, new)
            self.assertEqual(struct.unpack("<I", d[4:8])[0], len(ops), (len(old), len(new)))
            self.assertEqual(lz4.block.decompress(d[8:], uncompressed_size=len(ops)), ops, (len(old), len(new)))
            self.assertEqual(decode(old, d), new)
            self.assertEqual(self.tool("apply", old, d), new)

    def test_deltas_made_here_are_applied(self):
        rng = random.Random(7)
        old = bytes(rng.randrange(256) for _ in range(3000))
        # Long counts, copies from anywhere, overlapping sources, a trailing copy.
        records = [(b"", 300, 0), (b"L" * 254, 8, 2992), (b"M" * 255, 1000, 17), (b"", 1000, 5)]
        new = bytearray()
        ops = bytearray()
        for lit, n, off in records:
            ops += count(len(lit)) + lit + count(n) + struct.pack("<I", off)
            new += lit + old[off:off + n]
        new = bytes(new)
        ops = struct.pack("<III", len(new), zlib.crc32(old), zlib.crc32(new)) + ops
        for mode in ("fast", "high_compression"):
            block = lz4.block.compress(bytes(ops), mode=mode, store_size=False)
            self.assertEqual(self.tool("apply", old, b"dst\0" + struct.pack("<I", len(ops)) + block), new)
        self.assertEqual(self.tool("apply", old, bytes(ops)), new)  # bare
        self.assertIsNone(self.tool("apply", old[:-1] + b"?", bytes(ops)))
        with open(os.path.join(self.dir.name, "log.txt"), "rb") as f:
            self.assertIn(b"** apply_delta: failed src crc (dst marker: 0)\n", f.read())


if __name__ == "__main__":
    unittest.main()
