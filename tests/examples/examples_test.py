#!/usr/bin/python3
"""The bundled example programs, run from the system ROM as a person runs them.

Each example runs under SDL's dummy video driver (paced like a window) inside a
small runner program that loads it from /system/examples/ and, frame by frame,
takes screenshots and sends it the input messages the window manager would
forward (key presses, mouse clicks). The screenshots are decoded with PIL; the
sound examples play through SDL's disk audio driver, whose file is checked with
numpy for the pitches they play. Then each runs headless with the README's
command, which must report no error."""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import numpy as np
from PIL import Image

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "audio"))
from device_e2e_test import note_hz  # noqa: E402

BIN = os.environ.get("ORVANTA_BIN", "build/orvanta")
RATE = 44100

# Frames count from the end of the boot screen (stat 985), so they are frames
# the person sees. The example's errors end the run before "done".
RUNNER = r"""
local EXAMPLE = "/system/examples/%(name)s.lua"
local shots, events, last = {%(shots)s}, {%(events)s}, %(last)d
local frame, real_flip = 0, flip
_signal(65)
function flip(...)
  if stat(985) >= 1 then frame += 1 end
  for _, e in ipairs(events[frame] or {}) do send_message(pid(), e) end
  if shots[frame] then
    poke2(0x50, 0, 0, 480, 270, 1, 0, 0, 1) -- the whole screen, silently
    local s = "shot" .. frame
    for i = 0, 63 do poke(0x60 + i, i < #s and ord(s, i + 1) or 0) end
    _signal(21)
  end
  if frame == last then _printh("done") _signal(33) end
  events[frame], shots[frame] = nil, nil
  return real_flip(...)
end
local f, err = load(fetch(EXAMPLE), "@" .. EXAMPLE)
local ok, why = pcall(f or error, err)
_printh("example failed: " .. tostring(why))
_signal(33)
error(why)
"""

# The system's 32 colours: a page that shows others has changed its palette.
DEFAULT_RGB = {tuple(int(h[i:i + 2], 16) for i in (0, 2, 4)) for h in (
    "000000 1D2B53 7E2553 008751 AB5236 5F574F C2C3C7 FFF1E8 FF004D FFA300 FFEC27 00E436 29ADFF 83769C FF77A8 "
    "FFCCAA 2463B0 00A5A1 654688 125359 742F29 452D32 A28879 FFACC5 B9003E E26B02 95F042 00B251 64DFF6 BD9ADF "
    "E40DAB FF8557").split()}


def lua_events(events):
    out = []
    for frame, evs in sorted(events.items()):
        items = ",".join("{" + ",".join("%s=%s" % (k, '"%s"' % v if isinstance(v, str) else v)
                                        for k, v in e.items()) + "}" for e in evs)
        out.append("[%d]={%s}" % (frame, items))
    return ",".join(out)


def run(name, shots, events, last, sound):
    """Runs an example for last frames: its screenshots by frame, and its sound (left side)."""
    home = tempfile.mkdtemp(prefix="orvanta_examples_")
    try:
        os.makedirs(os.path.join(home, "drive"))
        desktop = os.path.join(home, "Desktop")
        os.mkdir(desktop)
        with open(os.path.join(home, "drive", "run.lua"), "w") as f:
            f.write(RUNNER % {"name": name, "shots": ",".join("[%d]=true" % s for s in shots),
                              "events": lua_events(events), "last": last})
        raw = os.path.join(home, "device.raw")
        env = dict(os.environ, SDL_VIDEODRIVER="dummy", SDL_AUDIODRIVER="disk" if sound else "dummy",
                   SDL_DISKAUDIOFILE=raw, XDG_DESKTOP_DIR=desktop, HOME=home)
        try:
            r = subprocess.run([BIN, "-home", home, "/run.lua"], env=env, capture_output=True, timeout=120)
        except subprocess.TimeoutExpired as e:
            raise AssertionError("%s still running after 120 s: %s" % (name, (e.stdout or b"").decode("latin-1")))
        out = r.stdout.decode("latin-1")
        if r.returncode != 0 or "done" not in out:
            raise AssertionError("%s did not run to the end (%s): %s %s"
                                 % (name, r.returncode, out[-2000:], r.stderr.decode("latin-1")[-2000:]))
        folder = os.path.join(desktop, "orvanta_desktop")
        images = {}
        for s in shots:
            with Image.open(os.path.join(folder, "shot%d.png" % s)) as im:
                images[s] = np.asarray(im.convert("RGB"), dtype=np.int32)
        left = None
        if sound:
            left = np.fromfile(raw, dtype="<i2").reshape(-1, 2)[:, 0].astype(np.float64)
        return images, left
    finally:
        shutil.rmtree(home, ignore_errors=True)


def spectrum(seg):
    n = 8 * len(seg)
    return np.fft.rfftfreq(n, 1 / RATE), np.abs(np.fft.rfft(seg * np.hanning(len(seg)), n))


def peak_near(freqs, mags, hz, width=4.0):
    """The strongest frequency within width Hz of hz, and its strength against the whole spectrum's."""
    band = (freqs > hz - width) & (freqs < hz + width)
    i = np.argmax(np.where(band, mags, 0))
    return freqs[i], mags[i] / mags.max()


