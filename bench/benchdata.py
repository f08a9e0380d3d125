"""The benchmarks' releases: large zip parts written to disk once, small
ones built in memory with the e2e tests' own Part.

Large parts hold incompressible bytes, stored (ZIP_STORED), and are padded
so that each archive is exactly the size asked for: a release of four
64 MiB parts is 256 MiB on the wire, byte for byte. They are kept in the
bench's build tree with their SHA-256 in a manifest and made again only
when missing or changed, so later runs start at once.
"""
import hashlib
import json
import os
import zipfile
from pathlib import Path

import releases  # tests/e2e: Part, Release

RUN = "TamrockBuilder/BrisquelBuilder.exe"
_STAMP = (2024, 5, 1, 12, 0, 0)
_PIECE = 1 << 20


class DiskPart:
    """A part whose archive lives in a file; the server reads it when it
    serves it. Has what releases.Release needs of a part."""

    line = releases.Part.line  # the setup list's part line, one format only

    def __init__(self, name, path, sha256, size, extract_to=".", rename_from="-", rename_to="-"):
        self.name = name
        self.path = Path(path)
        self.sha256 = sha256
        self.size = size
        self.extract_to = extract_to
        self.rename_from = rename_from
        self.rename_to = rename_to

    def asset(self):
        return self.path


class MemPart:
    """A small part built in memory by releases.Part; served from memory."""

    def __init__(self, part):
        self.part = part
        self.name = part.name
        self.sha256 = part.sha256
        self.size = part.size
        self.extract_to = part.extract_to
        self.rename_from = part.rename_from
        self.rename_to = part.rename_to

    def line(self, url):
        return self.part.line(url)

    def asset(self):
        return self.part.data


def assets(release):
    """What the server carries for a releases.Release of Disk/MemParts."""
    out = {"brisquel-setup.txt": release.setup_list()}
    for p in release.parts:
        out[p.name] = p.asset()
    return out


def _stored_overhead(names):
    # Local header (30 + name) and central record (46 + name) per entry,
    # then the end record (22); zipfile adds no extra fields to stored
    # entries below 2 GiB.
    return sum(76 + 2 * len(n.encode()) for n in names) + 22


def _write_zip(path, entries):
    """entries: (name, bytes) or (name, int n: n random bytes), in order."""
    tmp = path.with_suffix(path.suffix + ".tmp")
    with zipfile.ZipFile(tmp, "w", zipfile.ZIP_STORED) as z:
        for name, content in entries:
            info = zipfile.ZipInfo(name, date_time=_STAMP)
            info.external_attr = 0o644 << 16
            info.compress_type = zipfile.ZIP_STORED
            with z.open(info, "w") as out:
                if isinstance(content, int):
                    left = content
                    while left:
                        n = min(left, _PIECE)
                        out.write(os.urandom(n))
                        left -= n
                else:
                    out.write(content)
    os.replace(tmp, path)


def _sha256_file(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        while True:
            b = f.read(4 << 20)
            if not b:
                return h.hexdigest()
            h.update(b)


class Store:
    """Large archives in one folder, made once, described by manifest.json."""

    def __init__(self, folder):
        self.folder = Path(folder)
        self.folder.mkdir(parents=True, exist_ok=True)
        self.manifest_path = self.folder / "manifest.json"
        try:
            self.manifest = json.loads(self.manifest_path.read_text())
        except (OSError, ValueError):
            self.manifest = {}

    def _save(self):
        self.manifest_path.write_text(json.dumps(self.manifest, indent=1, sort_keys=True))

    def archive(self, file_name, size, top, fixed=()):
        """A stored zip of exactly `size` bytes: the `fixed` (name, bytes)
        entries, then top/blob.bin filled with random bytes. Returns
        (path, sha256)."""
        path = self.folder / file_name
        fixed = list(fixed)
        recipe = {"size": size, "top": top,
                  "fixed": [[n, hashlib.sha256(b).hexdigest()] for n, b in fixed]}
        known = self.manifest.get(file_name)
        if known and known.get("recipe") == recipe and path.exists():
            st = path.stat()
            if st.st_size == size and st.st_mtime_ns == known.get("mtime_ns"):
                return path, known["sha256"]
        blob = top + "/blob.bin"
        fill = size - _stored_overhead([n for n, _ in fixed] + [blob]) - sum(len(b) for _, b in fixed)
        if fill < 0:
            raise ValueError(f"{file_name}: {size} bytes cannot hold its fixed entries")
        _write_zip(path, fixed + [(blob, fill)])
        if path.stat().st_size != size:
            raise RuntimeError(f"{file_name}: made {path.stat().st_size} bytes, not {size}")
        sha = _sha256_file(path)
        self.manifest[file_name] = {"recipe": recipe, "sha256": sha,
                                    "mtime_ns": path.stat().st_mtime_ns}
        self._save()
        return path, sha

    # -- the parts the benchmarks use ------------------------------------

    def base_part(self, size, builder, name="base.zip"):
        """The builder and filler, unpacked into the version directory: no
        folder of its own, so an update never keeps it."""
        path, sha = self.archive(f"base-{size}.zip", size, "TamrockBuilder/filler",
                                 fixed=[(RUN, builder)])
        return DiskPart(name, path, sha, size)

    def data_part(self, i, size, name=None):
        """Unpacked below TamrockBuilder/data and renamed: a folder of its
        own (TamrockBuilder/data/d<i>), so an update can keep it."""
        path, sha = self.archive(f"data{i}-{size}.zip", size, f"d{i}-src")
        return DiskPart(name or f"data-{i}.zip", path, sha, size, extract_to="TamrockBuilder/data",
                        rename_from=f"d{i}-src", rename_to=f"d{i}")


def small_base(builder, version):
    """A base part of its own version: the builder and one version text."""
    return MemPart(releases.Part("base.zip", {RUN: builder,
                                              "TamrockBuilder/version.txt": version.encode()},
                                 compression=zipfile.ZIP_STORED))


def files_part(count, version):
    """A tool part of `count` small files in folders of 500, as a toolchain
    part (emsdk) is: its folder is TamrockBuilder/tools/emsdk. The version
    text makes each version's archive its own."""
    files = {"version.txt": version.encode()}
    for i in range(count):
        files[f"upstream/d{i // 500:02d}/f{i:05d}.js"] = b"//" + b"x" * (i % 61)
    return MemPart(releases.Part("TamrockBuilder-emsdk-3.1.zip", files,
                                 extract_to="TamrockBuilder/tools/emsdk",
                                 compression=zipfile.ZIP_STORED))


def release(tag, parts):
    return releases.Release(tag, RUN, parts)
