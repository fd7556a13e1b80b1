#!/usr/bin/env python3
"""The real program in a real window under Xvfb: xdotool keys and mouse reach
a program as the window manager forwards them and as buttons, the X server shows the video
frame scaled (test_host's Xvfb tests), and frames are paced at 60 a second."""
import os
import queue
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

BUILD = os.environ.get("ORVANTA_BUILD_DIR", os.path.join(os.path.dirname(__file__), "../../build"))
ORVANTA = os.environ.get("ORVANTA_BIN", os.path.join(BUILD, "orvanta"))
TEST_HOST = os.path.join(BUILD, "tests", "test_host")

# Prints the events it is sent; measures 300 frames against the host clock
# (the _sent_t of messages to itself); Escape ends the system.
PROGRAM = r"""
local frame, t0 = 0
_printh("ready")
while true do
  frame += 1
  _update_buttons(true)
  if btnp(4) then _printh("btnp 4") end
  if frame == 30 then send_message(pid(), {clock = 1}) end
  if frame == 330 then send_message(pid(), {clock = 2}) end
  local m = _read_message()
  while m do
    if m.clock == 1 then t0 = m._sent_t end
    if m.clock == 2 then _printh("pace " .. (m._sent_t - t0)) end
    if m.event == "keydown" or m.event == "keyup" then _printh(m.event .. " " .. m.scancode) end
    if m.event == "textinput" then _printh("text " .. m.text) end
    if m.event == "mouse" then _printh("mouse " .. m.mx .. " " .. m.my .. " " .. m.mb) end
    if m.event == "keydown" and m.scancode == 41 then _signal(33) end
    m = _read_message()
  end
  flip()
end
"""

failures = []


def check(cond, what):
    if not cond:
        failures.append(what)
        print("FAIL:", what)


