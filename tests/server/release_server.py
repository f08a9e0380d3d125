#!/usr/bin/env python3
"""Local stand-in for the release host and its API, for the tests.

It serves, over real TLS with the test CA (see make_certs.sh), what the
setup expects from the outside service, and lets a test decide per request
how each answer goes wrong. Standard library only.

Addresses (fixed, compiled into the test build):
  https://localhost:47443/       release host base
  https://localhost:47443/api/   release API base
  http://localhost:47080/        the same content over plain HTTP, for
                                 redirects from https to http, and the
                                 control interface
Both listen on 127.0.0.1 only, with SO_REUSEADDR so that consecutive tests
rebind at once.

Content
  /<owner>/<repo>/releases/latest/download/<asset>      asset bytes
  /<owner>/<repo>/releases/download/<tag>/<asset>       asset bytes
  /api/repos/<owner>/<repo>/releases/latest             release JSON
  /api/repos/<owner>/<repo>/releases/tags/<tag>         release JSON
  /api/repos/<owner>/<repo>/releases/assets/<id>        asset bytes when the
      request accepts application/octet-stream, else the asset's JSON
Release JSON keeps the real service's member order where the setup relies
on it: the release's own "url" and "name" first, then (after more members,
among them an author object with a "url" of its own) the "assets" array,
each asset object starting with "url", "id", "node_id", "name". Unknown
releases, tags and assets give 404 (JSON from the API, text elsewhere).

Library use (the e2e tests)
  srv = ReleaseServer()                       # root_dir=None, see below
  srv.start()
  rel = srv.add_release("1.4.2", {"brisquel-setup.txt": b"...",
                                   "core.zip": pathlib.Path("core.zip")})
  srv.script("/tamrock/brisquel/releases/latest/download/core.zip",
             [503, Answer(stall_after=1000, stall=5), Answer(body_len=10)])
  ...
  srv.requests_for("core.zip"); srv.bytes_sent("core.zip"); srv.stop()
An asset is bytes (served from memory) or a path (read when served).
ReleaseServer is also a context manager.

Scripted answers
  srv.script(path, answers) queues answers for one path (without query;
  a path containing "?" matches the whole request target instead). Each
  request to the path takes the next answer; with the queue empty the
  normal content is served. An answer is an Answer, an int (that status,
  empty body) or a dict of Answer's fields:
    status       status code; None: the normal one (200, or 404)
    body         exact body bytes; None: the normal body when the status
                 is the normal one, else empty
    body_len     cut the body to this many bytes, or lengthen it with
                 pattern bytes (byte i = i % 251); Content-Length agrees
    delay        seconds to wait before the status line
    stall_after  after this many body bytes, wait `stall` seconds, then
    stall        go on sending
    cut_after    after this many body bytes close the connection, although
                 the framing promised more
    drop         close the connection without any answer (after delay)
    location     redirect target (absolute or relative); status 302 unless
                 given
    framing      "length" (Content-Length, the default), "chunked", or
                 "close" (neither: the body ends when the connection does)
    chunks       chunk sizes for "chunked"; the rest of the body follows
                 in chunks of 16 KiB
    chunk_pause  seconds between chunks
    content_type, headers (dict of extra headers)
    ignore_range, range_start  a file answers "Range: bytes=k-" with 206
                 (416 from k = size on); instead: the whole file (200), or
                 206 from range_start on

Request log
  srv.log is a snapshot list of Request records: method, path (the whole
  target), scheme, accept, user_agent, status (None while unanswered or
  when dropped), body_bytes sent, time (time.monotonic() at arrival),
  scripted, complete, range (the Range header). Requests to /_control/
  are not logged. Helpers:
  clear_log(), requests_for(substring), bytes_sent(substring=None),
  wait_for_requests(substring, count, timeout).

Standalone use (the Windows test programs)
  release_server.py --serve [--root DIR] [--certs DIR] [--verbose]
      serves until SIGTERM or SIGINT; prints "ready <https base> <http
      base>" on stdout once both ports listen.
  release_server.py --run [--root DIR] [--certs DIR] -- COMMAND ...
      starts the server, runs COMMAND, stops the server and exits with
      COMMAND's exit code (a ctest wrapper).
  release_server.py --wait-ready [--timeout S]
      waits until a server answers on the control interface; exit 1 if
      none did in time.
  --https-port N and --http-port N move the server off the fixed ports.
  --root DIR publishes DIR/<tag>/<files> as releases; DIR/latest.txt names
  the latest tag, else the highest tag in version order is latest.
  --certs DIR (default $BRISQUEL_CERTS, else $BRISQUEL_BUILD/certs, else
  build/test/certs in the source tree) holds the certificates; they are
  made there when missing.

Control interface (GET, either port; answers JSON unless said otherwise)
  /_control/ping                    "ok"
  /_control/script?path=P&<answer>  queue an answer for P; <answer> is
      status, body (text), body_len, delay_ms, stall_after, stall_ms,
      cut_after, drop=1, location, framing, chunks=a,b,c, chunk_pause_ms,
      content_type, header=Name:Value (repeatable); times=N queues N
      copies. Bad parameters give 400.
  /_control/pending?path=P          {"pending": answers left for P}
  /_control/log[?path_contains=S][&format=lines]
      the request log as a JSON list, or one line per request:
      "<status|-> <body_bytes> <method> <path> accept=<..> ua=<..>"
  /_control/clear[?releases=1]      forget the log and every script (and
                                    the releases)
  /_control/release?tag=T[&latest=0|1][&name=N][&repo=o/r]
                    [&asset=NAME&(size=N|text=TEXT|file=PATH)]
      publish or extend a release (latest=1 by default); answers the
      release's assets with id, size, sha256, API url and download url.

Fixed paths (stateless; any answer parameter above also applies, e.g.
/_fixed/bytes/1000?framing=chunked&stall_after=500&stall_ms=2000)
  /_fixed/status/<code>        that status, empty body
  /_fixed/bytes/<n>            n pattern bytes (byte i = i % 251), at most
                               64 MiB
  /_fixed/chunks/<a>,<b>,...   pattern bytes in chunks of those sizes, each
                               flushed, 200 ms apart (pause_ms=...). The
                               pause makes separate reads likely, not
                               certain: TCP and the client may still merge.
  /_fixed/redirect?to=<url>[&status=302]
  /_fixed/headers              the request's method, target and headers as
                               JSON

What WinHTTP under Wine 8 makes of these answers (seen with
tests/tools/https_probe.exe, session set up like the setup's own; keep it
in mind when choosing what a test can expect):
  - WinHttpReadData fills the whole buffer it is given before returning,
    unless the body ends: chunks, pauses and stalls inside the first
    64 KiB all arrive as one read. Several reads need a body over 64 KiB
    (200000 bytes come as 65536, 65536, 65536, 3392).
  - A redirect from https to http under the DISALLOW_HTTPS_TO_HTTP policy
    makes WinHttpReceiveResponse fail with 12156 (REDIRECT_FAILED): no
    status is seen at all. http to https and https to https are followed.
  - drop (close without an answer): WinHttpReceiveResponse fails, 12152.
  - cut_after (close before the promised length, or before the last chunk)
    is NOT an error: the reads end normally with the shorter body. Only a
    size check by the caller notices.
  - A stall mid-body beyond the 60 s receive time-out: WinHttpReadData
    fails with 10060 after about 60 s. A delay before the status line is
    not bound by that time-out: 100 s were waited out and then the answer
    was taken.
"""

