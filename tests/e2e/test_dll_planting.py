"""DLLs left beside the setup, as a web page can leave them in a Downloads
folder: none of them may run inside the setup's process.

A planted DLL (tools/planted.dll) leaves "<its path>.ran" when its code
runs. It is copied beside the exe and into the working directory under the
name of every DLL the process loads that is not a Known DLL, and Wine is
told to resolve each of those names as Windows does (native first, so the
exe's folder is searched before the system folder). Every run is traced
with +loaddll, so that a DLL the process starts to load later, and that is
not planted here, fails the test instead of slipping by.
"""

import re
import shutil
import subprocess
import unittest

import harness
from harness import BenchCase, SETUP_CAPTION, STUB_CAPTION, WINDOW_CLASS, to_wine
from releases import Part, Release

PLANTED_DLL = harness.TOOLS / "planted.dll"
PROBE = harness.TOOLS / "dll_probe.exe"

# Known DLLs of Windows 10 and 11: always taken from the system folder.
KNOWN = set("""advapi32 clbcatq combase comdlg32 coml2 difxapi gdi32 gdiplus imagehlp imm32
kernel32 msctf msvcrt normaliz nsi ole32 oleaut32 psapi rpcrt4 sechost setupapi shcore shell32
shlwapi user32 wldap32 ws2_32""".split())

# Every other DLL the setup's process loads under Wine once our entry runs
# (each seen with +loaddll): the three we call and what the system's own DLLs
# load for them, crypt32 and secur32 (and the security packages and network
# helpers behind it, and schannel and rsaenh once TLS starts) for WinHTTP,
# uxtheme for the common controls.
PLANTED = ["winhttp", "bcrypt", "comctl32", "crypt32", "secur32", "uxtheme", "jsproxy",
           "kerberos", "msv1_0", "dnsapi", "iphlpapi", "netapi32", "schannel", "rsaenh"]

# Out of any program's reach, and so not planted: Wine's own DLLs import
# these while the process starts, before a line of ours runs. A planted copy
# of any of them runs under Wine whatever the exe does (seen with each):
# version.dll (Wine's user32; Windows' user32 does not import it), win32u.dll
# (Wine's user32 and gdi32), ucrtbase.dll (Wine's msvcrt) and zlib1.dll (a
# Wine DLL of its own). Named here rather than silently left out; a copy
# without their functions would stop the process before it starts.
OUT_OF_REACH = {"version", "win32u", "ucrtbase", "zlib1"}
# Wine's loader and display driver, loaded by Wine itself, not by name.
WINE_ITSELF = {"ntdll", "kernelbase", "winex11"}

LOADED = re.compile(r'([0-9a-f]+):[0-9a-f]+:trace:loaddll:\w+ Loaded L"([^"]+)" at [0-9a-fA-F]+: (\w+)')


def overrides():
    return ";".join(f"{n}=n,b" for n in PLANTED)


