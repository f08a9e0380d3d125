"""Tests of the local release server, over real TLS with a scratch CA.

Run: python3 -m unittest discover -s tests/server
The server listens on ports the system picks, so a test run elsewhere on
the fixed ports is not disturbed. The Wine checks at the end run only when
BRISQUEL_BUILD holds https_probe.exe and WINEPREFIX is set.
"""

import hashlib
import http.client
import json
import os
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.error
import urllib.parse
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import release_server as rs  # noqa: E402

REPO = "tamrock/brisquel"
_certs = None


def setUpModule():
    global _certs
    _certs = tempfile.mkdtemp(prefix="release_server_test_")
    rs.ensure_certs(_certs)


def tearDownModule():
    shutil.rmtree(_certs, ignore_errors=True)


class _NoRedirect(urllib.request.HTTPRedirectHandler):
    def redirect_request(self, *args, **kwargs):
        return None


class ServerTest(unittest.TestCase):
    def setUp(self):
        self.srv = rs.ReleaseServer(https_port=0, http_port=0, cert_dir=_certs)
        self.srv.start()
        self.addCleanup(self.srv.stop)
        self.tls = ssl.create_default_context(cafile=os.path.join(_certs, "ca.pem"))

    def get(self, url, accept=None, follow=True):
        """(status, body, headers); HTTP errors are answers too."""
        handlers = [urllib.request.HTTPSHandler(context=self.tls)]
        if not follow:
            handlers.append(_NoRedirect())
        opener = urllib.request.build_opener(*handlers)
        req = urllib.request.Request(url, headers={"Accept": accept} if accept else {})
        try:
            with opener.open(req, timeout=20) as r:
                return r.status, r.read(), r.headers
        except urllib.error.HTTPError as e:
            return e.code, e.read(), e.headers

    def raw_http(self, path):
        """The raw bytes of a plain-HTTP answer, read until the server closes."""
        with socket.create_connection(("127.0.0.1", self.srv.http_port), timeout=20) as s:
            s.sendall(f"GET {path} HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n"
                      .encode())
            out = b""
            while True:
                b = s.recv(65536)
                if not b:
                    return out
                out += b

    def url(self, path):
        return self.srv.host_base + path.lstrip("/")


