#!/usr/bin/env python3
"""A release made by brisquel-release, installed by the real setup.

The Windows brisquel-release.exe makes and checks the list of a release with
a core part (renamed after unpacking) and all five tool parts; the native
tool's publish puts it on the local release server (BRISQUEL_RELEASE_NATIVE;
without that build the server is handed the files); BrisquelBuilder.exe
installs it under Wine and starts the builder. Afterwards the version folder must hold every file of
every zip where the list put it, and parts.txt the checksums of the parts
that have a folder.

Runs in the Windows build through ctest (scripts/test.sh sets WINEPREFIX and
DISPLAY and prepares the prefix). BRISQUEL_RELEASE_TOOL names the tool.
"""
import hashlib
import os
import sys
import unittest
import zipfile
from pathlib import Path

SOURCE = Path(os.environ.get("BRISQUEL_SOURCE") or Path(__file__).resolve().parents[3])
sys.path.insert(0, str(SOURCE / "tests" / "e2e"))
import harness  # noqa: E402
import proc as proc_files  # noqa: E402
from harness import BenchCase  # noqa: E402

TOOL = os.environ.get("BRISQUEL_RELEASE_TOOL", "")
NATIVE = os.environ.get("BRISQUEL_RELEASE_NATIVE", "")
TAG = "1.4.2"
BASE = f"https://localhost:47443/tamrock/brisquel/releases/download/{TAG}/"
RUN = "TamrockBuilder/BrisquelBuilder.exe"
TOOLS = ["python", "emsdk", "cpm", "third_party", "wgpu-native"]


class InstallMadeRelease(BenchCase):
    def tool(self, *args, cwd):
        proc = proc_files.run(["wine", TOOL, *args], cwd, dict(os.environ, WINEDEBUG="-all"))
        return proc.returncode, proc.stdout + proc.stderr

    def test_setup_installs_what_the_tool_listed(self):
        self.assertTrue(TOOL, "BRISQUEL_RELEASE_TOOL is not set")
        b = self.bench
        dist = b.folder("dist")
        builder = (harness.RECORDER).read_bytes()
        # The builder stands in as the recorder, marked as a GUI program the
        # way the setup's own tests do it.
        marked = b.folder("builder") / "BrisquelBuilder.exe"
        marked.write_bytes(builder)
        harness.mark_gui(marked)

        expected = {}  # path below the version folder -> bytes
        args = []
        with zipfile.ZipFile(dist / "TamrockBuilder-1.4.2.zip", "w", zipfile.ZIP_DEFLATED) as z:
            z.writestr("TamrockBuilder-1.4.2/", b"")
            z.writestr("TamrockBuilder-1.4.2/BrisquelBuilder.exe", marked.read_bytes())
            z.writestr("TamrockBuilder-1.4.2/readme.txt", b"core\n")
        expected[RUN] = marked.read_bytes()
        expected["TamrockBuilder/readme.txt"] = b"core\n"
        args += ["TamrockBuilder-1.4.2.zip", "--rename-from", "TamrockBuilder-1.4.2",
                 "--rename-to", "TamrockBuilder"]
        for t in TOOLS:
            name = f"TamrockBuilder-{t}-2.0.zip"
            path = f"TamrockBuilder/tools/{t}/bin/{t}.txt"
            data = (t * 50).encode()
            with zipfile.ZipFile(dist / name, "w", zipfile.ZIP_DEFLATED) as z:
                z.writestr(path, data)
            expected[path] = data
            args.append(name)

        rc, out = self.tool("make", "--tag", TAG, "--run", RUN, "--base-url", BASE, *args,
                            cwd=dist)
        self.assertEqual(rc, 0, out)
        rc, out = self.tool("check", "brisquel-setup.txt", "--dir", ".", cwd=dist)
        self.assertEqual(rc, 0, out)

        server = b.release_server()
        if os.path.exists(NATIVE):
            server.token = "ghp_install_test"
            env = dict(os.environ, GITHUB_TOKEN=server.token,
                       CURL_CA_BUNDLE=os.path.join(server.cert_dir, "ca.pem"))
            proc = proc_files.run([NATIVE, "publish", "--repo", "tamrock/brisquel", "--tag", TAG,
                                   "--dir", ".", "--api-base", server.api_base,
                                   "--host-base", server.host_base], dist, env)
            self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
        else:
            server.add_release(TAG, {n: dist / n for n in os.listdir(dist)})
        run = b.run(b.copy_exe(), timeout_ms=120000)
        self.assertRun(run, exit_code=0, boxes=[], records=1)

        version = b.data_root / "versions" / TAG
        self.assertEqual((version / "installed.txt").read_bytes(), TAG.encode())
        for path, data in expected.items():
            self.assertEqual((version / path).read_bytes(), data, path)
        # The core part has no folder of its own (extract_to "."); the tools do.
        sums = [hashlib.sha256((dist / f"TamrockBuilder-{t}-2.0.zip").read_bytes()).hexdigest()
                for t in TOOLS]
        self.assertEqual((version / "parts.txt").read_text(), "".join(s + "\n" for s in sums))
        self.assertEqual(len(run.records), 1, run.describe())


if __name__ == "__main__":
    unittest.main(verbosity=2)
