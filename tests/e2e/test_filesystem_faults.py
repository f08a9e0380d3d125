"""File-system faults: what the disk does to the setup's housekeeping and
downloads. Each case lays out the disk (an installed version with a
read-only file, a version directory in use, a link inside a version, a
deep tree, a data root near the path limit, a downloads directory that
takes no files, a disk that fills up), runs the setup, and checks what it
removed, what it left and what it said.

"In use": Wine 8 lets a directory be renamed while files in it are open,
which Windows refuses. The case makes the directory immutable instead
(chattr +i): renaming it and moving anything out of it fail, as they do
on Windows while the builder runs from it.

Links: Wine 8 cannot make a junction (FSCTL_SET_REPARSE_POINT answers
error 50); tools/make_junction.exe is tried first all the same. In its
place the case uses a Linux symbolic link to a directory, which Wine lists
with the same attributes as a junction (directory and reparse point), so
the setup's tree removal takes its link branch. Wine cannot remove such a
link with RemoveDirectoryW (the link is followed: error 145 for a folder
with files), so the version holding it stays as "<tag>.gone"; what the
case holds the setup to is that the folder behind the link keeps every
file.

The full disk is a small tmpfs mounted on a folder of the bench (needs
the right to mount; skipped with the reason otherwise); a zip bomb fills
it while the real tar unpacks.
"""

import os
import stat
import sys

import harness
from harness import BenchCase, SETUP_CAPTION, to_wine
from releases import Part, Release
from ziptools import zip_bomb
from faultkit import (SmallDisk, Watch, disk_state, folder_of, junk_files, make_dir_link,
                      missing_files, release_server, set_immutable, status_shown, versions_listing,
                      ReleaseMaker)


def win_len(path) -> int:
    return len(to_wine(path))


class FsCase(BenchCase):
    def setUp(self):
        super().setUp()
        self.server = release_server(self.bench)
        self.maker = ReleaseMaker(sum(map(ord, self.id())))
        self.exe = self.bench.copy_exe()
        self.use_root(self.bench.data_root)

    def use_root(self, root):
        self.root = root
        self.versions = root / "versions"
        self.env = {"TAMROCK_SETUP_BASE": to_wine(root)}

    def publish(self, rel):
        self.server.add_release(rel.tag, rel.assets())
        return rel

    def setup(self, **kw):
        kw.setdefault("timeout_ms", 90000)
        env = dict(self.env, **kw.pop("env", {}))
        return self.bench.run(self.exe, None, env=env, **kw)

    def fetched(self):
        return sorted(r.path.rsplit("/", 1)[1] for r in self.server.log if r.path.endswith(".zip"))

    def assertInstalled(self, rel, run, leftovers=()):
        msg = "\n" + run.describe() + "\n" + disk_state(self.root)
        self.assertRun(run, exit_code=0, boxes=[], records=1)
        vdir = self.versions / rel.tag
        self.assertEqual(missing_files(vdir, rel), [], msg)
        self.assertEqual((vdir / "installed.txt").read_bytes(), rel.tag.encode(), msg)
        self.assertEqual((vdir / "parts.txt").read_bytes(),
                         b"".join(p.sha256.encode() + b"\n" for p in rel.parts if folder_of(p)),
                         msg)
        self.assertEqual((self.versions / "current.txt").read_bytes(), rel.tag.encode(), msg)
        others = [n for n in versions_listing(self.root)
                  if n not in (rel.tag, "current.txt", "previous.txt")]
        self.assertEqual(others, list(leftovers), msg)
        self.assertFalse((self.root / "downloads").exists(), "downloads left" + msg)

    def assertFails(self, run, text):
        self.assertRun(run, exit_code=0, boxes=[(SETUP_CAPTION, text, "error")], records=0)