class ReleaseContentTest(ServerTest):
    def setUp(self):
        super().setUp()
        self.srv.add_release("1.4.1", {"core.zip": b"old core"}, latest=False)
        self.rel = self.srv.add_release(
            "1.4.2", {"brisquel-setup.txt": b"list", "core.zip": b"new core",
                      'na"me \u00e9.zip': b"odd"}, name="Brisquel Builder 1.4.2")

    def test_download_links(self):
        cases = [
            ("latest/download/core.zip", 200, b"new core"),
            ("download/1.4.2/core.zip", 200, b"new core"),
            ("download/1.4.1/core.zip", 200, b"old core"),
            ("download/1.4.2/na%22me%20%C3%A9.zip", 200, b"odd"),
            ("download/1.4.1/brisquel-setup.txt", 404, None),
            ("download/9.9.9/core.zip", 404, None),
            ("latest/download/missing.zip", 404, None),
        ]
        for tail, status, body in cases:
            with self.subTest(tail):
                got = self.get(self.url(f"{REPO}/releases/{tail}"))
                self.assertEqual(got[0], status)
                if body is not None:
                    self.assertEqual(got[1], body)
        self.assertEqual(self.get(self.url("other/repo/releases/latest/download/core.zip"))[0],
                         404)

    def test_release_json_shape(self):
        for path in ("releases/latest", "releases/tags/1.4.2"):
            with self.subTest(path):
                status, body, headers = self.get(self.srv.api_base + f"repos/{REPO}/{path}",
                                                 accept="application/vnd.github+json")
                self.assertEqual(status, 200)
                doc = json.loads(body)
                self.assertEqual(list(doc)[:2], ["url", "name"])
                self.assertEqual(doc["name"], "Brisquel Builder 1.4.2")
                self.assertEqual(doc["tag_name"], "1.4.2")
                names = [a["name"] for a in doc["assets"]]
                self.assertEqual(names, ["brisquel-setup.txt", "core.zip", 'na"me \u00e9.zip'])
                for a in doc["assets"]:
                    self.assertEqual(list(a)[:4], ["url", "id", "node_id", "name"])
                    self.assertEqual(a["url"], self.srv.asset_api_url(a["id"]))
                    self.assertTrue(a["url"].startswith(self.srv.api_base))
        self.assertEqual(self.get(self.srv.api_base + f"repos/{REPO}/releases/tags/0.0.1")[0],
                         404)

    def test_asset_url_found_by_byte_scan(self):
        # What the setup relies on: the "url" nearest before an asset's
        # "name" is that asset's own, and names travel as raw UTF-8 with
        # only the quote escaped.
        body = self.get(self.srv.api_base + f"repos/{REPO}/releases/latest")[1]
        for name, escaped in (("core.zip", b"core.zip"),
                              ('na"me \u00e9.zip', 'na\\"me \u00e9.zip'.encode())):
            with self.subTest(name):
                key = body.index(b'"name":"' + escaped + b'"')
                url_key = body.rindex(b'"url":"', 0, key)
                start = url_key + len(b'"url":"')
                url = body[start:body.index(b'"', start)].decode()
                self.assertEqual(url, self.srv.asset_api_url(self.rel.assets[name].id))

    def test_asset_api_url_by_accept(self):
        asset = self.rel.assets["core.zip"]
        url = self.srv.asset_api_url(asset.id)
        status, body, headers = self.get(url, accept="application/octet-stream")
        self.assertEqual((status, body), (200, b"new core"))
        status, body, headers = self.get(url, accept="application/vnd.github+json")
        self.assertEqual(status, 200)
        self.assertEqual(json.loads(body)["name"], "core.zip")
        self.assertEqual(self.get(self.srv.asset_api_url(999999), "application/octet-stream")[0],
                         404)

    def test_latest_moves_and_can_vanish(self):
        self.srv.set_latest("1.4.1")
        self.assertEqual(self.get(self.url(f"{REPO}/releases/latest/download/core.zip"))[1],
                         b"old core")
        self.srv.set_latest(None)
        self.assertEqual(self.get(self.url(f"{REPO}/releases/latest/download/core.zip"))[0], 404)
        self.assertEqual(self.get(self.srv.api_base + f"repos/{REPO}/releases/latest")[0], 404)

    def test_path_assets_and_root_dir(self):
        root = tempfile.mkdtemp(dir=_certs)
        for tag, data in (("1.9.0", b"nine"), ("1.10.0", b"ten")):
            os.makedirs(os.path.join(root, tag))
            with open(os.path.join(root, tag, "core.zip"), "wb") as f:
                f.write(data)
        self.srv.clear_releases()
        self.srv.load_root(root)
        # Version order, not text order: 1.10.0 is the newer.
        self.assertEqual(self.get(self.url(f"{REPO}/releases/latest/download/core.zip"))[1],
                         b"ten")
        with open(os.path.join(root, "latest.txt"), "w") as f:
            f.write("1.9.0\n")
        self.srv.load_root(root)
        self.assertEqual(self.get(self.url(f"{REPO}/releases/latest/download/core.zip"))[1],
                         b"nine")

    def test_redirecting_downloads(self):
        self.srv.redirect_downloads = True
        url = self.url(f"{REPO}/releases/download/1.4.2/core.zip")
        status, _, headers = self.get(url, follow=False)
        self.assertEqual(status, 302)
        self.assertEqual(self.get(url)[:2], (200, b"new core"))