class PlantedDllTest(BenchCase):
    def setUp(self):
        super().setUp()
        b = self.bench
        self.exe_dir = b.folder("downloads")
        self.cwd = b.folder("cwd")
        for folder in (self.exe_dir, self.cwd):
            for name in PLANTED:
                shutil.copyfile(PLANTED_DLL, folder / f"{name}.dll")
        self.env = {"WINEDLLOVERRIDES": overrides(), "WINEDEBUG": "+pid,+loaddll"}

    def marks(self):
        return sorted(str(p) for d in (self.exe_dir, self.cwd) for p in d.glob("*.ran"))

    def loaded_by(self, run, pid):
        """(name, path) of each DLL that the process `pid` loaded."""
        out = []
        for m in LOADED.finditer(run.output):
            if int(m.group(1), 16) == pid:
                path = m.group(2).replace("\\\\", "\\")
                if not path.lower().endswith(".exe"):
                    out.append((path.rsplit("\\", 1)[-1].lower().rsplit(".", 1)[0], path))
        return out

    def assertNothingPlantedRan(self, run):
        msg = "\n" + run.describe()
        self.assertEqual(self.marks(), [], "planted code ran" + msg)
        loaded = self.loaded_by(run, run.main_pid)
        self.assertTrue(loaded, "no +loaddll trace of the setup's process" + msg + run.output)
        names = {n for n, _ in loaded}
        # Loaded in every role, right at the start: the trace saw them.
        self.assertLessEqual({"kernel32", "winhttp", "bcrypt", "comctl32"}, names)
        unplanted = names - KNOWN - set(PLANTED) - OUT_OF_REACH - WINE_ITSELF
        self.assertEqual(unplanted, set(), "loaded, not a Known DLL, and not planted by this test")
        outside = [p for _, p in loaded if "\\windows\\" not in p.lower()]
        self.assertEqual(outside, [], "DLLs from outside the system folders")

    def test_control_an_unguarded_program_runs_every_planted_dll(self):
        # Without this, a broken plant would pass every other test.
        b = self.bench
        probe = self.exe_dir / "probe.exe"
        shutil.copyfile(PROBE, probe)
        env = dict(b.env, WINEDLLOVERRIDES=overrides())
        p = subprocess.run(["wine", str(probe), "load"] + [n + ".dll" for n in PLANTED],
                           cwd=self.cwd, env=env, capture_output=True, timeout=60)
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertEqual(self.marks(), sorted(str(self.exe_dir / f"{n}.dll.ran") for n in PLANTED))

    def test_first_install(self):
        b = self.bench
        server = b.release_server()
        builder = harness.gui_recorder_bytes()
        rel = Release("1.0", "TamrockBuilder/BrisquelBuilder.exe",
                      [Part("base.zip", {"TamrockBuilder/BrisquelBuilder.exe": builder})])
        server.add_release(rel.tag, rel.assets(), latest=True)
        exe = b.copy_exe(folder=self.exe_dir)
        run = b.run(exe, cwd=self.cwd, env=self.env, timeout_ms=60000)
        self.assertRun(run, exit_code=0, boxes=[], records=1)
        self.assertTrue((b.data_root / "versions" / "1.0" / "installed.txt").exists())
        self.assertNothingPlantedRan(run)

    def test_launch_hand_over(self):
        b = self.bench
        b.install_builder()
        exe = b.copy_exe(folder=self.exe_dir)
        run = b.run(exe, '--launch "C:\\Games\\x"', cwd=self.cwd, env=self.env)
        self.assertRun(run, exit_code=0, windows=[], boxes=[], records=1)
        self.assertTrue(run.records[0]["cmdline"].endswith(' --launch "C:\\Games\\x"'))
        self.assertNothingPlantedRan(run)

    def test_game_stub(self):
        b = self.bench
        exe = b.copy_exe("Brisquel.exe", self.exe_dir)
        b.add_game(self.exe_dir, "Brisquel.exe")
        run = b.run(exe, cwd=self.cwd, env=self.env)
        self.assertRun(run, exit_code=0, windows=[], boxes=[], records=1)
        self.assertEqual(run.records[0]["exe"], to_wine(self.exe_dir / "bin" / "Brisquel.exe"))
        self.assertNothingPlantedRan(run)


class MissingSystemDllTest(BenchCase):
    """A system DLL or function that is not there ends in one box, never in
    an exception."""

    def test_system_dll_that_cannot_be_loaded(self):
        b = self.bench
        # An empty override switches the DLL off: loading it fails.
        run = b.run(b.copy_exe(), env={"WINEDLLOVERRIDES": "winhttp="})
        self.assertRun(run, exit_code=1, windows=["#32770"], records=0, boxes=[(
            SETUP_CAPTION, "Windows could not load winhttp.dll from its system folder (Windows "
            "error 126). The Brisquel Builder setup cannot run on this system.", "error")])

    def test_delay_load_failures_end_in_the_setups_box(self):
        b = self.bench
        cases = [("missing-dll", "Windows could not load brisquel-absent.dll from its system "
                  "folder (Windows error 126)."),
                 ("missing-function", "Windows could not provide BrisquelNoSuchFunction in "
                  "KERNEL32.dll (Windows error 127).")]
        for arg, text in cases:
            with self.subTest(arg):
                run = b.run(PROBE, arg)
                self.assertRun(run, exit_code=1, windows=["#32770"], records=0, boxes=[(
                    SETUP_CAPTION, text + " The Brisquel Builder setup cannot run on this system.",
                    "error")])


if __name__ == "__main__":
    harness.main()
