"""Helpers of the fault tests (killed runs, hostile servers, failing file
systems): releases made from a seeded random source, a watch that kills
the setup from outside at a chosen moment and measures it while it runs,
and the checks of what a run left on disk.

Why kill from outside: the observer can kill the setup only when its label
shows some text, and it samples the label every few milliseconds. Most
moments worth a kill show no text of their own (the middle of a download,
the first file removed by pruning), so `Watch` looks from Linux instead.
It finds the setup's process by its command line, polls a condition on
what the test can see (the release server's log, the tar fault layer's log,
the disk) and sends SIGKILL the moment the condition holds. Like
TerminateProcess, this runs no further code of the setup: its handles are
closed by the system, and the children it started (tar) live on.
"""

import hashlib
import os
import random
import re
import signal
import subprocess
import sys
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable, Dict, List, Optional

import harness
from harness import Bench, Run, to_wine
from releases import Part, Release

if str(harness.SOURCE / "tests" / "server") not in sys.path:
    sys.path.insert(0, str(harness.SOURCE / "tests" / "server"))
from release_server import Answer  # noqa: E402  (re-exported for the tests)

RUN = "TamrockBuilder/BrisquelBuilder.exe"

# The release server's ports: the fixed, shared ones that the test build
# is configured with, unless BRISQUEL_TEST_PORTS=<https>,<http> names those
# of a private build tree (configured with matching addresses), which can
# then run beside everybody else's.
PORTS = tuple(int(x) for x in os.environ.get("BRISQUEL_TEST_PORTS", "47443,47080").split(","))
HOST_BASE = f"https://localhost:{PORTS[0]}/"
HTTP_BASE = f"http://localhost:{PORTS[1]}/"
REPO_PATH = "/tamrock/brisquel"
LIST_LATEST = REPO_PATH + "/releases/latest/download/brisquel-setup.txt"
HANDLES = harness.TOOLS / "handles.exe"
MAKE_JUNCTION = harness.TOOLS / "make_junction.exe"


BUILDER = harness.gui_recorder_bytes()


def release_server(bench: Bench, **kw):
    """The bench's release server on the ports above."""
    return bench.release_server(https_port=PORTS[0], http_port=PORTS[1], **kw)


def part_path(tag: str, name: str) -> str:
    """The server path of a part's own download link."""
    return f"{REPO_PATH}/releases/download/{tag}/{name}"


def win_path(path: Path) -> str:
    """The Windows form of a path as programs in the prefix see it: C: for
    what lies in the prefix's drive_c (the default data root), else Z:."""
    drive_c = harness.prefix() / "drive_c"
    try:
        rest = Path(os.path.abspath(path)).relative_to(drive_c)
    except ValueError:
        return to_wine(path)
    return "C:\\" + str(rest).replace("/", "\\")


def sha256_file(path: Path) -> str:
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def read_marker(path: Path) -> str:
    """A marker as the setup reads it: first 127 bytes, cut at CR or LF."""
    try:
        data = path.read_bytes()[:127]
    except OSError:
        return ""
    return re.split(rb"[\r\n]", data, maxsplit=1)[0].decode("utf-8", "replace")


# ---- releases from a seeded source -----------------------------------------

# The four parts of a test release, in list order: the folder each one
# occupies inside a version directory (None: none that can move).
PART_SHAPES = [
    # name, extract_to, rename_from, rename_to, folder
    ("base.zip", ".", "-", "-", None),
    ("content.zip", "TamrockBuilder/content", "content-src", "assets", "TamrockBuilder/content/assets"),
    ("docs.zip", "TamrockBuilder/docs", "docs-src", "manual", "TamrockBuilder/docs/manual"),
    ("TamrockBuilder-python-3.12.zip", "TamrockBuilder/tools/python", "-", "-",
     "TamrockBuilder/tools/python"),
]


