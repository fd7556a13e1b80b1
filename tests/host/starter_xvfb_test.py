#!/usr/bin/env python3
"""The starter system in a person's hands, in a real window under Xvfb driven
with xdotool: the desktop lists the programs in the drive, the arrow keys and
Enter run one, whose screen then appears; a program that only reads btn and
btnp moves while an arrow key is held and reacts once to a tap; F12 brings the
list back; F6 to F9 write a screenshot, the cartridge label, a GIF and an audio
capture, read back here with PIL (the label by its header)."""
import os
import struct
import subprocess
import sys
import time

from PIL import Image

from xvfb_test import ORVANTA, Lines, check, failures, in_xvfb, xdo

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "audio"))
from device_e2e_test import SFX  # noqa: E402

# Reads only btn and btnp; print draws (a window shows it, standard output doesn't).
MOVER = r"""
print("mover drawn")
_printh("mover ready")
local x, held = 0, false
while true do
  if btn(1) then x += 1 held = true elseif held then _printh("moved " .. x) held = false end
  if btnp(5) then _printh("tap") end
  flip()
end
"""

# A cartridge folder: a fixed picture and a looping note; tells the keys it is sent,
# and copies the label to the drive when one is captured.
SCENE = SFX + r"""
local function draw() cls(1) rectfill(0, 0, 119, 67, 8) rectfill(120, 68, 239, 134, 12) end
while stat(985) < 1 do draw() flip() end
for _, c in ipairs({1, 8, 12}) do
  local a = 0x5000 + 4 * c
  _printh("colour " .. c .. " " .. peek(a + 2) .. " " .. peek(a + 1) .. " " .. peek(a))
end
_printh("scene ready")
local labelled
while true do
  draw()
  local m = _read_message()
  while m do
    if m.event == "keydown" then _printh("key " .. m.scancode) end
    m = _read_message()
  end
  if not labelled and fstat("/ram/cart/label.qoi") then
    cp("/ram/cart/label.qoi", "/label.qoi")
    labelled = true
    _printh("label")
  end
  flip()
end
"""


def drawn(x, y):
    if x <= 119 and y <= 67:
        return 8
    if 120 <= x <= 239 and 68 <= y <= 134:
        return 12
    return 1


def window_image(env, wid):
    """The X server's copy of the window (xwd's ZPixmap, 32 bits a pixel)."""
    data = subprocess.run(["xwd", "-silent", "-id", wid], env=env, capture_output=True, timeout=30).stdout
    f = struct.unpack(">25I", data[:100])
    header, w, h, order, bpl, ncolours = f[0], f[4], f[5], f[7], f[12], f[19]
    raw = data[header + 12 * ncolours:][:bpl * h]
    return Image.frombytes("RGB", (w, h), raw, "raw", "BGRX" if order == 0 else "XRGB", bpl)