def start_xvfb():
    r, w = os.pipe()
    proc = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", "1280x800x24", "-nolisten", "tcp"],
                            pass_fds=(w,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(w)
    data = b""
    while not data.endswith(b"\n"):
        chunk = os.read(r, 64)
        if not chunk:
            raise RuntimeError("Xvfb did not start")
        data += chunk
    os.close(r)
    return proc, ":" + data.decode().strip()


def xdo(env, *args):
    return subprocess.run(["xdotool", *args], env=env, capture_output=True, text=True, timeout=30).stdout.strip()


class Lines:
    """Standard output of the program, read as it comes."""

    def __init__(self, stream):
        self.q = queue.Queue()
        self.seen = []
        threading.Thread(target=self._read, args=(stream,), daemon=True).start()

    def _read(self, stream):
        for line in stream:
            self.q.put(line.rstrip("\n"))

    def wait_for(self, pred, timeout=20):
        end = time.monotonic() + timeout
        for line in self.seen:
            if pred(line):
                return line
        while time.monotonic() < end:
            try:
                line = self.q.get(timeout=0.1)
            except queue.Empty:
                continue
            self.seen.append(line)
            if pred(line):
                return line
        return None


def run_program(env, home):
    os.makedirs(os.path.join(home, "drive"))
    with open(os.path.join(home, "drive", "ev.lua"), "w") as f:
        f.write(PROGRAM)
    proc = subprocess.Popen([ORVANTA, "-home", home, "/ev.lua"], env=env, stdout=subprocess.PIPE, text=True)
    out = Lines(proc.stdout)
    try:
        check(out.wait_for(lambda l: l == "ready", 60) is not None, "program started")
        wid = xdo(env, "search", "--sync", "--name", "^Orvanta$").splitlines()[0]
        # A 1000 x 600 window shows the screen at (20, 30), scaled by 2.
        xdo(env, "windowsize", wid, "1000", "600")
        xdo(env, "mousemove", "--window", wid, "500", "300")
        check(out.wait_for(lambda l: l == "mouse 240 135 0") is not None, "host (500,300) gives mouse 240 135")
        time.sleep(0.3)  # past the focus hold of the pointer's arrival
        xdo(env, "keydown", "a")
        check(out.wait_for(lambda l: l == "keydown 4") is not None, "keydown 4 while held")
        check(out.wait_for(lambda l: l == "text a") is not None, "textinput a")
        time.sleep(0.3)
        check(out.wait_for(lambda l: l == "keyup 4", 0) is None, "no keyup while held")
        xdo(env, "keyup", "a")
        check(out.wait_for(lambda l: l == "keyup 4") is not None, "keyup 4 on release")
        # Z is button 4 (O) of player 0.
        xdo(env, "keydown", "z")
        check(out.wait_for(lambda l: l == "btnp 4") is not None, "Z held: btnp(4)")
        xdo(env, "keyup", "z")
        xdo(env, "click", "1")
        check(out.wait_for(lambda l: l == "mouse 240 135 1") is not None, "button down")
        check(out.wait_for(lambda l: l == "mouse 240 135 0" and out.seen.index(l) > 0 and
                           "mouse 240 135 1" in out.seen) is not None, "button up")
        pace = out.wait_for(lambda l: l.startswith("pace "), 60)
        check(pace is not None, "pacing measured")
        if pace:
            ms = int(pace.split()[1])
            print("300 frames took %d ms" % ms)
            # Never faster than 60 a second; a busy machine may lose a little.
            check(4900 <= ms <= 5500, "300 frames in %d ms, not about 5000" % ms)
        xdo(env, "key", "Escape")
        check(proc.wait(timeout=30) == 0, "exit status 0 after Escape")
        check(any(l.startswith("** audio init failed") for l in out.seen), "no sound device: said so, ran silent")
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    with open(os.path.join(home, "log.txt")) as f:
        log = f.read()
    check("creating SDL window 960 540 flags 36\n" in log, "window log line")


def no_display(home):
    """Without a display: a message on standard error and status 1, no window-less loop."""
    os.makedirs(os.path.join(home, "drive"))
    with open(os.path.join(home, "drive", "ev.lua"), "w") as f:
        f.write(PROGRAM)
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY", "SDL_VIDEODRIVER")}
    env["SDL_AUDIODRIVER"] = "dummy"
    r = subprocess.run([ORVANTA, "-home", home, "/ev.lua"], env=env, capture_output=True, text=True, timeout=60)
    check(r.returncode == 1, "no display: status %d" % r.returncode)
    check("orvanta: cannot open a window" in r.stderr, "no display: message on standard error")
    check("ready" not in r.stdout, "no display: no program ran")
    # Headless needs no display and makes no window.
    with open(os.path.join(home, "drive", "hi.lua"), "w") as f:
        f.write('_printh("hi")')
    r = subprocess.run([ORVANTA, "-x", "-home", home, "/hi.lua"], env=env, capture_output=True, text=True,
                       timeout=60)
    check(r.returncode == 0 and "hi\n" in r.stdout, "headless run without a display")
    with open(os.path.join(home, "log.txt")) as f:
        check("creating SDL window" not in f.read(), "headless: no window")
    # Headless with a sound device: Ctrl+C and SIGTERM still end the run in order.
    with open(os.path.join(home, "drive", "loop.lua"), "w") as f:
        f.write('_printh("ready") while true do flip() end')
    for sig in (signal.SIGINT, signal.SIGTERM):
        proc = subprocess.Popen([ORVANTA, "-x", "-home", home, "/loop.lua"], env=env, stdout=subprocess.PIPE, text=True)
        out = Lines(proc.stdout)
        try:
            check(out.wait_for(lambda l: l == "ready", 60) is not None, "headless loop started")
            proc.send_signal(sig)
            try:
                status = proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                status = "still running"
            check(status == 0, "headless %s: exit status %s, not 0" % (sig.name, status))
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()


def in_xvfb(body, prefix):
    """Runs body(display, folder) with a fresh Xvfb and a temporary folder, both
    removed after; returns the test's exit status from the checks made."""
    for tool in ("Xvfb", "xdotool", "xwd"):
        if not shutil.which(tool):
            print("missing %s: run scripts/setup.sh" % tool)
            return 1
    xvfb, display = start_xvfb()
    tmp = tempfile.mkdtemp(prefix=prefix)
    try:
        body(display, tmp)
    finally:
        xvfb.terminate()
        xvfb.wait()
        shutil.rmtree(tmp, ignore_errors=True)
    print("ok" if not failures else "%d failures" % len(failures))
    return 1 if failures else 0


def window_session(display, tmp):
    env = dict(os.environ, DISPLAY=display, SDL_VIDEODRIVER="x11", SDL_AUDIODRIVER="dummy")
    r = subprocess.run([TEST_HOST, "--gtest_filter=Xvfb.*"], env=dict(env, ORVANTA_XVFB="1"),
                       capture_output=True, text=True, timeout=300)
    check(r.returncode == 0 and "[  PASSED  ] 1 test" in r.stdout, "X window shows the frame:\n" + r.stdout[-2000:])
    # A sound device that can't be opened: the run goes on in silence.
    run_program(dict(env, SDL_AUDIODRIVER="none_such"), os.path.join(tmp, "home"))
    no_display(os.path.join(tmp, "home2"))


def main():
    return in_xvfb(window_session, "orvanta_xvfb_")


if __name__ == "__main__":
    sys.exit(main())
