#!/usr/bin/env python3
"""Headless runs as a script runner meets them: a program's print text, its
_printh lines and its error report arrive on standard output in the order they
were made; and a sound back end that finds no sound card leaves standard
error clean (its reports go to the log)."""
import os
import shutil
import subprocess
import sys
import tempfile

BIN = os.environ.get("ORVANTA_BIN", "build/orvanta")

PROGRAM = r"""
print("one")
_printh("two")
?"three"
print(4)
print("placed", 10, 10, 7)
print("col", 8)
print("a\nb")
print(nil)
_printh("five")
error("stop here")
"""

EXPECTED = ["one", "two", "three", "4", "placed", "col", "a", "b", "nil", "five", "*runtime error",
            "prog.lua:11: stop here"]


def run(home, driver):
    env = dict(os.environ, SDL_AUDIODRIVER=driver)
    return subprocess.run([BIN, "-x", "-home", home, "/prog.lua"], env=env, capture_output=True, text=True,
                          timeout=60)


def main():
    home = tempfile.mkdtemp(prefix="orvanta_headless_")
    errors = []
    try:
        os.makedirs(os.path.join(home, "drive"))
        with open(os.path.join(home, "drive", "prog.lua"), "w") as f:
            f.write(PROGRAM)
        r = run(home, "dummy")
        lines = r.stdout.splitlines()
        if r.returncode != 0 or lines[:len(EXPECTED)] != EXPECTED:
            errors.append("status %d, standard output:\n%s" % (r.returncode, r.stdout))

        # ALSA on this machine: no card (then the run says so in one line of its
        # own and goes on silent), or a card (then it plays).
        r = run(home, "alsa")
        ours = [l for l in r.stdout.splitlines() if l.startswith("** audio")]
        if r.returncode != 0 or r.stderr != "" or len(ours) > 1 or "five" not in r.stdout:
            errors.append("alsa run: status %d, standard error %r, standard output:\n%s" %
                          (r.returncode, r.stderr, r.stdout))
        with open(os.path.join(home, "log.txt")) as f:
            log = f.read()
        # ALSA's own account of a failed open is kept in the log.
        if ours and "ALSA: " in ours[0] and "] ALSA lib " not in log:
            errors.append("ALSA's reports are not in the log")
    finally:
        shutil.rmtree(home, ignore_errors=True)
    for e in errors:
        print("FAIL:", e)
    print("ok" if not errors else "%d failures" % len(errors))
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