class OldVersions(FsCase):
    def test_read_only_files_in_an_old_version_are_removed(self):
        old = self.publish(self.maker.first_release("1.0"))
        self.assertInstalled(old, self.setup())
        # Read-only files where pruning meets them (a file of the part that
        # stays, one the builder wrote) and in a folder that moves on.
        vdir = self.versions / "1.0"
        cache = vdir / "TamrockBuilder" / "cache" / "deep"
        cache.mkdir(parents=True)
        (cache / "settings.ini").write_bytes(b"[user]\r\n")
        ro = [vdir / "TamrockBuilder" / "base.txt", cache / "settings.ini",
              vdir / folder_of(old.parts[1]) / "stamp.txt"]
        for f in ro:
            f.chmod(stat.S_IRUSR | stat.S_IRGRP | stat.S_IROTH)
        new = self.publish(self.maker.next_release(old, "1.1", [0, 2]))
        run = self.setup()
        self.assertInstalled(new, run)
        self.assertFalse(vdir.exists())
        # The moved folder kept its read-only file, as it was.
        moved = self.versions / "1.1" / folder_of(old.parts[1]) / "stamp.txt"
        self.assertFalse(moved.stat().st_mode & stat.S_IWUSR)

    def test_an_old_version_in_use_is_left_whole_and_removed_by_a_later_run(self):
        old = self.publish(self.maker.first_release("2.0"))
        self.assertInstalled(old, self.setup())
        vdir = self.versions / "2.0"
        if not set_immutable(vdir, True):
            self.skipTest("chattr +i is not allowed here: no way to hold a directory in use")
        self.addCleanup(set_immutable, vdir, False)
        before = {p: p.read_bytes() for p in vdir.rglob("*") if p.is_file()}
        new = self.publish(self.maker.next_release(old, "2.1", [0, 3]))
        self.server.clear_log()
        run = self.setup()
        # Nothing could move out of the version in use: every part was
        # fetched, and the old version is as it was, installed.txt too.
        self.assertInstalled(new, run, leftovers=["2.0"])
        self.assertEqual(self.fetched(), sorted(p.name for p in new.parts))
        self.assertEqual({p: p.read_bytes() for p in vdir.rglob("*") if p.is_file()}, before)
        self.assertEqual((self.versions / "previous.txt").read_bytes(), b"2.0")
        # The builder that held it has ended: the next run removes it.
        set_immutable(vdir, False)
        self.server.clear_log()
        run = self.setup()
        self.assertInstalled(new, run)
        self.assertEqual(self.fetched(), [])

    def test_a_link_in_an_old_version_is_never_followed(self):
        old = self.publish(self.maker.first_release("3.0"))
        self.assertInstalled(old, self.setup())
        # The user's own folder, linked from inside the installed version.
        mine = self.bench.folder("my-projects")
        files = {mine / "game.brisquel": b"project", mine / "art" / "hero.png": b"\x89PNG",
                 mine / "empty-folder": None}
        for p, data in files.items():
            p.parent.mkdir(parents=True, exist_ok=True)
            p.mkdir() if data is None else p.write_bytes(data)
        link = self.versions / "3.0" / "TamrockBuilder" / "projects"
        kind = make_dir_link(self.bench, link, mine)
        new = self.publish(self.maker.next_release(old, "3.1", [0, 1, 2, 3]))
        for attempt in range(2):  # the pruning run, and the one after it
            run = self.setup()
            for p, data in files.items():
                if data is None:
                    self.assertTrue(p.is_dir(), f"{p} removed through a {kind}")
                else:
                    self.assertEqual(p.read_bytes(), data, f"{p} through a {kind}")
            if kind == "junction":
                self.assertInstalled(new, run)
                continue
            # Wine follows the link when asked to remove it and refuses:
            # the old version keeps its ".gone" name, holding only the link.
            self.assertInstalled(new, run, leftovers=["3.0.gone"])
            gone = self.versions / "3.0.gone"
            self.assertEqual(os.listdir(gone), ["TamrockBuilder"])
            self.assertEqual(os.listdir(gone / "TamrockBuilder"), ["projects"])
            self.assertTrue((gone / "TamrockBuilder" / "projects").is_symlink())

    def test_an_old_version_of_thousands_of_files_goes_whatever_their_depth_after_the_builder_starts(self):
        # A part whose folders reach exactly 259 units once pruning has
        # renamed its version to "4.0.gone", with a file past that, as a
        # toolchain's can (tar writes such paths), and thousands of small
        # files beside it that the builder's start must not wait for.
        deep = "/".join(path_of_length(
            win_len(self.versions / "4.0.gone" / "TamrockBuilder" / "deep") + 1, 259))
        tree = Part("deep.zip", {deep + "/": None, deep + "/leaf.txt": b"deep",
                                 "shallow/file.txt": b"shallow"}, extract_to="TamrockBuilder/deep")
        four = self.maker.first_release("4.0")
        old = self.publish(Release("4.0", four.run, four.parts + [tree], base=four.base))
        self.assertInstalled(old, self.setup())
        junk = junk_files(self.versions / "4.0" / "TamrockBuilder" / "cache", 3000)
        nxt = self.maker.next_release(four, "4.1", [0])
        new = self.publish(Release("4.1", nxt.run, nxt.parts + [tree], base=nxt.base))
        gone = self.versions / "4.0.gone"
        watched = [gone / p.relative_to(self.versions / "4.0") for p in junk[::50]]
        before, left = len(self.bench.records()), []

        def every(watch, w):
            if not left and len(self.bench.records()) > before:
                left.append(sum(p.exists() for p in watched))
        w = Watch(self.bench, self.exe).run(None, every=every, env=dict(self.env),
                                            timeout_ms=60000)
        self.assertInstalled(new, w.run)
        self.assertGreater(left[0] if left else 0, 0, "the builder waited for the old files")
