"""The install run end to end: the real exe under Wine against the local
release server, the observer reading the window and its boxes, a recorder
standing in for the builder that the setup starts.

Each test says what the server carries (and how it misbehaves), how the
setup is started, and what must be on disk, on screen and in the server's
log afterwards.
"""

import base64
import functools
import random
import re
import shutil
import subprocess
import unittest
from pathlib import Path

import harness
from harness import BenchCase, SETUP_CAPTION, to_wine
from releases import BASE, REPO, Part, Release
from ziptools import Entry, fault_stderr, raw_zip, tool_zip, zip_features

LIST_LATEST = "/tamrock/brisquel/releases/latest/download/brisquel-setup.txt"
RELEASE_PAGE = "https://localhost:47443/tamrock/brisquel/releases/latest"
RUN = "TamrockBuilder/BrisquelBuilder.exe"


BUILDER = harness.gui_recorder_bytes()


def base_part(version="1.0"):
    """Unpacked into the version directory itself, no folder of its own."""
    return Part("base.zip", {"TamrockBuilder/BrisquelBuilder.exe": BUILDER,
                             "TamrockBuilder/base.txt": b"base " + version.encode()})


def content_part(text=b"alpha\r\n"):
    """Its own folder: unpacked below TamrockBuilder/content and renamed."""
    return Part("content.zip", {"content-1.0/": None,
                                "content-1.0/a.txt": text,
                                "content-1.0/sub/b.bin": bytes(range(256)) * 300},
                extract_to="TamrockBuilder/content", rename_from="content-1.0",
                rename_to="assets")


def tool_part():
    """A tool part: its folder comes from the file name's prefix."""
    return Part("TamrockBuilder-python-3.12.zip", {"python.exe": b"MZ python",
                                                    "lib/site.py": b"# site\n"},
                extract_to="TamrockBuilder/tools/python")


def release(tag="1.0", base_version=None, parts=None):
    return Release(tag, RUN, parts or [base_part(base_version or tag), content_part(), tool_part()])


class InstallCase(BenchCase):
    def setUp(self):
        super().setUp()
        self.server = self.bench.release_server()
        self.root = self.bench.data_root
        self.versions = self.root / "versions"

    def publish(self, rel, latest=True):
        self.server.add_release(rel.tag, rel.assets(), latest=latest)
        return rel

    def setup(self, args="", **kw):
        exe = self.bench.copy_exe() if not hasattr(self, "_exe") else self._exe
        self._exe = exe
        kw.setdefault("timeout_ms", 60000)
        return self.bench.run(exe, args or None, **kw)

    def part_requests(self):
        return [r.path for r in self.server.log if r.path.endswith(".zip")]

    def assertInstalled(self, rel, run, args=""):
        """Every file of the release byte for byte, the records and markers,
        nothing left over, and the builder started from its folder."""
        msg = "\n" + run.describe()
        self.assertRun(run, exit_code=0, boxes=[], records=1)
        vdir = self.versions / rel.tag
        for rel_path, data in rel.installed_files().items():
            f = vdir / rel_path
            self.assertTrue(f.is_file(), f"missing {rel_path}{msg}")
            self.assertEqual(f.read_bytes(), data, f"content of {rel_path}")
        self.assertEqual((vdir / "installed.txt").read_bytes(), rel.tag.encode())
        folders = [p for p in rel.parts if p.name != "base.zip"]
        self.assertEqual((vdir / "parts.txt").read_bytes(),
                         b"".join(p.sha256.encode() + b"\n" for p in folders))
        self.assertEqual((self.versions / "current.txt").read_bytes(), rel.tag.encode())
        left = sorted(p.name for p in self.versions.iterdir())
        self.assertEqual(left, sorted([rel.tag, "current.txt"] +
                                      (["previous.txt"] if (self.versions / "previous.txt").exists() else [])))
        self.assertFalse((self.root / "downloads").exists(), "downloads left behind")
        exe = to_wine(vdir / "TamrockBuilder" / "BrisquelBuilder.exe")
        rec = run.records[0]
        self.assertEqual(rec["cmdline"], f'"{exe}" {args}', msg)
        self.assertEqual(rec["cwd"], exe.rsplit("\\", 1)[0], msg)
        self.assertStatusesInOrder(run, len(rel.parts))

    # The label is sampled, so a quick line can be missed; every line that
    # was seen must be one the run can show, parts in order, the builder's
    # start last.
    STATUS_SHAPES = [
        (r"Starting\.\.\.", None),
        (r"Looking for the latest Brisquel Builder\.\.\.", None),
        (r"GitHub didn't answer \(\d+\)\. Trying again in \d+ s\.\.\.", None),
        (r"Downloading part (\d+) of {n} \(\d+ MB\)\.\.\.", 1),
        (r"Part (\d+) of {n}: GitHub didn't answer \(\d+\)\. Trying again in \d+ s\.\.\.", 1),
        (r"Unpacking part (\d+) of {n}\.\.\.", 1),
        (r"Part (\d+) of {n} unchanged: kept from the installed version", 1),
        (r"Starting the Brisquel Builder\.\.\.", None),
    ]

    def assertStatusesInOrder(self, run, n):
        shown = [s for s in run.statuses if s]  # the label empties as the window goes
        self.assertTrue(shown, run.describe())
        last_part = 0
        for i, text in enumerate(shown):
            for shape, group in self.STATUS_SHAPES:
                m = re.fullmatch(shape.format(n=n), text)
                if m:
                    break
            else:
                self.fail(f"unexpected status {text!r}\n{run.describe()}")
            if group:
                self.assertGreaterEqual(int(m.group(group)), last_part, run.describe())
                last_part = int(m.group(group))
            if text == "Starting the Brisquel Builder...":
                self.assertEqual(i, len(shown) - 1, run.describe())


