#!/usr/bin/python3
"""Captures as a user makes them: a program run in a window (SDL's dummy video
driver, its disk audio driver) plays a note, takes a screenshot, records a GIF
and captures its sound; the files on the desktop are read with PIL and the
audio capture is found, byte for byte, in what the device played."""
import os
import shutil
import subprocess
import sys
import tempfile

from PIL import Image

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "audio"))
from device_e2e_test import SFX  # noqa: E402

BIN = os.environ.get("ORVANTA_BIN", "build/orvanta")

# A looping 440 Hz note, then the captures.
PROGRAM = SFX + r"""
local function draw()
  cls(1) rectfill(0, 0, 119, 67, 8) rectfill(120, 68, 239, 134, 12) pset(5, 5, 9)
end
local function name(s)
  for i = 0, 63 do poke(0x60 + i, i < #s and ord(s, i + 1) or 0) end
end
while stat(985) < 1 do draw() flip() end
for i = 1, 10 do draw() flip() end
for _, c in ipairs({1, 8, 9, 12}) do
  local a = 0x5000 + 4 * c
  _printh("colour " .. c .. " " .. _ppeek(3, a + 2) .. " " .. _ppeek(3, a + 1) .. " " .. _ppeek(3, a))
end
_signal(65)
-- screenshot: x0, y0, width, height, scale, label, skip, silent
poke2(0x50, 0, 0, 240, 135, 2, 0, 0, 0) name("shot") _signal(21)
for i = 1, 3 do draw() flip() end
_signal(16)
for i = 1, 40 do draw() flip() end
_signal(16)
-- GIF: x0, y0, width, height, scale, -, skip, silent
poke2(0x40, 100, 50, 64, 32, 1, 0, 0, 0) name("rec") _signal(18)
for i = 1, 9 do draw() flip() end
_printh("recording " .. stat(320) .. " " .. stat(321))
_signal(19)
_printh("done")
_signal(33)
while true do flip() end
"""


def drawn(x, y):
    if x <= 119 and y <= 67:
        return 9 if (x, y) == (5, 5) else 8
    if 120 <= x <= 239 and 68 <= y <= 134:
        return 12
    return 1


def main():
    home = tempfile.mkdtemp(prefix="orvanta_capture_e2e_")
    try:
        os.makedirs(os.path.join(home, "drive"))
        with open(os.path.join(home, "drive", "prog.lua"), "w") as f:
            f.write(PROGRAM)
        desktop = os.path.join(home, "Desktop")
        os.mkdir(desktop)
        raw = os.path.join(home, "device.raw")
        env = dict(os.environ, SDL_VIDEODRIVER="dummy", SDL_AUDIODRIVER="disk", SDL_DISKAUDIOFILE=raw,
                   XDG_DESKTOP_DIR=desktop, HOME=home)
        r = subprocess.run([BIN, "-home", home, "/prog.lua"], env=env, capture_output=True, timeout=120)
        out = r.stdout.decode("latin-1")
        if r.returncode != 0 or "done" not in out:
            sys.exit("orvanta failed (%s): %s %s" % (r.returncode, out, r.stderr.decode("latin-1")))
        colours = {}
        for line in out.splitlines():
            p = line.split()
            if p and p[0] == "colour":
                colours[int(p[1])] = tuple(int(v) for v in p[2:5])
        if "recording 1" not in out:
            sys.exit("stat 320 did not report the recording: " + out)
        folder = os.path.join(desktop, "orvanta_desktop")
        errors = []
        if sorted(os.listdir(folder)) != ["audio.raw", "rec.gif", "shot.png"]:
            errors.append("desktop holds %s" % sorted(os.listdir(folder)))

        shot = Image.open(os.path.join(folder, "shot.png")).convert("RGBA")
        if shot.size != (480, 270):
            errors.append("screenshot is %s" % (shot.size,))
        else:
            px = shot.load()
            bad = [(x, y) for y in range(270) for x in range(480)
                   if px[x, y] != colours[drawn(x // 2, y // 2)] + (255,)]
            if bad:
                errors.append("%d screenshot pixels differ, first at %s" % (len(bad), bad[0]))

        gif = Image.open(os.path.join(folder, "rec.gif"))
        if gif.size != (64, 32) or gif.info.get("loop") != 0:
            errors.append("gif size %s loop %s" % (gif.size, gif.info.get("loop")))
        if not 3 <= gif.n_frames <= 6:
            errors.append("gif of %d frames from 9 flips" % gif.n_frames)
        for i in range(gif.n_frames):
            gif.seek(i)
            if gif.info.get("duration") != 30:
                errors.append("frame %d lasts %s ms" % (i, gif.info.get("duration")))
            frame = gif.convert("RGB").load()
            if any(frame[x, y] != colours[drawn(100 + x, 50 + y)] for y in range(32) for x in range(64)):
                errors.append("gif frame %d differs from the screen" % i)

        with open(os.path.join(folder, "audio.raw"), "rb") as f:
            captured = f.read()
        with open(raw, "rb") as f:
            played = f.read()
        if len(captured) < 4 * 4410 or len(captured) % 4:
            errors.append("audio capture of %d bytes" % len(captured))
        elif max(abs(int.from_bytes(captured[i:i + 2], "little", signed=True)) for i in range(0, len(captured), 2)) < 1000:
            errors.append("the audio capture is silent")
        elif played.find(captured) % 4 != 0:
            errors.append("the audio capture is not a run of the device's sample frames")
        if errors:
            sys.exit("; ".join(errors))
        print("ok: %d gif frames, %.3f s of audio" % (gif.n_frames, len(captured) / 176400))
    finally:
        shutil.rmtree(home, ignore_errors=True)


if __name__ == "__main__":
    main()