def wait_listed(env, wid, timeout=30):
    """Until the window shows the list: its title bar across the top, unlike the boot screen."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        img = window_image(env, wid)
        if img.size == (960, 540):
            bar, body = img.getpixel((2, 2)), img.getpixel((2, 400))
            if bar == img.getpixel((900, 2)) and bar != body:
                return True
        time.sleep(0.2)
    return False


def wait_file(path, timeout=20):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if os.path.exists(path) and os.path.getsize(path) > 0:
            time.sleep(0.3)  # written whole by now
            return True
        time.sleep(0.1)
    return False


def session(env, home):
    drive = os.path.join(home, "drive")
    os.makedirs(os.path.join(drive, "scene.q64"))
    with open(os.path.join(drive, "mover.lua"), "w") as f:
        f.write(MOVER)
    with open(os.path.join(drive, "scene.q64", "main.lua"), "w") as f:
        f.write(SCENE)
    with open(os.path.join(drive, "notes.txt"), "w") as f:
        f.write("not a program\n")
    desktop = os.path.join(home, "Desktop")
    os.mkdir(desktop)
    env = dict(env, HOME=home, XDG_DESKTOP_DIR=desktop, SDL_AUDIODRIVER="disk",
               SDL_DISKAUDIOFILE=os.path.join(home, "device.raw"))
    proc = subprocess.Popen([ORVANTA, "-home", home], env=env, stdout=subprocess.PIPE, text=True)
    out = Lines(proc.stdout)
    try:
        wid = xdo(env, "search", "--sync", "--name", "^Orvanta$").splitlines()[0]
        check(wait_listed(env, wid), "the desktop list appears")
        xdo(env, "windowfocus", "--sync", wid)
        time.sleep(0.3)  # past the focus hold
        # The list: the bundled examples, then /mover.lua and /scene.q64 (not notes.txt).
        # Up from the first entry wraps to the last: twice gives /mover.lua.
        for key in ("Up", "Up", "Return"):
            xdo(env, "key", key)
            time.sleep(0.2)
        check(out.wait_for(lambda l: l == "mover ready", 30) is not None, "Enter runs /mover.lua")
        time.sleep(0.3)
        xdo(env, "keydown", "Right")
        time.sleep(0.5)
        xdo(env, "keyup", "Right")
        moved = out.wait_for(lambda l: l.startswith("moved "))
        check(moved is not None and int(moved.split()[1]) >= 10, "holding Right moves it: %s" % moved)
        xdo(env, "key", "x")
        check(out.wait_for(lambda l: l == "tap") is not None, "a tap of X: btnp(5)")
        time.sleep(1)
        check(out.seen.count("tap") == 1, "one tap, one btnp: %d" % out.seen.count("tap"))

        # F12 ends it; the list is back with /mover.lua chosen, and the next one runs.
        xdo(env, "key", "F12")
        time.sleep(0.5)
        for key in ("Down", "Return"):
            xdo(env, "key", key)
            time.sleep(0.2)
        check(out.wait_for(lambda l: l == "scene ready", 30) is not None, "F12, Down, Enter runs /scene.q64")
        colours = {}
        for line in out.seen:
            p = line.split()
            if p[0] == "colour":
                colours[int(p[1])] = tuple(int(v) for v in p[2:5])
        time.sleep(0.3)
        img = window_image(env, wid)
        # The 960 x 540 window shows the screen scaled by 2.
        check(img.size == (960, 540), "window of %s" % (img.size,))
        if len(colours) == 3 and img.size == (960, 540):
            px = img.load()
            for x, y in ((10, 10), (150, 100), (300, 200)):
                check(px[2 * x + 1, 2 * y + 1] == colours[drawn(x, y)], "the program's screen at (%d, %d)" % (x, y))

        folder = os.path.join(desktop, "orvanta_desktop")
        xdo(env, "key", "k")
        check(out.wait_for(lambda l: l == "key 14") is not None, "other keys reach the program")
        xdo(env, "key", "F6")
        check(wait_file(os.path.join(folder, "orvanta.png")), "F6 writes orvanta.png")
        xdo(env, "key", "F7")
        check(out.wait_for(lambda l: l == "label") is not None, "F7 captures the label")
        xdo(env, "key", "F8")
        recording = subprocess.run(["xdotool", "search", "--sync", "--name", "recording a GIF"], env=env,
                                   capture_output=True, text=True, timeout=30).stdout
        check(wid in recording.split(), "the title says a GIF is being recorded")
        time.sleep(0.7)
        xdo(env, "key", "F8")
        check(wait_file(os.path.join(folder, "orvanta.gif")), "F8, F8 writes orvanta.gif")
        xdo(env, "key", "F9")
        time.sleep(1)
        xdo(env, "key", "F9")
        check(wait_file(os.path.join(folder, "audio.raw")), "F9, F9 writes audio.raw")
        out.wait_for(lambda l: False, 0.5)  # everything printed so far
        keys = [l for l in out.seen if l.startswith("key ")]
        check(keys == ["key 14"], "capture keys are the window manager's own: %s" % keys)
        check("mover drawn" not in out.seen, "windowed, print only draws")
    finally:
        proc.terminate()
        try:
            proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()

    if not failures:
        shot = Image.open(os.path.join(folder, "orvanta.png")).convert("RGB")
        check(shot.size == (480, 270), "screenshot of %s" % (shot.size,))
        px = shot.load()
        bad = [(x, y) for y in range(270) for x in range(480) if px[x, y] != colours[drawn(x, y)]]
        check(not bad, "%d screenshot pixels differ, first at %s" % (len(bad), bad[:1]))
        gif = Image.open(os.path.join(folder, "orvanta.gif"))
        check(gif.size == (480, 270) and gif.n_frames >= 5, "gif %s of %d frames" % (gif.size, gif.n_frames))
        for i in range(gif.n_frames):
            gif.seek(i)
            frame = gif.convert("RGB").load()
            if any(frame[x, y] != colours[drawn(x, y)] for y in range(0, 270, 3) for x in range(0, 480, 3)):
                check(False, "gif frame %d differs from the screen" % i)
                break
        with open(os.path.join(drive, "label.qoi"), "rb") as f:
            label = f.read()
        check(label[:4] == b"qoif" and struct.unpack(">II", label[4:12]) == (480, 270) and label[12] == 4,
              "label.qoi: a 480 x 270 RGBA image")
        with open(os.path.join(folder, "audio.raw"), "rb") as f:
            captured = f.read()
        samples = struct.unpack("<%dh" % (len(captured) // 2), captured[:len(captured) // 2 * 2])
        check(len(captured) >= 4 * 22050 and len(captured) % 4 == 0, "audio capture of %d bytes" % len(captured))
        check(samples and max(abs(s) for s in samples) > 1000, "the audio capture is not silent")


def main():
    return in_xvfb(lambda display, tmp: session(dict(os.environ, DISPLAY=display, SDL_VIDEODRIVER="x11"), tmp),
                   "orvanta_starter_")


if __name__ == "__main__":
    sys.exit(main())
