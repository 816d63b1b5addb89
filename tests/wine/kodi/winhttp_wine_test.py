"""The HTTP client port's WinHTTP adapter under Wine (Wine's own winhttp), against a scripted server on the host:
what Kodi's JSON-RPC channel relies on it for. One connection kept for many requests; Basic credentials as the
Base64 of their UTF-8 bytes; a refusal, a host that takes no connection, a silent server and a dripping one,
each told apart and bounded; a reply too long or cut short; a kept connection the server closed, sent again
once on a fresh one. httpprobe.exe (tests/winbin/httpprobe) makes the requests.

Run by tests/wine/winetest.py: winhttp_wine_test.py --win64-dir DIR --build DIR --work DIR CASE...
"""

import base64
import os
import re
import socket
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))

from qelmwine import free_port  # noqa: E402
from tavrel import parse_fields  # noqa: E402
from winetest import case, check, run  # noqa: E402

LABELS = "wine,kodi"
PONG = b'{"id":1,"jsonrpc":"2.0","result":"pong"}'
OK = b'{"id":%s,"jsonrpc":"2.0","result":"OK"}'


def reply(status, body, headers=b""):
    return b"HTTP/1.1 %d X\r\nContent-Type: application/json\r\nContent-Length: %d\r\n%s\r\n%s" % (
        status, len(body), headers, body)


class ScriptedServer:
    """A raw HTTP/1.1 server on 127.0.0.1: answers each request with the next scripted (kind, bytes), else with
    `fallback`; records the requests and counts the connections. Kinds: send, close (unanswered), silent,
    drip (one byte every 20 ms)."""

    def __init__(self, fallback=("send", None)):
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.listener.settimeout(0.2)
        self.port = self.listener.getsockname()[1]
        self.script = []
        self.fallback = fallback
        self.requests = []
        self.connections = 0
        self.stopping = False
        self.lock = threading.Lock()
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while not self.stopping:
            try:
                conn, _ = self.listener.accept()
            except (socket.timeout, OSError):
                continue
            with self.lock:
                self.connections += 1
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _serve(self, conn):
        data = b""
        conn.settimeout(0.2)
        while not self.stopping:
            try:
                chunk = conn.recv(65536)
            except socket.timeout:
                continue
            except OSError:
                break
            if not chunk:
                break
            data += chunk
            while b"\r\n\r\n" in data:
                head, rest = data.split(b"\r\n\r\n", 1)
                length = 0
                for line in head.split(b"\r\n"):
                    if line.lower().startswith(b"content-length:"):
                        length = int(line.split(b":", 1)[1])
                if len(rest) < length:
                    break
                request, data = head + b"\r\n\r\n" + rest[:length], rest[length:]
                with self.lock:
                    self.requests.append(request)
                    kind, text = self.script.pop(0) if self.script else self.fallback
                if text is None:  # Kodi's answer, to the request's own id
                    found = re.search(rb'"id":(-?\d+)', request)
                    text = reply(200, OK % (found.group(1) if found else b"null"))
                if kind == "send":
                    conn.sendall(text)
                elif kind == "close":
                    conn.close()
                    return
                elif kind == "silent":
                    while not self.stopping:
                        time.sleep(0.1)
                    conn.close()
                    return
                elif kind == "drip":  # the head at once, then the body a byte at a time
                    head, body = text.split(b"\r\n\r\n", 1)
                    conn.sendall(head + b"\r\n\r\n")
                    for byte in body:
                        if self.stopping:
                            break
                        try:
                            conn.sendall(bytes([byte]))
                        except OSError:
                            break
                        time.sleep(0.02)
                    conn.close()
                    return
        conn.close()

    def header(self, n, name):
        for line in self.requests[n].split(b"\r\n"):
            if line.lower().startswith(name.lower().encode() + b":"):
                return line.split(b":", 1)[1].strip().decode()
        return None

    def close(self):
        self.stopping = True
        self.listener.close()


def probe(t, *args):
    exe = os.path.join(t.win64.dir, "tests/winbin/httpprobe/httpprobe.exe")
    out = t.w.run([exe] + [str(a) for a in args], timeout=120)
    return [parse_fields(l) for l in out.stdout.splitlines() if l.strip()]


