#!/usr/bin/env python3
"""brisquel-release beside Windows' own tar, on zips made by real tools.

Each zip is made by the tool a maintainer would use (Info-ZIP zip with its
extra fields, -fz zip64 records and a pipe's data descriptors, 7-Zip,
Python's zipfile with UTF-8 names or backslashes) and unpacked by the real
tar (bsdtar 3.7.2 for Windows, under Wine). The tool's verdict must agree:
what tar unpacks exactly as its maker meant, make accepts, and the run path
and each part's folder it reports are where tar put them; what tar refuses,
or unpacks otherwise than meant, make refuses, naming the zip and the entry.

BRISQUEL_RELEASE_TOOL: the tool's Windows exe; BRISQUEL_RELEASE_WINE: wine;
BRISQUEL_BSDTAR: the real tar; BRISQUEL_RELEASE_NATIVE (when it exists): the
native tool, whose verdicts must be the same.
"""
import os
import shutil
import subprocess
import tempfile
import unittest
import zipfile

import proc as proc_files

TOOL = os.environ.get("BRISQUEL_RELEASE_TOOL", "")
WINE = os.environ.get("BRISQUEL_RELEASE_WINE", "wine")
TAR = os.environ.get("BRISQUEL_BSDTAR", "")
NATIVE = os.environ.get("BRISQUEL_RELEASE_NATIVE", "")

TAG = "v2.0.0"
BASE = f"https://github.com/tamrock/brisquel/releases/download/{TAG}/"
RUN = "TamrockBuilder/bin/TamrockBuilder.exe"
ENV = dict(os.environ, WINEDEBUG="-all")

# The builder's tree, as a maintainer has it on disk.
TREE = {
    RUN: os.urandom(3000),
    "TamrockBuilder/lib/core.dll": os.urandom(70000),
    "TamrockBuilder/readme.txt": b"Brisquel Builder\n" * 400,
    "TamrockBuilder/share/doc/index.html": b"<p>docs</p>",
}
# Names in UTF-8, for the tools that mark them as such.
UTF8_TREE = {
    "TamrockBuilder/Łódź/café.txt": b"cafe",
    "TamrockBuilder/données/Ω.bin": os.urandom(500),
}


def run(cmd, cwd):
    proc = proc_files.run(cmd, cwd, ENV)
    return proc.returncode, proc.stdout.replace("\r\n", "\n"), proc.stderr.replace("\r\n", "\n")


def write_tree(root, tree):
    for name, data in tree.items():
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    os.makedirs(os.path.join(root, "TamrockBuilder/empty"), exist_ok=True)


def files_below(root):
    found = {}
    for folder, _, names in os.walk(root):
        for n in names:
            path = os.path.join(folder, n)
            with open(path, "rb") as f:
                found[os.path.relpath(path, root).replace(os.sep, "/")] = f.read()
    return found


def python_zip(path, entries, system=3):
    """entries: name -> bytes (a name ending in / is a folder), or a ZipInfo."""
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in entries.items():
            info = zipfile.ZipInfo(name, (2024, 1, 1, 0, 0, 0))
            info.create_system = system
            info.external_attr = (0o40755 << 16 | 0x10) if name.endswith("/") else 0o100644 << 16
            z.writestr(info, data, zipfile.ZIP_DEFLATED)


