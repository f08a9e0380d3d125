"""Runs a program with its output in files, not pipes: a Wine program's
first start also starts Wine's background services, which inherit the
pipes and would hold them open long after the program itself ended."""

import subprocess
import tempfile


def run(cmd, cwd, env, timeout=300):
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        rc = subprocess.run(cmd, cwd=cwd, env=env, stdin=subprocess.DEVNULL, stdout=out,
                            stderr=err, timeout=timeout).returncode
        out.seek(0)
        err.seek(0)
        return subprocess.CompletedProcess(cmd, rc, out.read().decode("utf-8", "replace"),
                                           err.read().decode("utf-8", "replace"))