class FirstInstall(InstallCase):
    def test_first_install_lays_out_every_file_and_starts_the_builder(self):
        rel = self.publish(release())
        run = self.setup("hello --launch-later")
        self.assertInstalled(rel, run, "hello --launch-later")
        self.assertFalse((self.versions / "previous.txt").exists())
        # One list request, then each part once, through its own link.
        self.assertEqual([r.path for r in self.server.log],
                         [LIST_LATEST] + ["/tamrock/brisquel/releases/download/1.0/" + p.name
                                          for p in rel.parts])
        self.assertFalse(harness.default_data_root().exists(), "wrote outside the override")

    def test_second_run_finds_the_version_installed(self):
        rel = self.publish(release())
        self.assertInstalled(rel, self.setup())
        self.server.clear_log()
        run = self.setup("again")
        self.assertInstalled(rel, run, "again")
        self.assertEqual([r.path for r in self.server.log], [LIST_LATEST])

    def test_verified_archive_in_downloads_is_not_fetched_again(self):
        rel = self.publish(release())
        content = rel.parts[1]
        downloads = self.root / "downloads"
        downloads.mkdir(parents=True)
        (downloads / (content.sha256 + ".zip")).write_bytes(content.data)
        # A stale archive under another part's name is replaced, not trusted.
        (downloads / (rel.parts[2].sha256 + ".zip")).write_bytes(b"stale")
        run = self.setup()
        self.assertInstalled(rel, run)
        self.assertNotIn("content.zip", " ".join(self.part_requests()))
        self.assertIn("TamrockBuilder-python-3.12.zip", " ".join(self.part_requests()))