def block_uniform(img, k):
    h, w = img.shape[0] // k * k, img.shape[1] // k * k
    blocks = img[:h, :w].reshape(h // k, k, w // k, k, 3)
    return bool((blocks == blocks[:, :1, :, :1]).all())


def colours(img):
    return {tuple(int(v) for v in c) for c in np.unique(img.reshape(-1, 3), axis=0)}


def check_game(errors):
    shots = [30, 90]
    images, left = run("game", shots, {}, 100, True)
    a, b = images[30], images[90]
    if len(colours(a)) < 8:
        errors.append("game: the screen shows only %d colours" % len(colours(a)))
    if (a == b).all():
        errors.append("game: the screen did not change")
    loud = np.nonzero(np.abs(left) > 500)[0]
    if not len(loud):
        errors.append("game: silent")
        return
    # The music opens with E5 (pitch 64) over C3 (pitch 36), for four rows.
    start = loud[0]
    freqs, mags = spectrum(left[start + 900:start + 12000])
    for pitch in (36, 64):
        f, strength = peak_near(freqs, mags, note_hz(pitch))
        if abs(f - note_hz(pitch)) > 1.5 or strength < 0.3:
            errors.append("game: music's first row has %.1f Hz at %.2f, not %.1f" % (f, strength, note_hz(pitch)))
    if np.abs(left[start + RATE:start + 2 * RATE]).max() < 1000:
        errors.append("game: the music stopped within its first seconds")


def check_soundtoy(errors):
    # Z plays C of octave 4 (pitch 48), then N the A above (pitch 57).
    z, n = 29, 17
    events = {30: [{"event": "keydown", "scancode": z}], 90: [{"event": "keyup", "scancode": z}],
              150: [{"event": "keydown", "scancode": n}], 200: [{"event": "keyup", "scancode": n}]}
    images, left = run("soundtoy", [20, 60], events, 260, True)
    if (images[20] == images[60]).all():
        errors.append("soundtoy: the screen did not change while a key was held")
    window = RATE // 5
    heard = []
    for i in range(0, len(left) - window, window):
        seg = left[i:i + window]
        # Only windows that sound from end to end: one that holds a note's start or
        # end has a smeared peak.
        q = window // 4
        if np.abs(seg[:q]).max() > 2000 and np.abs(seg[-q:]).max() > 2000:
            freqs, mags = spectrum(seg)
            heard.append(freqs[np.argmax(mags)])
    if not heard:
        errors.append("soundtoy: silent")
        return
    c4, a4 = note_hz(48), note_hz(57)
    if abs(heard[0] - c4) > 1.5:
        errors.append("soundtoy: first note at %.1f Hz, not %.1f" % (heard[0], c4))
    if not any(abs(h - a4) < 1.5 for h in heard):
        errors.append("soundtoy: no window at %.1f Hz after the second key: %s" % (a4, heard))
    stray = [h for h in heard if min(abs(h - c4), abs(h - a4)) > 1.5]
    if stray:
        errors.append("soundtoy: pitches that no key played: %s" % stray)


def check_drawing(errors):
    # A click turns the page: pages 1..7 are on screen at frames 25, 55, ... 205.
    clicks = {}
    for f in range(30, 181, 30):
        clicks[f] = [{"event": "mouse", "mx": 240, "my": 135, "mb": 1}]
        clicks[f + 1] = [{"event": "mouse", "mx": 240, "my": 135, "mb": 0}]
    shots = list(range(25, 206, 30))
    images, _ = run("drawing", shots, clicks, 210, False)
    pages = [images[s] for s in shots]
    for i in range(len(pages)):
        for j in range(i):
            if (pages[i] == pages[j]).all():
                errors.append("drawing: pages %d and %d look the same" % (j + 1, i + 1))
    if block_uniform(pages[0], 2):
        errors.append("drawing: the first page is not at full resolution")
    if not block_uniform(pages[5], 2) or block_uniform(pages[5], 4):
        errors.append("drawing: page 6 is not shown in 2 x 2 pixels")
    if not block_uniform(pages[6], 3) or block_uniform(pages[6], 6):
        errors.append("drawing: page 7 is not shown in 3 x 3 pixels")
    new = colours(pages[2]) - DEFAULT_RGB
    if len(new) < 16:
        errors.append("drawing: the palette page shows only %d colours of its own" % len(new))


def check_headless(errors):
    """The README's command for each example: it runs, headless, without an error report."""
    home = tempfile.mkdtemp(prefix="orvanta_examples_x_")
    procs = {}
    try:
        env = dict(os.environ, SDL_AUDIODRIVER="dummy")
        for name in ("game", "drawing", "soundtoy"):
            procs[name] = subprocess.Popen([BIN, "-x", "-home", os.path.join(home, name),
                                            "/system/examples/%s.lua" % name],
                                           env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        time.sleep(3)
        for name, p in procs.items():
            running = p.poll() is None
            if running:
                p.send_signal(signal.SIGTERM)
            out = p.communicate(timeout=60)[0].decode("latin-1")
            if not running:
                errors.append("headless %s ended by itself (%s): %s" % (name, p.returncode, out[-1000:]))
            elif "*runtime error" in out or "*syntax error" in out or "could not run" in out:
                errors.append("headless %s: %s" % (name, out[-1000:]))
    finally:
        for p in procs.values():
            if p.poll() is None:
                p.kill()
                p.wait()
        shutil.rmtree(home, ignore_errors=True)


def main():
    errors = []
    for check in (check_game, check_soundtoy, check_drawing, check_headless):
        try:
            check(errors)
        except AssertionError as e:
            errors.append(str(e))
    if errors:
        sys.exit("\n".join(errors))
    print("ok")


if __name__ == "__main__":
    main()