def path_of_length(start, length):
    """Folder names that, joined with "\\" after a path of `start` units,
    make a path of exactly `length` units."""
    names, need = [], length - start
    while need > 0:
        n = min(60, need)
        if 0 < need - n < 2:
            n -= 2
        names.append(chr(ord("a") + len(names) % 26) * n)
        need -= n + (1 if need > n else 0)
    return names


class DataRoot(FsCase):
    def test_data_roots_near_the_path_limit(self):
        rel = self.publish(self.maker.first_release("5.0"))
        base = self.bench.folder("roots")
        for length in (175, 200, 249, 255, 258, 259):
            # A folder of the user's, named as the data root, with a file of
            # theirs in it and another next to it.
            parent = base / f"L{length}"
            root = parent.joinpath(*path_of_length(win_len(parent) + 1, length))
            self.assertEqual(win_len(root), length)
            root.mkdir(parents=True)
            (root / "notes.txt").write_bytes(b"mine")
            (parent / "beside.txt").write_bytes(b"also mine")
            self.use_root(root)
            run = self.setup(timeout_ms=60000)
            msg = f"data root of {length} units\n{run.describe()}\n{disk_state(root)}"
            self.assertFalse(run.timed_out, msg)
            self.assertEqual(run.exit_code, 0, msg)
            if run.records:
                self.assertInstalled(rel, run)
            else:
                self.assertEqual(len(run.boxes), 1, msg)
            # An archive's name in downloads ("\<sha256>.zip.part") that cannot
            # fit whole must stop the run before a download, not lose the
            # verified archive to a cut name and blame tar.
            if win_len(root) + len("\\downloads\\") + 64 + len(".zip.part") >= 260:
                self.assertFalse(run.records, msg)
                self.assertNotIn("tar.exe", run.boxes[0].text, msg)
                if win_len(root) == 200:
                    self.assertIn(f"the folder {to_wine(root / 'downloads')} is too deep",
                                  run.boxes[0].text, msg)
            print(f"data root of {length} units: "
                  + (run.boxes[0].text.split("\n")[0][:90] if run.boxes else "installed"),
                  file=sys.stderr)
            self.assertEqual((root / "notes.txt").read_bytes(), b"mine", msg)
            self.assertEqual((parent / "beside.txt").read_bytes(), b"also mine", msg)
            # Nothing was made beside the data root.
            self.assertEqual(sorted(p.name for p in parent.iterdir()),
                             sorted(["beside.txt", root.relative_to(parent).parts[0]]), msg)


class Downloads(FsCase):
    def test_a_downloads_directory_that_takes_no_files(self):
        rel = self.publish(self.maker.first_release("6.0"))
        downloads = self.root / "downloads"
        message = f"Could not write to {to_wine(downloads)}."
        # A file where the directory should be: no file can go inside.
        self.root.mkdir(parents=True)
        downloads.write_bytes(b"not a directory")
        self.assertFails(self.setup(), message)
        downloads.unlink()
        # A directory nobody may write to (where the system allows it).
        downloads.mkdir()
        if set_immutable(downloads, True):
            self.addCleanup(set_immutable, downloads, False)
            self.assertFails(self.setup(), message)
            set_immutable(downloads, False)
        self.assertEqual(self.fetched(), [], "a download went out with nowhere to put it")
        self.assertInstalled(rel, self.setup())