class Update(InstallCase):
    def test_update_moves_unchanged_parts_and_downloads_the_changed_one(self):
        old = self.publish(release("1.0"))
        self.assertInstalled(old, self.setup())
        new = self.publish(release("1.1", base_version="1.1"))
        kept = ["TamrockBuilder/content/assets/sub/b.bin", "TamrockBuilder/tools/python/python.exe"]
        inodes = [(self.versions / "1.0" / k).stat().st_ino for k in kept]
        self.server.clear_log()
        run = self.setup()
        self.assertInstalled(new, run)
        self.assertEqual(self.part_requests(), ["/tamrock/brisquel/releases/download/1.1/base.zip"])
        # Moved, not copied: the very same files now live in the new version.
        self.assertEqual([(self.versions / "1.1" / k).stat().st_ino for k in kept], inodes)
        # Parts 2 and 3 may only ever be shown as kept.
        self.assertFalse([s for s in run.statuses if re.match(r"(Downloading|Unpacking) part [23]", s)],
                         run.describe())
        self.assertEqual((self.versions / "previous.txt").read_bytes(), b"1.0")
        self.assertFalse((self.versions / "1.0").exists())

    def test_repair_reinstalls_and_drops_the_option(self):
        rel = self.publish(release())
        self.assertInstalled(rel, self.setup())
        (self.versions / "1.0" / "TamrockBuilder" / "base.txt").write_bytes(b"damaged")
        self.server.clear_log()
        run = self.setup("--repair --x")
        self.assertInstalled(rel, run, " --x")
        self.assertEqual(len(self.part_requests()), 3)

    def test_tag_installs_an_older_release_and_prunes_the_newer(self):
        old = self.publish(release("1.0"), latest=False)
        new = self.publish(release("1.1", base_version="1.1"))
        self.assertInstalled(new, self.setup())
        run = self.setup('--tag "1.0"')
        self.assertInstalled(old, run, '--tag "1.0"')
        self.assertEqual((self.versions / "previous.txt").read_bytes(), b"1.1")
        self.assertFalse((self.versions / "1.1").exists())

    def test_killed_between_commit_and_markers_is_finished_by_the_next_run(self):
        # What a kill right after the commit leaves: the new version
        # complete, the markers still naming the old one.
        old = self.publish(release("1.0"))
        self.assertInstalled(old, self.setup())
        new = self.publish(release("1.1", base_version="1.1"))
        self.assertInstalled(new, self.setup())
        shutil.copytree(self.versions / "1.1", self.bench.tmp / "keep")
        self.publish(old)
        self.server.set_latest("1.0")
        self.assertInstalled(old, self.setup())
        shutil.copytree(self.bench.tmp / "keep", self.versions / "1.1")
        (self.versions / "current.txt").write_bytes(b"1.0")
        self.server.set_latest("1.1")
        self.server.clear_log()
        run = self.setup()
        self.assertInstalled(new, run)
        self.assertEqual(self.part_requests(), [])
        self.assertEqual((self.versions / "previous.txt").read_bytes(), b"1.0")


# A user's profile folder is named after the user. Windows' tar.exe takes
# its arguments in the ANSI code page (Windows-1252 in the test prefix):
# the first name has letters no single code page holds together, the
# second fits into Windows-1252.
OUTSIDE_ANSI = "\u0141ukasz \u03a9mega"
INSIDE_ANSI = "J\u00f6rg"


