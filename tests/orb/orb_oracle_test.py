"""orb text's LZ4 and base64 forms against Debian's python3-lz4 and Python's base64."""
import base64
import os
import random
import struct
import subprocess
import sys
import unittest

import lz4.block

TOOL = os.path.join(os.environ.get("ORVANTA_BUILD_DIR", "build"), "orb_tool")


def tool(*args, data=b""):
    r = subprocess.run([TOOL, *args], input=data, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
    return r.returncode, r.stdout


def orb(expr, flags):
    rc, out = tool("orb", str(flags), data=expr.encode())
    assert rc == 0, (expr, rc)
    return out


VALUES = [
    "{1,2,3}",
    "{name='sprite sheet', w=128, h=128, tags={'a','b','c'}}",
    # Long and repetitive: many LZ4 matches.
    "(function() local t = {} for i = 1, 3000 do t[i] = {x = i % 7, y = 'row' .. (i % 13), z = i / 4} end return t end)()",
    "(function() local a = userdata('u8', 200, 150) for i = 0, #a - 1 do a[i] = (i // 37) % 5 end return {map = a, n = 1} end)()",
    "(function() local a = userdata('i32', 4000) for i = 0, #a - 1 do a[i] = i * 2654435761 end return a end)()",
    "string.rep('abc', 10) .. string.char(0, 1, 2, 255)",
    "''",
]


class Base64(unittest.TestCase):
    def test_against_python(self):
        rng = random.Random(5)
        for n in list(range(0, 20)) + [1000, 4097]:
            data = bytes(rng.randrange(256) for _ in range(n))
            want = base64.b64encode(data, altchars=b"_-")
            self.assertEqual(tool("b64enc", data=data), (0, want), n)
            self.assertEqual(tool("b64dec", data=want), (0, data), n)
            # Python's decoder, told the alternative alphabet, reads what we wrote.
            self.assertEqual(base64.b64decode(tool("b64enc", data=data)[1], altchars=b"_-"), data)

    def test_decoder_skips_foreign_characters(self):
        data = b"any carnal pleas\xfe\xff"
        coded = base64.b64encode(data, altchars=b"_-").decode()
        noisy = "\n".join(coded[i:i + 5] for i in range(0, len(coded), 5)) + " \t"
        self.assertEqual(tool("b64dec", data=noisy.encode()), (0, data))


class Lz4(unittest.TestCase):
    def test_block_is_lz4hc_level1_byte_for_byte(self):
        for expr in VALUES:
            plain = orb(expr, 1)  # with u8 arrays as blocks, as stored files
            z = orb(expr, 3)
            self.assertEqual(z[:4], b"lz4\0")
            c, p = struct.unpack("<II", z[4:12])
            self.assertEqual(p, len(plain))
            self.assertEqual(len(z), 12 + c)
            want = lz4.block.compress(plain, mode="high_compression", compression=1, store_size=False)
            self.assertEqual(z[12:], want, expr)
            self.assertEqual(lz4.block.decompress(z[12:], uncompressed_size=p), plain)

    def test_base64_wrapping_of_lz4(self):
        for expr in VALUES:
            plain = orb(expr, 0)
            w = orb(expr, 6)
            self.assertTrue(w.startswith(b'unorb("b64:') and w.endswith(b'")'))
            inner = base64.b64decode(w[11:-2], altchars=b"_-")
            c, p = struct.unpack("<II", inner[4:12])
            self.assertEqual(lz4.block.decompress(inner[12:], uncompressed_size=p), plain)
            # Without lz4 the wrapper holds the plain text.
            self.assertEqual(base64.b64decode(orb(expr, 4)[11:-2], altchars=b"_-"), plain)

    def test_reader_takes_values_made_elsewhere(self):
        for expr in VALUES:
            plain = orb(expr, 0)
            for mode in ("default", "fast", "high_compression"):
                block = lz4.block.compress(plain, mode=mode, store_size=False)
                value = b"lz4\0" + struct.pack("<II", len(block), len(plain)) + block
                self.assertEqual(tool("unorb", data=value), (0, plain), (expr, mode))
                wrapped = b'unorb("b64:' + base64.b64encode(value, altchars=b"_-") + b'")'
                self.assertEqual(tool("unorb", data=wrapped), (0, plain), (expr, mode))
            # A value whose recorded size is wrong is refused.
            block = lz4.block.compress(plain, store_size=False)
            bad = b"lz4\0" + struct.pack("<II", len(block), len(plain) + 1) + block
            self.assertEqual(tool("unorb", data=bad)[0], 1)


if __name__ == "__main__":
    result = unittest.main(exit=False, verbosity=1).result
    sys.exit(0 if result.wasSuccessful() else 1)
