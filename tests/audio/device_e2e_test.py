#!/usr/bin/env python3
"""Programs started from the command line play a sound effect and music, heard
through the audio device: runs under SDL's dummy video driver and its disk
audio driver, whose file is checked for frequencies, levels and timing."""
import array
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

BIN = os.environ.get("ORVANTA_BIN", "build/orvanta")

# Instrument 0 of the default base (0x30000): a bus whose volume passes at
# unity, over a sine oscillator; track 0: note 57 (A) at volume 64, looping.
INSTRUMENT = r"""
local function node(a, b0, b1, mvals)
  poke(a, b0, b1, 0, 0)
  for j = 0, 6 do poke(a + 4 + 4 * j, 1, 0, 0, 0) end
  for j, m in ipairs(mvals) do poke(a + 4 * j, m[1], m[2], m[3], m[4]) end
end
node(0x40000, 0x00, 0x01, {{2, 64, 0, 0}})
node(0x40020, 0x00, 0x02, {{2, 64, 0, 0}, {1, 0, 0, 0}, {1, 0, 0, 0}, {1, 0, 0, 0}, {1, 0, 0, 0}, {0, 0x80, 0, 0}})
"""
# Track 0 started as a sound effect (the capture test plays it too).
SFX = INSTRUMENT + r"""
poke(0x50000, 2, 0, 255, 0, 2, 0, 0, 0)
poke(0x50008, 57, 57, 0, 0, 64, 64, 0, 0, 0, 0)
sfx(0)
"""
PROGRAM = SFX + r"""
while true do flip() end
"""

# Music at the default base: pattern 0 plays tracks 1 and 2 (4 rows of 16
# ticks each), panned hard left and right by the 'p' effect, then pattern 1
# plays tracks 3 and 4, whose stop flag ends the music after its 64 ticks.
MUSIC = INSTRUMENT + r"""
local function track(t, pitch, pan)
  local a = 0x50000 + 328 * t
  poke(a, 4, 0, 16, 0, 0, 0, 0, 0)
  local p = ord("p")
  -- columns of 4 rows: pitch, instrument, volume, effect, parameter
  poke(a + 8, pitch, pitch, pitch, pitch, 0, 0, 0, 0, 64, 64, 64, 64, p, p, p, p, pan, pan, pan, pan)
end
track(1, 57, 1) track(2, 64, 255) track(3, 69, 1) track(4, 62, 255)
poke(0x30100, 1, 2, 0, 0, 0, 0, 0, 0, 0, 3)
poke(0x30114, 3, 4, 0, 0, 0, 0, 0, 0, 4, 3)
music(0)
while true do flip() end
"""

RATE = 44100
SECONDS_WANTED = 4.5


def frequency(samples):
    first = last = None
    count = 0
    for i in range(1, len(samples)):
        a, b = samples[i - 1], samples[i]
        if a < 0 <= b:
            t = i - 1 + (-a) / (b - a)
            if first is None:
                first = t
            last = t
            count += 1
    return (count - 1) * RATE / (last - first)


NOTE_DX = [523, 554, 587, 622, 659, 698, 740, 784, 831, 880, 932, 985, 1046]


