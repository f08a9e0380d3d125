"""Start-up of the real exe: game stub or setup, and the hand-over to an
installed builder. Each case is one run: what is on disk, how the exe is
named and started, and what must be seen afterwards (windows, boxes, exit
code, and which program was started with which command line and folder).

Placeholders in expected texts: {folder} the stub's folder, {cwd} the
caller's working directory, both as the programs see them.
"""

import time
import unittest
from dataclasses import dataclass
from typing import Optional

import harness
from faultkit import Watch, status_shown
from harness import (BenchCase, SETUP_CAPTION, STUB_CAPTION, STUB_MISSING_GAME, WINDOW_CLASS,
                     to_wine)

SW_SHOWMINNOACTIVE = 7
WS_MINIMIZE = 0x20000000

BUILDER = "builder"
GAME = "game"


@dataclass
class Case:
    name: str
    exe: str                       # file name of the copy that is started
    args: Optional[str]            # argument text; None = none at all
    current: Optional[bytes]       # current.txt of an installed builder; None = no builder
    expect_exit: int
    expect_start: Optional[str]    # BUILDER, GAME or None
    expect_args: str = ""          # builder's argument text (after '"exe" ')
    tag: str = "2.4.0"             # version folder that holds the builder
    game: bool = True              # bin\<exe> present next to the stub
    folder: str = "game"           # name of the folder that holds the exe
    window: bool = False           # the progress window opens (closed by the test)
    box: Optional[tuple] = None    # (caption, text) of the one box
    builder_root: str = "default"  # "default", "override" (TAMROCK_SETUP_BASE) or "dir"


CASES = [
    # -- game stub ---------------------------------------------------------
    Case("stub_hands_its_folder_to_the_builder", "Brisquel.exe", None, b"2.4.0",
         0, BUILDER, '--launch "{folder}"'),
    Case("stub_drops_its_own_arguments", "tamrock.exe", "my save.sav /fast", b"2.4.0",
         0, BUILDER, '--launch "{folder}"'),
    Case("stub_starts_the_game_without_builder", "tamrock.exe", "hello world", None,
         0, GAME),
    Case("stub_upper_case_name_starts_its_own_bin_name", "BRISQUEL.EXE", None, None,
         0, GAME),
    Case("stub_in_a_folder_with_two_dashes", "Brisquel.exe", None, None,
         0, GAME, folder="my--game"),
    Case("stub_with_a_builder_folder_in_dashes", "Brisquel.exe", None, b"2.4.0",
         0, BUILDER, '--launch "{folder}"', folder="a--b"),
    Case("stub_recorded_builder_missing_falls_back_to_game", "Brisquel.exe", None, b"9.9.9",
         0, GAME, tag="2.4.0"),
    Case("stub_without_game_or_builder", "tamrock.exe", None, None,
         1, None, game=False, box=(STUB_CAPTION, STUB_MISSING_GAME)),
    Case("stub_builder_only_under_data_root_override", "Brisquel.exe", None, b"2.4.0",
         1, None, game=False, box=(STUB_CAPTION, STUB_MISSING_GAME), builder_root="override"),
    Case("stub_with_dashes_in_arguments_is_the_setup", "Brisquel.exe", "--repair", b"2.4.0",
         0, None, window=True),
    # -- setup and --launch ------------------------------------------------
    Case("setup_hands_launch_to_the_builder", "BrisquelBuilder.exe",
         '--launch "C:\\Games\\My Game"', b"2.4.0",
         0, BUILDER, '--launch "C:\\Games\\My Game"'),
    Case("setup_hands_over_the_argument_text_unit_for_unit", "BrisquelBuilder.exe",
         '--launch  "Z:\\a b\\caf\u00e9 \u6e38\u620f \U0001F3AE"\t--tag  1.2 ', b"2.4.0",
         0, BUILDER, '--launch  "Z:\\a b\\caf\u00e9 \u6e38\u620f \U0001F3AE"\t--tag  1.2 '),
    Case("stub_named_setup_with_launch_hands_over_its_arguments", "Brisquel.exe",
         '--launch "D:\\other game"', b"2.4.0",
         0, BUILDER, '--launch "D:\\other game"'),
    Case("setup_without_launch_opens_the_window_despite_builder", "BrisquelBuilder.exe",
         None, b"2.4.0", 0, None, window=True),
    Case("setup_launch_without_builder_opens_the_window", "BrisquelBuilder.exe",
         '--launch "C:\\Games\\x"', None, 0, None, window=True),
    # -- what the launcher reads from current.txt ----------------------------
    Case("current_tag_ends_in_cr_lf", "BrisquelBuilder.exe", "--launch", b"2.4.0\r\nold\r\n",
         0, BUILDER, "--launch"),
    Case("current_tag_ends_in_lf", "BrisquelBuilder.exe", "--launch", b"2.4.0\nold",
         0, BUILDER, "--launch"),
    Case("current_tag_is_utf8", "BrisquelBuilder.exe", "--launch", "2.4.0-\u00e9".encode(),
         0, BUILDER, "--launch", tag="2.4.0-\u00e9"),
    Case("current_tag_cut_at_127_bytes", "BrisquelBuilder.exe", "--launch",
         b"v" * 120 + b"1234567" + b"89-too-long",
         0, BUILDER, "--launch", tag="v" * 120 + "1234567"),
    Case("current_empty", "BrisquelBuilder.exe", "--launch", b"", 0, None, window=True),
    Case("current_only_a_line_break", "BrisquelBuilder.exe", "--launch", b"\r\n2.4.0",
         0, None, window=True),
    Case("current_missing", "BrisquelBuilder.exe", "--launch", None, 0, None, window=True),
    Case("builder_only_under_data_root_override", "BrisquelBuilder.exe", "--launch", b"2.4.0",
         0, None, window=True, builder_root="override"),
    Case("builder_path_is_a_folder", "BrisquelBuilder.exe", "--launch", b"2.4.0",
         0, None, window=True, builder_root="dir"),
]


