"""Killed runs: the setup is killed at many points of a first install and
of updates, then run again normally. After every kill and rerun the
requested version is complete and correct, the markers name it, no
staging, ".gone" or downloads directory is left, the archives that were
verified before the kill are not fetched again, and --launch, tried right
after each kill, never starts a builder from an incomplete version.

The data root is the default one, the only place --launch looks.

Which part is cut, where its body stops and which parts an update changes
come from a seeded random source: BRISQUEL_KILL_SEED (default below; every
failure message names the seed and the point). BRISQUEL_KILL_ROUNDS=N runs
N update rounds instead of one and every state of QuickPoints, for a
longer soak.

Real kills (faultkit.Watch sends SIGKILL from outside once a condition
holds): the list fetch and the middle of a download (the server holds the
answer), unpacking (the tar fault layer waits before it hands on to the real tar), the moves of
unchanged folders, the commit (watched on disk; the kill lands a few
milliseconds after the rename, wherever the setup then is), the removal
of the downloads directory and, once the builder has started, that of the
old version (both slowed by bulk). Each rerun
comes at once after its kill: the killed run's hold on the data root must
have gone with it. The steps
between the commit and pruning take microseconds; QuickPoints builds the
state that a kill between each two of them leaves, starting from a real
kill at the last unpack, and runs the setup on it.
"""

import os
import shutil
import sys
import time

import harness
from harness import BenchCase, NO_ANSWER_LIST, to_linux, to_wine
from faultkit import (Answer, LIST_LATEST, ReleaseMaker, Watch, committed_versions_are_complete,
                      disk_state, folder_of, junk_files, missing_files, part_path,
                      parts_to_fetch, read_marker, release_server, snapshot_changes,
                      tree_snapshot, versions_listing, when_any_gone, when_exists,
                      when_request, when_tar_started, win_path)

SEED = int(os.environ.get("BRISQUEL_KILL_SEED", "20240517"))
UPDATE_ROUNDS = int(os.environ.get("BRISQUEL_KILL_ROUNDS", "1"))

# Every kill, for the summary printed at the end: (phase, point, kind,
# where the kill landed, what --launch did, parts fetched by the rerun).
LEDGER = []


