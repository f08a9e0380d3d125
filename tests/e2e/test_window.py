"""The progress window as a user sees it: one run of the setup per system
DPI, looked at before its worker reports anything, then closed by the user;
and a download's percentage on the bar at each DPI."""

import os

import harness
from harness import BenchCase, PBS_MARQUEE, WINDOW_CLASS, WINDOW_TITLE, WS_VISIBLE
from releases import Part, Release

WS_MINIMIZE = 0x20000000
WS_CLIPSIBLINGS = 0x04000000
WS_EX_WINDOWEDGE = 0x00000100
SW_SHOWMINNOACTIVE = 7

STYLES = {"Static": 0x50000000, "msctls_progress32": 0x50000000 | PBS_MARQUEE}

# What must be on screen at each system DPI: the window's outer size, each
# child's x, y, width and height in the window's client area, and the
# label's character height in pixels. Every size is the one at 96 DPI times
# DPI/96, rounded half away from zero (15 * 1.5 = 22.5 -> 23).
GEOMETRY = {
    96: ((460, 140), {"Static": (16, 16, 412, 22), "msctls_progress32": (16, 48, 412, 20)}, 15),
    144: ((690, 210), {"Static": (24, 24, 618, 33), "msctls_progress32": (24, 72, 618, 30)}, 23),
    192: ((920, 280), {"Static": (32, 32, 824, 44), "msctls_progress32": (32, 96, 824, 40)}, 30),
}

# One screenshot per DPI, kept for a person to look at.
SHOTS = harness.BUILD / "screenshots"


class WindowTest(BenchCase):
    DPI = 96

    @classmethod
    def setUpClass(cls):
        # Every run of the class sees this system DPI; the prefix gets its
        # own value back after the class, whatever happened.
        cls.enterClassContext(harness.system_dpi(cls.DPI))
        cls.size, cls.rects, cls.font_height = GEOMETRY[cls.DPI]
        # One run serves every look at the window in this class. With
        # --repair the worker waits 2 s before its first status, so the
        # label's first text stays up long enough to be seen (and shot)
        # whatever the load of the machine.
        bench = harness.Bench(f"window{cls.DPI}")
        try:
            shot = SHOTS / f"window-{cls.DPI}dpi.png"
            shot.unlink(missing_ok=True)
            cls.run_ = bench.run(bench.copy_exe(), "--repair", close_after_ms=2000, shot=shot)
        finally:
            bench.close()
        cls.msg = f"\nat {cls.DPI} DPI\n" + cls.run_.describe()

    def setUp(self):
        super().setUp()
        self.r = self.run_

    def test_window_class_title_and_frame(self):
        main = self.r.main_window()
        self.assertIsNotNone(main, self.msg)
        self.assertEqual(len({w.hwnd for w in self.r.windows_of(WINDOW_CLASS)}), 1, self.msg)
        self.assertEqual(main.title, WINDOW_TITLE, self.msg)
        # Caption, system menu and minimize box only; the system adds
        # WS_CLIPSIBLINGS and WS_EX_WINDOWEDGE to every captioned top-level
        # window, which leaves no sizing border and no maximize box.
        self.assertEqual(hex(main.style), hex(0x00CA0000 | WS_VISIBLE | WS_CLIPSIBLINGS), self.msg)
        self.assertEqual(hex(main.exstyle), hex(WS_EX_WINDOWEDGE), self.msg)
        self.assertEqual(main.owner, "0x00000000", self.msg)

    def test_window_size_and_centre(self):
        main = self.r.main_window()
        cx, cy = self.r.screen
        # The observer sees the screen as it is, not scaled back to 96 DPI.
        self.assertEqual((cx, cy), (1280, 1024), self.msg)
        w, h = self.size
        self.assertEqual(main.rect, ((cx - w) // 2, (cy - h) // 2, w, h), self.msg)

    def test_children(self):
        got = {cls: (c.style, *c.rect) for cls, c in self.r.children.items()}
        self.assertEqual(got, {cls: (STYLES[cls], *r) for cls, r in self.rects.items()}, self.msg)
        self.assertEqual({cls: c.id for cls, c in self.r.children.items()},
                         {cls: 0 for cls in STYLES}, self.msg)
        self.assertEqual({c.exstyle for c in self.r.children.values()}, {0}, self.msg)

    def test_label_starts_with_starting_in_segoe_ui(self):
        self.assertEqual(self.r.statuses[:1], ["Starting..."], self.msg)
        fonts = [rec.f for rec in self.r.log if rec.kind == "label_font"]
        self.assertEqual(len(fonts), 1, "the label was measured once" + self.msg)
        # 1000 = every inked pixel the same as "Segoe UI" at that character
        # height drawn by the observer.
        self.assertEqual((fonts[0]["best"], int(fonts[0]["best_permille"])),
                         (f"Segoe UI -{self.font_height}", 1000), f"{fonts[0]}{self.msg}")

    def test_screenshot_saved(self):
        self.assertIsNotNone(self.r.shot, self.msg)
        self.assertGreater(self.r.shot.stat().st_size, 0, self.msg)

    def test_bar_runs_its_marquee_while_no_progress_is_known(self):
        self.assertTrue(self.r.bars, self.msg)
        self.assertEqual({m for m, _ in self.r.bars}, {1}, self.msg)

    def test_bar_shows_a_downloads_percentage_then_its_marquee_again(self):
        server = self.bench.release_server()
        builder = "TamrockBuilder/BrisquelBuilder.exe"
        part = Part("base.zip", {builder: harness.gui_recorder_bytes(),
                                 "TamrockBuilder/data.bin": os.urandom(1 << 20)})
        rel = Release("1.0", builder, [part])
        server.add_release(rel.tag, rel.assets())
        # Half-way through, the download stands still long enough to be seen.
        server.script("/tamrock/brisquel/releases/download/1.0/base.zip",
                      [{"stall_after": part.size // 2, "stall": 1.0}])
        run = self.bench.run(self.bench.copy_exe(), timeout_ms=60000)
        msg = f"\nat {self.DPI} DPI\n{run.describe()}\nbars: {run.bars}"
        self.assertRun(run, exit_code=0, boxes=[], records=1)
        shown = [pos for marquee, pos in run.bars if not marquee]
        self.assertTrue(any(40 <= pos <= 60 for pos in shown), msg)
        self.assertEqual(run.bars[0][0], 1, msg)
        after = run.bars[[i for i, (m, _) in enumerate(run.bars) if not m][-1] + 1:]
        self.assertTrue(after and all(m for m, _ in after), msg)

    def test_closing_ends_the_process_with_0(self):
        self.assertRun(self.r, exit_code=0, windows=[WINDOW_CLASS], boxes=[], records=0)
        self.assertIsNotNone(self.r.closed_at, self.msg)
        gone = self.r.time_of("gone", **{"class": WINDOW_CLASS})
        self.assertIsNotNone(gone, self.msg)


class WindowAt144Dpi(WindowTest):
    DPI = 144


class WindowAt192Dpi(WindowTest):
    DPI = 192


class ShowStateTest(BenchCase):
    def test_window_takes_the_show_state_it_was_started_with(self):
        run = self.bench.run(self.bench.copy_exe(), show=SW_SHOWMINNOACTIVE, close_after_ms=300)
        msg = "\n" + run.describe()
        self.assertRun(run, exit_code=0, records=0)
        main = run.main_window()
        self.assertIsNotNone(main, msg)
        shown = [w for w in run.windows_of(WINDOW_CLASS) if w.visible]
        self.assertTrue(shown and all(w.style & WS_MINIMIZE for w in shown), msg)


if __name__ == "__main__":
    harness.main()
