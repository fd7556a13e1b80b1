"""Stock-syntax programs give the same output on the dialect and stock Lua."""
import glob
import os
import subprocess
import sys

build = os.path.abspath(os.environ.get("ORVANTA_BUILD_DIR", "build"))
here = os.path.dirname(os.path.abspath(__file__))
interps = {"dialua": os.path.join(build, "dialua"), "lua_stock": os.path.join(build, "lua_stock")}


def run(name, prog):
    p = subprocess.run([interps[name], os.path.basename(prog)], cwd=os.path.dirname(prog),
                       capture_output=True, timeout=60)
    # the front end prefixes uncaught errors with its own program name
    err = p.stderr.replace(interps[name].encode(), b"LUA")
    return p.returncode, p.stdout, err


def main():
    progs = sorted(glob.glob(os.path.join(here, "conformance", "*.lua")))
    passed = failed = 0
    for prog in progs:
        a, b = run("dialua", prog), run("lua_stock", prog)
        if a == b and a[1]:
            passed += 1
        else:
            failed += 1
            print("MISMATCH", os.path.basename(prog))
            for label, r in (("dialua", a), ("lua_stock", b)):
                print("--", label, r[0]); print(r[1].decode(errors="replace")); print(r[2].decode(errors="replace"))
    print(f"{passed} passed, {failed} failed")
    return 1 if failed or not progs else 0


if __name__ == "__main__":
    sys.exit(main())