def note_hz(pitch):
    """What a whole semitone sounds at over a 1024-sample row."""
    step = (NOTE_DX[pitch % 12] << (pitch // 12 + 21)) // RATE
    return step * RATE / 65536 / 1024


def play(program, seconds, headless):
    """Runs program until the device file holds seconds of sound: left, right."""
    home = tempfile.mkdtemp(prefix="orvanta_audio_e2e_")
    try:
        os.makedirs(os.path.join(home, "drive"))
        with open(os.path.join(home, "drive", "prog.lua"), "w") as f:
            f.write(program)
        raw = os.path.join(home, "device.raw")
        env = dict(os.environ, SDL_VIDEODRIVER="dummy", SDL_AUDIODRIVER="disk", SDL_DISKAUDIOFILE=raw)
        args = [BIN] + (["-x"] if headless else []) + ["-home", home, "/prog.lua"]
        proc = subprocess.Popen(args, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        want = int(seconds * RATE) * 4
        deadline = time.time() + 120
        while time.time() < deadline and proc.poll() is None:
            if os.path.exists(raw) and os.path.getsize(raw) >= want:
                break
            time.sleep(0.1)
        running = proc.poll() is None
        if running:
            proc.send_signal(signal.SIGTERM)
            try:
                proc.wait(20)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        output = proc.stdout.read().decode("latin-1")
        if not running:
            sys.exit("orvanta ended early (%s): %s" % (proc.returncode, output))
        data = array.array("h")
        with open(raw, "rb") as f:
            data.frombytes(f.read(want))
        if sys.byteorder != "little":
            data.byteswap()
        if len(data) < want // 2:
            sys.exit("too little sound in the device file: " + output)
        return data[0::2], data[1::2]
    finally:
        shutil.rmtree(home, ignore_errors=True)


def check_sfx(errors):
    left, right = play(PROGRAM, SECONDS_WANTED, False)
    start = next((i for i, v in enumerate(left) if abs(v) > 1000), None)
    if start is None:
        errors.append("the sound effect played silence")
        return
    # Past the first ticks (the channel's fade in), one and a half seconds.
    span = slice(start + 2000, start + 2000 + int(1.5 * RATE))
    if len(left[span]) < RATE:
        errors.append("too little of the sound effect in the device file")
        return
    f_left, f_right = frequency(left[span]), frequency(right[span])
    peak = max(max(abs(v) for v in left[span]), max(abs(v) for v in right[span]))
    expected_peak = 32767 * 3272 // 4096  # a centred channel at unity
    for name, f in (("left", f_left), ("right", f_right)):
        if abs(f - 440.0) > 0.01:
            errors.append("sfx %s frequency %.5f Hz, not 440" % (name, f))
    if abs(peak - expected_peak) > expected_peak * 0.01:
        errors.append("sfx peak %d, not about %d" % (peak, expected_peak))
    if list(left[span]) != list(right[span]):
        errors.append("a centred mono channel should give equal sides")


def check_music(errors):
    left, right = play(MUSIC, 2.5, True)
    sounding = [i for i in range(len(left)) if left[i] or right[i]]
    if not sounding:
        errors.append("the music played silence")
        return
    start, end = sounding[0], sounding[-1] + 1
    pattern = 64 * 367
    # Two patterns, then the stop flag; the last tick fades out over 64 samples.
    if not 2 * pattern <= end - start <= 2 * pattern + 64:
        errors.append("music lasted %d samples, not %d" % (end - start, 2 * pattern))
    for k, (want_l, want_r) in enumerate(((57, 64), (69, 62))):
        span = slice(start + k * pattern + 400, start + (k + 1) * pattern - 100)
        for name, side, pitch in (("left", left, want_l), ("right", right, want_r)):
            f = frequency(side[span])
            if abs(f - note_hz(pitch)) > 0.05:
                errors.append("pattern %d %s: %.3f Hz, not %.3f" % (k, name, f, note_hz(pitch)))
        peak = max(abs(v) for v in left[span])
        if abs(peak - 32767 * 4095 // 4096) > 40:  # hard left: 4095 of 4096
            errors.append("pattern %d left peak %d" % (k, peak))
    # Both channels change pattern at one frame: each side's pitch changes there.
    edge = start + pattern
    for name, side in (("left", left), ("right", right)):
        before, after = frequency(side[edge - 4000:edge - 100]), frequency(side[edge + 100:edge + 4000])
        if abs(after - before) < 50:
            errors.append("%s side didn't change pitch at the pattern boundary" % name)


def main():
    errors = []
    check_sfx(errors)
    check_music(errors)
    if errors:
        sys.exit("; ".join(errors))
    print("ok")


if __name__ == "__main__":
    main()
