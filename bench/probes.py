"""How the benchmarks watch a run: the e2e bench's observer at a slow poll,
a watcher of the setup's downloads folder and of the run's Linux process,
and the machine's load.
"""
import os
import statistics
import subprocess
import threading
import time
from pathlib import Path

import harness  # tests/e2e

# The observer asks the window for its text and bar every poll, each a
# round trip through the setup's window thread. The e2e tests poll every
# 2 ms to catch short-lived texts; the benchmarks need none, and at 20 ms
# the observer still cost the setup's downloads a few percent on two
# cores. At 100 ms, times taken from the observer's log (a started
# process) are late by up to 100 ms: against the setup, never for it.
POLL_MS = 100


class RunBench(harness.Bench):
    """The e2e Bench, with runs whose observer polls at POLL_MS."""

    def observe(self, exe, args=None, *, command=None, env=None, kill_when=None,
                timeout_ms=300000, linger_ms=10000):
        """Bench.run at a slow poll."""
        return self.run(exe, args, command=command, env=env, kill_when=kill_when,
                        timeout_ms=timeout_ms, linger_ms=linger_ms, poll_ms=POLL_MS)


def peak_ws(run):
    rec = run.first("mem")
    return int(rec.f["peak_ws"]) if rec else None


def wall_offset():
    """time.time() - time.monotonic(): turns file times into server times."""
    return time.time() - time.monotonic()


def _find_pid(marker):
    me = os.getpid()
    for d in os.listdir("/proc"):
        if not d.isdigit() or int(d) == me:
            continue
        try:
            with open(f"/proc/{d}/cmdline", "rb") as f:
                cmd = f.read()
        except OSError:
            continue
        if marker in cmd:
            return int(d)
    return None


def _proc_counters(pid):
    out = {}
    try:
        with open(f"/proc/{pid}/io") as f:
            for line in f:
                k, _, v = line.partition(":")
                out[k.strip()] = int(v)
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    out["vm_hwm"] = int(line.split()[1]) * 1024
    except (OSError, ValueError):
        return None
    return out


def boot_time():
    """Now on the clock of the kernel's process start times (seconds)."""
    return time.clock_gettime(time.CLOCK_BOOTTIME)


_TICK = os.sysconf("SC_CLK_TCK")


