"""The progress window as a user sees it: one run of the setup, looked at
before its worker reports anything, then closed by the user."""

import harness
from harness import BenchCase, PBS_MARQUEE, WINDOW_CLASS, WINDOW_TITLE, WS_VISIBLE

WS_MINIMIZE = 0x20000000
WS_CLIPSIBLINGS = 0x04000000
WS_EX_WINDOWEDGE = 0x00000100
SW_SHOWMINNOACTIVE = 7

# What must be on screen: class -> (style, x, y, width, height), children in
# the window's client area. Neither child has a control id.
CHILDREN = {
    "Static": (0x50000000, 16, 16, 412, 22),
    "msctls_progress32": (0x50000000 | PBS_MARQUEE, 16, 48, 412, 20),
}


class WindowTest(BenchCase):
    @classmethod
    def setUpClass(cls):
        # One run serves every look at the window in this class. With
        # --repair the worker waits 2 s before its first status, so the
        # label's first text stays up long enough to be seen whatever the
        # load of the machine.
        bench = harness.Bench("window")
        try:
            cls.run_ = bench.run(bench.copy_exe(), "--repair", close_after_ms=700)
        finally:
            bench.close()
        cls.msg = "\n" + cls.run_.describe()

    def setUp(self):
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
        self.assertEqual(main.rect, ((cx - 460) // 2, (cy - 140) // 2, 460, 140), self.msg)

    def test_children(self):
        got = {cls: (c.style, *c.rect) for cls, c in self.r.children.items()}
        self.assertEqual(got, CHILDREN, self.msg)
        self.assertEqual({cls: c.id for cls, c in self.r.children.items()},
                         {cls: 0 for cls in CHILDREN}, self.msg)
        self.assertEqual({c.exstyle for c in self.r.children.values()}, {0}, self.msg)

    def test_label_starts_with_starting_in_segoe_ui(self):
        self.assertEqual(self.r.statuses[:1], ["Starting..."], self.msg)
        fonts = [rec.f for rec in self.r.log if rec.kind == "label_font"]
        self.assertEqual(len(fonts), 1, "the label was measured once" + self.msg)
        # 1000 = every inked pixel the same as "Segoe UI" at -15 drawn here.
        self.assertEqual((fonts[0]["best"], int(fonts[0]["best_permille"])),
                         ("Segoe UI -15", 1000), f"{fonts[0]}{self.msg}")

    def test_bar_runs_its_marquee_while_no_progress_is_known(self):
        self.assertTrue(self.r.bars, self.msg)
        self.assertEqual({m for m, _ in self.r.bars}, {1}, self.msg)

    def test_closing_ends_the_process_with_0(self):
        self.assertRun(self.r, exit_code=0, windows=[WINDOW_CLASS], boxes=[], records=0)
        self.assertIsNotNone(self.r.closed_at, self.msg)
        gone = self.r.time_of("gone", **{"class": WINDOW_CLASS})
        self.assertIsNotNone(gone, self.msg)


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