class Scanner(FsCase):
    """An on-access scanner inside the setup's process (tools/scanner.dll,
    loaded by the observer): it holds each path from the setup's first
    rename, move or delete of it, with a sharing violation for a file and
    access denied for a folder, as Windows answers while a scan has the
    file open. Its log shows what it refused and when."""

    def setUp(self):
        super().setUp()
        self.scans = self.bench.tmp / "scanner.log"

    def scanned(self, hold, only=None, **kw):
        env = {"SCANNER_HOLD_MS": hold, "SCANNER_LOG": to_wine(self.scans)}
        if only:
            env["SCANNER_ONLY"] = only
        self.scans.unlink(missing_ok=True)
        run = self.setup(env=env, inject=harness.TOOLS / "scanner.dll", **kw)
        log = [line.split("\t") for line in self.scans.read_text("utf-8").splitlines()]
        self.assertEqual(log[0][1], "loaded", log)
        self.assertEqual(log[1][1:], ["patched", "2"], "MoveFileW and DeleteFileW are imported")
        return run, log[2:]

    def refused(self, log, call, error, ending):
        return [e for e in log if e[1] == "refused" and e[2] == call and e[3] == str(error)
                and e[4].lower().endswith(ending.lower())]

    def assertWholeTree(self, rel):
        vdir = self.versions / rel.tag
        have = sorted(p.relative_to(vdir).as_posix() for p in vdir.rglob("*") if p.is_file())
        self.assertEqual(have, sorted(list(rel.installed_files()) + ["installed.txt", "parts.txt"]))

    def test_scans_of_a_second_and_a_half_change_nothing(self):
        old = self.publish(self.maker.first_release("1.0"))
        run, log = self.scanned("1500")
        self.assertInstalled(old, run)
        self.assertWholeTree(old)
        # Each kind of step met a refusal and waited it out: the archive's
        # rename, the top folder's rename, the commit, the downloads' removal.
        for call, error, ending in (("MoveFileW", 32, ".zip.part"),
                                    ("MoveFileW", 5, "\\content-src"),
                                    ("MoveFileW", 5, "\\versions\\1.0.part"),
                                    ("DeleteFileW", 32, ".zip")):
            self.assertTrue(self.refused(log, call, error, ending), (call, ending, log))
        self.assertTrue([t for t in run.statuses if t.startswith("Waiting for Windows to release")],
                        run.statuses)

        moved = self.versions / "1.0" / folder_of(old.parts[1]) / "stamp.txt"
        inode = moved.stat().st_ino
        new = self.publish(self.maker.next_release(old, "1.1", [0, 2]))
        self.server.clear_log()
        run, log = self.scanned("1500")
        self.assertInstalled(new, run)
        self.assertWholeTree(new)
        # The unchanged folders were moved (the same file, not a copy) and
        # never fetched; the old version went through its removal name.
        self.assertEqual(self.fetched(), sorted(new.parts[i].name for i in (0, 2)))
        self.assertEqual((self.versions / "1.1" / folder_of(old.parts[1]) / "stamp.txt")
                         .stat().st_ino, inode)
        for call, error, ending in (("DeleteFileW", 32, "\\1.0\\installed.txt"),
                                    ("MoveFileW", 5, "\\1.0\\" + folder_of(old.parts[1])
                                     .replace("/", "\\")),
                                    ("MoveFileW", 5, "\\versions\\1.0"),
                                    ("DeleteFileW", 32, "\\1.0.gone\\parts.txt")):
            self.assertTrue(self.refused(log, call, error, ending), (call, ending, log))
        self.assertEqual((self.versions / "previous.txt").read_bytes(), b"1.0")

    def test_a_commit_held_for_good_fails_after_the_waits_and_the_next_run_finishes(self):
        rel = self.publish(self.maker.first_release("2.0"))
        run, log = self.scanned("forever", "\\versions\\2.0.part")
        self.assertFails(run, f"Could not finish installing into {to_wine(self.versions / '2.0')}.")
        held = self.refused(log, "MoveFileW", 5, "\\versions\\2.0.part")
        self.assertEqual(len(held), 10, log)
        spent = int(held[-1][0]) - int(held[0][0])
        # The whole schedule (6,375 ms), give or take the clock's tick.
        self.assertTrue(6300 <= spent < 9000, f"waited {spent} ms")
        # What a failed commit leaves: the staging folder whole, every
        # verified archive, no version and no markers.
        self.assertEqual(missing_files(self.versions / "2.0.part", rel), [])
        self.assertEqual(versions_listing(self.root), ["2.0.part"])
        self.assertEqual(len(list((self.root / "downloads").glob("*.zip"))), len(rel.parts))
        self.server.clear_log()
        self.assertInstalled(rel, self.setup())
        self.assertEqual(self.fetched(), [])

    def test_a_download_that_cannot_be_put_in_place_is_kept_for_the_next_run(self):
        rel = self.publish(self.maker.first_release("3.0"))
        run, log = self.scanned("forever", ".zip.part")
        first = rel.parts[0]
        archive = self.root / "downloads" / (first.sha256 + ".zip")
        self.assertFails(run, f"Part 1 of {len(rel.parts)} was downloaded and verified, but Windows "
                         f"did not let the setup put it in place as {to_wine(archive)} (Windows "
                         "error 32); an antivirus may be holding it. The download is kept: run "
                         "BrisquelBuilder.exe again and it carries on from here without "
                         "downloading it again.")
        self.assertEqual(len(self.refused(log, "MoveFileW", 32, ".zip.part")), 10, log)
        partial = archive.with_name(archive.name + ".part")
        self.assertEqual(partial.read_bytes(), first.data)
        self.assertFalse(archive.exists())
        self.server.clear_log()
        self.assertInstalled(rel, self.setup())
        self.assertEqual(self.fetched(), sorted(p.name for p in rel.parts[1:]))