class KilledRunCase(BenchCase):
    def setUp(self):
        super().setUp()
        self.server = release_server(self.bench)
        self.root = harness.default_data_root()
        self.versions = self.root / "versions"
        self.env = {"TAMROCK_SETUP_BASE": None}
        self.exe = self.bench.copy_exe()
        self.watch = Watch(self.bench, self.exe)
        self.maker = ReleaseMaker(SEED + sum(map(ord, self.id())))
        self.rng = self.maker.rng
        self.releases = {}
        self.resumed = None  # (part, bytes a killed download left)

    # -- the world -------------------------------------------------------

    def publish(self, rel):
        self.server.add_release(rel.tag, rel.assets())
        self.releases[rel.tag] = rel
        return rel

    def setup(self, args=None, **kw):
        kw.setdefault("timeout_ms", 90000)
        env = dict(self.env, **kw.pop("env", {}))
        return self.bench.run(self.exe, args, env=env, **kw)

    def kill(self, point, kill_if, env=None, **kw):
        """One run of the setup, killed once kill_if holds."""
        kw.setdefault("timeout_ms", 60000)
        self.server.clear_log()
        w = self.watch.run(None, kill_if=kill_if, env=dict(self.env, **(env or {})), **kw)
        self.assertTrue(w.killed, f"{self.where(point)}: the kill never happened\n"
                                  + w.describe() + "\n" + disk_state(self.root))
        self.assertEqual(w.run.boxes, [], self.where(point) + "\n" + w.describe())
        return w

    def where(self, point):
        return f"[seed {SEED}, {self.id().split('.')[-1]}, {point}]"

    # -- what must hold right after a kill ------------------------------------

    def after_kill(self, point):
        """The invariants a kill may never break, and --launch tried on the
        state it left. Returns what --launch did."""
        msg = self.where(point) + "\n" + disk_state(self.root)
        self.assertEqual(committed_versions_are_complete(self.root, self.releases), [], msg)
        current = read_marker(self.versions / "current.txt")
        if not current:
            return "nothing to launch"
        run = self.setup("--launch", env={"TAMROCK_SETUP_LIST": NO_ANSWER_LIST},
                         close_after_ms=300, timeout_ms=20000)
        vdir = self.versions / current
        good = (current in self.releases and (vdir / "installed.txt").exists()
                and not missing_files(vdir, self.releases[current]))
        if not run.records:
            # The install run took over (and was closed at once).
            self.assertFalse(good, f"{msg}\n--launch refused a complete version\n"
                                   + run.describe())
            return "refused"
        self.assertEqual(len(run.records), 1, msg + "\n" + run.describe())
        started = to_linux(run.records[0]["exe"])
        vdir = started.parents[1]
        self.assertEqual(vdir.parent, self.versions, msg)
        self.assertIn(vdir.name, self.releases, msg)
        self.assertEqual(missing_files(vdir, self.releases[vdir.name]), [],
                         f"{msg}\n--launch started a builder from an incomplete version")
        return "started " + vdir.name

    # -- the normal run after a kill ----------------------------------------

    def rerun(self, rel, point, previous=None):
        """Runs the setup normally and checks what it left; returns the
        parts it fetched."""
        expected = parts_to_fetch(self.root, rel)
        before = disk_state(self.root)
        torn = self.torn_installed_txt(rel)
        self.server.clear_scripts()
        self.server.clear_log()
        run = self.setup()
        msg = f"{self.where(point)}\nbefore the rerun:\n{before}\nafter:\n{disk_state(self.root)}"
        self.assertInstalled(rel, run, msg, torn_installed_txt=torn)
        fetched = sorted(r.path.rsplit("/", 1)[1] for r in self.server.log
                         if r.path.endswith(".zip"))
        # Nothing verified before the kill is fetched again, and nothing
        # that was missing is taken from anywhere but the server.
        self.assertEqual(fetched, sorted(expected), msg)
        if self.resumed:
            # The killed download carries on from the bytes it left on disk.
            (part, k), self.resumed = self.resumed, None
            self.assertEqual([(r.range, r.body_bytes) for r in self.server.log
                              if r.path.endswith("/" + part.name)],
                             [(f"bytes={k}-", part.size - k)], msg)
        prev = self.versions / "previous.txt"
        if previous is None:
            self.assertFalse(prev.exists(), msg)
        else:
            self.assertEqual(prev.read_bytes(), previous.encode(), msg)
        return fetched

    def torn_installed_txt(self, rel):
        p = self.versions / rel.tag / "installed.txt"
        return p.exists() and p.stat().st_size == 0

    def assertInstalled(self, rel, run, msg="", torn_installed_txt=False):
        """The version complete, its records and the markers naming it,
        nothing else left, the builder started. A kill inside the write of
        installed.txt leaves it empty; only its presence is ever read, so
        a later run that keeps the version leaves it so."""
        msg = msg + "\n" + run.describe()
        self.assertRun(run, exit_code=0, boxes=[], records=1)
        vdir = self.versions / rel.tag
        self.assertEqual(missing_files(vdir, rel), [], msg)
        self.assertIn((vdir / "installed.txt").read_bytes(),
                      [rel.tag.encode()] + ([b""] if torn_installed_txt else []), msg)
        self.assertEqual((vdir / "parts.txt").read_bytes(),
                         b"".join(p.sha256.encode() + b"\n" for p in rel.parts
                                  if folder_of(p)), msg)
        self.assertEqual((self.versions / "current.txt").read_bytes(), rel.tag.encode(), msg)
        self.assertEqual([n for n in versions_listing(self.root)
                          if n not in ("current.txt", "previous.txt")], [rel.tag], msg)
        self.assertFalse((self.root / "downloads").exists(), "downloads left behind\n" + msg)
        exe = win_path(vdir / "TamrockBuilder" / "BrisquelBuilder.exe")
        self.assertEqual(run.records[0]["cmdline"], f'"{exe}" ', msg)
        self.assertEqual(run.records[0]["cwd"], exe.rsplit("\\", 1)[0], msg)

    def note(self, phase, point, kind, landed, launch, fetched):
        LEDGER.append((phase, point, kind, landed, launch, ",".join(fetched) or "-"))

    # -- where a kill after the commit landed --------------------------------

    def landing(self, rel, old_tag):
        vdir = self.versions / rel.tag
        if (self.versions / (rel.tag + ".part")).exists():
            return "before the commit"
        if not (vdir / "installed.txt").exists():
            return "right after the commit rename"
        if not (vdir / "installed.txt").stat().st_size:
            return "inside the write of installed.txt"
        if not (vdir / "parts.txt").exists():
            return "between installed.txt and parts.txt"
        if read_marker(self.versions / "current.txt") != rel.tag:
            return "during the markers"
        if old_tag and {old_tag, old_tag + ".gone"} & set(versions_listing(self.root)):
            return "during pruning"
        if (self.root / "downloads").exists():
            return "during the removal of downloads"
        return "after the housekeeping"

    # -- kill points, each given the release being installed --------------------

    def kill_list_fetch(self, rel, old):
        # The list's answer is held back: the kill lands while the setup
        # waits for it, after the request went out.
        self.server.script(LIST_LATEST, [Answer(delay=30)])
        self.kill("list fetch", when_request(self.server, "brisquel-setup.txt",
                                             reason="list request sent"))
        return "during the list fetch"

    def kill_download(self, rel, old, index):
        part = rel.parts[index]
        cut = self.rng.randrange(65537, part.size - 1)
        self.server.script(part_path(rel.tag, part.name), [Answer(stall_after=cut, stall=30)])
        point = f"download of part {index + 1} at byte {cut} of {part.size}"
        # The setup writes in 64 KiB reads: a moment for the last whole
        # read to reach the partial file.
        self.kill(point, when_request(self.server, part_path(rel.tag, part.name), min_body=cut,
                                     reason=point),
                  kill_delay=0.2)
        partial = self.root / "downloads" / (part.sha256 + ".zip.part")
        self.assertTrue(partial.exists(), self.where(point) + "\n" + disk_state(self.root))
        self.assertLessEqual(partial.stat().st_size, cut)
        self.resumed = (part, partial.stat().st_size)
        return point

    def kill_unpack(self, rel, old, nth):
        log = self.bench.tmp / f"tar-{rel.tag}.log"
        point = f"unpacking, tar run {nth}"
        # The fault layer waits before handing on to the real tar; the tar
        # that the kill leaves behind finishes on its own, as it would on
        # Windows.
        self.bench.place_tar("fault")
        self.kill(point, when_tar_started(log, nth, point),
                  env={"TAR_FAULT_LOG": to_wine(log), "TAR_FAULT_DELAY_MS": "700"})
        self.assertTrue((self.versions / (rel.tag + ".part")).is_dir(), self.where(point))
        return point

    def kill_moves(self, rel, old):
        moved = next(p for p in rel.parts if folder_of(p) and p in old.parts)
        target = self.versions / (rel.tag + ".part") / folder_of(moved)
        self.kill("moves", when_exists(target, "first folder moved"))
        self.assertFalse((self.versions / old.tag / folder_of(moved)).exists())
        return "during the moves of unchanged folders"

    def kill_commit(self, rel, old):
        # Some bulk at the end of the run, so that the setup is still there
        # when the kill comes, wherever it lands.
        junk_files(self.root / "downloads" / "stale", 300)
        self.kill("commit", when_exists(self.versions / rel.tag, "commit rename seen"),
                  linger_ms=3000)
        return self.landing(rel, old.tag if old else None)

    def kill_pruning(self, rel, old):
        # The old version's ".gone" tree goes once the builder runs: the
        # kill lands after the builder's start, amid that removal.
        junk = junk_files(self.versions / old.tag / "TamrockBuilder" / "cache", 3000)
        gone = self.versions / (old.tag + ".gone")
        watched = [gone / p.relative_to(self.versions / old.tag) for p in junk[::100]]
        started = len(self.bench.records())

        def removing():
            if len(self.bench.records()) > started and gone.exists() and \
                    any(not p.exists() for p in watched):
                return "old version being removed, builder started"
        w = self.kill("pruning", removing)
        msg = self.where("pruning") + "\n" + disk_state(self.root) + "\n" + w.describe()
        self.assertEqual(len(w.run.records), 1, msg)
        self.assertTrue(gone.exists(), msg)
        self.assertEqual(read_marker(self.versions / "current.txt"), rel.tag, msg)
        return "during the removal of the old version, the builder started"

    def kill_downloads_removal(self, rel, old):
        downloads = self.root / "downloads"
        junk = junk_files(downloads / "stale", 3000)
        watched = junk[::100]
        self.kill("downloads removal", when_any_gone(watched, "downloads being removed"))
        self.assertTrue(downloads.exists())
        self.assertTrue(any(p.exists() for p in watched) or
                        len(list((downloads / "stale").rglob("*"))) > 0,
                        self.where("downloads removal") + " landed after the removal")
        return "during the removal of downloads"