class ReleaseMaker:
    """Releases whose parts carry incompressible payloads of seeded sizes,
    large enough (over 64 KiB) that a download can be cut inside its body
    with bytes already on disk. `next_release` changes the chosen parts
    and carries the others over byte for byte, so their checksums stay and
    an update moves their folders."""

    def __init__(self, seed: int):
        self.rng = random.Random(seed)
        self.generation = 0

    def _payload(self) -> bytes:
        n = self.rng.randrange(140_000, 260_000)
        return self.rng.randbytes(n)

    def _part(self, index: int, tag: str) -> Part:
        name, extract_to, rename_from, rename_to, folder = PART_SHAPES[index]
        stamp = f"{name} of {tag} #{self.generation}\r\n".encode()
        payload = self._payload()
        if index == 0:
            files = {"TamrockBuilder/BrisquelBuilder.exe": BUILDER,
                     "TamrockBuilder/base.txt": stamp,
                     "TamrockBuilder/payload.bin": payload}
        elif rename_from != "-":
            files = {rename_from + "/": None, rename_from + "/stamp.txt": stamp,
                     rename_from + "/deep/payload.bin": payload}
        else:
            files = {"python.exe": b"MZ" + stamp, "lib/payload.bin": payload}
        # Stored: the payload is random anyway, and sizes stay predictable.
        p = Part(name, files, extract_to=extract_to, rename_from=rename_from,
                 rename_to=rename_to, compression=0)
        p.folder = folder
        return p

    def first_release(self, tag: str) -> Release:
        self.generation += 1
        return Release(tag, RUN, [self._part(i, tag) for i in range(len(PART_SHAPES))],
                       base=HOST_BASE)

    def next_release(self, old: Release, tag: str, changed: List[int]) -> Release:
        self.generation += 1
        parts = [self._part(i, tag) if i in changed else old.parts[i]
                 for i in range(len(PART_SHAPES))]
        return Release(tag, RUN, parts, base=HOST_BASE)


def folder_of(part: Part) -> Optional[str]:
    return getattr(part, "folder", None)


# ---- what is on disk ----------------------------------------------------------

def missing_files(vdir: Path, rel: Release) -> List[str]:
    """Files of the release that the version directory lacks or holds with
    other bytes; empty when the version is complete."""
    bad = []
    for rel_path, data in rel.installed_files().items():
        f = vdir / rel_path
        try:
            if f.read_bytes() != data:
                bad.append(rel_path + " (differs)")
        except OSError:
            bad.append(rel_path)
    return bad


def versions_listing(root: Path) -> List[str]:
    v = root / "versions"
    return sorted(p.name for p in v.iterdir()) if v.is_dir() else []


def disk_state(root: Path) -> str:
    """A short account of the data root for assertion messages."""
    lines = []
    for sub in ("versions", "downloads"):
        d = root / sub
        if not d.is_dir():
            lines.append(f"{sub}: (none)")
            continue
        names = sorted(p.name for p in d.iterdir())
        if len(names) > 12:
            names = names[:12] + [f"... {len(names) - 12} more"]
        lines.append(f"{sub}: {names}")
    for m in ("current.txt", "previous.txt"):
        p = root / "versions" / m
        if p.exists():
            lines.append(f"{m}: {p.read_bytes()!r}")
    return "\n".join(lines)


def tree_snapshot(root: Path) -> Dict[str, tuple]:
    """Every entry under root (root included) with what a write, move or
    removal would change: kind, size and modification time, for folders
    too (an entry added or removed changes its folder's time)."""
    snap = {}
    for d, dirs, files in os.walk(root):
        for name in [None] + dirs + files:
            p = Path(d) if name is None else Path(d) / name
            try:
                st = p.lstat()
            except OSError:
                continue
            kind = "dir" if p.is_dir() and not p.is_symlink() else "file"
            snap[str(p.relative_to(root))] = (kind, 0 if kind == "dir" else st.st_size,
                                              st.st_mtime_ns)
    return snap


def snapshot_changes(before: Dict[str, tuple], after: Dict[str, tuple]) -> List[str]:
    """What differs between two tree_snapshot results, one line each."""
    out = [f"removed {k}" for k in sorted(before.keys() - after.keys())]
    out += [f"added {k}" for k in sorted(after.keys() - before.keys())]
    out += [f"changed {k}: {before[k]} -> {after[k]}" for k in sorted(before.keys() & after.keys())
            if before[k] != after[k]]
    return out


def parts_to_fetch(root: Path, rel: Release) -> List[str]:
    """The parts a run installing `rel` must download, judged from the disk
    before it starts: none when the version counts as installed, else all
    but those whose folder can move over from the
    version that current.txt names (its parts.txt lists the checksum and
    the folder is there) and those with a verified archive in downloads."""
    versions = root / "versions"
    vdir = versions / rel.tag
    if (vdir / "installed.txt").exists() and (vdir / rel.run).exists():
        return []  # kept as it is
    current = read_marker(versions / "current.txt")
    record = b""
    if current and current != rel.tag:
        try:
            record = (versions / current / "parts.txt").read_bytes()[:8191]
        except OSError:
            pass
    out = []
    for p in rel.parts:
        folder = folder_of(p)
        if folder and record and p.sha256.encode() in record and \
                (versions / current / folder).exists():
            continue
        archive = root / "downloads" / (p.sha256 + ".zip")
        if archive.is_file() and sha256_file(archive) == p.sha256:
            continue
        out.append(p.name)
    return out