class FullDisk(FsCase):
    def small_disk(self, kb):
        disk = SmallDisk(self.bench.tmp / "small", kb)
        if not disk.mounted:
            self.skipTest(f"cannot mount a size-limited tmpfs here: {disk.why_not}")
        self.addCleanup(disk.close)
        self.use_root(disk.where / "data")
        return disk

    def test_a_zip_bomb_fills_the_disk_while_tar_unpacks_then_space_is_freed(self):
        maker = self.maker.first_release("7.0")
        # Part 2: about 1 MB that the real tar unpacks to 1 GiB of zeros.
        bomb = Part("content.zip", {}, extract_to="TamrockBuilder/content",
                    rename_from="content-src", rename_to="assets",
                    data=zip_bomb("content-src/zeros.bin", 1024))
        bomb.folder = "TamrockBuilder/content/assets"
        p = [maker.parts[0], bomb] + maker.parts[2:]
        rel = self.publish(Release("7.0", maker.run, p, base=maker.base))
        # Room for the first two archives, the first part unpacked and a few
        # MB more: tar runs out of space a few MB into the zeros.
        disk = self.small_disk((2 * p[0].size + p[1].size) // 1024 + 4096)
        run = self.setup()
        self.assertRun(run, exit_code=0, records=0)
        self.assertEqual(len(run.boxes), 1, run.describe())
        text = run.boxes[0].text
        self.assertTrue(text.startswith("Unpacking part 2 of 4 failed: Windows' tar.exe exited "
                                        "with code 1.\n"), run.describe())
        self.assertIn("Tar stderr excerpt (up to 511 bytes captured):\n"
                      "content-src/zeros.bin: Write failed", text)
        archives = sorted(f.name for f in (self.root / "downloads").iterdir())
        self.assertEqual(archives, sorted([p[0].sha256 + ".zip", p[1].sha256 + ".zip"]))
        disk.grow(1100 * 1024)
        self.server.clear_log()
        self.assertInstalled(rel, self.setup())
        # The verified archives were used again, not fetched.
        self.assertEqual(self.fetched(), sorted(q.name for q in p[2:]))
        zeros = self.versions / "7.0" / bomb.folder / "zeros.bin"
        self.assertEqual(zeros.stat().st_size, 1 << 30)
        with open(zeros, "rb") as f:
            self.assertFalse(any(block.strip(b"\0") for block in iter(lambda: f.read(16 << 20), b"")))

    def test_the_disk_fills_during_a_download_then_space_is_freed(self):
        rel = self.publish(self.maker.first_release("8.0"))
        p = rel.parts
        # The first part fits with its unpacked copy; the second's download
        # runs out of space halfway.
        kb = (2 * p[0].size + p[1].size // 2) // 1024 + 64
        disk = self.small_disk(kb)
        retry = "Part 2 of 4: GitHub didn't answer (200). Trying again in 3 s..."
        grown = {}

        def grow_during_the_wait(watch, watched):
            # Space is freed while the setup waits to try again.
            if "done" not in grown and status_shown(self.bench, retry):
                disk.grow(8 * 1024)
                grown["done"] = True

        w = Watch(self.bench, self.exe).run(None, every=grow_during_the_wait,
                                            env=self.env, timeout_ms=90000)
        self.assertIn(retry, w.run.statuses, w.describe())
        self.assertTrue(grown.get("done"), w.describe())
        self.assertInstalled(rel, w.run)
        # The next attempt asked only for what the full disk had not taken.
        resumed = [r for r in self.server.log if r.range]
        self.assertEqual(len(resumed), 1, w.describe())
        k = int(resumed[0].range[len("bytes="):-1])
        self.assertTrue(0 < k < p[1].size and resumed[0].body_bytes == p[1].size - k)


if __name__ == "__main__":
    harness.main()
