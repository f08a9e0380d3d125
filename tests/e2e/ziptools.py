"""Zip archives for the end-to-end tests.

write_zip() uses the standard zipfile module, so the tests unpack what real
zip writers produce. raw_zip() lays the records out byte by byte for what
zipfile will not write: hostile names, code page 437 names, wrong CRCs and
sizes, unknown methods, Zip64 end records.
"""
import struct
import zipfile
import zlib

# What the tar stand-in writes to standard error under
# TAR_STANDIN_STDERR_BYTES: this unit repeated and cut at the byte count.
# Keep in step with kFiller in tests/tools/tar.cpp. It holds characters of
# every UTF-8 length, and 511 bytes (the setup's capture) end inside one.
STANDIN_STDERR_UNIT = "tar.exe: stand-in failed Grüße ✓ €5 😀 日本語\n".encode("utf-8")


def standin_stderr(count):
    """The exact bytes the stand-in writes for TAR_STANDIN_STDERR_BYTES=count."""
    reps = count // len(STANDIN_STDERR_UNIT) + 1
    return (STANDIN_STDERR_UNIT * reps)[:count]


def write_zip(path, entries, comment=b"", compression=zipfile.ZIP_DEFLATED):
    """Writes a zip with zipfile. entries: (name, data) pairs, data None for a
    directory (name ending in "/"), or (name, data, compress_type) triples."""
    with zipfile.ZipFile(path, "w", compression) as z:
        z.comment = comment
        for entry in entries:
            name, data = entry[0], entry[1]
            kind = entry[2] if len(entry) > 2 else compression
            info = zipfile.ZipInfo(name, date_time=(2021, 6, 15, 12, 34, 56))
            info.compress_type = kind
            if data is None:
                info.external_attr = (0o40755 << 16) | 0x10
                z.writestr(info, b"")
            else:
                info.external_attr = 0o644 << 16
                z.writestr(info, data)


def deflate_raw(data):
    c = zlib.compressobj(9, zlib.DEFLATED, -15)
    return c.compress(data) + c.flush()


class Entry:
    """One entry for raw_zip. name is str (UTF-8, flagged when not ASCII) or
    bytes (written as is, unflagged). The overrides replace what the data
    would give, to build broken archives."""

    def __init__(self, name, data=b"", method=8, flags=0, crc=None, usize=None,
                 payload=None, made_by=20, ext_attr=0o644 << 16, local_sig=0x04034b50):
        if isinstance(name, str):
            if not name.isascii():
                flags |= 0x800
            name = name.encode("utf-8")
        self.name = name
        self.data = data
        self.method = method
        self.flags = flags
        self.crc = zlib.crc32(data) if crc is None else crc
        self.usize = len(data) if usize is None else usize
        if payload is None:
            payload = deflate_raw(data) if method == 8 else data
        self.payload = payload
        self.made_by = made_by
        self.ext_attr = ext_attr
        self.local_sig = local_sig


def raw_zip(entries, comment=b"", zip64=False, cd_offset_delta=0):
    """Builds a zip byte by byte. zip64 adds a Zip64 end record and locator
    and puts the Zip64 markers into the classic end record."""
    dos_time, dos_date = (12 << 11) | (34 << 5) | 28, ((2021 - 1980) << 9) | (6 << 5) | 15
    out = bytearray()
    central = bytearray()
    for e in entries:
        offset = len(out)
        out += struct.pack("<IHHHHHIIIHH", e.local_sig, 20, e.flags, e.method, dos_time,
                           dos_date, e.crc, len(e.payload), e.usize, len(e.name), 0)
        out += e.name + e.payload
        central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, e.made_by, 20, e.flags,
                               e.method, dos_time, dos_date, e.crc, len(e.payload), e.usize,
                               len(e.name), 0, 0, 0, 0, e.ext_attr, offset)
        central += e.name
    cd_offset = len(out)
    out += central
    count, cd_size, cd_off = len(entries), len(central), cd_offset + cd_offset_delta
    if zip64:
        end64 = len(out)
        out += struct.pack("<IQHHIIQQQQ", 0x06064B50, 44, 45, 45, 0, 0, count, count,
                           cd_size, cd_off)
        out += struct.pack("<IIQI", 0x07064B50, 0, end64, 1)
        count, cd_size, cd_off = 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF
    out += struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, count, count, cd_size, cd_off,
                       len(comment))
    out += comment
    return bytes(out)
