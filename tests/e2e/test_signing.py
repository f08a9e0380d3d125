"""scripts/sign.sh: the maintainers' Authenticode signing of the release exe.

A throw-away code-signing CA and certificate are made with openssl for the
test. The signed exe must verify against that CA and against nothing
changed, keep its resources, still install under Wine, and leave the
unsigned input as it was.
"""

import hashlib
import os
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

import harness
from harness import BenchCase
from releases import Part, Release

SIGN = harness.SOURCE / "scripts" / "sign.sh"
OBJDUMP = "x86_64-w64-mingw32-objdump"


def sh(*args, **kw):
    return subprocess.run([str(a) for a in args], capture_output=True, text=True, timeout=120, **kw)


def make_signer(d: Path):
    """CA, code-signing certificate signed by it, its key, and the same as a
    PKCS#12 file under a passphrase."""
    def ok(*args):
        p = sh("openssl", *args, cwd=d)
        if p.returncode:
            raise harness.BenchError(p.stderr)
    ok("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem",
       "-days", "2", "-subj", "/CN=Brisquel Throw-away CA",
       "-addext", "basicConstraints=critical,CA:TRUE",
       "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    ok("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "sign.key", "-out", "sign.csr",
       "-subj", "/CN=Brisquel Test Signer")
    (d / "ext").write_text("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
                           "extendedKeyUsage=codeSigning\n")
    ok("x509", "-req", "-in", "sign.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
       "-out", "sign.pem", "-days", "2", "-extfile", "ext")
    ok("pkcs12", "-export", "-in", "sign.pem", "-inkey", "sign.key", "-out", "sign.p12",
       "-passout", "pass:throw away")
    # A key of another pair, that does not match the certificate.
    ok("genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out", "other.key")


def rsrc(exe: Path) -> str:
    p = sh(OBJDUMP, "-s", "-j", ".rsrc", exe)
    if p.returncode or "Contents of section .rsrc" not in p.stdout:
        raise harness.BenchError(f"no .rsrc dump of {exe}: {p.stderr}")
    return p.stdout.split("Contents of section .rsrc", 1)[1]


class SignTest(BenchCase):
    @classmethod
    def setUpClass(cls):
        cls.keys = Path(tempfile.mkdtemp(prefix="brisquel-sign-"))
        make_signer(cls.keys)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.keys, ignore_errors=True)

    def sign(self, *args, env=None, path=None):
        e = dict(os.environ)
        e.pop("BRISQUEL_SIGN_PASS", None)
        e.update(env or {})
        if path is not None:
            e["PATH"] = path
        return sh("/bin/bash", SIGN, *args, env=e)

    def verify(self, exe):
        return sh("osslsigncode", "verify", "-CAfile", self.keys / "ca.pem", "-in", exe)

    def test_signed_exe_verifies_keeps_its_resources_and_installs(self):
        b = self.bench
        unsigned = harness.EXE
        before = hashlib.sha256(unsigned.read_bytes()).hexdigest()
        k = self.keys
        out = b.tmp / "signed" / "BrisquelBuilder.exe"
        out.parent.mkdir()
        p = self.sign("--pfx", k / "sign.p12", unsigned, out,
                      env={"BRISQUEL_SIGN_PASS": "throw away"})
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertEqual(hashlib.sha256(unsigned.read_bytes()).hexdigest(), before,
                         "the unsigned input was changed")

        v = self.verify(out)
        self.assertEqual(v.returncode, 0, v.stdout + v.stderr)
        self.assertIn("Signature verification: ok", v.stdout)
        self.assertIn("Message digest algorithm  : SHA256", v.stdout)
        self.assertIn("Text description: Brisquel Builder setup", v.stdout)
        self.assertIn("Subject: /CN=Brisquel Test Signer", v.stdout)
        self.assertEqual(rsrc(out), rsrc(unsigned), "resources changed by signing")

        # One byte of code changed after signing.
        data = bytearray(out.read_bytes())
        data[0x400] ^= 0x01
        bad = b.tmp / "tampered.exe"
        bad.write_bytes(bytes(data))
        v = self.verify(bad)
        self.assertNotEqual(v.returncode, 0, v.stdout)
        self.assertIn("MISMATCH", v.stdout)

        # Certificate and key as PEM files give a signature as good.
        pem_out = b.tmp / "pem.exe"
        p = self.sign("--cert", k / "sign.pem", "--key", k / "sign.key", unsigned, pem_out)
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertEqual(self.verify(pem_out).returncode, 0)

        # The signed exe still does its job.
        server = b.release_server()
        rel = Release("1.0", "TamrockBuilder/BrisquelBuilder.exe",
                      [Part("base.zip", {"TamrockBuilder/BrisquelBuilder.exe":
                                         harness.gui_recorder_bytes()})])
        server.add_release(rel.tag, rel.assets(), latest=True)
        run = b.run(out, timeout_ms=60000)
        self.assertRun(run, exit_code=0, boxes=[], records=1)
        self.assertTrue((b.data_root / "versions" / "1.0" / "installed.txt").exists())

    def test_refusals_name_what_is_missing_and_write_nothing(self):
        b = self.bench
        k = self.keys
        out = b.tmp / "out.exe"
        exe = harness.EXE
        cases = [
            ("no tool", ["--cert", k / "sign.pem", "--key", k / "sign.key", exe, out],
             {}, str(b.tmp), "osslsigncode is not installed"),
            ("no exe", ["--cert", k / "sign.pem", "--key", k / "sign.key", b.tmp / "none.exe", out],
             {}, None, "no exe to sign"),
            ("no key option", ["--cert", k / "sign.pem", exe, out], {}, None, "no key"),
            ("no key file", ["--cert", k / "sign.pem", "--key", k / "gone.key", exe, out],
             {}, None, "no key file"),
            ("no certificate", [exe, out], {}, None, "no certificate"),
            ("no pfx file", ["--pfx", k / "gone.p12", exe, out], {}, None, "no PKCS#12 file"),
            ("wrong passphrase", ["--pfx", k / "sign.p12", exe, out],
             {"BRISQUEL_SIGN_PASS": "wrong"}, None, "could not sign"),
            ("no passphrase", ["--pfx", k / "sign.p12", exe, out], {}, None, "could not sign"),
            ("key of another certificate", ["--cert", k / "sign.pem", "--key", k / "other.key",
                                            exe, out], {}, None, "could not sign"),
            ("output over input", ["--cert", k / "sign.pem", "--key", k / "sign.key", exe, exe],
             {}, None, "must differ"),
        ]
        for name, args, env, path, message in cases:
            with self.subTest(name):
                p = self.sign(*args, env=env, path=path)
                self.assertNotEqual(p.returncode, 0, p.stdout)
                self.assertIn(message, p.stderr)
                self.assertEqual(list(b.tmp.glob("out.exe*")), [])


if __name__ == "__main__":
    harness.main()
