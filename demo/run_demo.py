#!/usr/bin/env python3
"""The main job: the setup installing and updating a release served locally.

Builds two sample releases from sources in the repository (the builder is
the recorder test program, which notes how it was started), serves them
with the local release server on https://localhost:47443, runs the real
BrisquelBuilder.exe under Wine, prints every status line the window showed,
saves a screenshot of the window during a download, then updates to the
second release, in which exactly one part changed.

Needs BRISQUEL_BUILD (a build tree configured for the local server, with
the test tools), WINEPREFIX prepared by tests/prepare_prefix.sh, DISPLAY.
scripts/demo.sh sets all of that up.
"""
import os
import sys
import time
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(SOURCE / "tests" / "e2e"))

import harness  # noqa: E402
from releases import Part, Release  # noqa: E402

RUN = "TamrockBuilder/BrisquelBuilder.exe"


def sample_release(tag, engine_note):
    builder = harness.gui_recorder_bytes()
    engine = os.urandom(3 << 20)  # 3 MiB that do not compress: a visible download
    parts = [
        # Unpacked straight into the version directory: the builder itself.
        Part("builder.zip", {"TamrockBuilder/BrisquelBuilder.exe": builder,
                             "TamrockBuilder/engine-note.txt": engine_note.encode(),
                             "TamrockBuilder/engine.bin": engine}),
        # Its own folder, below an extract_to folder, renamed after unpacking.
        Part("templates.zip", {"templates-2024.05/": None,
                               "templates-2024.05/platformer/level1.json": b'{"tiles": []}\n',
                               "templates-2024.05/puzzle/board.json": b'{"size": 8}\n'},
             extract_to="TamrockBuilder/content", rename_from="templates-2024.05",
             rename_to="templates"),
        # A tool part: its folder comes from the file name.
        Part("TamrockBuilder-python-3.12.4.zip", {"python.exe": b"MZ stand-in python\n",
                                                   "Lib/site.py": b"# site\n"},
             extract_to="TamrockBuilder/tools/python"),
    ]
    return Release(tag, RUN, parts)


def show_run(title, run):
    print(f"\n== {title}")
    for s in run.statuses:
        if s:
            print("   status: " + s)
    for b in run.boxes:
        print(f"   box: {b.caption}: {b.text}")
    print(f"   exit code {run.exit_code}, {run.wall_ms} ms")


def screenshot(out):
    """Grabs the window while a download is under way. The prefix runs at
    96 DPI, so the window is 460 by 140, centred on the 1280 by 1024 screen."""
    w, h = 1280, 1024
    return harness.screenshot(out, ((w - 460) // 2, (h - 140) // 2, 460, 140))


def main():
    out_dir = Path(os.environ.get("BRISQUEL_DEMO_OUT", SOURCE / "build" / "demo"))
    out_dir.mkdir(parents=True, exist_ok=True)
    bench = harness.Bench("demo")
    try:
        server = bench.release_server()
        first = sample_release("1.0.0", "engine of 1.0.0\n")
        second = Release("1.1.0", RUN, [sample_release("1.1.0", "engine of 1.1.0\n").parts[0]]
                         + first.parts[1:])
        server.add_release(first.tag, first.assets())
        # Slow the big part a little, so that the window can be seen at work.
        server.script("/tamrock/brisquel/releases/download/1.0.0/builder.zip",
                      [{"stall_after": 1 << 20, "stall": 2.5}])
        exe = bench.copy_exe()
        print(f"release 1.0.0: {len(first.parts)} parts, serving on https://localhost:47443/")

        import threading
        shot_path = out_dir / "setup-window.png"
        result = {}

        def grab():
            server.wait_for_requests("builder.zip", 1, timeout=30)
            time.sleep(1.0)
            result["shot"] = screenshot(shot_path)
        t = threading.Thread(target=grab)
        t.start()
        run = bench.run(exe, "--launch-demo hello", timeout_ms=60000)
        t.join()
        show_run("first install of 1.0.0", run)
        if result.get("shot"):
            print(f"   screenshot during the download: {result['shot']}")
        root = bench.data_root
        print(f"   installed into {harness.to_wine(root / 'versions' / first.tag)}")
        for rec in run.records:
            print(f"   builder started: {rec['cmdline']}")
            print(f"   in folder:       {rec['cwd']}")
        installed = sorted(str(p.relative_to(root)) for p in (root / "versions").rglob("*") if p.is_file())
        for f in installed:
            print("     " + f)

        server.add_release(second.tag, second.assets())
        server.clear_log()
        run = bench.run(exe, None, timeout_ms=60000)
        show_run("update to 1.1.0 (one part changed)", run)
        parts = {p.name: p for p in second.parts}
        fetched = [r.path.rsplit("/", 1)[-1] for r in server.log if r.path.endswith(".zip")]
        for name in parts:
            how = "downloaded" if name in fetched else "kept (moved from 1.0.0)"
            print(f"   {name}: {how}")
        print(f"   bytes transferred: {server.bytes_sent()} "
              f"(changed part {parts['builder.zip'].size} + setup list {len(second.setup_list())})")
        print(f"   versions now: {sorted(p.name for p in (root / 'versions').iterdir())}")
        for rec in run.records:
            print(f"   builder started: {rec['cmdline']}")
        ok = run.exit_code == 0 and len(run.records) == 1 and fetched == ["builder.zip"]
        print("\nmain job " + ("succeeded" if ok else "FAILED"))
        return 0 if ok else 1
    finally:
        bench.close()


if __name__ == "__main__":
    sys.exit(main())