import argparse
import collections
import dataclasses
import hashlib
import http.server
import json
import os
import re
import signal
import socket
import socketserver
import ssl
import subprocess
import sys
import threading
import time
import urllib.error
import urllib.parse
import urllib.request

HOST = "localhost"
BIND = "127.0.0.1"
HTTPS_PORT = 47443
HTTP_PORT = 47080
REPOSITORY = "tamrock/brisquel"

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))

MAX_BODY = 64 << 20          # a bound on generated bodies, against typos
SEND_PIECE = 64 << 10
CHUNK_PIECE = 16 << 10
CONN_TIMEOUT = 30            # seconds a connection may idle or stall us
FIXED_TIME = "2024-05-01T12:00:00Z"


def pattern(n, offset=0):
    """n deterministic bytes, byte i = (offset + i) % 251."""
    if n <= 0:
        return b""
    start = offset % 251
    cycle = bytes(range(251))
    reps = (start + n) // 251 + 1
    return (cycle * reps)[start:start + n]


@dataclasses.dataclass
class Answer:
    """One scripted answer; see the module docstring."""
    status: int | None = None
    body: bytes | None = None
    body_len: int | None = None
    delay: float = 0.0
    stall_after: int | None = None
    stall: float = 0.0
    cut_after: int | None = None
    drop: bool = False
    location: str | None = None
    framing: str = "length"
    chunks: list | None = None
    chunk_pause: float = 0.0
    content_type: str | None = None
    headers: dict = dataclasses.field(default_factory=dict)
    ignore_range: bool = False
    range_start: int | None = None

    def __post_init__(self):
        if self.framing not in ("length", "chunked", "close"):
            raise ValueError("framing must be length, chunked or close")
        if isinstance(self.body, str):
            self.body = self.body.encode("utf-8")
        for name in ("body_len", "stall_after", "cut_after"):
            v = getattr(self, name)
            if v is not None and not 0 <= v <= MAX_BODY:
                raise ValueError(f"{name} out of range: {v}")
        if self.chunks is not None and any(c <= 0 for c in self.chunks):
            raise ValueError("chunk sizes must be positive")
        if self.status is not None and not 100 <= self.status <= 999:
            raise ValueError(f"status out of range: {self.status}")


def as_answer(a):
    if isinstance(a, Answer):
        return a
    if isinstance(a, int):
        return Answer(status=a)
    if isinstance(a, dict):
        return Answer(**a)
    raise TypeError(f"not an answer: {a!r}")


_ANSWER_INTS = {"status": "status", "body_len": "body_len",
                "stall_after": "stall_after", "cut_after": "cut_after"}
_ANSWER_MS = {"delay_ms": "delay", "stall_ms": "stall",
              "chunk_pause_ms": "chunk_pause", "pause_ms": "chunk_pause"}


def answer_from_query(q, base=None):
    """Builds an Answer from parsed query parameters (name -> list), over
    the fields of base. Raises ValueError on a bad value."""
    fields = dataclasses.asdict(base) if base else {}
    fields["headers"] = dict(fields.get("headers") or {})
    for key, values in q.items():
        v = values[-1]
        if key in _ANSWER_INTS:
            fields[_ANSWER_INTS[key]] = int(v)
        elif key in _ANSWER_MS:
            ms = int(v)
            if not 0 <= ms <= 3600_000:
                raise ValueError(f"{key} out of range")
            fields[_ANSWER_MS[key]] = ms / 1000.0
        elif key == "body":
            fields["body"] = v.encode("utf-8")
        elif key == "drop":
            fields["drop"] = v not in ("", "0")
        elif key in ("location", "framing", "content_type"):
            fields[key] = v
        elif key == "chunks":
            fields["chunks"] = [int(c) for c in v.split(",") if c]
        elif key == "header":
            for h in values:
                name, sep, value = h.partition(":")
                if not sep or not name.strip():
                    raise ValueError(f"bad header {h!r}")
                fields["headers"][name.strip()] = value.strip()
    return Answer(**fields)


class Content(collections.namedtuple("Content", "status body ctype location",
                                     defaults=(None,))):
    """An unscripted answer: what the path holds."""


@dataclasses.dataclass
class Request:
    method: str
    path: str
    scheme: str
    accept: str | None
    user_agent: str | None
    time: float
    status: int | None = None
    body_bytes: int = 0
    scripted: bool = False
    complete: bool = False
    range: str | None = None


@dataclasses.dataclass
class Asset:
    id: int
    name: str
    source: object               # bytes, or a path read when served
    content_type: str = "application/octet-stream"
    state: str = "uploaded"      # "starter": an upload that was cut off

    def data(self):
        if isinstance(self.source, (bytes, bytearray)):
            return bytes(self.source)
        with open(self.source, "rb") as f:
            return f.read()

    def size(self):
        if isinstance(self.source, (bytes, bytearray)):
            return len(self.source)
        return os.path.getsize(self.source)


