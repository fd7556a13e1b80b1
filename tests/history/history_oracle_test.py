"""The file history written by the real program, read back here: blob names against a
MurmurHash3 x64 128 written from the algorithm's public description, and deltas in the
log decoded by the delta oracle of tests/delta.
"""
import glob
import os
import re
import struct
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "delta"))
from delta_oracle_test import decode  # noqa: E402

ORVANTA = os.environ.get("ORVANTA_BIN", os.path.join(os.environ.get("ORVANTA_BUILD_DIR", "build"), "orvanta"))
M = (1 << 64) - 1


def rotl(x, r):
    return ((x << r) | (x >> (64 - r))) & M


def fmix(k):
    k ^= k >> 33
    k = (k * 0xFF51AFD7ED558CCD) & M
    k ^= k >> 33
    k = (k * 0xC4CEB9FE1A85EC53) & M
    return k ^ (k >> 33)


def murmur3_x64_128(data, seed=0):
    c1, c2 = 0x87C37B91114253D5, 0x4CF5AD432745937F
    h1 = h2 = seed
    n = len(data)
    for i in range(n // 16):
        k1, k2 = struct.unpack_from("<QQ", data, i * 16)
        h1 ^= (rotl((k1 * c1) & M, 31) * c2) & M
        h1 = (((rotl(h1, 27) + h2) & M) * 5 + 0x52DCE729) & M
        h2 ^= (rotl((k2 * c2) & M, 33) * c1) & M
        h2 = (((rotl(h2, 31) + h1) & M) * 5 + 0x38495AB5) & M
    tail = data[n // 16 * 16:]
    k1 = sum(b << (8 * i) for i, b in enumerate(tail[:8]))
    k2 = sum(b << (8 * i) for i, b in enumerate(tail[8:]))
    if len(tail) > 8:
        h2 ^= (rotl((k2 * c2) & M, 33) * c1) & M
    if tail:
        h1 ^= (rotl((k1 * c1) & M, 31) * c2) & M
    h1 ^= n
    h2 ^= n
    h1 = (h1 + h2) & M
    h2 = (h2 + h1) & M
    h1, h2 = fmix(h1), fmix(h2)
    h1 = (h1 + h2) & M
    h2 = (h2 + h1) & M
    return h1, h2


def blob_name(data):
    h1, h2 = murmur3_x64_128(data)
    return struct.pack("<QQ", h1, h2).hex()


PROGRAM = r"""
_apply_system_settings({backtrail = true})
local raw = '--[[orb_format="raw",metadata_format="none"]]'
local lines = {}
for i = 1, 300 do lines[#lines + 1] = "line " .. i .. " of the notes" end
local t = table.concat(lines, "\n")
store("/notes.txt", t, raw)
store("/notes.txt", t:sub(1, 100) .. "X" .. t:sub(102), raw)
local s = "0123456789abcdefghijklmnopqrstuvwxyz0123456789"
for n = 0, 40 do store("/len" .. n .. ".bin", s:sub(1, n), raw) end
"""


class History(unittest.TestCase):
    def test_murmur_model_known_vectors(self):
        self.assertEqual(blob_name(b""), "0" * 32)
        self.assertEqual(blob_name(b"hello"), "029bbd41b3a7d8cb191dae486a901e5b")
        self.assertEqual(blob_name(b"The quick brown fox jumps over the lazy dog"), "6c1b07bc7bbc4be347939ac4a93c437a")

    def test_log_and_blobs_of_a_real_run(self):
        with tempfile.TemporaryDirectory() as home:
            drive = os.path.join(home, "drive")
            os.mkdir(drive)
            os.mkdir(os.path.join(drive, "sub"))
            with open(os.path.join(drive, "sub", "pre.txt"), "wb") as f:
                f.write(b"on the drive before the run")
            with open(os.path.join(drive, "prog.lua"), "w") as f:
                f.write(PROGRAM)
            subprocess.run([ORVANTA, "-x", "-home", home, "/prog.lua"], check=True, timeout=120,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

            def host(path):
                with open(drive + path, "rb") as f:
                    return f.read()

            logs = sorted(glob.glob(os.path.join(home, "backtrail", "*", "*.log")))
            self.assertTrue(logs)
            records, blobs_checked, deltas = {}, 0, 0
            for log in logs:
                orb = os.path.join(os.path.dirname(log), "orb")
                with open(log, "rb") as f:
                    lines = f.read().decode().split("\n")
                self.assertEqual(lines[-1], "")
                i = 0
                while i < len(lines) - 1:
                    line = lines[i]
                    kind = line[0]
                    if kind in "$+":
                        self.assertRegex(lines[i - 1], r"^@ \d{4}-\d\d-\d\d_\d\d:\d\d:\d\d$")
                    if kind in ":$+":
                        m = re.fullmatch(r"[:$+] ([0-9a-f]{32}) (/\S+)", line)
                        self.assertIsNotNone(m, line)
                        name, path = m.groups()
                        with open(os.path.join(orb, name), "rb") as f:
                            blob = f.read()
                        self.assertEqual(blob_name(blob), name, path)
                        blobs_checked += 1
                        content = blob
                        if kind == "+":
                            hexes = []
                            while lines[i + 1].startswith("| "):
                                i += 1
                                self.assertLessEqual(len(lines[i]), 2 + 76)
                                hexes.append(lines[i][2:])
                            content = decode(blob, bytes.fromhex("".join(hexes)))
                            deltas += 1
                        records[path] = content
                    else:
                        self.assertRegex(line, r"^(\^ /\S+/|@ \S+( \S+)?|- /\S+|> /\S+)$")
                    i += 1
            # The last record of every file is what the drive holds now.
            for path, content in records.items():
                self.assertEqual(content, host(path), path)
            self.assertIn("/sub/pre.txt", records)
            self.assertEqual(deltas, 1)
            self.assertGreaterEqual(blobs_checked, 44)
            for n in range(41):
                self.assertEqual(records["/len%d.bin" % n], b"0123456789abcdefghijklmnopqrstuvwxyz0123456789"[:n])


if __name__ == "__main__":
    unittest.main()
