#!/usr/bin/python3
"""The programmers' guide (docs/programs.md) against a real user process.

A program run headless on the starter system lists the functions it is given: every
global function and every method of the typed-array table USERDATA. Each must be named
in the guide, and every function the guide names must exist. The guide names a function
in the first cell of a table row, as `name(...)`, or `a:name(...)` for a typed-array
method. Every ```lua sample of the guide runs too, headless, without an error report
(a sample that loops for ever is stopped after a few hundred frames).
"""
import os
import re
import shutil
import subprocess
import tempfile
import unittest
from concurrent.futures import ThreadPoolExecutor

BIN = os.environ.get("ORVANTA_BIN", "build/orvanta")
SOURCE = os.environ.get("ORVANTA_SOURCE_DIR", ".")
GUIDE = os.path.join(SOURCE, "docs", "programs.md")

NAMES = r"""
for k, v in pairs(_G) do
  if type(v) == "function" then _printh("function " .. k) end
end
for k, v in pairs(USERDATA) do
  if type(v) == "function" and k:sub(1, 2) ~= "__" then _printh("method " .. k) end
end
"""

# On the sample's first line, so its line numbers stay right.
FRAME_CAP = ("do local f, n = flip, 0 function flip(...) n += 1 if n > 300 then _signal(33) end "
             "return f(...) end end ")

ENV = dict(os.environ, SDL_VIDEODRIVER="dummy", SDL_AUDIODRIVER="dummy")


def run(program, timeout=120):
    """Runs program as /prog.lua on a fresh drive: exit status and output."""
    home = tempfile.mkdtemp(prefix="orvanta_guide_")
    try:
        os.makedirs(os.path.join(home, "drive"))
        with open(os.path.join(home, "drive", "prog.lua"), "w") as f:
            f.write(program)
        p = subprocess.run([BIN, "-x", "-home", home, "/prog.lua"], env=ENV, stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, timeout=timeout)
        return p.returncode, p.stdout.decode("latin-1")
    finally:
        shutil.rmtree(home, ignore_errors=True)


def guide_text():
    with open(GUIDE, encoding="utf-8") as f:
        return f.read()


def named_in_guide(text):
    """Functions and methods named in the first cell of the guide's table rows."""
    functions, methods = set(), set()
    for line in text.splitlines():
        cells = line.split("|")
        if not line.startswith("|") or len(cells) < 3:
            continue
        for method, name in re.findall(r"`(a:)?([A-Za-z_][A-Za-z0-9_]*)\(", cells[1]):
            (methods if method else functions).add(name)
    return functions, methods


class Guide(unittest.TestCase):
    def test_every_function_is_in_the_guide_and_every_one_named_exists(self):
        status, out = run(NAMES)
        self.assertEqual(status, 0, out)
        given = {w[1] for w in (l.split() for l in out.splitlines()) if len(w) == 2 and w[0] == "function"}
        given_methods = {w[1] for w in (l.split() for l in out.splitlines()) if len(w) == 2 and w[0] == "method"}
        # A real process's globals, not a short list: the registry alone has well over a hundred.
        self.assertGreater(len(given), 140, out)
        self.assertGreater(len(given_methods), 30, out)
        functions, methods = named_in_guide(guide_text())
        self.assertEqual(sorted(given - functions), [], "functions a program gets that the guide leaves out")
        self.assertEqual(sorted(functions - given), [], "functions the guide names that a program doesn't get")
        self.assertEqual(sorted(given_methods - methods), [], "typed-array methods the guide leaves out")
        self.assertEqual(sorted(methods - given_methods), [], "typed-array methods the guide names that don't exist")

    def test_samples_run_without_an_error_report(self):
        samples = re.findall(r"^```lua\n(.*?)^```", guide_text(), re.S | re.M)
        self.assertGreater(len(samples), 10)

        def check(sample):
            status, out = run(FRAME_CAP + sample)
            failed = status != 0 or re.search(r"^\*(runtime|syntax) error", out, re.M)
            return (sample, out) if failed else None

        with ThreadPoolExecutor(max_workers=4) as pool:
            failures = [f for f in pool.map(check, samples) if f]
        for sample, out in failures:
            print("---- sample:\n%s---- output:\n%s" % (sample, out))
        self.assertEqual(len(failures), 0, "%d of %d samples failed" % (len(failures), len(samples)))


if __name__ == "__main__":
    unittest.main()