@dataclasses.dataclass
class Release:
    id: int
    repo: str
    tag: str
    name: str
    assets: dict                 # name -> Asset, in publishing order
    draft: bool = False          # invisible to downloads and releases/tags/


def _content_type_for(name):
    lower = name.lower()
    if lower.endswith(".zip"):
        return "application/zip"
    if lower.endswith(".txt"):
        return "text/plain"
    return "application/octet-stream"


def _version_key(tag):
    return [(0, int(p), "") if p.isdigit() else (1, 0, p)
            for p in re.split(r"(\d+)", tag) if p]


class _Stop(Exception):
    """The server is stopping: abandon the answer."""


class _Cut(Exception):
    """A scripted early close."""


def default_cert_dir():
    if os.environ.get("BRISQUEL_CERTS"):
        return os.environ["BRISQUEL_CERTS"]
    if os.environ.get("BRISQUEL_BUILD"):
        return os.path.join(os.environ["BRISQUEL_BUILD"], "certs")
    return os.path.join(SOURCE, "build", "test", "certs")


def ensure_certs(cert_dir):
    subprocess.run(["bash", os.path.join(HERE, "make_certs.sh"), cert_dir], check=True)
    return cert_dir


class _Listener(http.server.ThreadingHTTPServer):
    allow_reuse_address = True
    daemon_threads = True
    # Handler threads are joined on close; stop() first unblocks them.
    block_on_close = True

    def __init__(self, rs, scheme, port, tls):
        self.rs = rs
        self.scheme = scheme
        self.tls = tls
        super().__init__((BIND, port), _Handler)

    def server_bind(self):
        # HTTPServer.server_bind looks up the host's FQDN, which can take
        # seconds on a machine without DNS; the name is never used here.
        socketserver.TCPServer.server_bind(self)
        self.server_name = HOST
        self.server_port = self.server_address[1]

    def finish_request(self, request, client_address):
        # A duplicate of the descriptor lets stop() shut the connection down
        # from another thread without touching the TLS object in use.
        handle = request.dup()
        self.rs._track(handle, True)
        conn = request
        try:
            request.settimeout(CONN_TIMEOUT)
            # Small writes go out at once, so chunk boundaries and stalls
            # reach the client as scripted.
            request.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            if self.tls:
                # Per connection, in this thread: a slow handshake must not
                # hold up the accept loop.
                conn = self.tls.wrap_socket(request, server_side=True)
            self.RequestHandlerClass(conn, client_address, self)
        except (OSError, ssl.SSLError) as e:
            if self.rs.verbose:
                print(f"release_server: {self.scheme} connection: {e}", file=sys.stderr)
        finally:
            self.rs._track(handle, False)
            if conn is not request:
                try:
                    conn.close()
                except OSError:
                    pass
            handle.close()


