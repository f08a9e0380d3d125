#!/usr/bin/env python3
"""Benchmarks of the web setup, each against a baseline measured in the same
run on the same machine (see bench/README.md):

  1 size      the release exe, stripped, icon included    goal <= 80 KiB
  2 download  256 MiB in four parts, request to hashed     goal <= 1.05 x min_fetch
  3 install   start to builder start                       goal <= fetch + tar + 0.5 s
  4 update    five parts, one changed: bytes and requests  goal exactly list + part
  5 idle      version already complete: one request        goal <= 1.2 x one GET
  6 memory    peak working set, 1 GiB part vs 1 MiB part   goal within 2 MiB
  7 replaced  update replacing 30,000 files vs 30: builder start   goal <= 1.1 x
  8 shaped    builder-shaped 1 GiB first install, 6 parts    goal <= fetch + tar + 1 s, memory

    python3 bench/run.py [--quick] [--runs N] [--only 1,2,...] [--json PATH]

Builds what it needs in build/bench (its own trees and Wine prefix),
installs missing packages, starts Xvfb when there is no DISPLAY, and holds
/tmp/brisquel-server.lock while the release server runs on its fixed ports.
Prints a table and writes build/bench/results.json. Exit code 0 when every
judged goal is met, 1 when one is not, 2 when the bench could not measure.
"""
import argparse
import fcntl
import json
import os
import platform
import random
import shutil
import statistics
import struct
import subprocess
import sys
import time
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[1]
OUT = SOURCE / "build" / "bench"
WIN = OUT / "win"          # the Windows build with the local server's addresses
REL = OUT / "release"      # the release exe with the default addresses
PREFIX = OUT / "wineprefix"
DATA = OUT / "data"
LOCK = "/tmp/brisquel-server.lock"
TOOLCHAIN = "-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake"
WIN_TARGETS = ["BrisquelBuilder", "tool_observer", "tool_recorder", "tool_trust_ca",
               "libarchive_win", "min_fetch", "min_unpack", "hold_desktop", "min_window"]
EXTRA_PACKAGES = ["curl", "coreutils", "binutils-mingw-w64-x86-64"]

KIB, MIB, GIB = 1 << 10, 1 << 20, 1 << 30
SIZE_LIMIT = 80 * KIB
DOWNLOAD_RATIO = 1.05
INSTALL_SLACK_S = 0.5
IDLE_RATIO = 1.2
MEMORY_SLACK = 2 * MIB
# "Time independent of the unchanged parts' size": updates that keep four
# 64 MiB folders against updates that keep four 1 MiB ones. Moving is
# proved by the files' inodes; the time ratio may differ from 1 by noise
# only. A copy of 256 MiB would add seconds here.
UPDATE_TIME_RATIO = 1.10
# The wait for the builder must not grow with the version an update
# replaces: its files are removed after the builder's start.
REPLACED_RATIO = 1.10
SHAPED_SLACK_S = 1.0
# Line 8 unpacks 30,000 files twice per run (some 30 to 60 s each under
# Wine): medians of 3 runs keep the whole bench near 10 minutes.
SHAPED_RUNS = 3
RESUME_CUT = 16 * MIB
RESUME_BYTES_RATIO = 1.01
RESUME_TIME_RATIO = 1.05


def log(msg):
    print(msg, flush=True)


def sh(cmd, **kw):
    return subprocess.run(cmd, check=True, **kw)


# ---- setting up ----------------------------------------------------------------

def install_packages():
    sh(["bash", str(SOURCE / "scripts" / "deps.sh")])
    missing = [p for p in EXTRA_PACKAGES
               if subprocess.run(["dpkg-query", "-W", "-f=${Status}", p], capture_output=True,
                                 text=True).stdout.find("install ok installed") < 0]
    if missing:
        log(f"bench: installing {' '.join(missing)}")
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        sh(["apt-get", "update", "-qq"], env=env)
        sh(["apt-get", "install", "-y", "-qq"] + missing, env=env, stdout=subprocess.DEVNULL)


def build(jobs):
    quiet = {"stdout": subprocess.DEVNULL}
    sh(["cmake", "--no-warn-unused-cli", "-S", str(SOURCE), "-B", str(WIN), "-G", "Ninja", TOOLCHAIN,
        "-DBRISQUEL_RELEASE_HOST=https://localhost:47443/",
        "-DBRISQUEL_API_BASE=https://localhost:47443/api/",
        "-DBRISQUEL_REPOSITORY=tamrock/brisquel"], cwd=SOURCE, **quiet)
    sh(["cmake", "--build", str(WIN), f"-j{jobs}", "--target"] + WIN_TARGETS, cwd=SOURCE, **quiet)
    # The release exe with the addresses the project ships: any value a
    # earlier configure left in the cache is dropped for the default.
    sh(["cmake", "--no-warn-unused-cli", "-S", str(SOURCE), "-B", str(REL), "-G", "Ninja", TOOLCHAIN,
        "-DBRISQUEL_TESTS=OFF",
        "-UBRISQUEL_RELEASE_HOST", "-UBRISQUEL_API_BASE", "-UBRISQUEL_REPOSITORY"], cwd=SOURCE, **quiet)
    sh(["cmake", "--build", str(REL), f"-j{jobs}", "--target", "BrisquelBuilder"], cwd=SOURCE, **quiet)