class ProfileNames(InstallCase):
    """The data root below a profile folder named with such letters."""

    def assertCodePage(self, run, name, inside):
        """Judged before anything else: under a UTF-8 code page every name
        survives, and the tests would prove nothing."""
        acp = run.acp
        self.assertIsNotNone(acp, "the observer did not tell the code page\n" + run.describe())
        if acp == 65001:
            self.fail("the prefix's ANSI code page is UTF-8 (65001): every name survives it, "
                      "so these tests would prove nothing")
        try:
            name.encode(f"cp{acp}")
            fits = True
        except UnicodeEncodeError:
            fits = False
        except LookupError:
            self.fail(f"no codec tells which letters code page {acp} holds")
        self.assertEqual(fits, inside, f"{name!r} against the prefix's ANSI code page {acp}")

    def use_data_root(self, root):
        self.root, self.versions = root, root / "versions"
        self.bench.env["TAMROCK_SETUP_BASE"] = to_wine(root)

    def install_update_repair(self, name, inside):
        self.use_data_root(self.bench.tmp / "users" / name / "AppData" / "Local" / "BrisquelBuilder")
        old = self.publish(release("1.0"))
        run = self.setup()
        self.assertCodePage(run, name, inside)
        self.assertInstalled(old, run)
        # The content part (two folders deep) changes; the tool part's
        # folder is moved over.
        new = self.publish(release("1.1", parts=[base_part("1.1"), content_part(b"beta\n"),
                                                 tool_part()]))
        kept = "TamrockBuilder/tools/python/python.exe"
        inode = (self.versions / "1.0" / kept).stat().st_ino
        self.server.clear_log()
        run = self.setup()
        self.assertInstalled(new, run)
        self.assertEqual(self.part_requests(), ["/tamrock/brisquel/releases/download/1.1/" + n
                                                for n in ("base.zip", "content.zip")])
        self.assertEqual((self.versions / "1.1" / kept).stat().st_ino, inode)
        (self.versions / "1.1" / "TamrockBuilder/content/assets/a.txt").write_bytes(b"damaged")
        self.server.clear_log()
        run = self.setup("--repair")
        self.assertInstalled(new, run)
        self.assertEqual(len(self.part_requests()), 3)

    def test_name_outside_the_code_page(self):
        self.install_update_repair(OUTSIDE_ANSI, inside=False)
        # tar's failure still shows in its own words, under the full paths.
        corrupt = Part("base.zip", {}, data=b"PK\x03\x04 this is not a zip archive" * 10)
        self.publish(Release("1.2", RUN, [corrupt]))
        run = self.setup()
        self.assertRun(run, exit_code=0, records=0)
        archive = to_wine(self.root / "downloads" / (corrupt.sha256 + ".zip"))
        dest = to_wine(self.versions / "1.2.part")
        self.assertEqual(len(run.boxes), 1, run.describe())
        self.assertIn(f"\nArchive: {archive}\nDestination: {dest}\n"
                      "Tar stderr excerpt (up to 511 bytes captured):\ntar.exe: ", run.boxes[0].text)

    def test_name_inside_the_code_page(self):
        self.install_update_repair(INSIDE_ANSI, inside=True)

    def test_local_appdata_at_such_a_path(self):
        """The stub and --launch look only in the shell's local application
        data folder: here it is the profile's, as Windows gives it."""
        appdata = self.bench.tmp / "users" / OUTSIDE_ANSI / "AppData" / "Local"
        self.bench.move_local_appdata(appdata)
        self.root, self.versions = appdata / "BrisquelBuilder", appdata / "BrisquelBuilder" / "versions"
        del self.bench.env["TAMROCK_SETUP_BASE"]
        rel = self.publish(release())
        run = self.setup()
        self.assertCodePage(run, OUTSIDE_ANSI, inside=False)
        self.assertInstalled(rel, run)
        builder = to_wine(self.versions / "1.0" / "TamrockBuilder" / "BrisquelBuilder.exe")
        self.server.clear_log()

        def started(run, exe, args, cwd):
            self.assertRun(run, exit_code=0, windows=[], boxes=[], records=1)
            rec = run.records[0]
            self.assertEqual((rec["exe"], rec["cmdline"], rec["cwd"]),
                             (exe, f'"{exe}"' + args, cwd), "\n" + run.describe())

        builder_dir = builder.rsplit("\\", 1)[0]
        started(self.setup("--launch x"), builder, " --launch x", builder_dir)
        # A game whose own folder has such letters too.
        game = self.bench.tmp / "Gra \u0141\u00f3d\u017a"
        game.mkdir()
        stub = self.bench.copy_exe("Brisquel.exe", game)
        self.bench.add_game(game, "Brisquel.exe")
        started(self.bench.run(stub), builder, f' --launch "{to_wine(game)}"', builder_dir)
        (self.versions / "current.txt").unlink()
        started(self.bench.run(stub), to_wine(game / "bin" / "Brisquel.exe"), "", to_wine(game))
        self.assertEqual(self.server.log, [])