class Corpus(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="brisquel-corpus-")
        d = cls.dir
        src = os.path.join(d, "src")
        write_tree(src, TREE)
        src8 = os.path.join(d, "src8")
        write_tree(src8, {**TREE, **UTF8_TREE})
        zips = os.path.join(d, "zips")
        os.mkdir(zips)

        def sh(cmd, cwd=src):
            subprocess.run(cmd, cwd=cwd, shell=True, check=True, env=ENV)

        z = lambda name: os.path.join(zips, name)
        # Accepted: name -> (extract_to, rename_from, rename_to, files it must put, relative to
        # extract_to after the rename). All form one release; no two share a folder.
        cls.accepted = {}
        sh(f"zip -qr {z('TamrockBuilder-infozip.zip')} TamrockBuilder")
        cls.accepted["TamrockBuilder-infozip.zip"] = ("infozip", "-", "-", TREE)
        sh(f"zip -qr -fz {z('TamrockBuilder-zip64.zip')} TamrockBuilder")
        cls.accepted["TamrockBuilder-zip64.zip"] = ("z64", "-", "-", TREE)
        sh(f"zip -qr - TamrockBuilder > {z('TamrockBuilder-pipe.zip')}")
        cls.accepted["TamrockBuilder-pipe.zip"] = ("pipe", "-", "-", TREE)
        sh(f"7z a -tzip {z('TamrockBuilder-7zip.zip')} TamrockBuilder > /dev/null", src8)
        cls.accepted["TamrockBuilder-7zip.zip"] = ("7z", "-", "-", {**TREE, **UTF8_TREE})
        python = {"python-3.12.8-embed/python.exe": b"MZ python",
                  "python-3.12.8-embed/Lib/señal.py": b"# signal\n" * 50,
                  "python-3.12.8-embed/Lib/": b""}
        python_zip(z("TamrockBuilder-python-3.12.8.zip"), python)
        cls.accepted["TamrockBuilder-python-3.12.8.zip"] = (
            "TamrockBuilder/tools", "python-3.12.8-embed", "python",
            {"python/python.exe": python["python-3.12.8-embed/python.exe"],
             "python/Lib/señal.py": python["python-3.12.8-embed/Lib/señal.py"]})
        # Older Windows tools wrote '\' between folders: whole names (made on
        # "MS-DOS"), and a '\' after a '/' in a name made elsewhere.
        python_zip(z("TamrockBuilder-backslash.zip"),
                   {n.replace("/", "\\"): data for n, data in TREE.items() if "share" not in n},
                   system=0)
        python_zip(z("TamrockBuilder-mixed.zip"),
                   {"TamrockBuilder/share\\doc\\index.html": TREE["TamrockBuilder/share/doc/index.html"]})
        cls.accepted["TamrockBuilder-backslash.zip"] = (
            "bs", "-", "-", {n: b for n, b in TREE.items() if "share" not in n})
        cls.accepted["TamrockBuilder-mixed.zip"] = (
            "mixed", "-", "-", {"TamrockBuilder/share/doc/index.html": TREE["TamrockBuilder/share/doc/index.html"]})

        # Refused: name -> (a piece of the tool's message, what tar does with it: "fails" for
        # a nonzero exit, else the files it puts, relative to its folder).
        cls.refused = {}
        os.symlink("bin/TamrockBuilder.exe", os.path.join(src, "TamrockBuilder/link.exe"))
        sh(f"zip -qry {z('links.zip')} TamrockBuilder")
        cls.refused["links.zip"] = ('has a link entry, ', TREE)  # the link left out
        os.remove(os.path.join(src, "TamrockBuilder/link.exe"))
        sh(f"zip -qr {z('codepage.zip')} TamrockBuilder", src8)  # raw UTF-8, no mark
        cls.refused["codepage.zip"] = ("stored in a code page", None)  # other names than meant
        sh(f"zip -qr -P secret {z('encrypted.zip')} TamrockBuilder")
        cls.refused["encrypted.zip"] = ("has an encrypted entry", "fails")
        sh(f"7z a -tzip -psecret -mem=AES256 {z('aes.zip')} TamrockBuilder > /dev/null")
        cls.refused["aes.zip"] = ("has an encrypted entry", "fails")
        python_zip(z("dotdot.zip"), {RUN: TREE[RUN], "../outside.txt": b"x"})
        cls.refused["dotdot.zip"] = ('("../outside.txt")', "fails")
        python_zip(z("absolute.zip"), {RUN: TREE[RUN], "/abs/outside.txt": b"x"})
        cls.refused["absolute.zip"] = ('("/abs/outside.txt")',  # tar drops the '/' and warns
                                       {RUN: TREE[RUN], "abs/outside.txt": b"x"})
        python_zip(z("casetwins.zip"), {RUN: TREE[RUN], "TamrockBuilder/readme.txt": b"lower",
                                        "TamrockBuilder/README.txt": b"UPPER"})
        cls.refused["casetwins.zip"] = ('differ only in letter case ("TamrockBuilder/README.txt"',
                                        {RUN: TREE[RUN], "TamrockBuilder/README.txt": b"UPPER"})
        with open(z("TamrockBuilder-zip64.zip"), "rb") as f:
            whole = f.read()
        with open(z("truncated.zip"), "wb") as f:
            f.write(whole[:len(whole) * 2 // 3])
        cls.refused["truncated.zip"] = ("cannot be read", "fails")

    @classmethod
    def tearDownClass(cls):
        if not os.environ.get("BRISQUEL_E2E_KEEP"):
            shutil.rmtree(cls.dir, True)

    def tools(self, windows=True):
        if windows:
            yield "windows", [WINE, TOOL]
        if NATIVE and os.path.exists(NATIVE):
            yield "native", [NATIVE]

    def make(self, cmd, parts, run_path=RUN, out="list.txt"):
        return run(cmd + ["make", "--tag", TAG, "--run", run_path, "--base-url", BASE,
                          "--out", out] + parts, os.path.join(self.dir, "zips"))

    def tar(self, name, dest):
        """Unpacks zips/name into dest (below the corpus folder) with the real tar."""
        os.makedirs(os.path.join(self.dir, dest), exist_ok=True)
        return run([WINE, TAR, "-xf", f"zips/{name}", "-C", dest], self.dir)

    def part_args(self, name):
        extract_to, rename_from, rename_to, _ = self.accepted[name]
        args = [name, "--extract-to", extract_to]
        if rename_from != "-":
            args += ["--rename-from", rename_from, "--rename-to", rename_to]
        return args

    def release(self):
        """Unpacks every accepted zip into one version folder, once, as the setup does."""
        version = os.path.join(self.dir, "release")
        if not os.path.isdir(version):
            for name, (extract_to, rename_from, rename_to, _) in self.accepted.items():
                dest = f"release/{extract_to}"
                rc, out, err = self.tar(name, dest)
                self.assertEqual(rc, 0, f"tar refused {name}: {err}")
                if rename_from != "-":
                    os.rename(os.path.join(self.dir, dest, rename_from),
                              os.path.join(self.dir, dest, rename_to))
        return version

    def test_archives_tar_unpacks_are_accepted_where_tar_puts_them(self):
        version = self.release()
        for name, (extract_to, rename_from, rename_to, expected) in self.accepted.items():
            with self.subTest(name):
                self.assertEqual(files_below(os.path.join(version, extract_to)), expected)
                # The run path the plan finds must be the file tar wrote. One Wine start
                # each would cost more than it shows: the Windows exe makes the whole
                # release below, with its run path in the zip of backslashes.
                target = next((n for n in expected if n.endswith(".exe")), next(iter(expected)))
                run_path = f"{extract_to}/{target}"
                for kind, cmd in self.tools(windows=False):
                    rc, out, err = self.make(cmd, self.part_args(name), run_path, f"{name}.txt")
                    self.assertEqual(rc, 0, f"{kind}: {err}")

    def test_one_release_of_all_of_them(self):
        parts = []
        for name in self.accepted:
            parts += self.part_args(name)
        version = self.release()
        for kind, cmd in self.tools():
            with self.subTest(kind):
                rc, out, err = self.make(cmd, parts, f"bs/{RUN}", f"{kind}.txt")
                self.assertEqual(rc, 0, f"{kind}: {err}")
                rc, out, err = run(cmd + ["check", f"{kind}.txt", "--dir", "."],
                                   os.path.join(self.dir, "zips"))
                self.assertEqual(rc, 0, f"{kind}: {out}{err}")
                folders = [l.split("folder: ", 1)[1].split(" ", 1) for l in out.splitlines()
                           if "folder: own " in l or "folder: tool " in l]
                self.assertEqual(folders, [["own", "TamrockBuilder\\tools\\python"]])
                for _, folder in folders:
                    self.assertTrue(os.path.isfile(os.path.join(
                        version, folder.replace("\\", "/"), "python.exe")))
        self.assertTrue(os.path.isfile(os.path.join(version, "bs", RUN)))

    def test_archives_tar_refuses_or_changes_are_refused(self):
        for name, (piece, tar_does) in self.refused.items():
            with self.subTest(name):
                rc, out, err = self.tar(name, f"refused/{name}")
                on_disk = files_below(os.path.join(self.dir, "refused", name))
                if tar_does == "fails":
                    self.assertNotEqual(rc, 0, f"tar unpacked {name}: {err}")
                    self.assertIn("tar", err)
                elif tar_does is None:
                    self.assertEqual(rc, 0, err)
                    self.assertNotIn("TamrockBuilder/Łódź/café.txt", on_disk)
                else:
                    self.assertEqual((rc, on_disk), (0, tar_does), err)
                for kind, cmd in self.tools():
                    rc, out, err = self.make(cmd, [name], RUN, f"{name}.txt")
                    self.assertEqual(rc, 1, f"{kind}: {out}{err}")
                    self.assertIn(f"brisquel-release make: {name}: ", err, kind)
                    self.assertIn(piece, err, kind)


if __name__ == "__main__":
    unittest.main(verbosity=2)
