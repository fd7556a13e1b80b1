"""ROM images byte for byte against an independent LZ4 HC encoder (python3-lz4).

rompack writes sysrom.dat with our ROM writer; the expected image is built here from
the same files: payload entries (path NUL, size byte or 255 + u32, bytes) compressed
with LZ4 HC level 9. The reverse direction runs orvanta on a ROM cartridge that only
Python made.
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

import lz4.block

BUILD = os.environ.get("ORVANTA_BUILD_DIR", "build")
ORVANTA = os.environ.get("ORVANTA_BIN", os.path.join(BUILD, "orvanta"))
ROMPACK = os.path.join(BUILD, "tools", "rompack")


def entry(path, data=None):
    if data is None:
        return path.encode() + b"\0"
    size = bytes([len(data)]) if len(data) <= 254 else b"\xff" + struct.pack("<I", len(data))
    return path.encode() + b"\0" + size + data


def rom_image(payload):
    block = lz4.block.compress(payload, mode="high_compression", compression=9, store_size=False)
    return b"q64\x02" + struct.pack("<I", len(block)) + block


def records(dat):
    out, pos = [], 0
    while pos + 4 <= len(dat):
        (n,) = struct.unpack(">I", dat[pos:pos + 4])
        out.append(dat[pos + 4:pos + 4 + n])
        pos += 4 + n
    return out


class RomImages(unittest.TestCase):
    def pack(self, files, extra=None):
        with tempfile.TemporaryDirectory() as d:
            src = os.path.join(d, "rom")
            os.mkdir(src)
            for name, data in files.items():
                with open(os.path.join(src, name), "wb") as f:
                    f.write(data)
            out = os.path.join(d, "sysrom.dat")
            cmd = [ROMPACK, out, src] + ([extra] if extra else [])
            subprocess.run(cmd, check=True)
            with open(out, "rb") as f:
                return records(f.read())

    def test_writer_matches_python_lz4hc(self):
        cases = {
            "small": {"a.lua": b"print(1)"},
            "size bytes": {"b254.lua": b"x" * 254, "b255.lua": b"y" * 255, "c.lua": bytes(range(256)) * 300},
            "empty file": {"e.lua": b""},
            "compressible": {"big.lua": b"-- repeat\n" * 20000},
        }
        for name, files in cases.items():
            with self.subTest(name):
                recs = self.pack(files)
                self.assertEqual(len(recs), 2)
                self.assertEqual(recs[0], b"")
                payload = entry("system/") + b"".join(entry("system/" + k, files[k]) for k in sorted(files))
                self.assertEqual(recs[1], rom_image(payload))
                # and what we wrote decompresses with the independent decoder
                (csize,) = struct.unpack("<I", recs[1][4:8])
                self.assertEqual(lz4.block.decompress(recs[1][8:8 + csize], uncompressed_size=len(payload)), payload)

    def test_python_made_cartridge_runs(self):
        main = b"store('/ram/seen.txt', 'x') _printh('cart says ' .. fetch('/ram/expcart/data.txt'))"
        cart = rom_image(entry("main.lua", main) + entry("data.txt", b"from python"))
        with tempfile.TemporaryDirectory() as d:
            cart_path = os.path.join(d, "cart.q64.rom")
            with open(cart_path, "wb") as f:
                f.write(cart)
            # The same cartridge twice: as record 2 of a sysrom.dat, and as a file in the drive.
            rom_files = {}
            rom_dir = os.path.join(os.environ.get("ORVANTA_SOURCE_DIR", "."), "rom")
            for n in os.listdir(rom_dir):
                if not os.path.isfile(os.path.join(rom_dir, n)):
                    continue  # the system's Lua files are enough to run a cartridge
                with open(os.path.join(rom_dir, n), "rb") as f:
                    rom_files[n] = f.read()
            recs = self.pack(rom_files, cart_path)
            self.assertEqual(recs[2], cart)
            # A copy of the program beside that sysrom.dat runs the cartridge from /ram/expcart.
            bindir = os.path.join(d, "bin")
            os.mkdir(bindir)
            shutil.copy(ORVANTA, bindir)
            with open(os.path.join(bindir, "sysrom.dat"), "wb") as f:
                f.write(b"".join(struct.pack(">I", len(x)) + x for x in recs))
            env = dict(os.environ, SDL_VIDEODRIVER="dummy", SDL_AUDIODRIVER="dummy")
            r = subprocess.run([os.path.join(bindir, os.path.basename(ORVANTA)), "-x", "-home", os.path.join(d, "h1")],
                               capture_output=True, timeout=60, env=env)
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertIn(b"cart says from python\n", r.stdout)
            home = os.path.join(d, "home")
            os.makedirs(os.path.join(home, "drive"))
            with open(os.path.join(home, "drive", "game.q64.rom"), "wb") as f:
                f.write(rom_image(entry("main.lua", b"_printh('drive cart ' .. pwd())")))
            r = subprocess.run([ORVANTA, "-x", "-home", home, "/game.q64.rom"], capture_output=True, timeout=60,
                               env=env)
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertIn(b"drive cart /game.q64.rom\n", r.stdout)


if __name__ == "__main__":
    unittest.main()