class Failures(InstallCase):
    def assertFails(self, run, text):
        self.assertRun(run, exit_code=0, boxes=[(SETUP_CAPTION, text, "error")], records=0)

    def test_setup_list_404(self):
        run = self.setup()
        self.assertFails(run, "The latest Brisquel release has no setup files yet. Download "
                              "TamrockBuilder.zip from the releases page for now: " + RELEASE_PAGE)
        self.assertFalse((self.versions).exists())

    def test_list_503_then_the_api_fallback(self):
        rel = self.publish(release())
        self.server.script(LIST_LATEST, [503])
        run = self.setup()
        self.assertInstalled(rel, run)
        api = [r for r in self.server.log if r.path.startswith("/api/")]
        self.assertEqual([r.accept for r in api],
                         ["application/vnd.github+json", "application/octet-stream"])
        self.assertNotIn("Trying again", " ".join(run.statuses))

    def test_tag_mismatch(self):
        rel = self.publish(release("2.0"))
        self.server.script("/tamrock/brisquel/releases/download/2.1/brisquel-setup.txt",
                           [{"status": 200, "body": rel.setup_list()}])
        run = self.setup("--tag 2.1")
        self.assertFails(run, "GitHub answered with the setup list of 2.0, not 2.1 (its download "
                              "links can lag right after a release). Try the update again in a "
                              "few minutes.")

    def test_rejected_and_unreadable_lists(self):
        for body, text in [
                (b"tag 1.0\nrun ../evil.exe\npart " + b"0" * 64 + b" 1 . - - https://x/y\n",
                 "The release's setup list has a name this setup does not accept. Try again later."),
                (b"<html>not a list</html>",
                 "The release's setup list could not be read. Try again later.")]:
            self.server.script(LIST_LATEST, [{"status": 200, "body": body}])
            self.assertFails(self.setup(), text)
        self.assertFalse(self.versions.exists())

    def test_wrong_checksum(self):
        rel = release()
        bad = Release("1.0", RUN, rel.parts)
        # Same size, one byte changed: only the checksum can tell.
        damaged = bytearray(rel.parts[1].data)
        damaged[len(damaged) // 2] ^= 0xFF
        self.server.add_release("1.0", dict(bad.assets(), **{"content.zip": bytes(damaged)}))
        run = self.setup()
        self.assertFails(run, "Part 2 of 3 did not download correctly (its checksum differs). "
                              "Try again.")
        self.assertEqual(len([p for p in self.part_requests() if "content" in p]), 1)
        downloads = self.root / "downloads"
        self.assertEqual(sorted(p.name for p in downloads.iterdir()),
                         [rel.parts[0].sha256 + ".zip"])

    def test_part_404(self):
        rel = self.publish(release())
        self.server.script("/tamrock/brisquel/releases/download/1.0/base.zip", [404])
        run = self.setup()
        self.assertFails(run, "Downloading part 1 of 3 failed. Check your connection and free "
                              "space, then try again.")
        self.assertEqual(list((self.root / "downloads").iterdir()), [])

    def test_corrupt_archive_shows_tars_words(self):
        corrupt = Part("base.zip", {}, data=b"PK\x03\x04 this is not a zip archive" * 10)
        rel = self.publish(Release("1.0", RUN, [corrupt]))
        run = self.setup()
        self.assertRun(run, exit_code=0, records=0)
        self.assertEqual(len(run.boxes), 1, run.describe())
        text = run.boxes[0].text
        archive = to_wine(self.root / "downloads" / (corrupt.sha256 + ".zip"))
        dest = to_wine(self.versions / "1.0.part")
        self.assertTrue(text.startswith(
            "Unpacking part 1 of 1 failed: Windows' tar.exe exited with code ") , text)
        self.assertIn(f"\nArchive: {archive}\nDestination: {dest}\n"
                      "Tar stderr excerpt (up to 511 bytes captured):\ntar.exe: ", text)
        # The verified archive stays for the next run.
        self.assertTrue((self.root / "downloads" / (corrupt.sha256 + ".zip")).exists())

    def test_tar_that_floods_stderr_or_is_missing_then_the_real_one(self):
        """Faults the real tar cannot show: megabytes on standard error (more
        than a pipe holds) end the run with the first 511 bytes, the last
        character cut; a system without tar.exe cannot start it. Either way
        the verified archive stays, and the run with the real tar back
        unpacks it without fetching it again."""
        rel = self.publish(Release("1.0", RUN, [base_part()]))
        archive = to_wine(self.root / "downloads" / (rel.parts[0].sha256 + ".zip"))
        dest = to_wine(self.versions / "1.0.part")
        where = f"\nArchive: {archive}\nDestination: {dest}"
        self.bench.place_tar("fault", {"TAR_FAULT_STDERR_BYTES": str(3 << 20)})
        head = ("Unpacking part 1 of 1 failed: Windows' tar.exe exited with code 2." + where
                + "\nTar stderr excerpt (up to 511 bytes captured):\n")
        shown = (head + fault_stderr(511).decode("utf-8", "replace")).encode("utf-16-le")
        self.assertFails(self.setup(), shown[:2 * 1023].decode("utf-16-le"))
        self.bench.place_tar("none")
        self.assertFails(self.setup(), "Could not start Windows' tar.exe (Windows error 2)."
                         + where)
        self.assertEqual(len(self.part_requests()), 1)
        self.bench.place_tar("real")
        self.assertInstalled(rel, self.setup())
        self.assertEqual(len(self.part_requests()), 1)

    def test_one_real_retry_after_a_server_error(self):
        rel = self.publish(release())
        self.server.script("/tamrock/brisquel/releases/download/1.0/content.zip", [500])
        run = self.setup()
        self.assertInstalled(rel, run)
        self.assertIn("Part 2 of 3: GitHub didn't answer (500). Trying again in 3 s...",
                      run.statuses)


# The tests' keyed setup and its throw-away keys (tests/CMakeLists.txt):
# a and b are built in, c is nobody's.
KEYS = harness.BUILD / "list_keys"
KEYED_EXE = harness.BUILD / "keyed" / "BrisquelBuilder.exe"
NATIVE_TOOL = harness.BUILD.parent / "native" / "tools" / "release" / "brisquel-release"
NOT_SIGNED = ("This release's setup list is not signed by the makers of the Brisquel Builder, "
              "so it was not installed. Download BrisquelBuilder.exe again from the official "
              "release page, or ask its makers.")


def openssl_signed(text, key):
    """text and the signature line, made by openssl (its DER turned into r || s)."""
    der = subprocess.run(["openssl", "dgst", "-sha256", "-sign", str(KEYS / f"{key}.pem")],
                         input=text, capture_output=True, check=True).stdout
    at, rs = 2, b""
    for _ in range(2):  # SEQUENCE { INTEGER r, INTEGER s }
        n = der[at + 1]
        rs += der[at + 2:at + 2 + n].lstrip(b"\0").rjust(32, b"\0")
        at += 2 + n
    return text + b"sig " + base64.b64encode(rs) + b"\n"


class SignedLists(InstallCase):
    def keyed(self):
        self._exe = self.bench.folder("keyed") / "BrisquelBuilder.exe"
        shutil.copyfile(KEYED_EXE, self._exe)

    def publish_signed(self, rel, text):
        self.server.add_release(rel.tag, dict(rel.assets(), **{"brisquel-setup.txt": text}))
        return rel

    def tool_signed(self, rel, key):
        if not NATIVE_TOOL.exists():
            raise harness.BenchError(f"missing {NATIVE_TOOL}: build the native tree beside this one")
        dist = self.bench.folder("dist")
        for p in rel.parts:
            (dist / p.name).write_bytes(p.data)
        made = subprocess.run([str(NATIVE_TOOL), "make", "--tag", rel.tag, "--run", rel.run,
                               "--base-url", f"{BASE}{REPO}/releases/download/{rel.tag}/",
                               "--sign-key", str(KEYS / f"{key}.pem")] + [p.name for p in rel.parts],
                              cwd=dist, capture_output=True, text=True)
        self.assertEqual(made.returncode, 0, made.stdout + made.stderr)
        return (dist / "brisquel-setup.txt").read_bytes()

    def tree(self):
        """Every file with its bytes and every folder; the downloads folder,
        made at the start of every run, only for what it holds."""
        return {str(p.relative_to(self.root)): p.read_bytes() if p.is_file() else None
                for p in self.root.rglob("*") if p != self.root / "downloads"}

    def test_a_list_signed_by_either_key_installs(self):
        self.keyed()
        one = Release("1.0", RUN, [base_part("1.0")])
        self.assertInstalled(self.publish_signed(one, self.tool_signed(one, "a")), self.setup())
        two = Release("1.1", RUN, [base_part("1.1")])
        two_text = openssl_signed(two.setup_list(), "b")
        self.assertInstalled(self.publish_signed(two, two_text), self.setup())

    def test_lists_no_key_verifies_end_the_run_before_anything_changes(self):
        self.keyed()
        old = Release("1.0", RUN, [base_part("1.0")])
        self.assertInstalled(self.publish_signed(old, openssl_signed(old.setup_list(), "a")),
                             self.setup())
        new = release("1.1", base_version="1.1")
        text = new.setup_list()
        good = openssl_signed(text, "b")
        self.publish_signed(new, good)

        def changed(at, byte):
            b = bytearray(good)
            b[at] = byte
            return bytes(b)
        digit = text.index(b"part ") + 5
        # Each change leaves a list the setup would otherwise install.
        bodies = {
            "unsigned": text,
            "third key": openssl_signed(text, "c"),
            "tag changed": changed(text.index(b"1.1"), ord("2")),
            "checksum digit changed": changed(digit, ord("0") if text[digit] != ord("0") else ord("1")),
            "last line end changed": changed(len(text) - 1, ord("\r")),
            "line after the signature": good + b"tag 1.1\n",
            "signature cut short": good[:-6] + b"\n",
        }
        before = self.tree()
        self.server.clear_log()
        for name, body in bodies.items():
            with self.subTest(name):
                self.server.script(LIST_LATEST, [{"status": 200, "body": body}])
                self.assertRun(self.setup(), exit_code=0, records=0,
                               boxes=[(SETUP_CAPTION, NOT_SIGNED, "error")])
        # One request for the list each time: no retry, no fallback, no part.
        self.assertEqual([r.path for r in self.server.log], [LIST_LATEST] * len(bodies))
        # A list that came through the release API is checked the same way.
        self.publish_signed(new, text)
        self.server.script(LIST_LATEST, [503])
        self.assertRun(self.setup(), exit_code=0, records=0,
                       boxes=[(SETUP_CAPTION, NOT_SIGNED, "error")])
        self.assertIn("application/octet-stream", [r.accept for r in self.server.log])
        self.assertEqual(self.part_requests(), [])
        self.assertEqual(self.tree(), before)

    def test_the_default_build_reads_signed_lists_as_before(self):
        rel = Release("1.0", RUN, [base_part("1.0")])
        self.assertInstalled(self.publish_signed(rel, openssl_signed(rel.setup_list(), "a")),
                             self.setup())


ABSOLUTE = "brisquel-absolute-name"


@functools.lru_cache(maxsize=None)
def kept_corpus_parts():
    """The parts that keep their bytes from release to release (made once:
    Info-ZIP stores each folder's access time, which its own run changes)."""
    rnd = random.Random(1)
    tools = "TamrockBuilder/tools/"
    unicode_names = {"inhalt-1.0/Grüße/日本語 ✓.txt": "naïve ✓\r\n".encode(),
                     "inhalt-1.0/café/menü.bin": rnd.randbytes(70000), "inhalt-1.0/leer/": None}
    backslashed = {"old-tool/bin/run.cmd": b"@echo off\r\n",
                   "old-tool/lib/a/b/c.dat": rnd.randbytes(3000)}
    # The real tar drops a leading "/", "\\" or drive letter, says so on
    # standard error and goes on.
    absolute = {f"/{ABSOLUTE}/slash.txt": "slash.txt", f"C:\\{ABSOLUTE}\\drive.txt": "drive.txt",
                f"\\{ABSOLUTE}\\back.txt": "back.txt"}
    return (
        Part("TamrockBuilder-python-3.12.zip", {"python.exe": rnd.randbytes(40000),
                                                "Lib/os.py": b"# os\n", "Lib/empty.py": b""},
             extract_to=tools + "python", tool="zip64"),
        Part("TamrockBuilder-cpm-0.40.zip", {"CPM.cmake": b"# cpm\n" * 500, "doc/x.md": b"x"},
             extract_to=tools + "cpm", tool="7z"),
        Part("content.zip", unicode_names, extract_to="TamrockBuilder/content",
             rename_from="inhalt-1.0", rename_to="assets"),
        # Older Windows tools wrote "\" between the names.
        Part("legacy.zip", backslashed, extract_to="TamrockBuilder/legacy", rename_from="old-tool",
             rename_to="tool", data=raw_zip([Entry(k.replace("/", "\\"), v)
                                             for k, v in backslashed.items()])),
        Part("TamrockBuilder-wgpu-native-1.zip",
             {f"{ABSOLUTE}/{v}": k.encode() for k, v in absolute.items()},
             extract_to=tools + "wgpu-native", data=raw_zip([Entry(k, k.encode()) for k in absolute])),
    )


def corpus_parts(version):
    """One release's parts, made the way maintainers' tools make zips, and
    two the way no tool of theirs should: base.zip (Info-ZIP) and the emsdk
    part (zip to a pipe) change with the version, the others are kept."""
    python, cpm, content, legacy, wgpu = kept_corpus_parts()
    base = Part("base.zip", {"TamrockBuilder/BrisquelBuilder.exe": BUILDER,
                             "TamrockBuilder/base.txt": b"base " + version.encode()}, tool="zip")
    emsdk = Part("TamrockBuilder-emsdk-3.1.zip",
                 {"emsdk.py": b"emsdk " + version.encode(),
                  "upstream/bin/clang.exe": random.Random(3).randbytes(90000)},
                 extract_to="TamrockBuilder/tools/emsdk", tool="pipe")
    return [base, python, emsdk, cpm, content, legacy, wgpu]


class RealTools(InstallCase):
    """Archives made by real zip tools, unpacked by the real tar: every byte
    in place, and archives it refuses refused with its own words."""

    def files_below(self, top):
        return sorted(str(p.relative_to(top)) for p in top.rglob("*") if p.is_file())

    def test_zips_of_real_tools_install_exactly_and_update_by_moving(self):
        old = self.publish(Release("1.0", RUN, corpus_parts("1.0")))
        # Each archive carries what its tool is known for.
        features = [zip_features(p.data) for p in old.parts]
        for want, got in zip([{"extra"}, {"zip64"}, {"descriptor"}, {"extra"}, {"utf8"}, set(),
                              set()], features):
            self.assertLessEqual(want, got, features)
        self.assertInstalled(old, self.setup())
        self.assertEqual(self.files_below(self.versions / "1.0"),
                         sorted(list(old.installed_files()) + ["installed.txt", "parts.txt"]))
        self.assertFalse(Path("/" + ABSOLUTE).exists())
        self.assertFalse((harness.prefix() / "drive_c" / ABSOLUTE).exists())

        new = self.publish(Release("1.1", RUN, corpus_parts("1.1")))
        kept = [p for p in new.parts if p.sha256 in {q.sha256 for q in old.parts}]
        self.assertEqual([p.name for p in kept], [old.parts[i].name for i in (1, 3, 4, 5, 6)])
        inodes = {f: (self.versions / "1.0" / f).stat().st_ino
                  for p in kept for f in p.installed_files()}
        self.server.clear_log()
        self.assertInstalled(new, self.setup())
        self.assertEqual(sorted(p.rsplit("/", 1)[1] for p in self.part_requests()),
                         ["TamrockBuilder-emsdk-3.1.zip", "base.zip"])
        self.assertEqual({f: (self.versions / "1.1" / f).stat().st_ino for f in inodes}, inodes)
        self.assertEqual(self.files_below(self.versions / "1.1"),
                         sorted(list(new.installed_files()) + ["installed.txt", "parts.txt"]))

    def test_archives_the_real_tar_refuses(self):
        whole = tool_zip("zip", {"big/data.bin": random.Random(2).randbytes(200000),
                                 "big/z.txt": b"z"})
        src = self.bench.folder("secret")
        (src / "secret.txt").write_bytes(b"classified\n" * 100)
        subprocess.run(["zip", "-q", "-P", "pass", "enc.zip", "secret.txt"], cwd=src, check=True)
        delayed = "\ntar.exe: Error exit delayed from previous errors."
        cases = [
            ("2.0", raw_zip([Entry("ok.txt", b"fine"), Entry("../escape.txt", b"evil")]),
             ["\n../escape.txt: Path contains '..'", delayed]),
            ("2.1", (src / "enc.zip").read_bytes(), ["\ntar.exe: Couldn't read passphrase"]),
            ("2.2", whole[:len(whole) // 2], ["\nbig/data.bin: ", delayed]),
        ]
        for tag, data, words in cases:
            with self.subTest(tag=tag):
                bad = Part("bad.zip", {}, data=data)
                self.publish(Release(tag, RUN, [base_part(tag), bad]))
                run = self.setup()
                self.assertRun(run, exit_code=0, records=0)
                self.assertEqual(len(run.boxes), 1, run.describe())
                text = run.boxes[0].text
                self.assertTrue(text.startswith("Unpacking part 2 of 2 failed: Windows' tar.exe "
                                                "exited with code 1.\n"), text)
                self.assertIn("Tar stderr excerpt (up to 511 bytes captured):" + words[0], text)
                for w in words[1:]:
                    self.assertIn(w, text)
                self.assertTrue((self.root / "downloads" / (bad.sha256 + ".zip")).is_file())
                self.assertFalse((self.versions / tag).exists())
                self.assertFalse((self.versions / "current.txt").exists())
        self.assertFalse((self.versions / "escape.txt").exists())


if __name__ == "__main__":
    harness.main()
