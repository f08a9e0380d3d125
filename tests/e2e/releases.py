"""Releases as data: parts (zip archives built in memory) and their setup list.

A test describes a release with Part objects and gets back what the release
host would carry: each archive's bytes and the brisquel-setup.txt text that
names them with the right SHA-256 and size.

    core = Part("core.zip", {"TamrockBuilder-1.0/BrisquelBuilder.exe": exe},
                extract_to=".", rename_from="TamrockBuilder-1.0",
                rename_to="TamrockBuilder")
    rel = Release("1.0", "TamrockBuilder/BrisquelBuilder.exe", [core])
    server.add_release(rel.tag, rel.assets(base))
"""
import hashlib
import io
import zipfile

from ziptools import tool_zip

BASE = "https://localhost:47443/"
REPO = "tamrock/brisquel"


class Part:
    def __init__(self, name, files, extract_to=".", rename_from="-", rename_to="-",
                 compression=zipfile.ZIP_DEFLATED, data=None, tool=None):
        """files: archive path -> bytes (a path ending in "/" with None is a
        folder). tool: made by a real zip tool (ziptools.tool_zip) instead
        of zipfile. data: exact archive bytes instead (for archives no tool
        writes); files then say what unpacking them gives."""
        self.name = name
        self.files = dict(files)
        self.extract_to = extract_to
        self.rename_from = rename_from
        self.rename_to = rename_to
        if data is None:
            data = tool_zip(tool, self.files) if tool else self._zip(compression)
        self.data = data

    def _zip(self, compression):
        out = io.BytesIO()
        with zipfile.ZipFile(out, "w", compression) as z:
            for path, content in sorted(self.files.items()):
                info = zipfile.ZipInfo(path, date_time=(2024, 5, 1, 12, 0, 0))
                if content is None:
                    info.external_attr = (0o40755 << 16) | 0x10
                    z.writestr(info, b"")
                else:
                    info.external_attr = 0o644 << 16
                    info.compress_type = compression
                    z.writestr(info, content)
        return out.getvalue()

    @property
    def sha256(self):
        return hashlib.sha256(self.data).hexdigest()

    @property
    def size(self):
        return len(self.data)

    def line(self, url):
        return "part %s %d %s %s %s %s" % (self.sha256, self.size, self.extract_to,
                                           self.rename_from, self.rename_to, url)

    def installed_files(self):
        """What unpacking and the rename put below the version directory:
        relative path (with "/") -> bytes, folders left out."""
        out = {}
        prefix = "" if self.extract_to == "." else self.extract_to.replace("\\", "/").rstrip("/") + "/"
        for path, content in self.files.items():
            if content is None:
                continue
            top, _, rest = path.partition("/")
            if self.rename_from != "-" and self.rename_to != "-" and top == self.rename_from:
                path = self.rename_to + ("/" + rest if rest else "")
            out[prefix + path] = content
        return out


class Release:
    def __init__(self, tag, run, parts, repo=REPO, base=BASE, extra_lines=()):
        self.tag = tag
        self.run = run
        self.parts = list(parts)
        self.repo = repo
        self.base = base
        self.extra_lines = list(extra_lines)

    def url(self, part):
        return "%s%s/releases/download/%s/%s" % (self.base, self.repo, self.tag, part.name)

    def setup_list(self):
        lines = ["tag " + self.tag, "run " + self.run]
        lines += [p.line(self.url(p)) for p in self.parts]
        lines += self.extra_lines
        return ("\n".join(lines) + "\n").encode()

    def assets(self):
        out = {"brisquel-setup.txt": self.setup_list()}
        for p in self.parts:
            out[p.name] = p.data
        return out

    def installed_files(self):
        out = {}
        for p in self.parts:
            out.update(p.installed_files())
        return out