class _GitHubWrites:
    """The release API calls that brisquel-release publish makes, answered
    the way GitHub answers them (only while ReleaseServer.token is set):
      POST   /api/repos/R/releases                 create (201), 422 when the
                                                   tag has a release already
      GET    /api/repos/R/releases?page=N          every release, drafts too
      GET    /api/repos/R/releases/<id>/assets     the assets, "starter" ones too
      POST   /uploads/repos/R/releases/<id>/assets?name=N   upload (201), 422
                                                   when the name is taken
      PATCH  /api/repos/R/releases/<id>            a draft changed without
                                                   tag_name moves to an
                                                   untagged-... tag; make_latest
                                                   must be a string
      DELETE /api/repos/R/releases/assets/<id>     204
    Each needs a User-Agent (else 403) and "Authorization: Bearer <token>"
    (else 401). srv.faults[op] lists faults taken one per request of op
    ("create", "list", "assets", "upload <name>", "patch", "delete"): a
    status (answered with a GitHub error body), "ratelimit" (403 with
    Retry-After: 1), and for uploads "cut" (half the body read, kept as a
    starter asset, connection closed), "hang" (a starter asset, then no
    answer until the server stops) and "corrupt" (stored with its first
    byte changed)."""

    _GH_RELEASES = re.compile(r"^/api/repos/([^/]+/[^/]+)/releases$")
    _GH_RELEASE = re.compile(r"^/api/repos/([^/]+/[^/]+)/releases/(\d+)$")
    _GH_ASSETS = re.compile(r"^/api/repos/([^/]+/[^/]+)/releases/(\d+)/assets$")
    _GH_UPLOAD = re.compile(r"^/uploads/repos/([^/]+/[^/]+)/releases/(\d+)/assets$")
    _GH_ASSET = re.compile(r"^/api/repos/([^/]+/[^/]+)/releases/assets/(\d+)$")

    def do_POST(self):
        self._github("POST")

    def do_PATCH(self):
        self._github("PATCH")

    def do_DELETE(self):
        self._github("DELETE")

    def _github_read(self, path):
        if self.server.rs.token is None:
            return False
        if not (self._GH_RELEASES.match(path) or self._GH_ASSETS.match(path)):
            return False
        self._github("GET")
        return True

    def _github(self, method):
        rs = self.server.rs
        target = urllib.parse.urlsplit(self.path)
        rec = Request(method=method, path=self.path, scheme=self.server.scheme,
                      accept=self.headers.get("Accept"),
                      user_agent=self.headers.get("User-Agent"), time=time.monotonic())
        rs._append(rec)
        self._unread = int(self.headers.get("Content-Length") or 0)
        extra = {}
        try:
            status, obj = self._github_answer(method, target.path,
                                              urllib.parse.parse_qs(target.query), extra)
            self._request_body()
        except (_Cut, _Stop, OSError, ssl.SSLError):
            self.close_connection = True
            return
        body = b"" if obj is None else json.dumps(obj).encode()
        rec.status = status
        self.send_response(status)
        self.send_header("Content-Type", "application/json; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        for k, v in extra.items():
            self.send_header(k, v)
        self.end_headers()
        self.wfile.write(body)
        rec.body_bytes = len(body)
        rec.complete = True

    def _request_body(self, n=None):
        n = self._unread if n is None else min(n, self._unread)
        data = self.rfile.read(n) if n else b""
        self._unread -= len(data)
        return data

    @staticmethod
    def _error(message, code=None):
        out = {"message": message, "documentation_url": "https://docs.github.com/rest"}
        if code:
            out["errors"] = [{"resource": "Release", "code": code}]
        return out

    def _github_answer(self, method, path, query, extra):
        rs = self.server.rs
        if not self.headers.get("User-Agent"):
            return 403, self._error("Request forbidden by administrative rules. Please make "
                                    "sure your request has a User-Agent header")
        if self.headers.get("Authorization") not in (f"Bearer {rs.token}", f"token {rs.token}"):
            return 401, self._error("Bad credentials")
        routes = [("POST", self._GH_RELEASES, "create"), ("GET", self._GH_RELEASES, "list"),
                  ("GET", self._GH_ASSETS, "assets"), ("POST", self._GH_UPLOAD, "upload"),
                  ("PATCH", self._GH_RELEASE, "patch"), ("DELETE", self._GH_ASSET, "delete")]
        for verb, pattern_, op in routes:
            m = pattern_.match(path)
            if verb == method and m:
                break
        else:
            return 404, self._error("Not Found")
        name = query.get("name", [""])[-1]
        with rs._lock:
            faults = rs.faults.get(f"upload {name}" if op == "upload" else op) or [None]
            fault = faults.pop(0) if faults[0] is not None else None
        if isinstance(fault, int):
            return fault, self._error("Validation Failed" if fault == 422 else "Server Error",
                                      "custom" if fault == 422 else None)
        if fault == "ratelimit":
            extra.update({"Retry-After": "1", "x-ratelimit-remaining": "0"})
            return 403, self._error("API rate limit exceeded")
        repo, number = m[1], int(m[2]) if m.re.groups > 1 else None
        if op == "create":
            ask = json.loads(self._request_body() or b"{}")
            with rs._lock:
                if (repo, ask.get("tag_name")) in rs._releases:
                    return 422, self._error("Validation Failed", "already_exists")
                rel = Release(rs._next_release_id, repo, ask["tag_name"],
                              ask.get("name") or ask["tag_name"], {}, bool(ask.get("draft")))
                rs._next_release_id += 1
                rs._releases[(repo, rel.tag)] = rel
            return 201, rs._release_json(rel)
        if op == "list":
            with rs._lock:
                rels = sorted((r for r in rs._releases.values() if r.repo == repo),
                              key=lambda r: -r.id)
            return 200, [rs._release_json(r) for r in rels] if query.get("page", ["1"])[-1] == "1" else []
        if op == "delete":
            with rs._lock:
                found = rs._assets.pop(number, None)
                if found:
                    found[0].assets.pop(found[1].name, None)
            return (204, None) if found else (404, self._error("Not Found"))
        with rs._lock:
            rel = next((r for r in rs._releases.values() if r.id == number and r.repo == repo), None)
        if rel is None:
            return 404, self._error("Not Found")
        if op == "assets":
            return 200, [rs._asset_json(rel, a) for a in list(rel.assets.values())]
        if op == "patch":
            ask = json.loads(self._request_body() or b"{}")
            if ask.get("make_latest", "true") not in ("true", "false", "legacy"):
                return 422, self._error("Validation Failed", "invalid")
            with rs._lock:
                tag = ask.get("tag_name") or (f"untagged-{rel.id:x}" if rel.draft else rel.tag)
                rs._releases.pop((repo, rel.tag), None)
                rel.tag = tag
                rs._releases[(repo, tag)] = rel
                rel.name = ask.get("name", rel.name)
                rel.draft = bool(ask.get("draft", rel.draft))
                if not rel.draft and ask.get("make_latest") == "true":
                    rs._latest[repo] = tag
            return 200, rs._release_json(rel)
        # upload
        if name in rel.assets:
            self._request_body()
            return 422, {**self._error("Validation Failed"),
                         "errors": [{"resource": "ReleaseAsset", "code": "already_exists",
                                     "field": "name"}]}
        with rs._lock:
            a = Asset(rs._next_asset_id, name, b"", _content_type_for(name), "starter")
            rs._next_asset_id += 1
            if fault in ("cut", "hang"):
                rel.assets[name] = a
                rs._assets[a.id] = (rel, a)
        if fault == "cut":
            a.source = self._request_body(self._unread // 2)
            raise _Cut()
        data = self._request_body()
        if fault == "hang":
            rs._sleep(600)
            raise _Stop()
        if fault == "corrupt" and data:
            data = bytes([data[0] ^ 1]) + data[1:]
        with rs._lock:
            a.source, a.state = data, "uploaded"
            rel.assets[name] = a
            rs._assets[a.id] = (rel, a)
        return 201, rs._asset_json(rel, a)


class _Handler(_GitHubWrites, http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "BrisquelReleaseServer/1.0"
    sys_version = ""

    def log_message(self, fmt, *args):
        if self.server.rs.verbose:
            sys.stderr.write("release_server: %s %s\n" % (self.server.scheme, fmt % args))

    def do_GET(self):
        rs = self.server.rs
        path = urllib.parse.urlsplit(self.path).path
        if path.startswith("/_control/"):
            self._control(path)
            return
        if self._github_read(path):
            return
        rec = Request(method=self.command, path=self.path, scheme=self.server.scheme,
                      accept=self.headers.get("Accept"),
                      user_agent=self.headers.get("User-Agent"), time=time.monotonic(),
                      range=self.headers.get("Range"))
        rs._append(rec)
        try:
            answer = rs._next_answer(self.path, path)
            rec.scripted = answer is not None
            if path.startswith("/_fixed/"):
                fixed, normal = self._fixed(path)
                answer = answer or fixed
            else:
                normal = rs._normal(path, self.headers.get("Accept") or "")
            self._deliver(rec, answer or Answer(), normal)
        except ValueError as e:
            self._simple(rec, 400, f"bad request: {e}\n".encode(), "text/plain")
        except (_Stop, _Cut):
            self.close_connection = True
        except (OSError, ssl.SSLError):
            # The client went away mid-answer; the record says how far we got.
            self.close_connection = True

    # -- answers -------------------------------------------------------

    def _simple(self, rec, status, body, ctype):
        self._deliver(rec, Answer(status=status, body=body, content_type=ctype),
                      Content(status, body, ctype))

    def _deliver(self, rec, a, normal):
        rs = self.server.rs
        if a.delay and rs._sleep(a.delay):
            raise _Stop()
        if a.drop:
            self.close_connection = True
            return
        location = a.location
        if a.status is not None:
            status = a.status
        elif location is not None:
            status = 302
        else:
            status = normal.status
            location = normal.location
        if a.body is not None:
            body, ctype = a.body, "application/octet-stream"
        elif a.location is None and status == normal.status:
            body, ctype = normal.body, normal.ctype
        else:
            body, ctype = b"", "text/plain"
        if a.body_len is not None:
            body = body[:a.body_len] + pattern(a.body_len - len(body), len(body))
        ctype = a.content_type or ctype
        content_range, m = None, re.fullmatch(r"bytes=(\d+)-", rec.range or "")
        if (m and not a.ignore_range and a.status is None and a.body is None and a.location is None
                and status == 200 and normal.ctype == "application/octet-stream"):
            k, n = int(m[1]) if a.range_start is None else a.range_start, len(body)
            status = 416 if k >= n else 206
            content_range = f"bytes */{n}" if k >= n else f"bytes {k}-{n - 1}/{n}"
            body = body[k:]

        self.send_response(status)
        rec.status = status
        self.send_header("Content-Type", ctype)
        if location is not None:
            self.send_header("Location", location)
        if content_range is not None:
            self.send_header("Content-Range", content_range)
        if a.framing == "length":
            self.send_header("Content-Length", str(len(body)))
        elif a.framing == "chunked":
            self.send_header("Transfer-Encoding", "chunked")
        else:
            self.send_header("Connection", "close")
            self.close_connection = True
        for k, v in a.headers.items():
            self.send_header(k, v)
        self.end_headers()

        out = _BodyWriter(self, a, rec)
        if a.framing == "chunked":
            pieces, pos = [], 0
            for size in a.chunks or []:
                if pos >= len(body):
                    break
                pieces.append(body[pos:pos + size])
                pos += size
            while pos < len(body):
                pieces.append(body[pos:pos + CHUNK_PIECE])
                pos += CHUNK_PIECE
            out.body(b"")   # a stall or cut before the first byte
            for i, piece in enumerate(pieces):
                out.raw(b"%x\r\n" % len(piece))
                out.body(piece)
                out.raw(b"\r\n")
                if a.chunk_pause and i + 1 < len(pieces) and rs._sleep(a.chunk_pause):
                    raise _Stop()
            out.raw(b"0\r\n\r\n")
        else:
            out.body(b"")
            for pos in range(0, len(body), SEND_PIECE):
                out.body(body[pos:pos + SEND_PIECE])
        rec.complete = True
        if a.framing == "close":
            self._close_tls_cleanly()

    def _close_tls_cleanly(self):
        # A close-delimited body over TLS ends with close_notify, as a real
        # server's would; without it a client may take the end for a cut.
        # Non-blocking: send ours, but never wait for the client's reply
        # (WinHTTP sends none, which cost a second per answer).
        if isinstance(self.connection, ssl.SSLSocket):
            try:
                self.connection.settimeout(0.0)
                self.connection.unwrap()
            except (OSError, ssl.SSLError):
                pass

    def _fixed(self, path):
        q = urllib.parse.parse_qs(urllib.parse.urlsplit(self.path).query, keep_blank_values=True)
        parts = path.split("/")          # "", "_fixed", kind, arg...
        kind = parts[2] if len(parts) > 2 else ""
        arg = "/".join(parts[3:])
        base = Answer()
        if kind == "status" and arg.isdigit():
            base = Answer(status=int(arg))
            normal = Content(int(arg), b"", "text/plain")
        elif kind == "bytes" and arg.isdigit():
            n = int(arg)
            if n > MAX_BODY:
                raise ValueError("too many bytes")
            normal = Content(200, pattern(n), "application/octet-stream")
        elif kind == "chunks" and re.fullmatch(r"\d+(,\d+)*", arg):
            sizes = [int(s) for s in arg.split(",")]
            if sum(sizes) > MAX_BODY or 0 in sizes:
                raise ValueError("bad chunk sizes")
            base = Answer(framing="chunked", chunks=sizes, chunk_pause=0.2)
            normal = Content(200, pattern(sum(sizes)), "application/octet-stream")
        elif kind == "redirect" and "to" in q:
            base = Answer(location=q.pop("to")[-1])
            normal = Content(302, b"", "text/plain")
        elif kind == "headers":
            info = {"method": self.command, "path": self.path,
                    "headers": [[k, v] for k, v in self.headers.items()]}
            normal = Content(200, json.dumps(info).encode(), "application/json")
        else:
            normal = Content(404, b"Not Found", "text/plain")
        return answer_from_query(q, base), normal

    # -- control -------------------------------------------------------

    def _control(self, path):
        rs = self.server.rs
        q = urllib.parse.parse_qs(urllib.parse.urlsplit(self.path).query, keep_blank_values=True)
        one = lambda k, d=None: q[k][-1] if k in q else d
        try:
            cmd = path[len("/_control/"):]
            if cmd == "ping":
                self._reply(200, b"ok\n", "text/plain")
            elif cmd == "script":
                target = one("path")
                if not target or not target.startswith("/"):
                    raise ValueError("path must start with /")
                times = int(one("times", "1"))
                if not 1 <= times <= 1000:
                    raise ValueError("times out of range")
                answer = answer_from_query({k: v for k, v in q.items()
                                            if k not in ("path", "times")})
                rs.script(target, [answer] * times)
                self._json(200, {"queued": times, "pending": rs.pending(target)})
            elif cmd == "pending":
                self._json(200, {"pending": rs.pending(one("path", ""))})
            elif cmd == "log":
                recs = rs.requests_for(one("path_contains", ""))
                if one("format") == "lines":
                    text = "".join(
                        f"{r.status if r.status is not None else '-'} {r.body_bytes} {r.method} "
                        f"{r.path} accept={r.accept or ''} ua={r.user_agent or ''}\n"
                        for r in recs)
                    self._reply(200, text.encode(), "text/plain")
                else:
                    self._json(200, [dataclasses.asdict(r) for r in recs])
            elif cmd == "clear":
                rs.clear_log()
                rs.clear_scripts()
                if one("releases", "0") not in ("", "0"):
                    rs.clear_releases()
                self._reply(200, b"ok\n", "text/plain")
            elif cmd == "release":
                self._control_release(one)
            else:
                self._reply(404, b"unknown control command\n", "text/plain")
        except (ValueError, TypeError, OSError) as e:
            self._reply(400, f"bad control request: {e}\n".encode(), "text/plain")

    def _control_release(self, one):
        rs = self.server.rs
        tag = one("tag")
        if not tag:
            raise ValueError("tag is required")
        repo = one("repo", rs.repo)
        assets = {}
        if one("asset"):
            if one("size") is not None:
                n = int(one("size"))
                if not 0 <= n <= MAX_BODY:
                    raise ValueError("size out of range")
                assets[one("asset")] = pattern(n)
            elif one("text") is not None:
                assets[one("asset")] = one("text").encode("utf-8")
            elif one("file") is not None:
                if not os.path.isfile(one("file")):
                    raise ValueError("no such file")
                assets[one("asset")] = one("file")
            else:
                raise ValueError("asset needs size, text or file")
        rel = rs.add_release(tag, assets, latest=one("latest", "1") not in ("", "0"),
                             name=one("name"), repo=repo, replace=False)
        with rs._lock:
            published = list(rel.assets.values())
        out = []
        for a in published:
            data = a.data()
            out.append({"name": a.name, "id": a.id, "size": len(data),
                        "sha256": hashlib.sha256(data).hexdigest(),
                        "url": rs.asset_api_url(a.id, repo),
                        "download": rs.download_url(tag, a.name, repo=repo)})
        self._json(200, {"tag": tag, "id": rel.id, "assets": out})

    def _reply(self, status, body, ctype):
        self.send_response(status)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def _json(self, status, obj):
        self._reply(status, json.dumps(obj).encode(), "application/json")


class _BodyWriter:
    """Writes body bytes, stalling or cutting at the scripted offsets and
    counting what actually went out into the request record."""

    def __init__(self, handler, a, rec):
        self.h = handler
        self.rec = rec
        self.stall_at = a.stall_after if a.stall > 0 else None
        self.stall = a.stall
        self.cut_at = a.cut_after

    def raw(self, data):
        self.h.wfile.write(data)

    def body(self, data):
        pos = 0
        while True:
            if self.stall_at is not None and self.rec.body_bytes >= self.stall_at:
                self.stall_at = None
                if self.h.server.rs._sleep(self.stall):
                    raise _Stop()
            if self.cut_at is not None and self.rec.body_bytes >= self.cut_at:
                raise _Cut()
            if pos >= len(data):
                return
            end = len(data)
            for mark in (self.stall_at, self.cut_at):
                if mark is not None:
                    end = min(end, pos + mark - self.rec.body_bytes)
            self.raw(data[pos:end])
            self.rec.body_bytes += end - pos
            pos = end


class ReleaseServer:
    """The release host and API stand-in; see the module docstring."""

    def __init__(self, root_dir=None, repo=REPOSITORY, https_port=HTTPS_PORT,
                 http_port=HTTP_PORT, cert_dir=None, redirect_downloads=False, verbose=False):
        self.repo = repo
        self.https_port = https_port
        self.http_port = http_port
        self.cert_dir = cert_dir or default_cert_dir()
        self.verbose = verbose
        # The real host answers a download link with a redirect to storage;
        # on request, so do we, so that redirect following is exercised too.
        self.redirect_downloads = redirect_downloads
        self._lock = threading.Lock()
        self._log = []
        self._scripts = {}
        self._releases = {}          # (repo, tag) -> Release
        self._latest = {}            # repo -> tag
        self._assets = {}            # id -> (Release, Asset)
        self._next_release_id = 1001
        self._next_asset_id = 5001
        # The write API (see _GitHubWrites) answers only with a token set.
        self.token = None
        self.faults = {}             # operation -> list of faults, in order
        self._conns = set()
        self._stop = threading.Event()
        self._resumes = 0
        self._listeners = []
        self._threads = []
        if root_dir:
            self.load_root(root_dir)

    # -- addresses ------------------------------------------------------

    @property
    def host_base(self):
        return f"https://{HOST}:{self.https_port}/"

    @property
    def api_base(self):
        return f"https://{HOST}:{self.https_port}/api/"

    @property
    def http_base(self):
        return f"http://{HOST}:{self.http_port}/"

    def download_url(self, tag, asset, latest=False, repo=None):
        repo = repo or self.repo
        name = urllib.parse.quote(asset)
        if latest:
            return f"{self.host_base}{repo}/releases/latest/download/{name}"
        return f"{self.host_base}{repo}/releases/download/{urllib.parse.quote(tag)}/{name}"

    def asset_api_url(self, asset_id, repo=None):
        return f"{self.api_base}repos/{repo or self.repo}/releases/assets/{asset_id}"

    # -- life -----------------------------------------------------------

    def start(self):
        ensure_certs(self.cert_dir)
        tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        tls.load_cert_chain(os.path.join(self.cert_dir, "server.pem"),
                            os.path.join(self.cert_dir, "server.key"))
        self._stop.clear()
        try:
            # One at a time, so that a port in use does not leak the other.
            self._listeners.append(_Listener(self, "https", self.https_port, tls))
            self._listeners.append(_Listener(self, "http", self.http_port, None))
        except OSError:
            for lst in self._listeners:
                lst.server_close()
            self._listeners = []
            raise
        # Port 0 asks the system for a free port (the server's own tests).
        self.https_port = self._listeners[0].server_port
        self.http_port = self._listeners[1].server_port
        for lst in self._listeners:
            t = threading.Thread(target=lst.serve_forever, kwargs={"poll_interval": 0.1},
                                 name=f"release_server-{lst.scheme}", daemon=True)
            t.start()
            self._threads.append(t)
        return self

    def stop(self):
        self._stop.set()
        for lst in self._listeners:
            lst.shutdown()
        with self._lock:
            conns = list(self._conns)
        for c in conns:
            try:
                c.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        for lst in self._listeners:
            lst.server_close()       # joins the handler threads
        for t in self._threads:
            t.join()
        self._listeners = []
        self._threads = []

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def _sleep(self, seconds):
        """Waits; True when the server is stopping meanwhile. A call of
        resume_stalls() ends every wait under way early."""
        resumes = self._resumes
        end = time.monotonic() + seconds
        while self._resumes == resumes:
            left = end - time.monotonic()
            if left <= 0:
                break
            if self._stop.wait(min(left, 0.05)):
                return True
        return False

    def resume_stalls(self):
        """Ends the delays and stalls that answers are waiting in now, so
        that a test which held a client there goes on without waiting out
        the time it scripted."""
        self._resumes += 1

    def _track(self, conn, add):
        with self._lock:
            if add:
                self._conns.add(conn)
            else:
                self._conns.discard(conn)

    # -- releases -------------------------------------------------------

    def add_release(self, tag, assets, latest=True, name=None, repo=None, replace=True):
        """Publishes a release (assets: name -> bytes or path). replace=False
        keeps the assets of an existing release with this tag and adds to
        them. Returns the Release, whose assets carry their ids."""
        repo = repo or self.repo
        with self._lock:
            rel = self._releases.get((repo, tag))
            if rel is None or replace:
                if rel is not None:
                    for a in rel.assets.values():
                        self._assets.pop(a.id, None)
                rel = Release(self._next_release_id, repo, tag, name or tag, {})
                self._next_release_id += 1
                self._releases[(repo, tag)] = rel
            elif name:
                rel.name = name
            for aname, source in assets.items():
                if not isinstance(source, (bytes, bytearray)):
                    source = os.fspath(source)
                old = rel.assets.get(aname)
                if old is not None:
                    self._assets.pop(old.id, None)
                a = Asset(self._next_asset_id, aname, source, _content_type_for(aname))
                self._next_asset_id += 1
                rel.assets[aname] = a
                self._assets[a.id] = (rel, a)
            if latest:
                self._latest[repo] = tag
            return rel

    def set_latest(self, tag, repo=None):
        """Makes tag the latest release; None leaves the repository without
        one (its latest links then answer 404)."""
        with self._lock:
            if tag is None:
                self._latest.pop(repo or self.repo, None)
            else:
                self._latest[repo or self.repo] = tag

    def clear_releases(self):
        with self._lock:
            self._releases.clear()
            self._latest.clear()
            self._assets.clear()

    def load_root(self, root_dir):
        tags = sorted((d for d in os.listdir(root_dir)
                       if os.path.isdir(os.path.join(root_dir, d))), key=_version_key)
        for tag in tags:
            d = os.path.join(root_dir, tag)
            files = {f: os.path.join(d, f) for f in sorted(os.listdir(d))
                     if os.path.isfile(os.path.join(d, f))}
            self.add_release(tag, files, latest=False)
        latest_file = os.path.join(root_dir, "latest.txt")
        if os.path.isfile(latest_file):
            with open(latest_file, encoding="utf-8") as f:
                self.set_latest(f.read().strip())
        elif tags:
            self.set_latest(tags[-1])

    # -- scripts --------------------------------------------------------

    def script(self, path, answers):
        """Queues answers (Answer, int status or dict) for path, in order."""
        queued = [as_answer(a) for a in answers]
        with self._lock:
            self._scripts.setdefault(path, collections.deque()).extend(queued)

    def pending(self, path):
        with self._lock:
            return len(self._scripts.get(path, ()))

    def clear_scripts(self):
        with self._lock:
            self._scripts.clear()

    def _next_answer(self, target, path):
        with self._lock:
            for key in (target, path):
                q = self._scripts.get(key)
                if q:
                    return q.popleft()
        return None

    # -- log ------------------------------------------------------------

    def _append(self, rec):
        with self._lock:
            self._log.append(rec)

    @property
    def log(self):
        with self._lock:
            return [dataclasses.replace(r) for r in self._log]

    def clear_log(self):
        with self._lock:
            self._log.clear()

    def requests_for(self, substring=""):
        return [r for r in self.log if substring in r.path]

    def bytes_sent(self, substring=""):
        return sum(r.body_bytes for r in self.requests_for(substring))

    def wait_for_requests(self, substring, count, timeout=30.0):
        """Waits until at least count requests matched; returns them (fewer
        when the time ran out)."""
        deadline = time.monotonic() + timeout
        while True:
            found = self.requests_for(substring)
            if len(found) >= count or time.monotonic() >= deadline:
                return found
            time.sleep(0.05)

    # -- normal content -------------------------------------------------

    _DOWNLOAD_LATEST = re.compile(r"^/([^/]+/[^/]+)/releases/latest/download/([^/]+)$")
    _DOWNLOAD_TAG = re.compile(r"^/([^/]+/[^/]+)/releases/download/([^/]+)/([^/]+)$")
    _API_LATEST = re.compile(r"^/api/repos/([^/]+/[^/]+)/releases/latest$")
    _API_TAG = re.compile(r"^/api/repos/([^/]+/[^/]+)/releases/tags/([^/]+)$")
    _API_ASSET = re.compile(r"^/api/repos/([^/]+/[^/]+)/releases/assets/(\d+)$")
    _STORAGE = re.compile(r"^/_storage/(\d+)/[^/]*$")

    def _normal(self, path, accept):
        """The unscripted answer to path: a Content."""
        with self._lock:
            found = self._route(path, accept)
        if isinstance(found, Asset):
            # Read outside the lock: a path-backed asset may be large.
            return Content(200, found.data(), "application/octet-stream")
        return found

    def _route(self, path, accept):
        uq = urllib.parse.unquote
        not_found = Content(404, b"Not Found", "text/plain")
        api_not_found = Content(404, json.dumps({
            "message": "Not Found",
            "documentation_url": "https://docs.github.com/rest"}).encode(),
            "application/json; charset=utf-8")
        m = self._DOWNLOAD_LATEST.match(path)
        if m:
            rel = self._find(m[1], None)
            return self._download(rel, uq(m[2])) if rel else not_found
        m = self._DOWNLOAD_TAG.match(path)
        if m:
            rel = self._find(m[1], uq(m[2]))
            return self._download(rel, uq(m[3])) if rel else not_found
        m = self._STORAGE.match(path)
        if m:
            found = self._assets.get(int(m[1]))
            return found[1] if found else not_found
        m = self._API_LATEST.match(path) or self._API_TAG.match(path)
        if m:
            rel = self._find(m[1], uq(m[2]) if m.re is self._API_TAG else None)
            if not rel:
                return api_not_found
            return Content(200, self._json_bytes(self._release_json(rel)),
                           "application/json; charset=utf-8")
        m = self._API_ASSET.match(path)
        if m:
            found = self._assets.get(int(m[2]))
            if not found or found[0].repo != m[1]:
                return api_not_found
            rel, a = found
            if "application/octet-stream" in accept:
                return a
            return Content(200, self._json_bytes(self._asset_json(rel, a)),
                           "application/json; charset=utf-8")
        return not_found

    def _find(self, repo, tag):
        if tag is None:
            tag = self._latest.get(repo)
            if tag is None:
                return None
        rel = self._releases.get((repo, tag))
        return None if rel is None or rel.draft else rel

    def _download(self, rel, name):
        a = rel.assets.get(name)
        if a is None:
            return Content(404, b"Not Found", "text/plain")
        if self.redirect_downloads:
            return Content(302, b"", "text/plain",
                           f"{self.host_base}_storage/{a.id}/{urllib.parse.quote(a.name)}")
        return a

    @staticmethod
    def _json_bytes(obj):
        # Raw UTF-8 like the real service: the setup's scanner does not
        # decode \u escapes, so ensure_ascii would hide non-ASCII names.
        return json.dumps(obj, ensure_ascii=False, separators=(",", ":")).encode("utf-8")

    def _user(self):
        return {"login": "brisquel-bot", "id": 41898282,
                "url": f"{self.api_base}users/brisquel-bot", "type": "Bot"}

    def _asset_json(self, rel, a):
        return {
            "url": self.asset_api_url(a.id, rel.repo),
            "id": a.id,
            "node_id": f"RA_{a.id}",
            "name": a.name,
            "label": "",
            "uploader": self._user(),
            "content_type": a.content_type,
            "state": a.state,
            "size": a.size(),
            "download_count": 0,
            "created_at": FIXED_TIME,
            "updated_at": FIXED_TIME,
            "browser_download_url": self.download_url(rel.tag, a.name, repo=rel.repo),
        }

    def _release_json(self, rel):
        url = f"{self.api_base}repos/{rel.repo}/releases/{rel.id}"
        return {
            "url": url,
            "name": rel.name,
            "assets_url": url + "/assets",
            "upload_url": f"{self.host_base}uploads/repos/{rel.repo}/releases/{rel.id}"
                          "/assets{?name,label}",
            "html_url": f"{self.host_base}{rel.repo}/releases/tag/{rel.tag}",
            "id": rel.id,
            "author": self._user(),
            "node_id": f"RE_{rel.id}",
            "tag_name": rel.tag,
            "target_commitish": "main",
            "draft": rel.draft,
            "prerelease": False,
            "created_at": FIXED_TIME,
            "published_at": FIXED_TIME,
            "assets": [self._asset_json(rel, a) for a in rel.assets.values()],
            "tarball_url": f"{self.api_base}repos/{rel.repo}/tarball/{rel.tag}",
            "zipball_url": f"{self.api_base}repos/{rel.repo}/zipball/{rel.tag}",
            "body": "",
        }


# -- command line ----------------------------------------------------------

def wait_ready(timeout=10.0, port=HTTP_PORT):
    """True once a server answers /_control/ping on the plain port."""
    deadline = time.monotonic() + timeout
    url = f"http://{HOST}:{port}/_control/ping"
    while True:
        try:
            with urllib.request.urlopen(url, timeout=1) as r:
                if r.status == 200:
                    return True
        except (urllib.error.URLError, OSError):
            pass
        if time.monotonic() >= deadline:
            return False
        time.sleep(0.1)


def main(argv=None):
    p = argparse.ArgumentParser(description="Local release host and API for the tests.")
    mode = p.add_mutually_exclusive_group(required=True)
    mode.add_argument("--serve", action="store_true", help="serve until SIGTERM/SIGINT")
    mode.add_argument("--run", action="store_true", help="serve while running COMMAND")
    mode.add_argument("--wait-ready", action="store_true", help="wait for a running server")
    p.add_argument("--root", help="publish DIR/<tag>/<files> as releases")
    p.add_argument("--certs", help="certificate directory")
    p.add_argument("--https-port", type=int, default=HTTPS_PORT)
    p.add_argument("--http-port", type=int, default=HTTP_PORT)
    p.add_argument("--timeout", type=float, default=10.0, help="for --wait-ready, seconds")
    p.add_argument("--verbose", action="store_true")
    p.add_argument("command", nargs=argparse.REMAINDER)
    args = p.parse_args(argv)

    if args.wait_ready:
        return 0 if wait_ready(args.timeout, args.http_port) else 1

    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if args.run and not command:
        p.error("--run needs a command after --")
    srv = ReleaseServer(root_dir=args.root, cert_dir=args.certs, https_port=args.https_port,
                        http_port=args.http_port, verbose=args.verbose)
    srv.start()
    try:
        if args.run:
            return subprocess.call(command)
        done = threading.Event()
        for sig in (signal.SIGTERM, signal.SIGINT):
            signal.signal(sig, lambda *_: done.set())
        print(f"ready {srv.host_base} {srv.http_base}", flush=True)
        while not done.wait(1.0):
            pass
        return 0
    finally:
        srv.stop()


if __name__ == "__main__":
    sys.exit(main())
