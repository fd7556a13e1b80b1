#!/usr/bin/env python3
"""A program started from the command line plays a sound effect, heard through
the audio device: a windowed run under SDL's dummy video driver and its disk
audio driver, whose file is checked for the note's frequency and level."""
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
PROGRAM = r"""
local function node(a, b0, b1, mvals)
  poke(a, b0, b1, 0, 0)
  for j = 0, 6 do poke(a + 4 + 4 * j, 1, 0, 0, 0) end
  for j, m in ipairs(mvals) do poke(a + 4 * j, m[1], m[2], m[3], m[4]) end
end
node(0x40000, 0x00, 0x01, {{2, 64, 0, 0}})
node(0x40020, 0x00, 0x02, {{2, 64, 0, 0}, {1, 0, 0, 0}, {1, 0, 0, 0}, {1, 0, 0, 0}, {1, 0, 0, 0}, {0, 0x80, 0, 0}})
poke(0x50000, 2, 0, 255, 0, 2, 0, 0, 0)
poke(0x50008, 57, 57, 0, 0, 64, 64, 0, 0, 0, 0)
sfx(0)
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


def main():
    home = tempfile.mkdtemp(prefix="orvanta_audio_e2e_")
    try:
        os.makedirs(os.path.join(home, "drive"))
        with open(os.path.join(home, "drive", "prog.lua"), "w") as f:
            f.write(PROGRAM)
        raw = os.path.join(home, "device.raw")
        env = dict(os.environ, SDL_VIDEODRIVER="dummy", SDL_AUDIODRIVER="disk", SDL_DISKAUDIOFILE=raw)
        proc = subprocess.Popen([BIN, "-home", home, "/prog.lua"], env=env,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        want = int(SECONDS_WANTED * RATE) * 4
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
        left, right = data[0::2], data[1::2]
        start = next((i for i, v in enumerate(left) if abs(v) > 1000), None)
        if start is None:
            sys.exit("the device played silence: " + output)
        # Past the first ticks (the channel's fade in), one and a half seconds.
        span = slice(start + 2000, start + 2000 + int(1.5 * RATE))
        if len(left[span]) < RATE:
            sys.exit("too little sound in the device file")
        f_left, f_right = frequency(left[span]), frequency(right[span])
        peak = max(max(abs(v) for v in left[span]), max(abs(v) for v in right[span]))
        expected_peak = 32767 * 3272 // 4096  # a centred channel at unity
        errors = []
        for name, f in (("left", f_left), ("right", f_right)):
            if abs(f - 440.0) > 0.01:
                errors.append("%s frequency %.5f Hz, not 440" % (name, f))
        if abs(peak - expected_peak) > expected_peak * 0.01:
            errors.append("peak %d, not about %d" % (peak, expected_peak))
        if list(left[span]) != list(right[span]):
            errors.append("a centred mono channel should give equal sides")
        if errors:
            sys.exit("; ".join(errors))
        print("ok: %.5f Hz, peak %d" % (f_left, peak))
    finally:
        shutil.rmtree(home, ignore_errors=True)


if __name__ == "__main__":
    main()