class Display:
    """The caller's DISPLAY, or an Xvfb of our own for the length of the run."""

    def __init__(self):
        self.proc = None

    def __enter__(self):
        if os.environ.get("DISPLAY"):
            return self
        for _ in range(50):
            n = random.randint(100, 499)
            if not os.path.exists(f"/tmp/.X11-unix/X{n}") and not os.path.exists(f"/tmp/.X{n}-lock"):
                break
        self.proc = subprocess.Popen(["Xvfb", f":{n}", "-screen", "0", "1280x1024x24", "-nolisten",
                                      "tcp"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 20
        while not os.path.exists(f"/tmp/.X11-unix/X{n}"):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise SystemExit("bench: Xvfb did not start")
            time.sleep(0.1)
        os.environ["DISPLAY"] = f":{n}"
        return self

    def __exit__(self, *exc):
        if self.proc:
            self.proc.terminate()
            self.proc.wait()


class Prefix:
    """The bench's own Wine prefix, prepared like the tests' one, with its
    wineserver kept up between the many short runs and its desktop held open
    (bench/tools/hold_desktop.cpp says why)."""

    def __enter__(self):
        sh(["bash", str(SOURCE / "tests" / "prepare_prefix.sh"), str(WIN)], cwd=SOURCE)
        subprocess.run(["wineserver", "-p"])
        self.holder = subprocess.Popen(["wine", str(WIN / "bench" / "hold_desktop.exe")],
                                       stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL)
        time.sleep(1)  # its desktop is up before the first timed run
        return self

    def __exit__(self, *exc):
        self.holder.stdin.close()
        try:
            self.holder.wait(10)
        except subprocess.TimeoutExpired:
            self.holder.kill()
            self.holder.wait()
        subprocess.run(["wineserver", "-k"], stderr=subprocess.DEVNULL)


class ServerLock:
    """The release server's fixed ports are shared: one user at a time."""

    waited = 0.0

    def __enter__(self):
        self.f = open(LOCK, "a")
        try:
            fcntl.flock(self.f, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            log(f"bench: waiting for {LOCK} (someone else runs the release server)")
            t = time.monotonic()
            fcntl.flock(self.f, fcntl.LOCK_EX)
            ServerLock.waited += time.monotonic() - t
        return self

    def __exit__(self, *exc):
        fcntl.flock(self.f, fcntl.LOCK_UN)
        self.f.close()


# ---- small helpers ---------------------------------------------------------------

def med(xs):
    xs = [x for x in xs if x is not None]
    return statistics.median(xs) if xs else None


class BenchFailure(RuntimeError):
    """A run did not do what the measurement needs (not a missed goal)."""


def expect(cond, what, run=None):
    if not cond:
        raise BenchFailure(what + ("\n" + run.describe() if run is not None else ""))


def part_windows(server_log, parts, ends, offset):
    """Per part: its request's arrival at the server and the time its last
    byte was written (from the file's modification time, in server time).
    ends: file name -> mtime in ns; parts: (part, file name) pairs."""
    out = []
    for part, fname in parts:
        reqs = [r for r in server_log if r.path.endswith("/" + part.name)]
        if len(reqs) != 1 or fname not in ends:
            raise BenchFailure(f"{part.name}: {len(reqs)} requests, file seen: {fname in ends}")
        r = reqs[0]
        if r.status != 200 or not r.complete or r.body_bytes != part.size:
            raise BenchFailure(f"{part.name}: status {r.status}, {r.body_bytes} bytes sent")
        out.append((r.time, ends[fname] / 1e9 - offset))
    return out


# ---- 1 size ------------------------------------------------------------------------

def pe_resources(data):
    """Resource type id -> total bytes of its data, from a PE file."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    nsec, opt_size = struct.unpack_from("<H", data, pe + 6)[0], struct.unpack_from("<H", data, pe + 20)[0]
    opt = pe + 24
    dirs = opt + (112 if struct.unpack_from("<H", data, opt)[0] == 0x20B else 96)
    rsrc_rva, _ = struct.unpack_from("<II", data, dirs + 2 * 8)
    sections = []
    for i in range(nsec):
        s = opt + opt_size + 40 * i
        vsize, vaddr, rawsize, rawptr = struct.unpack_from("<IIII", data, s + 8)
        sections.append((vaddr, max(vsize, rawsize), rawptr))

    def off(rva):
        for vaddr, size, rawptr in sections:
            if vaddr <= rva < vaddr + size:
                return rawptr + rva - vaddr
        raise ValueError("rva outside the sections")

    if not rsrc_rva:
        return {}
    base = off(rsrc_rva)

    def entries(d):
        named, ids = struct.unpack_from("<HH", data, base + d + 12)
        for i in range(named + ids):
            name, target = struct.unpack_from("<II", data, base + d + 16 + 8 * i)
            yield name, target

    def total(target):
        if target & 0x80000000:
            return sum(total(t) for _, t in entries(target & 0x7FFFFFFF))
        return struct.unpack_from("<II", data, base + target)[1]

    return {name: total(target) for name, target in entries(0) if not name & 0x80000000}


def bench_size():
    exe = REL / "BrisquelBuilder.exe"
    data = exe.read_bytes()
    stripped = OUT / "size-stripped.exe"
    shutil.copyfile(exe, stripped)
    sh(["x86_64-w64-mingw32-strip", "--strip-all", str(stripped)])
    res = pe_resources(data)
    stripped_size = stripped.stat().st_size
    stripped.unlink()
    icon = res.get(3, 0) + res.get(14, 0)  # RT_ICON images and their RT_GROUP_ICON
    return {"exe": str(exe), "bytes": len(data), "bytes_after_strip": stripped_size,
            "already_stripped": stripped_size == len(data), "icon_bytes": icon,
            "resources": {str(k): v for k, v in sorted(res.items())},
            "limit": SIZE_LIMIT, "ratio": len(data) / SIZE_LIMIT,
            "met": icon > 0 and stripped_size == len(data) and len(data) <= SIZE_LIMIT}


# ---- the runs ---------------------------------------------------------------------

class Ctx:
    def __init__(self, quick, setup_exe=None, compare_exe=None):
        import harness
        import benchdata
        import probes
        self.h, self.data, self.probes = harness, benchdata, probes
        self.quick = quick
        self.bench = probes.RunBench("bench")
        self.server = self.bench.release_server()
        self.store = benchdata.Store(DATA)
        builder = self.bench.tmp / "builder.exe"
        self.bench.add_recorder(builder)
        self.builder = builder.read_bytes()
        self.exe = self.bench.copy_exe()
        if setup_exe:
            shutil.copyfile(setup_exe, self.exe)
        self.exe_marker = harness.to_wine(self.exe)
        self.other = None
        if compare_exe:
            self.other = self.bench.folder("other") / "BrisquelBuilder.exe"
            shutil.copyfile(compare_exe, self.other)
        self.min_fetch = WIN / "bench" / "min_fetch.exe"
        self.min_window = WIN / "bench" / "min_window.exe"
        self.min_unpack = WIN / "bench" / "min_unpack.exe"
        self.ca = WIN / "certs" / "ca.pem"
        self.list_url = (f"{self.server.host_base}{self.server.repo}"
                         "/releases/latest/download/brisquel-setup.txt")

    def warm_up(self):
        """One untimed run of each Windows program, so that no timed run
        pays for first use (files read into the cache, the desktop's
        first window)."""
        d = self.data
        root, env = self.root("warm")
        self.install(d.release("warm.0", [d.small_base(self.builder, "warm.0")]), env)
        if self.other:
            self.timed(root, env, "warm.0", exe=self.other)
        self.tool(self.min_fetch, ["-", self.list_url])
        shutil.rmtree(root)

    def publish(self, rel):
        self.server.add_release(rel.tag, self.data.assets(rel), latest=True)

    def root(self, hint):
        root = self.bench.folder(hint)
        return root, {"TAMROCK_SETUP_BASE": self.h.to_wine(root)}

    def observed(self, env, kill_when=None):
        """One run of the setup through the e2e observer (untimed runs, and
        the memory runs: the observer reads the peak working set)."""
        self.server.clear_log()
        with self.probes.Watcher(marker=self.exe_marker) as w:
            run = self.bench.observe(self.exe, env=env, kill_when=kill_when)
        expect(not run.timed_out and not run.boxes, "the setup did not finish cleanly", run)
        return run, w

    def tool(self, exe, args, folder=None):
        """A Windows tool run with `wine`; its output lines, split, and the
        launch (whose output ends in "ms <wall>")."""
        got = self.probes.launch([exe] + list(args), self.env(), self.bench.tmp, folder=folder)
        lines = [line.split() for line in got.output.splitlines() if line.strip()]
        expect(got.code == 0 and lines and lines[-1][0] == "ms",
               f"{Path(exe).name} failed ({got.code}): {got.output}")
        return lines[:-1], float(lines[-1][1]), got

    def env(self, extra=None):
        e = dict(self.bench.env)
        e.update(extra or {})
        return e

    def timed(self, root, env, tag, downloads=False, unpacked=0, exe=None):
        """One run of the setup started straight with wine, nothing watching
        its window. Returns the launch and the builder's start (s from the
        setup's start). Checks that it started the builder and ran tar once
        per unpacked part."""
        self.server.clear_log()
        before = len(self.bench.records())
        family = self.h.to_wine(root)
        target = self.h.to_wine(root / "versions" / tag / "TamrockBuilder" / "BrisquelBuilder.exe")
        got = self.probes.launch([exe or self.exe], self.env(env), self.bench.tmp,
                                 folder=root / "downloads" if downloads else None, family=family)
        started = got.started(target)
        why = (f"setup exit {got.code}, builders {got.count(target)}, "
               f"tar runs {got.count('tar.exe')}, records {len(self.bench.records()) - before}, "
               f"requests {[r.path for r in self.server.log]}, output {got.output[-500:]!r}")
        expect(got.code == 0 and started is not None and got.count(target) == 1
               and len(self.bench.records()) == before + 1, "the setup did not finish: " + why)
        tars = [c for c in got.w.started("\\tar.exe") if family.lower() in c["cmdline"].lower()]
        expect(len(tars) == unpacked, f"expected {unpacked} tar runs: " + why)
        return got, started

    def install(self, rel, env):
        """A first install, not measured."""
        self.publish(rel)
        run, _ = self.observed(env)
        expect(len(run.records) == 1, "the first install did not start the builder", run)


def rotate(items, r):
    """The order of round r: turned by one each round, and reversed every
    other round, so that no contender always follows the same one."""
    if r % 2:
        items = items[::-1]
    return items[r % len(items):] + items[:r % len(items)]


def floor_install(ctx, parts, urls):
    """The install's floor: min_fetch's GETs of the parts into files with
    hashing, then min_unpack running the same tar on the same archives."""
    out = ctx.bench.folder("floor")
    os.sync()
    ctx.server.clear_log()
    off = ctx.probes.wall_offset()
    got, fetch_ms, launched = ctx.tool(ctx.min_fetch, [ctx.h.to_wine(out)] + urls, folder=out)
    expect([g[1] for g in got] == [p.sha256 for p in parts], f"min_fetch hashes: {got}")
    win = part_windows(ctx.server.log, [(p, p.name) for p in parts], launched.w.mtimes, off)
    args = []
    for p in parts:
        dest = out / "unpacked" / p.extract_to
        dest.mkdir(parents=True, exist_ok=True)
        args += [ctx.h.to_wine(out / p.name), ctx.h.to_wine(dest)]
    codes, unpack_ms, _ = ctx.tool(ctx.min_unpack, args)
    expect([c[0] for c in codes] == ["0"] * len(parts), f"tar failed: {codes}")
    shutil.rmtree(out)
    return {"download_s": sum(e - s for s, e in win), "span_s": win[-1][1] - win[0][0],
            "fetch_s": fetch_ms / 1000, "unpack_s": unpack_ms / 1000,
            "floor_install_s": (fetch_ms + unpack_ms) / 1000,
            "read_bytes": (launched.w.counters or {}).get("rchar"),
            "parts_s": [e - s for s, e in win]}


# ---- 2 download and 3 install ---------------------------------------------------

def bench_download(ctx, runs, part_size):
    d = ctx.data
    parts = [ctx.store.base_part(part_size, ctx.builder)] + \
            [ctx.store.data_part(i, part_size) for i in (1, 2, 3)]
    rel = d.release("256.0", parts)
    ctx.publish(rel)
    urls = [rel.url(p) for p in parts]
    total = sum(p.size for p in parts)
    rows = {"setup": [], "min_fetch": [], "curl": []}
    if ctx.other:
        rows["other"] = []

    def setup_once(exe=None, row="setup"):
        root, env = ctx.root("dl")
        os.sync()
        off = ctx.probes.wall_offset()
        got, install_s = ctx.timed(root, env, rel.tag, downloads=True, unpacked=len(parts), exe=exe)
        win = part_windows(ctx.server.log, [(p, p.sha256 + ".zip") for p in parts], got.w.mtimes, off)
        expect(len(ctx.server.log) == 1 + len(parts), "unexpected requests")
        shutil.rmtree(root)
        # On the launch's clock: where the time outside the downloads goes.
        on_launch = ctx.probes.boot_time() - time.monotonic() - got.start
        rows[row].append({
            "download_s": sum(e - s for s, e in win), "span_s": win[-1][1] - win[0][0],
            "install_s": install_s, "wall_s": got.wall,
            "list_request_s": ctx.server.log[0].time + on_launch,
            "first_part_request_s": win[0][0] + on_launch,
            "after_last_byte_s": install_s - (win[-1][1] + on_launch),
            "read_bytes": (got.w.counters or {}).get("rchar"), "parts_s": [e - s for s, e in win]})

    def floor_once():
        rows["min_fetch"].append(floor_install(ctx, parts, urls))

    def curl_once():
        out = ctx.bench.folder("curl")
        os.sync()
        ctx.server.clear_log()
        off = ctx.probes.wall_offset()
        files = []
        for url, p in zip(urls, parts):
            f = out / p.name
            sh(["curl", "-sS", "--fail", "--cacert", str(ctx.ca), "-o", str(f), url])
            files.append(f)
        ends = {f.name: f.stat().st_mtime_ns for f in files}
        t = time.monotonic()
        sums = subprocess.run(["sha256sum"] + [str(f) for f in files], check=True,
                              capture_output=True, text=True).stdout.split()[0::2]
        t_end = time.monotonic()
        expect(sums == [p.sha256 for p in parts], "curl's files differ")
        win = part_windows(ctx.server.log, [(p, p.name) for p in parts], ends, off)
        shutil.rmtree(out)
        rows["curl"].append({
            "download_s": sum(e - s for s, e in win) + (t_end - t), "hash_s": t_end - t,
            "span_s": t_end - win[0][0], "parts_s": [e - s for s, e in win]})

    steps = [setup_once, floor_once, curl_once]
    if ctx.other:
        steps.insert(2, lambda: setup_once(ctx.other, "other"))
    for r in range(runs):
        for step in rotate(steps, r):
            step()
        log(f"  download run {r + 1}/{runs}: setup {rows['setup'][-1]['download_s']:.2f} s, "
            f"min_fetch {rows['min_fetch'][-1]['download_s']:.2f} s, "
            f"curl {rows['curl'][-1]['download_s']:.2f} s; install {rows['setup'][-1]['install_s']:.2f} s"
            f" vs floor {rows['min_fetch'][-1]['floor_install_s']:.2f} s")

    m = {k: {f: med([row[f] for row in v]) for f in v[0] if f != "parts_s"} for k, v in rows.items()}
    dl = {"bytes": total, "parts": len(parts), "runs": rows, "median": m,
          "throughput_mib_s": {k: total / MIB / m[k]["download_s"] for k in m},
          "ratio_min_fetch": m["setup"]["download_s"] / m["min_fetch"]["download_s"],
          "ratio_curl": m["setup"]["download_s"] / m["curl"]["download_s"],
          "paired_ratios_min_fetch": [s["download_s"] / f["download_s"]
                                      for s, f in zip(rows["setup"], rows["min_fetch"])],
          "ratio_other_min_fetch": (m["other"]["download_s"] / m["min_fetch"]["download_s"]
                                    if ctx.other else None),
          "goal": DOWNLOAD_RATIO}
    dl["met"] = dl["ratio_min_fetch"] <= DOWNLOAD_RATIO
    floor = m["min_fetch"]["floor_install_s"]
    inst = {"setup_s": m["setup"]["install_s"], "fetch_s": m["min_fetch"]["fetch_s"],
            "unpack_s": m["min_fetch"]["unpack_s"], "floor_s": floor,
            "over_floor_s": m["setup"]["install_s"] - floor, "goal_slack_s": INSTALL_SLACK_S,
            "paired_over_floor_s": [s["install_s"] - f["floor_install_s"]
                                    for s, f in zip(rows["setup"], rows["min_fetch"])],
            "other_s": m["other"]["install_s"] if ctx.other else None}
    inst["met"] = inst["over_floor_s"] <= INSTALL_SLACK_S
    return dl, inst


# ---- 9 resumed download ----------------------------------------------------------

def bench_resume(ctx, runs, part_size):
    """One part over a link that is cut every RESUME_CUT bytes, on both of
    its links, against the same install uncut plus the waits it sat out."""
    part = ctx.store.base_part(part_size, ctx.builder)
    rel = ctx.data.release("resume.0", [part])
    pub = ctx.server.add_release(rel.tag, ctx.data.assets(rel), latest=True)
    paths = (f"/{ctx.server.repo}/releases/download/{rel.tag}/{part.name}",
             f"/api/repos/{ctx.server.repo}/releases/assets/{pub.assets[part.name].id}")
    rows = {"cut": [], "uncut": []}

    def once(cut):
        root, env = ctx.root("resume")
        ctx.server.clear_scripts()
        if cut:
            for path in paths:
                ctx.server.script(path, [{"cut_after": RESUME_CUT}] * (part_size // RESUME_CUT + 1))
        os.sync()
        got, install_s = ctx.timed(root, env, rel.tag, unpacked=1)
        shutil.rmtree(root)
        reqs = [r for r in ctx.server.log if r.path in paths]
        # Every attempt delivered: each wait is the schedule's first, 3 s.
        rows["cut" if cut else "uncut"].append({
            "install_s": install_s, "attempts": len(reqs), "waits_s": 3 * (len(reqs) - 1),
            "sent_bytes": sum(r.body_bytes for r in reqs), "ranges": [r.range for r in reqs]})

    for r in range(runs):
        for step in rotate([lambda: once(True), lambda: once(False)], r):
            step()
        log(f"  resume run {r + 1}/{runs}: cut {rows['cut'][-1]['install_s']:.2f} s "
            f"({rows['cut'][-1]['attempts']} attempts), uncut {rows['uncut'][-1]['install_s']:.2f} s")
    ctx.server.clear_scripts()
    cut, uncut = (med([row["install_s"] for row in rows[k]]) for k in ("cut", "uncut"))
    waits = med([row["waits_s"] for row in rows["cut"]])
    res = {"part_bytes": part.size, "cut_every": RESUME_CUT, "runs": rows, "cut_s": cut,
           "uncut_s": uncut, "waits_s": waits,
           "bytes_ratio": max(row["sent_bytes"] for row in rows["cut"]) / part.size,
           "time_ratio": cut / (uncut + waits)}
    res["met"] = res["bytes_ratio"] <= RESUME_BYTES_RATIO and res["time_ratio"] <= RESUME_TIME_RATIO
    return res


# ---- 4 update ------------------------------------------------------------------------

def bench_update(ctx, runs, small, large):
    d = ctx.data
    chains = {}
    for name, size in (("small", small), ("large", large)):
        keep = [ctx.store.data_part(i, size) for i in (1, 2, 3, 4)]
        root, env = ctx.root("upd-" + name)
        rel = d.release(f"{name}.0", [d.small_base(ctx.builder, f"{name}.0")] + keep)
        ctx.install(rel, env)
        chains[name] = {"keep": keep, "root": root, "env": env, "tag": rel.tag, "runs": []}

    for k in range(1, runs + 1):
        for name in rotate(["small", "large"], k):
            c = chains[name]
            base = d.small_base(ctx.builder, f"{name}.{k}")
            rel = d.release(f"{name}.{k}", [base] + c["keep"])
            ctx.publish(rel)
            versions = c["root"] / "versions"
            kept = [f"TamrockBuilder/data/d{i}/blob.bin" for i in (1, 2, 3, 4)]
            inodes = [(versions / c["tag"] / f).stat().st_ino for f in kept]
            os.sync()
            _, t = ctx.timed(c["root"], c["env"], rel.tag, unpacked=1)
            reqs = ctx.server.log
            served = sum(r.body_bytes for r in reqs)
            expected = base.size + len(rel.setup_list())
            paths = [r.path.rsplit("/", 1)[-1] for r in reqs]
            moved = [(versions / rel.tag / f).stat().st_ino for f in kept] == inodes
            c["runs"].append({"update_s": t, "served": served, "expected": expected,
                              "requests": paths, "moved": moved})
            c["tag"] = rel.tag
        log(f"  update run {k}/{runs}: " + ", ".join(
            f"{n} {chains[n]['runs'][-1]['update_s']:.2f} s" for n in ("small", "large")))

    out = {}
    for name, c in chains.items():
        rs = c["runs"]
        out[name] = {"kept_part_bytes": c["keep"][0].size, "kept_parts": len(c["keep"]),
                     "update_s": med([r["update_s"] for r in rs]), "runs": rs}
        shutil.rmtree(c["root"])
    allruns = chains["small"]["runs"] + chains["large"]["runs"]
    out["bytes_exact"] = all(r["served"] == r["expected"] for r in allruns)
    out["no_other_request"] = all(r["requests"] == ["brisquel-setup.txt", "base.zip"] for r in allruns)
    out["moved"] = all(r["moved"] for r in allruns)
    out["time_ratio"] = out["large"]["update_s"] / out["small"]["update_s"]
    out["time_goal"] = UPDATE_TIME_RATIO
    out["served"] = chains["large"]["runs"][-1]["served"]
    out["expected"] = chains["large"]["runs"][-1]["expected"]
    out["met"] = (out["bytes_exact"] and out["no_other_request"] and out["moved"]
                  and out["time_ratio"] <= UPDATE_TIME_RATIO)
    return out


# ---- 5 already installed ---------------------------------------------------------------

def bench_idle(ctx, runs):
    d = ctx.data
    root, env = ctx.root("idle")
    ctx.install(d.release("idle.0", [d.small_base(ctx.builder, "idle.0")]), env)
    rows = {"setup": [], "min_fetch": [], "min_window": []}
    builder = root / "versions" / "idle.0" / "TamrockBuilder" / "BrisquelBuilder.exe"

    # Where the time goes: the request's arrival at the server, on the
    # launch's clock (both clocks are monotonic; their offset is fixed).
    def arrival(got):
        off = ctx.probes.boot_time() - time.monotonic()
        return [r.time + off - got.start for r in ctx.server.log]

    def setup_once():
        got, started = ctx.timed(root, env, "idle.0")
        rows["setup"].append({"wall_s": got.wall, "requests": len(ctx.server.log),
                              "request_s": arrival(got)[0], "builder_started_s": started})

    def floor_once():
        ctx.server.clear_log()
        _, ms, got = ctx.tool(ctx.min_fetch, ["-", ctx.list_url])
        rows["min_fetch"].append({"wall_s": got.wall, "get_s": ms / 1000,
                                  "requests": len(ctx.server.log), "request_s": arrival(got)[0]})

    def window_once():
        # For reference, not the goal: the same GET made from a shown window,
        # followed by the start of the same builder (bench/tools/min_window.cpp).
        ctx.server.clear_log()
        target = ctx.h.to_wine(builder)
        got = ctx.probes.launch([ctx.min_window, ctx.list_url, target], ctx.env(env),
                                ctx.bench.tmp, family=ctx.h.to_wine(root))
        # Its own command line names the builder too.
        kids = [c for c in got.w.started(target) if "min_window" not in c["cmdline"]]
        expect(got.code == 0 and len(kids) == 1 and len(ctx.server.log) == 1,
               f"min_window failed ({got.code}, builders {len(kids)}): {got.output[-300:]}")
        rows["min_window"].append({"wall_s": got.wall, "request_s": arrival(got)[0],
                                   "builder_started_s": kids[0]["start"] - got.start})

    for r in range(runs):
        for step in rotate([setup_once, floor_once, window_once], r):
            step()
    shutil.rmtree(root)
    s, f = med([x["wall_s"] for x in rows["setup"]]), med([x["wall_s"] for x in rows["min_fetch"]])
    wf = med([x["wall_s"] for x in rows["min_window"]])
    out = {"setup_s": s, "min_fetch_s": f, "ratio": s / f, "goal": IDLE_RATIO, "runs": rows,
           "min_window_s": wf, "window_ratio": s / wf,
           "min_window_request_s": med([x["request_s"] for x in rows["min_window"]]),
           "setup_request_s": med([x["request_s"] for x in rows["setup"]]),
           "setup_builder_started_s": med([x["builder_started_s"] for x in rows["setup"]]),
           "min_fetch_request_s": med([x["request_s"] for x in rows["min_fetch"]]),
           "min_fetch_get_s": med([x["get_s"] for x in rows["min_fetch"]]),
           "requests": sorted({x["requests"] for x in rows["setup"]}),
           "paired_ratios": [a["wall_s"] / b["wall_s"] for a, b in zip(rows["setup"], rows["min_fetch"])]}
    out["one_request"] = out["requests"] == [1]
    out["met"] = out["one_request"] and out["ratio"] <= IDLE_RATIO
    return out


# ---- 6 memory ------------------------------------------------------------------------------

def bench_memory(ctx, runs, big, small):
    d = ctx.data
    rels = {}
    for name, size in (("big", big), ("small", small)):
        part = ctx.store.data_part(9, size, name="big.zip")
        rels[name] = (d.release(f"mem.{name}", [d.small_base(ctx.builder, f"mem.{name}"), part]), part)
    rows = {"big": [], "small": []}
    for r in range(runs):
        for name in rotate(["big", "small"], r):
            rel, part = rels[name]
            ctx.publish(rel)
            root, env = ctx.root("mem")
            # Once the big part is unpacking its download is over; tar is a
            # process of its own, so the rest of the run adds nothing.
            run, w = ctx.observed(env, kill_when="Unpacking part 2 of 2")
            got = [r for r in ctx.server.log if r.path.endswith("/big.zip")]
            expect(len(got) == 1 and got[0].complete and got[0].body_bytes == part.size,
                   "the big part was not downloaded whole", run)
            peak = ctx.probes.peak_ws(run)
            expect(peak is not None, "no memory record", run)
            rows[name].append({"peak_ws": peak, "vm_hwm": (w.counters or {}).get("vm_hwm"),
                               "samples": int(run.first("mem").f["samples"])})
            shutil.rmtree(root)
        log(f"  memory run {r + 1}/{runs}: " + ", ".join(
            f"{n} {rows[n][-1]['peak_ws'] / MIB:.1f} MiB" for n in ("big", "small")))
    b, s = med([x["peak_ws"] for x in rows["big"]]), med([x["peak_ws"] for x in rows["small"]])
    out = {"big_part_bytes": big, "small_part_bytes": small, "big_peak_ws": b, "small_peak_ws": s,
           "difference": b - s, "goal": MEMORY_SLACK, "runs": rows}
    out["met"] = abs(b - s) <= MEMORY_SLACK
    return out


# ---- 7 an update that replaces many files -------------------------------------------------

def bench_replaced(ctx, runs, many, few):
    """Updates whose replaced version holds `many` files in a tools part
    against updates whose replaced version holds `few`. Both install the
    same shape of release (base and tools parts changed, the new tools part
    of `few` files), so only what the update removes differs. Before each
    timed run the old version is put back from a copy."""
    d = ctx.data
    chains = {}
    for name, count in (("many", many), ("few", few)):
        root, env = ctx.root("repl-" + name)
        old = d.release(f"{name}.0", [d.small_base(ctx.builder, f"{name}.0"),
                                      d.files_part(count, f"{name}.0")])
        # The installed old version as the setup lays it out, written from
        # here: unpacking 30,000 files under Wine would cost the bench a minute.
        keep = ctx.bench.folder("keep-" + name)
        vdir = keep / "versions" / old.tag
        for rel_path, data in {k: v for p in old.parts
                               for k, v in p.part.installed_files().items()}.items():
            (vdir / rel_path).parent.mkdir(parents=True, exist_ok=True)
            (vdir / rel_path).write_bytes(data)
        (vdir / "installed.txt").write_bytes(old.tag.encode())
        (vdir / "parts.txt").write_bytes(old.parts[1].sha256.encode() + b"\n")
        (keep / "versions" / "current.txt").write_bytes(old.tag.encode())
        new = d.release(f"{name}.1", [d.small_base(ctx.builder, f"{name}.1"),
                                      d.files_part(few, f"{name}.1")])
        chains[name] = {"root": root, "env": env, "keep": keep, "new": new, "files": count,
                        "runs": []}
    for r in range(runs):
        for name in rotate(["many", "few"], r):
            c = chains[name]
            versions = c["root"] / "versions"
            shutil.rmtree(versions, ignore_errors=True)
            sh(["cp", "-a", str(c["keep"] / "versions"), str(versions)])
            ctx.publish(c["new"])
            os.sync()
            got, started = ctx.timed(c["root"], c["env"], c["new"].tag, unpacked=2)
            left = sorted(p.name for p in versions.iterdir() if p.name != c["new"].tag
                          and not p.name.endswith(".txt"))
            expect(not left, f"{name}: left after the run: {left}")
            c["runs"].append({"builder_started_s": started, "wall_s": got.wall})
        log(f"  replaced run {r + 1}/{runs}: " + ", ".join(
            f"{n} builder at {chains[n]['runs'][-1]['builder_started_s']:.2f} s, ends at "
            f"{chains[n]['runs'][-1]['wall_s']:.2f} s" for n in ("many", "few")))
    out = {}
    for name, c in chains.items():
        out[name] = {"files": c["files"], "runs": c["runs"],
                     "builder_started_s": med([x["builder_started_s"] for x in c["runs"]]),
                     "wall_s": med([x["wall_s"] for x in c["runs"]])}
        shutil.rmtree(c["root"])
        shutil.rmtree(c["keep"])
    out["ratio"] = out["many"]["builder_started_s"] / out["few"]["builder_started_s"]
    out["paired_ratios"] = [a["builder_started_s"] / b["builder_started_s"]
                            for a, b in zip(chains["many"]["runs"], chains["few"]["runs"])]
    out["goal"] = REPLACED_RATIO
    out["met"] = out["ratio"] <= REPLACED_RATIO
    return out


# ---- 8 a first install shaped like the builder's ------------------------------------------

def bench_shaped(ctx, runs, sz):
    """A first install of six parts of about 1 GiB in all: the builder's
    base, a toolchain part of many small files, and four data parts, the
    largest half of the whole. Against its floor (min_fetch and min_unpack
    on the same parts) for time; against the 1 MiB release of line 6, run
    the same way, for memory (VmHWM, the number Wine gives as the peak
    working set)."""
    d, st = ctx.data, ctx.store
    parts = [st.base_part(sz["base"], ctx.builder), d.files_part(sz["files"], "shaped.0")]
    parts += [st.data_part(i, size) for i, size in zip((11, 12, 13, 1), sz["data"])]
    rel = d.release("shaped.0", parts)
    small = d.release("mem.small", [d.small_base(ctx.builder, "mem.small"),
                                     ctx.store.data_part(9, sz["mem_small"], name="big.zip")])
    urls = [rel.url(p) for p in parts]
    rows = {"setup": [], "min_fetch": [], "small": []}

    def setup_once():
        ctx.publish(rel)
        root, env = ctx.root("shaped")
        os.sync()
        got, started = ctx.timed(root, env, rel.tag, downloads=True, unpacked=len(parts))
        c = got.w.counters or {}
        rows["setup"].append({"install_s": started, "vm_hwm": c.get("vm_hwm"),
                              "read_bytes": c.get("rchar")})
        shutil.rmtree(root)

    def floor_once():
        ctx.publish(rel)
        rows["min_fetch"].append(floor_install(ctx, parts, urls))

    def small_once():
        ctx.publish(small)
        root, env = ctx.root("shaped-small")
        got, _ = ctx.timed(root, env, small.tag, unpacked=2)
        rows["small"].append({"vm_hwm": (got.w.counters or {}).get("vm_hwm")})
        shutil.rmtree(root)

    for r in range(runs):
        for step in rotate([setup_once, floor_once, small_once], r):
            step()
        log(f"  shaped run {r + 1}/{runs}: setup {rows['setup'][-1]['install_s']:.2f} s, floor "
            f"{rows['min_fetch'][-1]['floor_install_s']:.2f} s; VmHWM "
            f"{rows['setup'][-1]['vm_hwm'] / MIB:.2f} MiB vs {rows['small'][-1]['vm_hwm'] / MIB:.2f} MiB")
    m = {k: {f: med([row[f] for row in v]) for f in v[0] if f != "parts_s"} for k, v in rows.items()}
    out = {"bytes": sum(p.size for p in parts), "parts": len(parts), "files": sz["files"],
           "runs": rows, "median": m, "setup_s": m["setup"]["install_s"],
           "fetch_s": m["min_fetch"]["fetch_s"], "unpack_s": m["min_fetch"]["unpack_s"],
           "floor_s": m["min_fetch"]["floor_install_s"], "goal_slack_s": SHAPED_SLACK_S,
           "vm_hwm": m["setup"]["vm_hwm"], "small_vm_hwm": m["small"]["vm_hwm"],
           "read_bytes": m["setup"]["read_bytes"], "floor_read_bytes": m["min_fetch"]["read_bytes"],
           "paired_over_floor_s": [s["install_s"] - f["floor_install_s"]
                                   for s, f in zip(rows["setup"], rows["min_fetch"])]}
    out["over_floor_s"] = out["setup_s"] - out["floor_s"]
    out["memory_difference"] = out["vm_hwm"] - out["small_vm_hwm"]
    out["met"] = out["over_floor_s"] <= SHAPED_SLACK_S and abs(out["memory_difference"]) <= MEMORY_SLACK
    return out


# ---- report ---------------------------------------------------------------------------------

def fmt_s(x):
    return f"{x:.2f} s"


def table(res):
    rows = [("#", "measure", "setup", "baseline", "ratio / diff", "goal", "met")]

    def yes(v):
        return "yes" if v else "NO"

    if "size" in res:
        s = res["size"]
        rows.append(("1", "exe size (stripped, icon incl.)", f"{s['bytes']} B (icon {s['icon_bytes']} B)",
                     f"limit {s['limit']} B", f"{s['ratio']:.2f}", "<= 80 KiB", yes(s["met"])))
    if "download" in res:
        dl, m = res["download"], res["download"]["median"]
        mib = dl["bytes"] / MIB
        rows.append(("2", f"download+hash {mib:.0f} MiB, {dl['parts']} parts",
                     f"{fmt_s(m['setup']['download_s'])} ({dl['throughput_mib_s']['setup']:.0f} MiB/s)",
                     f"min_fetch {fmt_s(m['min_fetch']['download_s'])}",
                     f"{dl['ratio_min_fetch']:.3f}", f"<= {DOWNLOAD_RATIO}", yes(dl["met"])))
        rows.append(("2", "  same, against native curl -o + sha256sum", "",
                     f"curl {fmt_s(m['curl']['download_s'])} ({dl['throughput_mib_s']['curl']:.0f} MiB/s)",
                     f"{dl['ratio_curl']:.2f}", "(reference)", ""))
        if dl["ratio_other_min_fetch"] is not None:
            o = m["other"]
            rows.append(("2", "  --compare-exe build, same rounds", f"{fmt_s(o['download_s'])} "
                         f"({dl['throughput_mib_s']['other']:.0f} MiB/s)",
                         f"min_fetch {fmt_s(m['min_fetch']['download_s'])}",
                         f"{dl['ratio_other_min_fetch']:.3f}", "(comparison)", ""))
        i = res["install"]
        rows.append(("3", "whole install, start to builder start", fmt_s(i["setup_s"]),
                     f"fetch {i['fetch_s']:.2f} + tar {i['unpack_s']:.2f} = {fmt_s(i['floor_s'])}",
                     f"{i['over_floor_s']:+.2f} s", f"<= +{INSTALL_SLACK_S} s", yes(i["met"])))
        if i["other_s"] is not None:
            rows.append(("3", "  --compare-exe build, same rounds", fmt_s(i["other_s"]), "",
                         f"{i['other_s'] - i['floor_s']:+.2f} s", "(comparison)", ""))
    if "update" in res:
        u = res["update"]
        rows.append(("4", "update, 1 of 5 parts changed: bytes served", f"{u['served']} B",
                     f"part + list {u['expected']} B", "exact" if u["bytes_exact"] else "differs",
                     "exactly", yes(u["bytes_exact"])))
        rows.append(("4", "  requests besides list and changed part", "none" if u["no_other_request"]
                     else "some", "none", "", "none", yes(u["no_other_request"])))
        rows.append(("4", f"  update time, kept 4 x {u['large']['kept_part_bytes'] // MIB} MiB "
                     f"vs 4 x {u['small']['kept_part_bytes'] // MIB} MiB",
                     fmt_s(u["large"]["update_s"]), fmt_s(u["small"]["update_s"]),
                     f"{u['time_ratio']:.3f}", f"moved, <= {UPDATE_TIME_RATIO}",
                     yes(u["moved"] and u["time_ratio"] <= UPDATE_TIME_RATIO)))
    if "idle" in res:
        i = res["idle"]
        rows.append(("5", f"already installed: wall, {'/'.join(map(str, i['requests']))} request(s)",
                     fmt_s(i["setup_s"]), f"one WinHTTP GET {fmt_s(i['min_fetch_s'])}",
                     f"{i['ratio']:.3f}", f"<= {IDLE_RATIO}, 1 request", yes(i["met"])))
        if "min_window_s" in i:
            rows.append(("5", "  same, against a window's start + GET + builder start", "",
                         f"min_window {fmt_s(i['min_window_s'])}", f"{i['window_ratio']:.3f}",
                         "(reference)", ""))
    if "memory" in res:
        mm = res["memory"]
        rows.append(("6", f"peak working set, {mm['big_part_bytes'] // MIB} MiB part vs "
                     f"{mm['small_part_bytes'] // MIB} MiB", f"{mm['big_peak_ws'] / MIB:.2f} MiB",
                     f"{mm['small_peak_ws'] / MIB:.2f} MiB", f"{mm['difference'] / MIB:+.2f} MiB",
                     "within 2 MiB", yes(mm["met"])))
    if "replaced" in res:
        rp = res["replaced"]
        rows.append(("7", f"update replacing {rp['many']['files']} files vs {rp['few']['files']}: "
                     "to builder start", fmt_s(rp["many"]["builder_started_s"]),
                     fmt_s(rp["few"]["builder_started_s"]), f"{rp['ratio']:.3f}",
                     f"<= {REPLACED_RATIO}", yes(rp["met"])))
        rows.append(("7", "  same, to the setup's end", fmt_s(rp["many"]["wall_s"]),
                     fmt_s(rp["few"]["wall_s"]), "", "(reference)", ""))
    if "shaped" in res:
        sh_ = res["shaped"]
        rows.append(("8", f"builder-shaped install, {sh_['bytes'] / GIB:.2f} GiB, {sh_['parts']} parts",
                     fmt_s(sh_["setup_s"]),
                     f"fetch {sh_['fetch_s']:.2f} + tar {sh_['unpack_s']:.2f} = {fmt_s(sh_['floor_s'])}",
                     f"{sh_['over_floor_s']:+.2f} s", f"<= +{SHAPED_SLACK_S} s",
                     yes(sh_["over_floor_s"] <= SHAPED_SLACK_S)))
        rows.append(("8", "  VmHWM against line 6's 1 MiB release", f"{sh_['vm_hwm'] / MIB:.2f} MiB",
                     f"{sh_['small_vm_hwm'] / MIB:.2f} MiB", f"{sh_['memory_difference'] / MIB:+.2f} MiB",
                     "within 2 MiB", yes(abs(sh_["memory_difference"]) <= MEMORY_SLACK)))
    if "resume" in res:
        rs = res["resume"]
        rows.append(("9", f"{rs['part_bytes'] // MIB} MiB part cut every {rs['cut_every'] // MIB} "
                     "MiB: bytes sent / size", "", "", f"{rs['bytes_ratio']:.4f}",
                     f"<= {RESUME_BYTES_RATIO}", yes(rs["bytes_ratio"] <= RESUME_BYTES_RATIO)))
        rows.append(("9", "  time against uncut + waits", fmt_s(rs["cut_s"]),
                     f"{fmt_s(rs['uncut_s'])} + {rs['waits_s']:.0f} s", f"{rs['time_ratio']:.3f}",
                     f"<= {RESUME_TIME_RATIO}", yes(rs["time_ratio"] <= RESUME_TIME_RATIO)))
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    lines = [" | ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip() for r in rows]
    lines.insert(1, "-+-".join("-" * w for w in widths))
    return "\n".join(lines)


def machine():
    def out(cmd):
        try:
            return subprocess.run(cmd, capture_output=True, text=True).stdout.strip()
        except OSError:
            return ""
    return {"cores": os.cpu_count(), "kernel": platform.release(), "wine": out(["wine", "--version"]),
            "python": platform.python_version(), "curl": out(["curl", "--version"]).split("\n")[0],
            "commit": out(["git", "-C", str(SOURCE), "rev-parse", "--short", "HEAD"]),
            "dirty": bool(out(["git", "-C", str(SOURCE), "status", "--porcelain", "--", "src", "res"]))}


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true",
                    help="small sizes and 3 runs, for development; goals are not judged")
    ap.add_argument("--runs", type=int,
                    help="runs per measurement (default 5, quick 3; below 5 goals are not judged)")
    ap.add_argument("--only", default="1,2,3,4,5,6,7,8,9", help="comma list of benchmark numbers")
    ap.add_argument("--json", default=str(OUT / "results.json"), help="where to write the results")
    ap.add_argument("--no-deps", action="store_true", help="do not run apt-get")
    ap.add_argument("--compare-exe", help="in benchmarks 2 and 3, also measure this build of the "
                    "setup (made for https://localhost:47443/) in every round, between the others")
    ap.add_argument("--setup-exe", help="measure this BrisquelBuilder.exe instead of the one built "
                    "here (it must be built for https://localhost:47443/), e.g. to compare builds")
    ap.add_argument("--jobs", type=int, default=2)
    args = ap.parse_args()
    only = {int(x) for x in args.only.split(",") if x}
    runs = args.runs or (3 if args.quick else 5)
    # The goals are judged on medians of at least 5 runs at full size.
    judged = not args.quick and runs >= 5
    sizes = ({"part": 4 * MIB, "update_small": 1 * MIB, "update_large": 4 * MIB,
              "mem_big": 64 * MIB, "mem_small": 1 * MIB, "replaced_many": 3000, "replaced_few": 30,
              "shaped": {"base": 4 * MIB, "files": 3000, "data": [32 * MIB, 16 * MIB, 8 * MIB, 4 * MIB],
                         "mem_small": 1 * MIB}} if args.quick else
             {"part": 64 * MIB, "update_small": 1 * MIB, "update_large": 64 * MIB,
              "mem_big": 1 * GIB, "mem_small": 1 * MIB, "replaced_many": 30000, "replaced_few": 30,
              "shaped": {"base": 64 * MIB, "files": 30000,
                         "data": [512 * MIB, 256 * MIB, 128 * MIB, 64 * MIB], "mem_small": 1 * MIB}})

    OUT.mkdir(parents=True, exist_ok=True)
    if not args.no_deps:
        install_packages()
    log("bench: building")
    build(args.jobs)
    os.environ.update({"BRISQUEL_BUILD": str(WIN), "BRISQUEL_SOURCE": str(SOURCE),
                       "WINEPREFIX": str(PREFIX), "WINEDEBUG": "-all"})
    sys.path[:0] = [str(SOURCE / "tests" / "e2e"), str(SOURCE / "bench")]

    res = {"quick": args.quick, "judged": judged, "runs": runs, "setup_exe": args.setup_exe,
           "compare_exe": args.compare_exe, "sizes": sizes, "machine": machine(),
           "started": time.strftime("%Y-%m-%d %H:%M:%S")}
    t0 = time.monotonic()
    status = 0
    if 1 in only:
        res["size"] = bench_size()
    import probes
    load = probes.LoadLog().start()
    try:
        if only & {2, 3, 4, 5, 6, 7, 8, 9}:
            with Display(), Prefix(), ServerLock():
                ctx = Ctx(args.quick, args.setup_exe, args.compare_exe)
                try:
                    ctx.warm_up()
                    if only & {2, 3}:
                        log(f"bench: download and install, {runs} runs ({time.monotonic() - t0:.0f} s in)")
                        res["download"], res["install"] = bench_download(ctx, runs, sizes["part"])
                    if 4 in only:
                        log(f"bench: update, {runs} runs per size ({time.monotonic() - t0:.0f} s in)")
                        res["update"] = bench_update(ctx, runs, sizes["update_small"],
                                                     sizes["update_large"])
                    if 5 in only:
                        log(f"bench: already installed, {runs} runs ({time.monotonic() - t0:.0f} s in)")
                        res["idle"] = bench_idle(ctx, runs)
                    if 6 in only:
                        log(f"bench: memory, {runs} runs per size ({time.monotonic() - t0:.0f} s in)")
                        res["memory"] = bench_memory(ctx, runs, sizes["mem_big"], sizes["mem_small"])
                    if 7 in only:
                        log(f"bench: update replacing many files, {runs} runs per size "
                            f"({time.monotonic() - t0:.0f} s in)")
                        res["replaced"] = bench_replaced(ctx, runs, sizes["replaced_many"],
                                                         sizes["replaced_few"])
                    if 8 in only:
                        n = min(runs, SHAPED_RUNS)
                        log(f"bench: builder-shaped install, {n} runs ({time.monotonic() - t0:.0f} s in)")
                        res["shaped"] = bench_shaped(ctx, n, sizes["shaped"])
                    if 9 in only:
                        log(f"bench: resumed download, {runs} runs ({time.monotonic() - t0:.0f} s in)")
                        res["resume"] = bench_resume(ctx, runs, sizes["part"])
                finally:
                    ctx.bench.close()
    except (BenchFailure, probes.harness.BenchError, subprocess.CalledProcessError) as e:
        log(f"bench: could not measure: {e}")
        res["error"] = str(e)
        status = 2
    finally:
        load.stop()
    res["load"] = load.summary()
    res["lock_wait_seconds"] = round(ServerLock.waited, 1)
    res["seconds"] = round(time.monotonic() - t0 - ServerLock.waited, 1)
    verdicts = [v["met"] for v in res.values() if isinstance(v, dict) and "met" in v]
    res["all_met"] = all(verdicts) if verdicts else None
    Path(args.json).parent.mkdir(parents=True, exist_ok=True)
    Path(args.json).write_text(json.dumps(res, indent=1, default=str))

    print()
    print(table(res))
    ld = res["load"]
    note = "" if judged else " (QUICK: reduced sizes)" if args.quick else " (fewer than 5 runs)"
    print(f"\nmedians of {runs} runs{note}{'' if judged else ', goals NOT judged'}; "
          f"{ld['cores']} cores, 1-min load {ld['load1_min']:.1f} to {ld['load1_max']:.1f} "
          f"(median {ld['load1_median']:.1f}), CPU busy {ld['cpu_busy'] * 100:.0f}%; "
          f"{res['seconds']:.0f} s; JSON: {args.json}")
    if status == 0 and judged and res["all_met"] is False:
        status = 1
    return status


if __name__ == "__main__":
    sys.exit(main())