class StartupTest(BenchCase):
    def run_case(self, c: Case):
        b = self.bench
        folder = b.folder(c.folder)
        exe = b.copy_exe(c.exe, folder)
        if c.game:
            b.add_game(folder, c.exe)
        builder = None
        if c.current is not None:
            if c.builder_root == "override":
                builder = b.install_builder(c.tag, c.current, root=b.data_root)
            elif c.builder_root == "dir":
                # Something of the builder's name that no process starts from.
                builder = b.install_builder(c.tag, c.current)
                builder.unlink()
                builder.mkdir()
            else:
                builder = b.install_builder(c.tag, c.current)
        # The caller stands somewhere else: the started program's folder
        # must not depend on it.
        cwd = b.folder("caller")
        # A window that should not be there is closed too, so that such a
        # fault shows as a wrong ending rather than as a timeout.
        run = b.run(exe, c.args, cwd=cwd, close_after_ms=150 if c.window else 2000)

        ctx = {"folder": to_wine(folder), "cwd": to_wine(cwd)}
        shown = [WINDOW_CLASS] if c.window else []
        if c.box:
            shown.append("#32770")
        boxes = [(c.box[0], c.box[1], "error")] if c.box else []
        self.assertRun(run, exit_code=c.expect_exit, windows=shown, boxes=boxes,
                       records=1 if c.expect_start else 0)
        msg = "\n" + run.describe()
        if c.box:
            # The stub has no window of its own to own its box.
            self.assertEqual(run.boxes[0].owner_class, "", msg)
            self.assertEqual(run.boxes[0].buttons, ["OK"], msg)
        if c.window:
            self.assertIsNotNone(run.closed_at, "the window was closed by the test" + msg)
        rec = run.records[0] if run.records else None
        if c.expect_start == BUILDER:
            want_exe = harness.local_appdata_wine() + \
                f"\\BrisquelBuilder\\versions\\{c.tag}\\TamrockBuilder\\BrisquelBuilder.exe"
            self.assertEqual(rec["exe"], want_exe, msg)
            self.assertEqual(rec["cmdline"], f'"{want_exe}" ' + c.expect_args.format(**ctx), msg)
            self.assertEqual(rec["cwd"], want_exe.rsplit("\\", 1)[0], msg)
        elif c.expect_start == GAME:
            want_exe = ctx["folder"] + "\\bin\\" + c.exe
            self.assertEqual(rec["exe"], want_exe, msg)
            self.assertEqual(rec["cmdline"], f'"{want_exe}"', msg)
            self.assertEqual(rec["cwd"], ctx["folder"], msg)


def _make(case):
    def test(self):
        self.run_case(case)
    test.__doc__ = case.name.replace("_", " ")
    return test


for _c in CASES:
    setattr(StartupTest, "test_" + _c.name, _make(_c))