class ScriptTest(ServerTest):
    PATH = f"/{REPO}/releases/latest/download/core.zip"

    def setUp(self):
        super().setUp()
        self.srv.add_release("1.4.2", {"core.zip": b"0123456789"})

    def test_queue_is_fifo_then_normal(self):
        self.srv.script(self.PATH, [
            503,
            {"status": 500, "body": b"oops"},
            rs.Answer(body_len=4),
            rs.Answer(body_len=14),
            rs.Answer(status=404, body_len=3),
            rs.Answer(body=b"other", status=200),
        ])
        self.assertEqual(self.srv.pending(self.PATH), 6)
        expected = [
            (503, b""),
            (500, b"oops"),
            (200, b"0123"),
            (200, b"0123456789" + rs.pattern(4, 10)),
            (404, rs.pattern(3)),
            (200, b"other"),
            (200, b"0123456789"),
            (200, b"0123456789"),
        ]
        for i, want in enumerate(expected):
            with self.subTest(i=i):
                self.assertEqual(self.get(self.url(self.PATH))[:2], want)
        self.assertEqual(self.srv.pending(self.PATH), 0)
        self.assertEqual([r.scripted for r in self.srv.requests_for("core.zip")],
                         [True] * 6 + [False] * 2)

    def test_scripts_are_per_path_and_query(self):
        self.srv.script("/_fixed/bytes/3", [418])
        self.srv.script("/_fixed/bytes/5?x=1", [419])
        self.assertEqual(self.get(self.url("/_fixed/bytes/5"))[0], 200)
        self.assertEqual(self.get(self.url("/_fixed/bytes/5?x=1"))[0], 419)
        self.assertEqual(self.get(self.url("/_fixed/bytes/3?y"))[0], 418)
        self.assertEqual(self.get(self.url(self.PATH))[0], 200)

    def test_timing_faults(self):
        cases = [
            (rs.Answer(delay=0.6), 0.6, b"0123456789"),
            (rs.Answer(stall_after=4, stall=0.6), 0.6, b"0123456789"),
            (rs.Answer(framing="chunked", chunks=[2, 3], chunk_pause=0.3), 0.6, b"0123456789"),
        ]
        for answer, at_least, body in cases:
            with self.subTest(answer=answer):
                self.srv.script(self.PATH, [answer])
                t0 = time.monotonic()
                self.assertEqual(self.get(self.url(self.PATH))[:2], (200, body))
                self.assertGreaterEqual(time.monotonic() - t0, at_least - 0.05)

    def test_broken_answers(self):
        # A cut body and a dropped connection must fail on the client side,
        # and the log must say how much went out.
        self.srv.script(self.PATH, [rs.Answer(cut_after=4),
                                    rs.Answer(framing="chunked", cut_after=4),
                                    rs.Answer(drop=True)])
        with self.assertRaises(http.client.IncompleteRead):
            self.get(self.url(self.PATH))
        with self.assertRaises(http.client.IncompleteRead):
            self.get(self.url(self.PATH))
        with self.assertRaises((http.client.RemoteDisconnected, urllib.error.URLError)):
            self.get(self.url(self.PATH))
        log = self.srv.requests_for("core.zip")
        self.assertEqual([(r.status, r.body_bytes, r.complete) for r in log],
                         [(200, 4, False), (200, 4, False), (None, 0, False)])

    def test_wire_framing(self):
        raw = self.raw_http("/_fixed/chunks/3,2?pause_ms=0")
        head, _, body = raw.partition(b"\r\n\r\n")
        self.assertIn(b"Transfer-Encoding: chunked", head)
        self.assertEqual(body, b"3\r\n\x00\x01\x02\r\n2\r\n\x03\x04\r\n0\r\n\r\n")
        raw = self.raw_http("/_fixed/bytes/3?framing=close")
        head, _, body = raw.partition(b"\r\n\r\n")
        self.assertNotIn(b"Content-Length", head)
        self.assertIn(b"Connection: close", head)
        self.assertEqual(body, b"\x00\x01\x02")

    def test_redirects(self):
        to_http = self.srv.http_base + "_fixed/bytes/7"
        self.srv.script(self.PATH, [rs.Answer(location=to_http),
                                    rs.Answer(location=to_http, status=301)])
        status, _, headers = self.get(self.url(self.PATH), follow=False)
        self.assertEqual((status, headers["Location"]), (302, to_http))
        self.assertEqual(self.get(self.url(self.PATH))[:2], (200, rs.pattern(7)))
        self.assertEqual([(r.scheme, r.status) for r in self.srv.log][-2:],
                         [("https", 301), ("http", 200)])
        status, _, headers = self.get(self.url("/_fixed/redirect?to=/x&status=307"),
                                      follow=False)
        self.assertEqual((status, headers["Location"]), (307, "/x"))

    def test_stop_ends_a_stalled_answer_and_port_rebinds(self):
        self.srv.script(self.PATH, [rs.Answer(stall_after=2, stall=60)])
        errors = []

        def fetch():
            try:
                self.get(self.url(self.PATH))
            except Exception as e:  # any client-side failure will do
                errors.append(e)
        t = threading.Thread(target=fetch)
        t.start()
        self.srv.wait_for_requests("core.zip", 1, timeout=10)
        time.sleep(0.2)
        t0 = time.monotonic()
        self.srv.stop()
        self.assertLess(time.monotonic() - t0, 5)
        t.join(10)
        self.assertEqual(len(errors), 1)
        again = rs.ReleaseServer(https_port=self.srv.https_port, http_port=self.srv.http_port,
                                 cert_dir=_certs)
        again.start()
        again.stop()