@case(session="wine-nodisplay", labels=LABELS)
def keep_alive_and_credentials(t):
    """Three requests on one session share one connection; the credentials go as Basic with the Base64 of
    their UTF-8 bytes, with the first request."""
    server = ScriptedServer()
    try:
        user, password = "k\u00f6di", "p\u00e4ss\u20ac:x"
        lines = probe(t, "post", "--port", server.port, "--count", 3, "--user-hex", user.encode().hex(),
                      "--password-hex", password.encode().hex())
        check([l["status"] for l in lines] == ["Ok"] * 3 and [l["http"] for l in lines] == ["200"] * 3,
              f"three requests answered ({lines})")
        check(server.connections == 1, f"on one connection kept alive ({server.connections} connections)")
        expected = "Basic " + base64.b64encode(f"{user}:{password}".encode()).decode()
        check(all(server.header(i, "Authorization") == expected for i in range(3)),
              f"each with the credentials' UTF-8 bytes in Base64: {server.header(0, 'Authorization')}")
        check([l["reused"] for l in lines] == ["0", "1", "1"], "the second and third said to be on a kept connection")
    finally:
        server.close()


@case(session="wine-nodisplay", labels=LABELS)
def waits_are_told_apart_and_bounded(t):
    """A refusal, a host that takes no connection, a silent server and a dripping one: each told for what it is,
    within the time-outs given."""
    closed = free_port()
    lines = probe(t, "post", "--port", closed, "--connect-ms", 1000, "--reply-ms", 1000)
    check(lines[0]["status"] == "Refused" and int(lines[0]["ms"]) < 1000,
          f"nothing listening: Refused at once ({lines[0]})")

    full = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    full.bind(("127.0.0.1", 0))
    full.listen(0)
    filler = socket.create_connection(full.getsockname())
    try:
        lines = probe(t, "post", "--port", full.getsockname()[1], "--connect-ms", 1000, "--reply-ms", 1000)
        check(lines[0]["status"] == "ConnectTimedOut" and 900 <= int(lines[0]["ms"]) < 4000,
              f"a full listening queue: no connection within the connect time-out ({lines[0]})")
    finally:
        filler.close()
        full.close()

    # (Wine's winhttp lets a call run on when its request handle is closed, so a head dripped for seconds is not
    # cut at the deadline here as it is on Windows: the body is dripped instead, which the reads bound.)
    for kind, what in (("silent", "a server that says nothing"), ("drip", "a body dripped for seconds")):
        server = ScriptedServer(fallback=(kind, reply(200, PONG + b" " * 250)))
        try:
            lines = probe(t, "post", "--port", server.port, "--connect-ms", 1000, "--reply-ms", 1000)
            check(lines[0]["status"] == "TimedOut" and int(lines[0]["ms"]) < 4000,
                  f"{what}: TimedOut within the reply time-out and a little ({lines[0]})")
        finally:
            server.close()


@case(session="wine-nodisplay", labels=LABELS)
def replies_are_bounded(t):
    """A reply longer than the bound is not read; one cut short by the server is told apart from a whole one."""
    server = ScriptedServer()
    try:
        server.script = [("send", reply(200, b"x" * 5000)), ("send", reply(200, b"y" * 1000))]
        lines = probe(t, "post", "--port", server.port, "--count", 2, "--max", 4096)
        check(lines[0]["status"] == "TooLarge" and lines[0]["bytes"] == "0", f"5000 bytes for 4096: {lines[0]}")
        check(lines[1]["status"] == "Ok" and lines[1]["bytes"] == "1000", f"the next request is read whole: {lines[1]}")
    finally:
        server.close()
    server = ScriptedServer(fallback=("drip", b"HTTP/1.1 200 OK\r\nContent-Length: 50\r\n\r\n{\"id\""))
    try:
        lines = probe(t, "post", "--port", server.port, "--reply-ms", 3000)
        check(lines[0]["status"] == "Truncated", f"a body cut short by the server: {lines[0]}")
    finally:
        server.close()


@case(session="wine-nodisplay", labels=LABELS)
def a_kept_connection_closed_is_sent_again_once(t):
    """Kodi's JSON-RPC channel on WinHTTP: a request the server drops on a kept connection goes again, once,
    on a fresh one; one that is dropped every time is sent twice, not more."""
    server = ScriptedServer()
    try:
        server.script = [("send", None), ("close", None)]
        lines = probe(t, "press", "--port", server.port, "--count", 2)
        check([l["problem"] for l in lines] == ["0", "0"], f"both presses went through ({lines})")
        check(len(server.requests) == 3 and server.requests[1] == server.requests[2] and server.connections == 2,
              f"the second request was sent again on a second connection ({len(server.requests)} requests, "
              f"{server.connections} connections)")
    finally:
        server.close()
    server = ScriptedServer(fallback=("close", None))
    try:
        server.script = [("send", None)]
        lines = probe(t, "press", "--port", server.port, "--count", 2)
        check(lines[0]["problem"] == "0" and lines[1]["problem"] != "0", f"the second press fails ({lines})")
        check(len(server.requests) == 3, f"after two attempts ({len(server.requests)} requests)")
    finally:
        server.close()


if __name__ == "__main__":
    run()