class LongCommandLineTest(BenchCase):
    """The argument text is kept to its first 2047 units, whatever follows."""

    def test_launch_text_beyond_2047_units_is_cut(self):
        b = self.bench
        b.install_builder()
        # Every unit tells its own position, so an off-by-one shows.
        tail = "".join(chr(ord("a") + (i // 10) % 26) + str(i % 10) for i in range(1500))
        args = "--launch " + tail
        self.assertGreater(len(args), 2047)
        run = b.run(b.copy_exe(), args)
        self.assertRun(run, exit_code=0, windows=[], records=1)
        cmd = run.records[0]["cmdline"]
        self.assertEqual(cmd.split('" ', 1)[1], args[:2047], "\n" + run.describe())


class SetupEndingTest(BenchCase):
    """The two endings of a setup run that the start-up code owns."""

    def test_error_box_ends_the_run_with_exit_0(self):
        b = self.bench
        server = b.serve(harness.AnswerServer(404))
        run = b.run(b.copy_exe(), env={"TAMROCK_SETUP_LIST": server.url + "brisquel-setup.txt"})
        msg = "\n" + run.describe()
        self.assertRun(run, exit_code=0, windows=[WINDOW_CLASS, "#32770"], records=0)
        self.assertEqual(len(run.boxes), 1, msg)
        box = run.boxes[0]
        self.assertEqual((box.caption, box.icon, box.buttons, box.owner_class),
                         (SETUP_CAPTION, "error", ["OK"], WINDOW_CLASS), msg)
        self.assertTrue(box.text.startswith("The latest Brisquel release has no setup files yet."),
                        msg)
        # Modal to the window, which stays up until the box is dismissed.
        main = run.main_window()
        during = [w for w in run.windows_of(WINDOW_CLASS, run.main_pid)
                  if w.t <= box.t and w.visible]
        self.assertTrue(during and during[-1].style & harness.WS_DISABLED, msg)
        gone = run.time_of("gone", **{"class": WINDOW_CLASS})
        dismissed = run.time_of("dismiss")
        self.assertIsNotNone(main, msg)
        self.assertTrue(dismissed is not None and gone is not None and gone >= dismissed, msg)
        self.assertEqual(server.requests, ["/brisquel-setup.txt"], msg)

    def test_user_closes_the_window_while_the_setup_waits(self):
        b = self.bench
        # No answer: the setup announces a retry and sleeps 3 s; closing must
        # not wait for that sleep (the margin allows for a loaded machine).
        run = b.run(b.copy_exe(), close_when="Trying again")
        msg = "\n" + run.describe()
        self.assertRun(run, exit_code=0, windows=[WINDOW_CLASS], boxes=[], records=0)
        self.assertIsNotNone(run.closed_at, msg)
        self.assertLess(run.wall_ms - run.closed_at, 2500, msg)


class WhileASetupRuns(BenchCase):
    """A setup that installs holds its data root (here the default one, the
    launcher's). What does not install goes on beside it as before; a
    second setup only brings the first one's window forward."""

    def test_launch_stub_and_a_second_setup_beside_a_running_setup(self):
        b = self.bench
        b.install_builder()
        default_root = {"TAMROCK_SETUP_BASE": None}
        stub_folder = b.folder("game")
        stub = b.copy_exe("Brisquel.exe", stub_folder)
        b.add_game(stub_folder, "Brisquel.exe")
        second = b.copy_exe()
        runs = {}

        def every(watch, w):
            # The first waits to retry the list, its window minimised.
            if runs or not status_shown(b, "Trying again"):
                return
            done = {"launch": b.run(b.copy_exe(), '--launch "C:\\Games\\x"', env=default_root),
                    "stub": b.run(stub, env=default_root),
                    "second": b.run(second, env=default_root)}
            time.sleep(0.5)  # the first's observer sees its window's last state
            runs.update(done)

        first = Watch(b, b.copy_exe()).run(None, env=default_root, show=SW_SHOWMINNOACTIVE,
                                           every=every, timeout_ms=60000,
                                           kill_if=lambda: "checked" if runs else None)
        msg = "\nfirst: " + first.describe()
        self.assertEqual(sorted(runs), ["launch", "second", "stub"], msg)
        want_exe = harness.local_appdata_wine() + \
            "\\BrisquelBuilder\\versions\\2.4.0\\TamrockBuilder\\BrisquelBuilder.exe"
        for name, args in (("launch", '--launch "C:\\Games\\x"'),
                           ("stub", f'--launch "{to_wine(stub_folder)}"')):
            run = runs[name]
            self.assertRun(run, exit_code=0, windows=[], boxes=[], records=1)
            self.assertEqual(run.records[0]["cmdline"], f'"{want_exe}" {args}',
                             name + "\n" + run.describe())
        self.assertRun(runs["second"], exit_code=0, windows=[], boxes=[], records=0)
        # Brought forward: the first's window, shown minimised, is restored
        # while the second runs.
        states = first.run.windows_of(WINDOW_CLASS, first.run.main_pid)
        self.assertTrue(any(w.visible and w.style & WS_MINIMIZE for w in states), msg)
        self.assertFalse(states[-1].style & WS_MINIMIZE, msg)
        self.assertEqual(first.run.boxes, [], msg)


if __name__ == "__main__":
    harness.main()