def _stat(pid):
    """A process's parent and start time (on boot_time()'s clock, to a
    clock tick), or None."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            data = f.read()
    except OSError:
        return None
    fields = data[data.rindex(")") + 2:].split()
    return int(fields[1]), int(fields[19]) / _TICK


def _state(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            data = f.read()
    except OSError:
        return None
    return data[data.rindex(")") + 2:].split()[0]


class Launched:
    """One program run through launch(): start (boot_time() just before it
    was spawned), end (its exit), code, output, and the Watcher."""

    def __init__(self, start, end, code, output, watcher):
        self.start, self.end, self.code, self.output, self.w = start, end, code, output, watcher

    @property
    def wall(self):
        return self.end - self.start

    def started(self, contains):
        """Seconds from start to the start of the last process it started
        whose command line contains `contains`, or None."""
        kids = self.w.started(contains)
        return kids[-1]["start"] - self.start if kids else None

    def count(self, contains):
        return len(self.w.started(contains))


def launch(args, env, cwd, timeout=300.0, folder=None, family=None, linger=5.0):
    """Runs `wine <args>` straight from here, with nothing watching its
    windows: the run takes no time from an observer. The Linux process that
    wine starts is the Windows program itself (its pid stays); the programs
    it starts are new Linux processes, known by `family`, a text in their
    command lines, and waited for (at most `linger` seconds after the
    program ends). Raises harness.BenchError when the program does not end
    within `timeout` seconds (it and its family are killed then)."""
    out = Path(cwd) / f"launch-{time.monotonic_ns()}.out"
    with open(out, "wb") as sink:
        start = boot_time()
        w = Watcher(folder, since=start - 1.0 / _TICK)
        w.__enter__()
        try:
            # Output to a file, not a pipe: Wine's helper processes may
            # inherit it and would keep a pipe open after the program ended.
            p = subprocess.Popen(["wine"] + [str(a) for a in args], env=env, cwd=cwd,
                                 stdin=subprocess.DEVNULL, stdout=sink, stderr=subprocess.STDOUT)
            w.pid = p.pid
            try:
                code = p.wait(timeout)
            except subprocess.TimeoutExpired:
                for pid, c in list(w._new.items()):
                    if family and c["alive"] and family.lower() in c["cmdline"].lower():
                        try:
                            os.kill(pid, 9)
                        except OSError:
                            pass
                p.kill()
                p.wait()
                raise harness.BenchError(f"{args[0]} did not end within {timeout} s")
            end = boot_time()
            until = time.monotonic() + linger
            while family and w.alive(family) and time.monotonic() < until:
                time.sleep(0.02)
        finally:
            w.__exit__(None, None, None)
    text = out.read_text("utf-8", "replace")
    out.unlink()
    return Launched(start, end, code, text, w)


class Watcher:
    """Samples, every `every` seconds while a run goes on:
    - the newest modification time of each archive in `folder` (the
      setup's downloads folder or a floor program's output folder), keyed
      by file name without ".part": the time its last byte was written,
      which the setup and the floor program hash right after writing it;
    - the counters of the Linux process `pid`, or of the one whose command
      line contains `marker` (a Wine process shows its Windows path there):
      rchar, the bytes it passed through read() calls (file reads; a
      socket's recv does not count), and VmHWM, its peak resident size,
      which is what Wine reports as PeakWorkingSetSize;
    - with `since` (a boot_time()), every process started since then, with
      its start time and command line.
    The setup removes its downloads folder at the end of the run, so the
    folder is watched while it exists."""

    def __init__(self, folder=None, marker=None, every=0.01, suffix=".zip", pid=None,
                 since=None):
        self.folder = Path(folder) if folder else None
        self.marker = marker.encode() if isinstance(marker, str) else marker
        self.every = every
        self.suffix = suffix
        self.mtimes = {}
        self.counters = None
        self.pid = pid
        self.since = since  # with a boot_time(): watch the processes started since
        # pid -> {"ppid", "start": boot time in s, "cmdline", "alive"}
        self._new = {}
        self._seen = None
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._loop, daemon=True)

    def __enter__(self):
        self._sample()
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()
        self._sample()

    def _sample(self):
        if self.folder is not None:
            try:
                with os.scandir(self.folder) as it:
                    for e in it:
                        name = e.name[:-5] if e.name.endswith(".part") else e.name
                        if not name.endswith(self.suffix):
                            continue
                        try:
                            m = e.stat().st_mtime_ns
                        except OSError:
                            continue
                        if m > self.mtimes.get(name, 0):
                            self.mtimes[name] = m
            except OSError:
                pass
        if self.pid is None and self.marker is not None:
            self.pid = _find_pid(self.marker)
        if self.since is not None:
            self._new_processes()
        if self.pid is not None:
            c = _proc_counters(self.pid)
            if c is not None:
                # An ended process not yet reaped still shows its io
                # counters, but no memory line: keep the peak seen.
                hwm = max(c.get("vm_hwm", 0), (self.counters or {}).get("vm_hwm", 0))
                self.counters = dict(self.counters or {}, **c)
                if hwm:
                    self.counters["vm_hwm"] = hwm

    def _new_processes(self):
        """Processes started since the watch began, with their start times
        from the kernel (exact to a clock tick, however late they are
        seen). A new process shows its parent's command line until it has
        become the program it runs, so the command line is read again while
        it lives. Known by their command lines, not by their parents: Wine
        starts a program's child processes as orphans."""
        try:
            pids = {int(d) for d in os.listdir("/proc") if d.isdigit()}
        except OSError:
            return
        if self._seen is None:
            self._seen = pids
            return
        for pid in pids - self._seen:
            st = _stat(pid)
            if st is not None and st[1] >= self.since:
                self._new[pid] = {"ppid": st[0], "start": st[1], "cmdline": "", "alive": True}
        self._seen |= pids
        for pid, c in self._new.items():
            if not c["alive"]:
                continue
            try:
                with open(f"/proc/{pid}/cmdline", "rb") as f:
                    cmd = f.read().replace(b"\0", b" ").decode("utf-8", "replace").strip()
                if cmd:
                    c["cmdline"] = cmd
                elif _state(pid) in (None, "Z", "X"):
                    c["alive"] = False  # an ended one shows none (so may one in exec)
            except OSError:
                c["alive"] = False

    def started(self, contains):
        """The new processes whose command line contains `contains` (case
        ignored), in the order they started. A process showing the same
        command line as its parent is a fork that never became a program of
        its own (Wine forks twice to start one) and is left out."""
        def fork_only(c):
            parent = self._new.get(c["ppid"])
            return parent is not None and parent["cmdline"] == c["cmdline"]
        kids = [c for c in self._new.values()
                if contains.lower() in c["cmdline"].lower() and not fork_only(c)]
        return sorted(kids, key=lambda c: c["start"])

    def alive(self, contains):
        return any(c["alive"] for c in self.started(contains))

    def _loop(self):
        while not self._stop.is_set():
            self._sample()
            self._stop.wait(self.every)


class LoadLog:
    """The 1-minute load average, sampled every few seconds in the
    background, and the machine's CPU use by everybody."""

    def __init__(self, every=2.0):
        self.samples = []
        self.every = every
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._loop, daemon=True)
        self._cpu0 = self._cpu()

    @staticmethod
    def _cpu():
        with open("/proc/stat") as f:
            v = [int(x) for x in f.readline().split()[1:]]
        idle = v[3] + v[4]
        return sum(v), idle

    def _loop(self):
        while not self._stop.is_set():
            self.samples.append(os.getloadavg()[0])
            self._stop.wait(self.every)

    def start(self):
        self._thread.start()
        return self

    def stop(self):
        self._stop.set()
        self._thread.join()
        total, idle = self._cpu()
        t0, i0 = self._cpu0
        self.busy = 1 - (idle - i0) / max(1, total - t0)

    def summary(self):
        s = self.samples or [os.getloadavg()[0]]
        return {"load1_min": min(s), "load1_median": statistics.median(s), "load1_max": max(s),
                "cpu_busy": round(self.busy, 3), "cores": os.cpu_count()}
