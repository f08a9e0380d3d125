"""The tar fault layer (tests/tools/tar_fault.cpp) under Wine: without a
control it hands every call to the real tar beside it unchanged; with one,
it shows the fault the setup's tests ask for.

Needs BRISQUEL_BUILD (the Windows build tree) and WINEPREFIX; run as
  python3 tests/e2e/test_tar_fault.py
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
from concurrent.futures import ThreadPoolExecutor

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ziptools import FAULT_STDERR_UNIT, Entry, fault_stderr, raw_zip  # noqa: E402

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD = os.environ.get("BRISQUEL_BUILD") or os.path.join(ROOT, "build", "test")
LAYER = os.path.join(BUILD, "tools", "tar_fault.exe")
REAL = os.path.join(BUILD, "tools", "bsdtar.exe")
WINE = shutil.which("wine") or shutil.which("wine64")


def winpath(path):
    # Wine maps the Linux root to drive Z:.
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def clean_env(**controls):
    env = {k: v for k, v in os.environ.items() if not k.startswith("TAR_FAULT_")}
    env.setdefault("WINEPREFIX", os.path.join(BUILD, "wineprefix"))
    env["WINEDEBUG"] = "-all"
    env.update({k: str(v) for k, v in controls.items()})
    return env


def run_wine(argv, env, cwd=None):
    """Runs argv under Wine, its output captured through files: the first Wine
    program of a wineserver session starts Wine's own services, which
    inherit its standard handles, and a pipe would then stay open (and
    subprocess wait) until they end."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        p = subprocess.run([WINE, *argv], stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                           cwd=cwd, env=env, timeout=300)
        out.seek(0)
        err.seek(0)
        return subprocess.CompletedProcess(p.args, p.returncode, out.read(), err.read())


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return None


def tree(top):
    """Every file below top: relative path -> bytes."""
    found = {}
    for base, _, files in os.walk(top):
        for f in files:
            found[os.path.relpath(os.path.join(base, f), top)] = read(os.path.join(base, f))
    return found


def setUpModule():
    for p in (LAYER, REAL):
        if not os.path.isfile(p):
            raise RuntimeError(f"{p} missing: build the tool_tar_fault and libarchive_win targets")
    if not WINE:
        raise RuntimeError("wine not found")


class LayerTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="tar_fault_")
        self.addCleanup(shutil.rmtree, self.tmp, ignore_errors=True)
        self.dest = os.path.join(self.tmp, "dest dir")
        os.mkdir(self.dest)
        self.zip = self.file("a.zip", raw_zip([Entry("sub/f.txt", b"unpacked")]))

    def file(self, name, data):
        path = os.path.join(self.tmp, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def layer(self, *args, **controls):
        return run_wine([LAYER, *args], clean_env(**controls))

    def test_hands_the_call_to_the_real_tar(self):
        """Through cmd.exe, a Windows parent like the setup: the real tar gets
        the same argument text and working directory, its words reach the
        caller's standard error and its exit code comes back; the log holds
        the command line verbatim and the delay comes before the hand-over."""
        log = os.path.join(self.tmp, "tar.log")
        junk = self.file("junk.zip", b"not an archive at all\n" * 20)
        ok = f'"{winpath(LAYER)}"  -xf "{winpath(self.zip)}" -C "{winpath(self.dest)}"'
        bad = f'"{winpath(LAYER)}" -xf "{winpath(junk)}"'
        batch = self.file("run.bat", (
            f"@cd /d {winpath(self.tmp)}\r\n@{ok}\r\n@echo exit=%ERRORLEVEL%\r\n"
            f"@{bad} 2>err.txt\r\n@echo exit=%ERRORLEVEL%\r\n").encode())
        env = clean_env(TAR_FAULT_LOG=winpath(log), TAR_FAULT_DELAY_MS=2000)
        first = f"cmdline: {ok}\ncwd: {winpath(self.tmp)}\n".encode()
        started = time.monotonic()
        with ThreadPoolExecutor(1) as pool:
            done = pool.submit(run_wine, ["cmd", "/c", winpath(batch)], env)
            while time.monotonic() - started < 60 and read(log) != first:
                time.sleep(0.05)
            # Logged, still asleep, nothing unpacked: a test can kill it now.
            self.assertEqual(read(log), first)
            self.assertFalse(done.done())
            self.assertEqual(tree(self.dest), {})
            r = done.result()
        self.assertGreaterEqual(time.monotonic() - started, 4.0)
        self.assertEqual(r.stdout.split(), [b"exit=0", b"exit=1"])
        self.assertEqual(tree(self.dest), {os.path.join("sub", "f.txt"): b"unpacked"})
        self.assertIn(b"tar.exe: Error opening archive: Unrecognized archive format",
                      read(os.path.join(self.tmp, "err.txt")))
        self.assertEqual(read(log).decode().count("cmdline: "), 2)

    def test_stderr_bytes_fail_without_unpacking(self):
        for count in (0, 511, 3 << 20):
            with self.subTest(count=count):
                r = self.layer("-xf", winpath(self.zip), "-C", winpath(self.dest),
                               TAR_FAULT_STDERR_BYTES=count)
                self.assertEqual((r.returncode, r.stdout), (2, b""))
                self.assertTrue(r.stderr == fault_stderr(count), len(r.stderr))
                self.assertEqual(tree(self.dest), {})
        # The pattern has characters of every UTF-8 length, so byte 511 is cut
        # inside one.
        self.assertEqual({len(ch.encode()) for ch in FAULT_STDERR_UNIT.decode()}, {1, 2, 3, 4})
        self.assertRaises(UnicodeDecodeError, fault_stderr(511).decode)

    def test_bad_control_values_fail(self):
        for name, value in (("TAR_FAULT_DELAY_MS", "1.5"), ("TAR_FAULT_DELAY_MS", "4294967296"),
                            ("TAR_FAULT_STDERR_BYTES", " 5")):
            with self.subTest(name=name, value=value):
                r = self.layer("-xf", winpath(self.zip), "-C", winpath(self.dest),
                               **{name: value})
                self.assertEqual(r.returncode, 1)
                self.assertIn(name.encode(), r.stderr)
                self.assertEqual(tree(self.dest), {})


if __name__ == "__main__":
    unittest.main(verbosity=2)
