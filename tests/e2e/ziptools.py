"""Zip archives for the end-to-end tests.

write_zip() uses the standard zipfile module and tool_zip() the zip tools
that maintainers use (Info-ZIP zip, 7-Zip), so the tests unpack what real
zip writers produce. raw_zip() lays the records out byte by byte for what
no tool will write: hostile names, backslash separators, wrong CRCs and
sizes.
"""
import io
import os
import struct
import subprocess
import tempfile
import zipfile
import zlib

# What the tar fault layer writes to standard error under
# TAR_FAULT_STDERR_BYTES: this unit repeated and cut at the byte count.
# Keep in step with kFiller in tests/tools/tar_fault.cpp. It holds characters
# of every UTF-8 length, and 511 bytes (the setup's capture) end inside one.
FAULT_STDERR_UNIT = "tar.exe: fault layer Grüße ✓ €5 😀 日本語\n".encode("utf-8")


def fault_stderr(count):
    """The exact bytes the layer writes for TAR_FAULT_STDERR_BYTES=count."""
    reps = count // len(FAULT_STDERR_UNIT) + 1
    return (FAULT_STDERR_UNIT * reps)[:count]


def deflate_raw(data):
    c = zlib.compressobj(9, zlib.DEFLATED, -15)
    return c.compress(data) + c.flush()


class Entry:
    """One entry for raw_zip. name is str (UTF-8, flagged when not ASCII) or
    bytes (written as is, unflagged); method 8 deflates, 0 stores."""

    def __init__(self, name, data=b"", method=8):
        self.flags = 0
        if isinstance(name, str):
            if not name.isascii():
                self.flags |= 0x800
            name = name.encode("utf-8")
        self.name = name
        self.method = method
        self.crc = zlib.crc32(data)
        self.usize = len(data)
        self.payload = deflate_raw(data) if method == 8 else data


def raw_zip(entries):
    """Builds a zip byte by byte, names exactly as given."""
    dos_time, dos_date = (12 << 11) | (34 << 5) | 28, ((2021 - 1980) << 9) | (6 << 5) | 15
    out = bytearray()
    central = bytearray()
    for e in entries:
        offset = len(out)
        out += struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, e.flags, e.method, dos_time,
                           dos_date, e.crc, len(e.payload), e.usize, len(e.name), 0)
        out += e.name + e.payload
        central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, 20, e.flags, e.method,
                               dos_time, dos_date, e.crc, len(e.payload), e.usize,
                               len(e.name), 0, 0, 0, 0, 0o644 << 16, offset)
        central += e.name
    cd_offset = len(out)
    out += central
    out += struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(entries), len(entries), len(central),
                       cd_offset, 0)
    return bytes(out)


def zip_bomb(name, mib):
    """A zip of one entry, `name`: `mib` MiB of zeros, deflated about a
    thousand to one. Built from one flushed deflate block of 64 MiB repeated
    (a full flush leaves no reference across it), so it takes a moment, not
    a gigabyte of memory."""
    assert mib % 64 == 0
    c = zlib.compressobj(9, zlib.DEFLATED, -15)
    block = c.compress(bytes(64 << 20)) + c.flush(zlib.Z_FULL_FLUSH)
    payload = block * (mib // 64) + zlib.compressobj(9, zlib.DEFLATED, -15).flush()
    crc, mib_zeros = 0, bytes(1 << 20)
    for _ in range(mib):
        crc = zlib.crc32(mib_zeros, crc)
    e = Entry(name)
    e.crc, e.payload, e.usize = crc, payload, mib << 20
    return raw_zip([e])


# ---- archives made by real zip tools ----------------------------------------

FIXED_MTIME = 1_700_000_000  # 2023-11-14: tools store it, so the bytes repeat


def lay_out(top, files):
    """Writes files (relative path with "/" -> bytes, None for a folder)
    below top, every stamp fixed."""
    for rel, data in files.items():
        p = os.path.join(top, *rel.rstrip("/").split("/"))
        if data is None:
            os.makedirs(p, exist_ok=True)
        else:
            os.makedirs(os.path.dirname(p), exist_ok=True)
            with open(p, "wb") as f:
                f.write(data)
    for base, dirs, names in os.walk(top):
        for n in dirs + names:
            os.utime(os.path.join(base, n), (FIXED_MTIME, FIXED_MTIME))


def tool_zip(kind, files):
    """The bytes of a zip of `files` (as for lay_out) made by a real tool:
      "zip"     Info-ZIP zip -r, with its extra fields (timestamps, Unix ids)
      "zip64"   zip -r -fz: Zip64 records on every entry
      "pipe"    zip -r - to a pipe: sizes in data descriptors after the data
      "7z"      7-Zip's 7z a -tzip
    The archive holds the paths of `files` as they are written."""
    with tempfile.TemporaryDirectory() as d:
        src = os.path.join(d, "src")
        lay_out(src, files)
        out = os.path.join(d, "out.zip")
        tops = sorted({rel.split("/")[0] for rel in files})
        run = {"zip": ["zip", "-q", "-r", out], "zip64": ["zip", "-q", "-r", "-fz", out],
               "pipe": ["zip", "-q", "-r", "-"],
               "7z": ["7z", "a", "-tzip", "-bd", "-bso0", "-bsp0", out]}[kind]
        got = subprocess.run(run + tops, cwd=src, stdout=subprocess.PIPE, check=True)
        if kind == "pipe":
            return got.stdout
        with open(out, "rb") as f:
            return f.read()


def zip_features(data):
    """What a zip's entries carry, for tests that must know their archives
    really have it: "descriptor" (sizes after the data), "zip64" (Zip64
    extra field), "extra" (other extra fields), "utf8" (UTF-8 name flag),
    "encrypted"."""
    found = set()
    with zipfile.ZipFile(io.BytesIO(data)) as z:
        for info in z.infolist():
            if info.flag_bits & 0x08:
                found.add("descriptor")
            if info.flag_bits & 0x800:
                found.add("utf8")
            if info.flag_bits & 0x01:
                found.add("encrypted")
            extra, pos = info.extra, 0
            while pos + 4 <= len(extra):
                tag, size = struct.unpack_from("<HH", extra, pos)
                found.add("zip64" if tag == 0x0001 else "extra")
                pos += 4 + size
    return found