class LogAndControlTest(ServerTest):
    def control(self, query):
        with urllib.request.urlopen(self.srv.http_base + "_control/" + query, timeout=20) as r:
            return r.read()

    def test_log_records(self):
        self.get(self.url("/_fixed/bytes/100"), accept="application/octet-stream")
        self.get(self.srv.http_base + "_fixed/status/404")
        self.control("ping")
        log = self.srv.log
        self.assertEqual([(r.method, r.path, r.scheme, r.status, r.body_bytes) for r in log],
                         [("GET", "/_fixed/bytes/100", "https", 200, 100),
                          ("GET", "/_fixed/status/404", "http", 404, 0)])
        self.assertEqual(log[0].accept, "application/octet-stream")
        self.assertTrue(log[0].user_agent.startswith("Python-urllib"))
        self.assertLessEqual(log[0].time, log[1].time)
        self.assertEqual(self.srv.bytes_sent("bytes"), 100)
        self.srv.clear_log()
        self.assertEqual(self.srv.log, [])

    def test_control_interface(self):
        out = json.loads(self.control("release?tag=2.0.0&asset=core.zip&size=300"))
        asset = out["assets"][0]
        self.assertEqual(asset["size"], 300)
        self.assertEqual(asset["url"], self.srv.asset_api_url(asset["id"]))
        status, body, _ = self.get(asset["download"])
        self.assertEqual(body, rs.pattern(300))
        self.assertEqual(hashlib.sha256(body).hexdigest(), asset["sha256"])
        # A second asset joins the same release.
        self.control("release?tag=2.0.0&asset=brisquel-setup.txt&text=hi%20there")
        self.assertEqual(self.get(self.srv.download_url("2.0.0", "brisquel-setup.txt"))[1],
                         b"hi there")

        path = "/" + REPO + "/releases/latest/download/core.zip"
        q = urllib.parse.quote(path)
        self.assertEqual(json.loads(self.control(f"script?path={q}&status=500&body_len=10&times=2")),
                         {"queued": 2, "pending": 2})
        self.control(f"script?path={q}&framing=chunked&chunks=100,100&header=X-Test:%201")
        self.assertEqual(self.get(self.url(path))[:2], (500, rs.pattern(10)))
        self.assertEqual(self.get(self.url(path))[0], 500)
        status, body, headers = self.get(self.url(path))
        self.assertEqual((status, body, headers["X-Test"]), (200, rs.pattern(300), "1"))
        self.assertEqual(json.loads(self.control(f"pending?path={q}")), {"pending": 0})

        lines = self.control("log?format=lines&path_contains=core.zip").decode().splitlines()
        self.assertEqual([ln.split(" ")[:3] for ln in lines],
                         [["200", "300", "GET"], ["500", "10", "GET"], ["500", "10", "GET"],
                          ["200", "300", "GET"]])
        records = json.loads(self.control("log"))
        self.assertEqual(len(records), 5)
        self.control("clear")
        self.assertEqual(json.loads(self.control("log")), [])

        for bad in ("script?status=500", "script?path=/x&status=abc",
                    "script?path=/x&framing=weird", "script?path=/x&chunks=0,1",
                    "release?asset=x&size=1", "release?tag=t&asset=x", "nothing"):
            with self.subTest(bad):
                with self.assertRaises(urllib.error.HTTPError) as cm:
                    self.control(bad)
                self.assertIn(cm.exception.code, (400, 404))
        self.assertEqual(self.srv.pending("/x"), 0)