def committed_versions_are_complete(root: Path, releases: Dict[str, Release]) -> List[str]:
    """Every version directory that holds installed.txt must hold its whole
    release: installed.txt is what tells the setup (and a later --tag run)
    that a version needs nothing more. Returns the breaches."""
    bad = []
    versions = root / "versions"
    if not versions.is_dir():
        return bad
    for d in versions.iterdir():
        if not d.is_dir() or not (d / "installed.txt").exists():
            continue
        if d.name not in releases and d.name.endswith((".gone", ".part")):
            continue  # on its way out, or not yet committed: never taken for a version
        rel = releases.get(d.name)
        if rel is None:
            bad.append(f"{d.name}: installed.txt in a directory of no known release")
            continue
        missing = missing_files(d, rel)
        if missing:
            bad.append(f"{d.name}: has installed.txt but lacks {missing}")
    return bad


def junk_files(folder: Path, count: int, prefix: str = "junk") -> List[Path]:
    """`count` small files in `folder`, in subfolders of 500: bulk that
    makes removing the folder take a second or so under Wine."""
    made = []
    for i in range(count):
        sub = folder / f"{prefix}{i // 500:02d}"
        if i % 500 == 0:
            sub.mkdir(parents=True, exist_ok=True)
        f = sub / f"{i:05d}.dat"
        f.write_bytes(b"x" * (i % 7))
        made.append(f)
    return made


def tar_runs(log: Path) -> int:
    """How many times the tar fault layer has started (TAR_FAULT_LOG)."""
    try:
        text = log.read_bytes().decode("utf-8", "replace")
    except OSError:
        return 0
    return sum(1 for line in text.splitlines() if line.startswith("cmdline: "))


# ---- the setup watched from Linux -----------------------------------------------

@dataclass
class Watched:
    run: Optional[Run] = None
    killed: Optional[str] = None       # why the watch killed the setup
    kill_s: Optional[float] = None     # seconds from the setup's start to the kill
    pid: Optional[int] = None          # Linux pid of the setup
    peak_rss_kb: int = 0               # highest VmHWM seen
    max_fds: int = 0
    handle_samples: List[tuple] = field(default_factory=list)  # (label, count)
    notes: List[str] = field(default_factory=list)

    def describe(self) -> str:
        head = (f"killed: {self.killed!r} after {self.kill_s} s; peak RSS {self.peak_rss_kb} KiB; "
                f"handles {self.handle_samples}")
        return head + ("\n" + self.run.describe() if self.run else "")


def _cmdline(pid: int) -> bytes:
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return f.read()
    except OSError:
        return b""


class Watch:
    """Runs a copy of the setup through the bench on a thread of its own and
    watches its process from Linux while it runs."""

    def __init__(self, bench: Bench, exe: Path):
        self.bench = bench
        self.exe = exe
        # The copy's folder and name, unique to this bench: matches the
        # setup itself and neither the observer nor a builder it starts.
        self.marks = (bench.tmp.name.encode(), f"{exe.parent.name}\\{exe.name}".encode())

    def _is_setup(self, cmd: bytes) -> bool:
        return all(m in cmd for m in self.marks) and b"observer" not in cmd

    def _find(self) -> Optional[int]:
        for name in os.listdir("/proc"):
            if name.isdigit() and self._is_setup(_cmdline(int(name))):
                return int(name)
        return None

    def handle_count(self) -> Optional[int]:
        """Handles the setup holds right now (tools/handles.exe), or None."""
        frag = f"{self.bench.tmp.name}\\{self.exe.parent.name}\\{self.exe.name}"
        out = subprocess.run(["wine", str(HANDLES), frag], env=self.bench.env,
                             capture_output=True, text=True, timeout=60)
        counts = [int(line.split()[1]) for line in out.stdout.splitlines()
                  if len(line.split()) == 2]
        return counts[0] if len(counts) == 1 else None

    def run(self, args: Optional[str] = None, *,
            kill_if: Optional[Callable[[], Optional[str]]] = None, kill_delay: float = 0.0,
            every: Optional[Callable[["Watch", Watched], None]] = None,
            **run_kw) -> Watched:
        """Runs the setup; kills it as soon as kill_if() answers a reason
        (after kill_delay seconds more); calls every(watch, watched) on each
        poll. Memory and open file descriptors are sampled throughout."""
        w = Watched()
        box = {}

        def target():
            try:
                box["run"] = self.bench.run(self.exe, args, **run_kw)
            except BaseException as e:  # handed to the test below
                box["error"] = e

        t = threading.Thread(target=target, daemon=True)
        t.start()
        pidfd = None
        started = None
        last_sample = 0.0
        try:
            while t.is_alive():
                if pidfd is None:
                    pid = self._find()
                    if pid is None:
                        time.sleep(0.003)
                        continue
                    try:
                        pidfd = os.pidfd_open(pid)
                    except OSError:
                        continue
                    # Opened after the look: make sure it is still the setup.
                    if not self._is_setup(_cmdline(pid)):
                        os.close(pidfd)
                        pidfd = None
                        continue
                    w.pid, started = pid, time.monotonic()
                now = time.monotonic()
                if now - last_sample >= 0.02:
                    last_sample = now
                    self._sample(w)
                if kill_if is not None and w.killed is None:
                    why = kill_if()
                    if why:
                        if kill_delay:
                            time.sleep(kill_delay)
                        self._sample(w)
                        try:
                            signal.pidfd_send_signal(pidfd, signal.SIGKILL)
                            w.killed, w.kill_s = why, round(time.monotonic() - started, 3)
                        except ProcessLookupError:
                            w.notes.append(f"{why}: the setup had already ended")
                if every is not None:
                    every(self, w)
                time.sleep(0.001)
        finally:
            t.join()
            if pidfd is not None:
                os.close(pidfd)
        if "error" in box:
            raise box["error"]
        w.run = box["run"]
        return w

    def _sample(self, w: Watched):
        if w.pid is None:
            return
        try:
            with open(f"/proc/{w.pid}/status") as f:
                for line in f:
                    if line.startswith("VmHWM:"):
                        w.peak_rss_kb = max(w.peak_rss_kb, int(line.split()[1]))
            w.max_fds = max(w.max_fds, len(os.listdir(f"/proc/{w.pid}/fd")))
        except (OSError, ValueError):
            pass


