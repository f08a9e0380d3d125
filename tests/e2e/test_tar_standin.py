"""The tar stand-in (tests/tools/tar.cpp) under Wine: what it unpacks, what it
refuses, how it fails, and the controls the setup's tests drive it with.

Needs BRISQUEL_BUILD (the Windows build tree) and WINEPREFIX; run as
  python3 tests/e2e/test_tar_standin.py
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile
from concurrent.futures import ThreadPoolExecutor

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ziptools import STANDIN_STDERR_UNIT, Entry, raw_zip, standin_stderr, write_zip  # noqa: E402

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD = os.environ.get("BRISQUEL_BUILD") or os.path.join(ROOT, "build", "test")
TAR = os.path.join(BUILD, "tools", "tar.exe")
WINE = shutil.which("wine") or shutil.which("wine64")
STAMP = time.mktime((2021, 6, 15, 12, 34, 56, 0, 0, -1))


def winpath(path):
    # Wine maps the Linux root to drive Z:.
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def clean_env(**controls):
    env = {k: v for k, v in os.environ.items() if not k.startswith("TAR_STANDIN_")}
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


def run_tar(*args, cwd=None, **controls):
    return run_wine([TAR, *args], clean_env(**controls), cwd)


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return None


def tree(top):
    """Everything below top: relative path -> bytes, or None for a folder."""
    found = {}
    for base, dirs, files in os.walk(top):
        for d in dirs:
            found[os.path.relpath(os.path.join(base, d), top)] = None
        for f in files:
            with open(os.path.join(base, f), "rb") as fh:
                found[os.path.relpath(os.path.join(base, f), top)] = fh.read()
    return found


def setUpModule():
    if not os.path.isfile(TAR):
        raise RuntimeError(f"{TAR} missing: build the target tool_tar first")
    if not WINE:
        raise RuntimeError("wine not found")
    prefix = clean_env()["WINEPREFIX"]
    if not os.path.isfile(os.path.join(prefix, "system.reg")):
        subprocess.run(["wineboot", "-i"], env=clean_env(), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)


class Case(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="tar_standin_")
        self.addCleanup(shutil.rmtree, self.tmp, ignore_errors=True)
        self.dest = os.path.join(self.tmp, "dest")
        os.mkdir(self.dest)

    def archive(self, data, name="a.zip"):
        path = os.path.join(self.tmp, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def unpack(self, archive, dest=None, **controls):
        return run_tar("-xf", winpath(archive), "-C", winpath(dest or self.dest), **controls)

    def assertTree(self, top, expected):
        got = tree(top)
        self.assertEqual(sorted(got), sorted(expected))
        for name, data in expected.items():
            self.assertTrue(got[name] == data, f"{name} differs")  # no 20 MiB diffs

    def assertSucceeded(self, r):
        self.assertEqual((r.returncode, r.stdout, r.stderr), (0, b"", b""))

    def assertFailed(self, r, *needles):
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertEqual(r.stdout, b"")
        self.assertTrue(r.stderr.startswith(b"tar.exe: "), r.stderr)
        for needle in needles:
            self.assertIn(needle.encode(), r.stderr)


class UnpackTest(Case):
    def test_zipfile_archive_unpacks_byte_for_byte(self):
        payload = bytes(range(256)) * 300 + os.urandom(5000)
        entries = [
            ("game/", None),
            ("game/readme.txt", b"stored text\r\n" * 50, zipfile.ZIP_STORED),
            ("game/data/levels/1.dat", payload),
            ("game/empty/", None),
            ("game/empty.txt", b""),
            ("game/empty-stored.txt", b"", zipfile.ZIP_STORED),
            ("game/Grüße/日本語 ✓.txt", "naïve".encode()),
            ("top.txt", b"top level"),
        ]
        path = os.path.join(self.tmp, "a.zip")
        # The comment holds a whole fake end record: found first from the end,
        # it would announce an empty archive.
        write_zip(path, entries, comment=b"PK\x05\x06" + bytes(18) + b" and some more text")
        old = os.path.join(self.dest, "game", "readme.txt")
        os.makedirs(os.path.dirname(old))
        with open(old, "wb") as f:  # longer than the new one: must be truncated
            f.write(b"x" * 100000)

        self.assertSucceeded(self.unpack(path))
        expected = {}
        for name, data, *_ in entries:
            parts = name.rstrip("/").split("/")
            for i in range(1, len(parts)):  # ancestors come without entries of their own
                expected[os.path.join(*parts[:i])] = None
            expected[os.path.join(*parts)] = data
        self.assertTree(self.dest, expected)
        got = os.path.getmtime(os.path.join(self.dest, "game", "data", "levels", "1.dat"))
        self.assertLessEqual(abs(got - STAMP), 2)

    def test_option_orders(self):
        path = self.archive(raw_zip([Entry("f.txt", b"ok")]))
        a, forms = winpath(path), {}
        for i, form in enumerate((["-xf", a, "-C", "{}"], ["-x", "-f", a, "-C", "{}"],
                                  ["-C", "{}", "-xf", a], ["-C", "{}", "-x", "-f" + a])):
            d = os.path.join(self.tmp, f"d{i}")
            os.mkdir(d)
            r = run_tar(*[w.replace("{}", winpath(d)) for w in form])
            forms[" ".join(form)] = (r.returncode, r.stderr, tree(d))
        for form, outcome in forms.items():
            self.assertEqual(outcome, (0, b"", {"f.txt": b"ok"}), form)

    def test_raw_names_separators_and_code_page(self):
        entries = [
            Entry("win\\sub\\back.txt", b"backslashes"),
            Entry("./dot/start.txt", b"dot start", method=0),
            Entry("a//double.txt", b"double"),
            Entry("./", b"", method=0),
            Entry(b"caf\x82.txt", b"code page 437"),  # no UTF-8 flag: 0x82 is e-acute
            Entry("bare.txt", b"", method=8, payload=b""),  # "deflated", not even 2 bytes
        ]
        self.assertSucceeded(self.unpack(self.archive(raw_zip(entries))))
        self.assertTree(self.dest, {
            "win": None, os.path.join("win", "sub"): None,
            os.path.join("win", "sub", "back.txt"): b"backslashes",
            "dot": None, os.path.join("dot", "start.txt"): b"dot start",
            "a": None, os.path.join("a", "double.txt"): b"double",
            "café.txt": b"code page 437", "bare.txt": b"",
        })

    def test_entries_with_data_descriptors(self):
        class Stream:  # unseekable, so zipfile puts sizes after the data
            def __init__(self, f):
                self.f, self.n = f, 0

            def write(self, b):
                self.n += len(b)
                return self.f.write(b)

            def tell(self):
                return self.n

            def flush(self):
                pass

        path = os.path.join(self.tmp, "dd.zip")
        with open(path, "wb") as f, zipfile.ZipFile(Stream(f), "w", zipfile.ZIP_DEFLATED) as z:
            z.writestr("one.txt", b"first" * 1000)
            z.writestr("two/two.txt", b"second")
        with open(path, "rb") as f:
            self.assertTrue(f.read(8)[6] & 0x08, "zipfile wrote no data descriptor")
        self.assertSucceeded(self.unpack(path))
        self.assertTree(self.dest, {"one.txt": b"first" * 1000, "two": None,
                                           os.path.join("two", "two.txt"): b"second"})

    def test_empty_archive(self):
        path = os.path.join(self.tmp, "empty.zip")
        write_zip(path, [])
        self.assertSucceeded(self.unpack(path))
        self.assertTree(self.dest, {})

    def test_large_entries_stream(self):
        mib = 1 << 20
        big = os.urandom(4 * mib) + b"level data 0123456789\n" * (16 * mib // 22)
        path = os.path.join(self.tmp, "big.zip")
        write_zip(path, [("big.bin", big), ("big.raw", big[:20 * mib], zipfile.ZIP_STORED)])
        started = time.monotonic()
        r = self.unpack(path)
        took = time.monotonic() - started
        self.assertSucceeded(r)
        for name, want in (("big.bin", big), ("big.raw", big[:20 * mib])):
            with open(os.path.join(self.dest, name), "rb") as f:
                self.assertTrue(f.read() == want, name)
        print(f"\n  {len(big) >> 20} MiB deflated + 20 MiB stored unpacked in {took:.2f} s",
              file=sys.stderr)


class RefusalTest(Case):
    def test_hostile_names_are_skipped_and_nothing_lands_outside(self):
        outside = os.path.join(self.tmp, "outside")
        os.mkdir(outside)
        win_outside = winpath(outside)
        hostile = {
            "Path is absolute": [outside + "/slash.txt", win_outside[2:] + "\\bs.txt",
                                 win_outside + "\\drive.txt", "Z:drive-relative.txt",
                                 "\\\\localhost\\share\\unc.txt"],
            "Path contains '..'": ["../outside/up.txt", "ok/../../outside/mid.txt",
                                   "..\\outside\\win.txt", "deep/.."],
        }
        entries = [Entry("good.txt", b"kept")]
        entries += [Entry(n, b"evil") for names in hostile.values() for n in names]
        entries.append(Entry("after/good.txt", b"kept too"))
        r = run_tar("-xf", winpath(self.archive(raw_zip(entries))), "-C", winpath(self.dest),
                    cwd=self.tmp)

        self.assertFailed(r, "Error exit delayed from previous errors.")
        for message, names in hostile.items():
            self.assertEqual(r.stderr.count(message.encode()), len(names), r.stderr)
        self.assertTree(outside, {})
        self.assertEqual(sorted(os.listdir(self.tmp)), ["a.zip", "dest", "outside"])
        self.assertTree(self.dest, {"good.txt": b"kept", "after": None,
                                           os.path.join("after", "good.txt"): b"kept too"})

    def test_names_windows_cannot_hold(self):
        link = Entry("link", b"/etc/passwd", method=0, made_by=(3 << 8) | 20,
                     ext_attr=0o120777 << 16)
        entries = [Entry("file.txt:stream", b"x"), Entry("a/.../b.txt", b"x"),
                   Entry("a/. ./b.txt", b"x"), Entry("what?.txt", b"x"),
                   Entry(b"ctl\x07.txt", b"x"), link, Entry("good.txt", b"kept")]
        r = self.unpack(self.archive(raw_zip(entries)))
        self.assertFailed(r, "file.txt:stream: Path contains a character",
                          "a/.../b.txt: Path contains a name of dots and spaces only",
                          "a/. ./b.txt: Path contains a name of dots",
                          "what?.txt: Path contains a character",
                          "ctl?.txt: Path contains a character",
                          "link: Symbolic links are not supported")
        self.assertTree(self.dest, {"good.txt": b"kept"})


    def test_long_names_give_short_valid_diagnostics(self):
        # The setup shows tar's stderr converted from UTF-8: a line cut at its
        # bound must still be valid UTF-8 and end in a line feed.
        r = self.unpack(self.archive(raw_zip([Entry("../" + "日本" * 3000, b"x")])))
        self.assertFailed(r, "tar.exe: ../日本日本")
        first = r.stderr.split(b"\n")[0] + b"\n"
        self.assertLessEqual(len(first), 4096)
        first.decode("utf-8")
        self.assertTree(self.dest, {})


class BrokenArchiveTest(Case):
    def test_broken_archives_fail_with_a_message(self):
        good = Entry("good.txt", b"fine")
        data = b"level data " * 500
        whole = raw_zip([Entry("x.txt", data), good])
        bad_local = raw_zip([Entry("x.txt", data, local_sig=0x04034B51), good])
        cases = [
            ("not a zip", b"this is not an archive\n" * 10, "Unrecognized archive format"),
            ("cut in half", whole[:len(whole) // 2], "end of central directory record not found"),
            ("stored CRC", raw_zip([Entry("x.txt", data, method=0, crc=1), good]),
             "x.txt: ZIP bad CRC: 0x"),
            ("deflated CRC", raw_zip([Entry("x.txt", data, crc=0xDEADBEEF), good]),
             "should be 0xdeadbeef"),
            ("garbage deflate", raw_zip([Entry("x.txt", data, payload=b"\xff" * 64), good]),
             "x.txt: Invalid deflate data"),
            ("size too small", raw_zip([Entry("x.txt", data, usize=100), good]),
             "longer than its declared size of 100 bytes"),
            ("size too large", raw_zip([Entry("x.txt", data, usize=len(data) + 1), good]),
             "shorter than its declared size"),
            ("cut deflate", raw_zip([Entry("x.txt", data, payload=Entry("x", data).payload[:-3]),
                                     good]), "shorter than its declared size"),
            ("bytes after deflate", raw_zip([Entry("x.txt", data,
                                                   payload=Entry("x", data).payload + b"\0\0"),
                                             good]), "before its declared compressed size"),
            ("stored sizes", raw_zip([Entry("x.txt", data, method=0, usize=5), good]),
             "Stored entry with different"),
            ("encrypted", raw_zip([Entry("x.txt", data, flags=1), good]), "Encrypted"),
            ("bzip2", raw_zip([Entry("x.txt", data, method=12), good]),
             "Unsupported ZIP compression method (12)"),
            ("local header", bad_local, "x.txt: Bad local file header"),
            ("zip64", raw_zip([Entry("x.txt", data)], zip64=True), "Zip64 archives are not"),
            ("directory offset", raw_zip([good], cd_offset_delta=5000),
             "central directory lies outside"),
            ("directory header", raw_zip([good], cd_offset_delta=-1),
             "bad central directory header"),
        ]
        for label, blob, needle in cases:
            with self.subTest(label):
                dest = tempfile.mkdtemp(dir=self.tmp)
                r = self.unpack(self.archive(blob, "broken.zip"), dest)
                self.assertFailed(r, needle)
                self.assertNotIn("x.txt", os.listdir(dest))  # no corrupt file left behind
                # A fault inside one entry spoils that entry only.
                if b"x.txt: " in r.stderr:
                    self.assertTree(dest, {"good.txt": b"fine"})
                    self.assertTrue(r.stderr.endswith(b"Error exit delayed from previous errors.\n"))

    def test_missing_archive_and_directory(self):
        path = self.archive(raw_zip([Entry("f.txt", b"x")]))
        a_file = self.archive(b"not a folder", "plain.txt")
        missing_dir = os.path.join(self.tmp, "nope")
        self.assertFailed(self.unpack(os.path.join(self.tmp, "none.zip")),
                          "Error opening archive: Failed to open", "none.zip")
        self.assertFailed(self.unpack(path, missing_dir), "could not chdir to", "nope")
        self.assertFalse(os.path.exists(missing_dir))
        self.assertFailed(self.unpack(path, a_file), "could not chdir to", "plain.txt")

    def test_command_lines_it_does_not_understand(self):
        a, d = winpath(self.archive(raw_zip([Entry("f.txt", b"x")]))), winpath(self.dest)
        cases = [
            ([], "Must specify one of -c, -r, -t, -u, -x"),
            (["-tf", a], "unsupported option '-t'"),
            (["-xf"], "option -f needs an archive"),
            (["-x", "-C", d], "no archive given"),
            (["-xf", a, "-C", d, "f.txt"], "unsupported argument 'f.txt'"),
            (["-xf", a, "-f", a, "-C", d], "-f given twice"),
        ]
        for args, needle in cases:
            with self.subTest(args=args):
                self.assertFailed(run_tar(*args), needle, "usage: tar.exe -xf ARCHIVE")
        self.assertTree(self.dest, {})


class ControlTest(Case):
    def setUp(self):
        super().setUp()
        self.zip = self.archive(raw_zip([Entry("sub/f.txt", b"unpacked")]))

    def test_stderr_bytes_fail_without_unpacking(self):
        for count in (0, 1, 53, 511, 512, 600, 3 << 20):
            with self.subTest(count=count):
                r = self.unpack(self.zip, TAR_STANDIN_STDERR_BYTES=count)
                self.assertEqual(r.returncode, 2)
                self.assertEqual(len(r.stderr), count)
                self.assertTrue(r.stderr == standin_stderr(count))
                self.assertEqual(r.stdout, b"")
                self.assertTree(self.dest, {})
        # The pattern has characters of every UTF-8 length, so byte 511 is cut
        # inside one.
        self.assertEqual({len(ch.encode()) for ch in STANDIN_STDERR_UNIT.decode()}, {1, 2, 3, 4})
        self.assertRaises(UnicodeDecodeError, standin_stderr(511).decode)

    def test_exit_code_replaces_the_outcome(self):
        r = self.unpack(self.zip, TAR_STANDIN_EXIT=7)
        self.assertEqual((r.returncode, r.stderr), (7, b""))
        self.assertEqual(tree(self.dest)[os.path.join("sub", "f.txt")], b"unpacked")
        r = self.unpack(self.archive(b"junk", "junk.zip"), TAR_STANDIN_EXIT=0)
        self.assertEqual(r.returncode, 0)
        self.assertIn(b"Unrecognized archive format", r.stderr)

    def test_bad_control_values_fail(self):
        for name, value in (("TAR_STANDIN_EXIT", "abc"), ("TAR_STANDIN_EXIT", "-1"),
                            ("TAR_STANDIN_EXIT", "4294967296"), ("TAR_STANDIN_DELAY_MS", "1.5"),
                            ("TAR_STANDIN_STDERR_BYTES", " 5")):
            with self.subTest(name=name, value=value):
                self.assertFailed(self.unpack(self.zip, **{name: value}), name)
                self.assertTree(self.dest, {})

    def test_invocation_log_delay_and_full_exit_code(self):
        """Through cmd.exe, a Windows parent like the setup: the log holds the
        command line verbatim, and exit codes keep all 32 bits."""
        log = os.path.join(self.tmp, "tar.log")
        spaced = os.path.join(self.tmp, "dest dir")
        os.mkdir(spaced)
        command = f'"{winpath(TAR)}"  -xf "{winpath(self.zip)}" -C "{winpath(spaced)}"'
        batch = self.archive(f"@cd /d {winpath(self.dest)}\r\n@{command}\r\n"
                             "@echo exit=%ERRORLEVEL%\r\n".encode(), "run.bat")
        env = clean_env(TAR_STANDIN_LOG=winpath(log), TAR_STANDIN_DELAY_MS=3000,
                        TAR_STANDIN_EXIT=3221225477)
        record = f"cmdline: {command}\ncwd: {winpath(self.dest)}\n".encode()
        started = time.monotonic()
        with ThreadPoolExecutor(1) as pool:
            done = pool.submit(run_wine, ["cmd", "/c", winpath(batch)], env)
            while time.monotonic() - started < 60 and read(log) != record:
                time.sleep(0.05)
            # Logged, still asleep, nothing unpacked: a test can kill it now.
            self.assertEqual(read(log), record)
            self.assertFalse(done.done())
            self.assertTree(spaced, {})
            r = done.result()
        self.assertGreaterEqual(time.monotonic() - started, 3.0)
        self.assertIn(b"exit=-1073741819", r.stdout)  # 0xC0000005 as cmd shows it
        self.assertEqual(tree(spaced)[os.path.join("sub", "f.txt")], b"unpacked")

        r = run_tar("-xf", winpath(self.zip), "-C", winpath(spaced), cwd=self.tmp,
                    TAR_STANDIN_LOG=winpath(log))
        self.assertSucceeded(r)
        lines = read(log).decode().splitlines()
        self.assertEqual(len(lines), 4)
        self.assertEqual(lines[3], f"cwd: {winpath(self.tmp)}")

if __name__ == "__main__":
    unittest.main(verbosity=2)