class StandaloneTest(unittest.TestCase):
    def test_run_wraps_a_command(self):
        ports = []
        for _ in range(2):
            with socket.socket() as s:
                s.bind(("127.0.0.1", 0))
                ports.append(s.getsockname()[1])
        script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "release_server.py")
        probe = ("import sys, urllib.request;"
                 f"r = urllib.request.urlopen('http://localhost:{ports[1]}/_fixed/bytes/3');"
                 "sys.exit(40 + len(r.read()))")
        done = subprocess.run([sys.executable, script, "--run", "--certs", _certs,
                               "--https-port", str(ports[0]), "--http-port", str(ports[1]),
                               "--", sys.executable, "-c", probe], timeout=60)
        self.assertEqual(done.returncode, 43)


def _wine_probe():
    build = os.environ.get("BRISQUEL_BUILD", "")
    exe = os.path.join(build, "tools", "https_probe.exe")
    if build and os.environ.get("WINEPREFIX") and os.path.isfile(exe):
        return exe
    return None


@unittest.skipUnless(_wine_probe(), "needs BRISQUEL_BUILD with https_probe.exe and WINEPREFIX")
class WineTest(unittest.TestCase):
    """WinHTTP in the test prefix against the server with the build's CA."""

    def setUp(self):
        self.srv = rs.ReleaseServer(https_port=0, http_port=0)
        self.srv.start()
        self.addCleanup(self.srv.stop)

    def probe(self, url, *accept):
        out = subprocess.run(["wine", _wine_probe(), url, *accept], capture_output=True,
                             text=True, timeout=120)
        return out.stdout.split("\n")

    def test_winhttp_trusts_the_server(self):
        rel = self.srv.add_release("1.0", {"core.zip": b"z" * 1000})
        lines = self.probe(self.srv.asset_api_url(rel.assets["core.zip"].id),
                           "application/octet-stream")
        self.assertEqual(lines[0], "status 200")
        self.assertIn("total 1000", lines)
        last = self.srv.log[-1]
        self.assertEqual((last.accept, last.user_agent),
                         ("application/octet-stream", "BrisquelBuilder-Setup/1.0"))

    def test_https_to_http_redirect_is_refused(self):
        self.srv.script("/x", [rs.Answer(location=self.srv.http_base + "_fixed/bytes/5")])
        lines = self.probe(self.srv.host_base + "x")
        self.assertTrue(lines[0].startswith("receive failed"), lines)
        self.assertEqual([r.scheme for r in self.srv.log], ["https"])


if __name__ == "__main__":
    unittest.main()