# ---- conditions for kill_if ----------------------------------------------------

def when_request(server, substring: str, min_body: int = 0, nth: int = 1,
                 reason: str = "request") -> Callable[[], Optional[str]]:
    """True once the nth request whose path holds `substring` has been sent
    at least `min_body` body bytes."""
    def check():
        reqs = server.requests_for(substring)
        if len(reqs) >= nth and reqs[nth - 1].body_bytes >= min_body:
            return reason
        return None
    return check


def status_shown(bench: Bench, text: str) -> bool:
    """True once the run under way has shown a status line holding `text`,
    as the observer's log (written as it goes) has it so far."""
    logs = sorted(bench.tmp.glob("observer*.log"), key=lambda p: int(p.stem[8:] or 0))
    if not logs:
        return False
    try:
        data = logs[-1].read_bytes().decode("utf-8", "replace")
    except OSError:
        return False
    return any("\tstatus\t" in line and text in line for line in data.splitlines())


def when_tar_started(log: Path, nth: int, reason: str = "unpacking"):
    return lambda: reason if tar_runs(log) >= nth else None


def when_exists(path: Path, reason: str):
    return lambda: reason if path.exists() else None


def when_any_gone(paths: List[Path], reason: str):
    return lambda: reason if any(not p.exists() for p in paths) else None


# ---- file-system fixtures ---------------------------------------------------------

def make_dir_link(bench: Bench, link: Path, target: Path) -> str:
    """A link to a directory that the setup's tree removal must not follow:
    a real junction when the Wine prefix can make one, else a Linux symbolic
    link, which Wine lists like a junction (directory and reparse point
    attributes). Returns "junction" or "symlink"."""
    out = subprocess.run(["wine", str(MAKE_JUNCTION), to_wine(link), to_wine(target)],
                         env=bench.env, capture_output=True, text=True, timeout=60)
    if out.returncode == 0:
        return "junction"
    link.symlink_to(target, target_is_directory=True)
    return "symlink"


class SmallDisk:
    """A size-limited tmpfs mounted on a folder of the bench: a disk that
    fills up. `grow` remounts it larger, as freeing space would."""

    def __init__(self, where: Path, size_kb: int):
        self.where = where
        where.mkdir(parents=True, exist_ok=True)
        out = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size_kb}k,mode=0777",
                              "brisquel-small", str(where)], capture_output=True, text=True)
        self.mounted = out.returncode == 0
        self.why_not = (out.stderr or out.stdout).strip()

    def grow(self, size_kb: int):
        subprocess.run(["mount", "-o", f"remount,size={size_kb}k", str(self.where)], check=True)

    def free_kb(self) -> int:
        st = os.statvfs(self.where)
        return st.f_bavail * st.f_frsize // 1024

    def close(self):
        if self.mounted:
            subprocess.run(["umount", "-l", str(self.where)], capture_output=True)
            self.mounted = False


def set_immutable(path: Path, on: bool) -> bool:
    """chattr +i / -i: a directory that can be neither renamed nor changed,
    which is how Windows treats a directory whose files are in use. False
    when the file system or the container does not allow it."""
    out = subprocess.run(["chattr", "+i" if on else "-i", str(path)], capture_output=True)
    return out.returncode == 0