class FirstInstall(KilledRunCase):
    def test_kills_during_a_first_install(self):
        rel = self.publish(self.maker.first_release("1.0"))
        k1, k2 = self.rng.sample(range(4), 2)
        plan = [("list fetch", self.kill_list_fetch, ()),
                ("download", self.kill_download, (k1,)),
                ("download", self.kill_download, (k2,)),
                ("unpacking", self.kill_unpack, (self.rng.randint(1, 4),)),
                ("commit", self.kill_commit, ()),
                ("downloads removal", self.kill_downloads_removal, ())]
        for name, arm, args in plan:
            shutil.rmtree(self.root, ignore_errors=True)
            landed = arm(rel, None, *args)
            launch = self.after_kill(landed)
            fetched = self.rerun(rel, landed)
            self.note("first install", name, "real", landed, launch, fetched)


class Updates(KilledRunCase):
    # What each point needs an update to change (part indexes; 0 is the
    # part without a folder of its own, which every update fetches).
    def changes_for(self, name, old):
        r = self.rng
        if name == "moves":
            # An unchanged folder moves first, a changed part comes after.
            keep = r.choice([1, 2])
            return sorted({0, 3} | ({2} if keep == 1 and r.random() < 0.5 else set()))
        if name == "download":
            # A changed part after an unchanged one: the installed version
            # has already given up a folder when the download is cut.
            return sorted({0, r.choice([2, 3])})
        return sorted({0} | set(r.sample([1, 2, 3], r.randint(1, 3))))

    def test_kills_during_updates(self):
        rel = self.publish(self.maker.first_release("2.0"))
        self.assertInstalled(rel, self.setup())
        n = 0
        for round_no in range(UPDATE_ROUNDS):
            for name in ["list fetch", "moves", "download", "unpacking", "commit", "pruning",
                         "downloads removal"]:
                n += 1
                old = rel
                changed = self.changes_for(name, old)
                rel = self.publish(self.maker.next_release(old, f"2.{n}", changed))
                if name == "list fetch":
                    landed = self.kill_list_fetch(rel, old)
                elif name == "moves":
                    landed = self.kill_moves(rel, old)
                elif name == "download":
                    landed = self.kill_download(rel, old, changed[-1])
                elif name == "unpacking":
                    landed = self.kill_unpack(rel, old, self.rng.randint(1, len(changed)))
                elif name == "commit":
                    landed = self.kill_commit(rel, old)
                elif name == "pruning":
                    landed = self.kill_pruning(rel, old)
                else:
                    landed = self.kill_downloads_removal(rel, old)
                landed += f" (update {old.tag} to {rel.tag}, changed {changed})"
                launch = self.after_kill(landed)
                fetched = self.rerun(rel, landed, previous=old.tag)
                self.note("update", name, "real", landed, launch, fetched)

    def test_rolling_back_after_a_killed_update_reinstalls_what_the_update_took(self):
        # The update moves an unchanged folder out of the installed version,
        # then is killed. The release is pulled and the older one is
        # latest again: the older version must not count as installed.
        old = self.publish(self.maker.first_release("3.0"))
        self.assertInstalled(old, self.setup())
        new = self.publish(self.maker.next_release(old, "3.1", [0, 3]))
        self.kill_download(new, old, 3)
        self.resumed = None  # the pulled release's partial file is not the older part's
        self.assertFalse((self.versions / "3.0" / folder_of(old.parts[1])).exists())
        self.after_kill("rollback")
        self.server.set_latest("3.0")
        fetched = self.rerun(old, "rollback", previous="3.1" if
                             read_marker(self.versions / "current.txt") == "3.1" else None)
        self.assertIn(old.parts[1].name, fetched)
        self.note("update", "rollback to the older release", "real",
                  "download of the update, then the older release", "-", fetched)


class SecondSetup(KilledRunCase):
    """A second setup started while one installs into the same data root:
    it writes, moves and removes nothing, fetches nothing, shows no window
    and ends with 0. The first completes the version as if it were alone,
    and a normal run after both keeps that version."""

    def second_setup_during(self, rel, point, hold, env=None):
        second = self.bench.copy_exe()
        seen = {}

        def every(watch, w):
            if seen or not hold():
                return
            time.sleep(0.3)  # the last read before a stall reaches the disk
            before, requests = tree_snapshot(self.root), len(self.server.log)
            seen["run"] = self.bench.run(second, env=dict(self.env), timeout_ms=30000)
            seen["changes"] = snapshot_changes(before, tree_snapshot(self.root))
            seen["requests"] = [r.path for r in self.server.log[requests:]]
            self.server.resume_stalls()

        self.server.clear_log()
        w = self.watch.run(None, every=every, env=dict(self.env, **(env or {})), timeout_ms=90000)
        msg = f"{self.where(point)}\nfirst: {w.describe()}"
        self.assertIn("run", seen, "the first setup ended before the point" + msg)
        msg += "\nsecond: " + seen["run"].describe()
        self.assertRun(seen["run"], exit_code=0, windows=[], boxes=[], records=0)
        self.assertEqual(seen["changes"], [], msg)
        self.assertEqual(seen["requests"], [], msg)
        self.assertInstalled(rel, w.run, msg)
        self.server.clear_log()
        again = self.setup()
        self.assertInstalled(rel, again, msg)
        self.assertEqual([r.path for r in self.server.log if r.path.endswith(".zip")], [], msg)

    def test_second_setup_during_a_first_install_download(self):
        rel = self.publish(self.maker.first_release("6.0"))
        part = rel.parts[1]
        self.server.script(part_path(rel.tag, part.name),
                           [Answer(stall_after=part.size // 2, stall=30)])
        self.second_setup_during(rel, "download", when_request(
            self.server, part_path(rel.tag, part.name), min_body=part.size // 2))

    def test_second_setup_during_an_update_after_a_folder_moved(self):
        old = self.publish(self.maker.first_release("7.0"))
        self.assertInstalled(old, self.setup())
        # Parts 2 and 3 move over before part 4 is fetched.
        rel = self.publish(self.maker.next_release(old, "7.1", [0, 3]))
        last = rel.parts[3]
        self.server.script(part_path(rel.tag, last.name),
                           [Answer(stall_after=last.size // 2, stall=30)])
        moved = self.versions / (rel.tag + ".part") / folder_of(rel.parts[2])

        def hold():
            return (moved.exists() and when_request(self.server, part_path(rel.tag, last.name),
                                                    min_body=last.size // 2)())
        self.second_setup_during(rel, "update after the moves", hold)

    def test_second_setup_while_the_first_unpacks_an_update(self):
        old = self.publish(self.maker.first_release("8.0"))
        self.assertInstalled(old, self.setup())
        # Part 1 (which has no folder to move) is unpacked, parts 2 and 3
        # move over, part 4 is unpacked: the second comes during that.
        rel = self.publish(self.maker.next_release(old, "8.1", [3]))
        log = self.bench.tmp / "tar.log"
        self.bench.place_tar("fault")
        self.second_setup_during(rel, "unpacking", when_tar_started(log, 2),
                                 env={"TAR_FAULT_LOG": to_wine(log),
                                      "TAR_FAULT_DELAY_MS": "4000"})


# The states a normal run goes through (all of them with
# BRISQUEL_KILL_ROUNDS above 1).
QUICK_STATES = {
    "first install": ["after commit rename", "inside the write of parts.txt",
                      "inside the write of current.txt"],
    "update": ["after commit rename", "after installed.txt", "after parts.txt",
               "after previous.txt", "inside the write of current.txt", "after pruning rename"],
}


class QuickPoints(KilledRunCase):
    """States of kills that land between steps too quick to hit: built from
    a real kill at the last unpack, once the tar that was left running has
    filled the staging directory, by doing the setup's next steps by hand
    up to the point."""

    def staged(self, rel, old):
        """Kills the install of rel at its last unpack and waits for the
        staging directory to be complete. Returns a copy of the data root."""
        log = self.bench.tmp / f"tar-{rel.tag}.log"
        runs = sum(1 for p in rel.parts if not (old and folder_of(p) and p in old.parts))
        self.bench.place_tar("fault")
        self.kill("last unpack", when_tar_started(log, runs, "last unpack"),
                  env={"TAR_FAULT_LOG": to_wine(log), "TAR_FAULT_DELAY_MS": "400"})
        staging = self.versions / (rel.tag + ".part")
        # The last part has no top entry to rename: the tar left running
        # has finished the staging directory.
        self.assertEqual(missing_files(staging, rel), [], disk_state(self.root))
        snap = self.bench.tmp / f"snap-{rel.tag}"
        shutil.copytree(self.root, snap, symlinks=True)
        return snap

    def restore(self, snap):
        shutil.rmtree(self.root, ignore_errors=True)
        shutil.copytree(snap, self.root, symlinks=True)

    def steps(self, rel, old):
        v, tag = self.versions, rel.tag
        record = b"".join(p.sha256.encode() + b"\n" for p in rel.parts if folder_of(p))
        steps = [("commit rename", lambda: (v / (tag + ".part")).rename(v / tag)),
                 ("installed.txt", lambda: (v / tag / "installed.txt").write_bytes(tag.encode())),
                 ("parts.txt", lambda: (v / tag / "parts.txt").write_bytes(record))]
        if old:
            steps.append(("previous.txt", lambda: (v / "previous.txt").write_bytes(
                old.tag.encode())))
        steps.append(("current.txt", lambda: (v / "current.txt").write_bytes(tag.encode())))
        if old:
            steps.append(("pruning rename", lambda: (v / old.tag).rename(v / (old.tag + ".gone"))))
        return steps

    def check_states(self, rel, old, phase):
        snap = self.staged(rel, old)
        steps = self.steps(rel, old)
        # A kill after each step, and a kill inside each marker write
        # (the file created, its bytes not yet written).
        states = [(f"after {steps[i][0]}", i + 1, None) for i in range(len(steps))]
        states += [(f"inside the write of {name}", i, name) for i, (name, _) in enumerate(steps)
                   if name.endswith(".txt")]
        if UPDATE_ROUNDS == 1:
            states = [s for s in states if s[0] in QUICK_STATES[phase]]
        for label, done, torn in states:
            self.restore(snap)
            for _, step in steps[:done]:
                step()
            if torn:
                target = (self.versions / rel.tag / torn if torn in ("installed.txt", "parts.txt")
                          else self.versions / torn)
                target.write_bytes(b"")
            launch = self.after_kill(label)
            fetched_expected = parts_to_fetch(self.root, rel)
            self.server.clear_scripts()
            self.server.clear_log()
            run = self.setup()
            msg = f"{self.where(label)}\n{disk_state(self.root)}"
            self.assertInstalled(rel, run, msg, torn_installed_txt=torn == "installed.txt")
            fetched = sorted(r.path.rsplit("/", 1)[1] for r in self.server.log
                             if r.path.endswith(".zip"))
            self.assertEqual(fetched, sorted(fetched_expected), msg)
            prev = (self.versions / "previous.txt")
            if old:
                self.assertEqual(prev.read_bytes(), old.tag.encode(), msg)
            else:
                self.assertFalse(prev.exists(), msg)
            self.note(phase, label, "simulated", label, launch, fetched)

    def test_first_install(self):
        rel = self.publish(self.maker.first_release("4.0"))
        self.check_states(rel, None, "first install")

    def test_update(self):
        old = self.publish(self.maker.first_release("5.0"))
        self.assertInstalled(old, self.setup())
        # The part without a folder and the last one change; the two in
        # between move, so the old version is already taken apart.
        new = self.publish(self.maker.next_release(old, "5.1", [0, 3]))
        self.check_states(new, old, "update")


def tearDownModule():
    if not LEDGER:
        return
    out = [f"\nkills (seed {SEED}):",
           "phase | point | kind | where it landed | --launch after the kill | rerun fetched"]
    out += [" | ".join(row) for row in LEDGER]
    real = sum(1 for r in LEDGER if r[2] == "real")
    out.append(f"{real} real kills, {len(LEDGER) - real} simulated states, each followed by a "
               "rerun that left the version complete")
    print("\n".join(out), file=sys.stderr)


if __name__ == "__main__":
    harness.main()
