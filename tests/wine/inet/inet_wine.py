"""HttpSendCommand through the real WinInet (Wine's) and through our libcurl adapter, to the same server.

inetprobe.exe runs under Wine, inetprobe_host on the host; each sends one command to the recording stand-in
(httpstandin). The two recorded requests must agree: request line, headers (names and values, the Host port
aside from being the server's), and body. Both must also bring the reply back alike: a reply longer than one
2048-byte piece whole, and a reply above 1 MiB cut to its first MiB.

The program's time-outs are measured through the real WinInet as well (silent_servers_cost_one_timeout): a
server that takes the connection and never answers costs the receive time-out, and one that trickles its reply
forever is cut at the reply's time limit, through WinInet and libcurl alike. A server whose listening queue is
full (so the connection is never taken) costs the connect time-out through libcurl; Wine 8's WinInet does not
bound that connect (it waits for the system's own SYN retries, over a minute), so that row is libcurl's only.

Run by tests/wine/winetest.py: inet_wine.py --win64-dir DIR --build DIR --work DIR CASE...
"""

import json
import os
import socket
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

from winetest import case, check, fail, run, stop  # noqa: E402

MIB = 1024 * 1024
COMMANDS = [
    # (path, body)
    ("/xbmcCmds/xbmcHttp?command=SendKey&parameter=167", "0"),
    ("/xbmcCmds/xbmcHttp?command=SendKey&parameter=11", "0"),
    ("/odd/path?a=1&b=%41&c=", "a=1&b=two words"),
]


def pattern(n):
    """The stand-in's reply text (see patternBody): 16-byte blocks naming their own offset."""
    out = []
    for at in range(0, n + 16, 16):
        out.append(f"<{at:013x}>\n")
    return "".join(out)[:n].encode()


def fnv1a(data):
    h = 0xCBF29CE484222325
    for b in data:
        h = ((h ^ b) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return f"{h:016x}"


class StandIn:
    def __init__(self, exe, *args):
        self.proc = subprocess.Popen([exe, *args], stdout=subprocess.PIPE, text=True)
        first = self.proc.stdout.readline().split()
        if len(first) != 2 or first[0] != "LISTENING":
            raise RuntimeError(f"stand-in did not start: {first}")
        self.port = first[1]

    def next_request(self):
        line = self.proc.stdout.readline()
        if not line:
            raise RuntimeError("stand-in ended without a request")
        return json.loads(line)

    def close(self):
        stop(self.proc)


def reply_line(stdout):
    """The probe's "REPLY ..." line."""
    return next((line.strip() for line in stdout.splitlines() if line.startswith("REPLY ")), stdout.strip())


def elapsed_seconds(stdout):
    """How long the probe's HttpSendCommand took, from its "ELAPSED <ms>" line; None without one."""
    line = next((line for line in stdout.splitlines() if line.startswith("ELAPSED ")), None)
    return int(line.split()[1]) / 1000.0 if line else None


def probes(t):
    """inetprobe.exe (real WinInet, under Wine) and its host twin (libcurl)."""
    exe = os.path.join(t.win64.dir, "tests", "winbin", "inetprobe", "inetprobe.exe")
    if not os.path.exists(exe):
        sys.exit(f"missing {exe}: build the win64 preset first")
    for name in ("http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"):
        os.environ.pop(name, None)
    return exe, t.host_tool("tests/wine/inet/inetprobe_host")


@case(session="wine-nodisplay", timeout=600)
def request_matches_wininet(t):
    exe, host_probe = probes(t)
    standin = t.host_tool("tests/support/httpstandin/httpstandin")
    wine = t.w

    def run_wine(port, path, body):
        return reply_line(wine.run([exe, "127.0.0.1", port, path, body], timeout=120).stdout)

    def run_host(port, path, body):
        r = subprocess.run([host_probe, "127.0.0.1", port, path, body], capture_output=True, text=True,
                           timeout=120)
        return reply_line(r.stdout)

    # The requests.
    reply = pattern(5000)
    server = StandIn(standin, "--body-size", "5000")
    try:
        for path, body in COMMANDS:
            out_wine = run_wine(server.port, path, body)
            got_wine = server.next_request()
            out_host = run_host(server.port, path, body)
            got_host = server.next_request()
            print(f"WinInet: {json.dumps(got_wine)}\nlibcurl: {json.dumps(got_host)}", flush=True)
            check(got_wine["line"] == got_host["line"] == f"POST {path} HTTP/1.0",
                  f"request line for {path}: {got_wine['line']!r} / {got_host['line']!r}")
            wine_headers = dict((k.lower(), v) for k, v in got_wine["headers"])
            host_headers = dict((k.lower(), v) for k, v in got_host["headers"])
            check(wine_headers.get("content-type") == host_headers.get("content-type") ==
                  "application/x-www-form-urlencoded", f"content type for {path}")
            check(got_wine["body"] == got_host["body"] == body, f"body for {path}")
            check(wine_headers == host_headers,
                  f"same header set for {path}: {sorted(wine_headers.items())} / {sorted(host_headers.items())}")
            expected = f"REPLY {len(reply)} {fnv1a(reply)}"
            check(out_wine == out_host == expected,
                  f"5000-byte reply for {path}: {out_wine!r} / {out_host!r}, expected {expected!r}")
    finally:
        server.close()

    # A reply above the bound.
    server = StandIn(standin, "--body-size", str(MIB + 200000), "--status", "404")
    try:
        out_wine = run_wine(server.port, "/big", "0")
        out_host = run_host(server.port, "/big", "0")
        kept = pattern(MIB)
        expected = f"REPLY {MIB} {fnv1a(kept)}"
        check(out_wine == out_host == expected, "reply above 1 MiB kept to its first MiB, 404 ignored: "
              f"{out_wine!r} / {out_host!r}, expected {expected!r}")
    finally:
        server.close()

    # Nothing listening and a port text that is no port.
    closed = StandIn(standin)
    dead_port = closed.port
    closed.close()
    for port in (dead_port, "0", "65536", "-1"):
        out_wine = run_wine(port, "/x", "0")
        out_host = run_host(port, "/x", "0")
        check(out_wine == out_host == f"REPLY 0 {fnv1a(b'')}", f"port {port!r}: empty result: {out_wine!r} / "
              f"{out_host!r}")


# The program's HTTP time-outs (modInet.h, README "How Tavrelmond ends, one copy, time-outs").
CONNECT_TIMEOUT = 3.0
RECEIVE_TIMEOUT = 3.0
REPLY_TIME = 10.0
# What a wait may run over its time-out on this machine: WinInet and libcurl look at the clock between reads,
# and Wine on a busy two-core machine is slow to wake.
SLACK = 2.5


class SilentServer:
    """A server on 127.0.0.1 that either takes connections and never answers ("silent"), sends a byte of its
    reply every half second without ever finishing it ("trickle"), or never takes them at all ("full": its
    listening queue is full, so the SYN of a new connection goes unanswered)."""

    def __init__(self, kind):
        self.kind = kind
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.bind(("127.0.0.1", 0))
        self.port = str(self.sock.getsockname()[1])
        self.conns = []
        self.closed = False
        if kind == "full":
            self.sock.listen(0)
            self._fill_queue()
        else:
            self.sock.listen(16)
            threading.Thread(target=self._serve, daemon=True).start()

    def _fill_queue(self):
        # Connections nobody accepts until one no longer gets through: then the queue is full.
        for _ in range(64):
            c = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            c.settimeout(0.5)
            self.conns.append(c)
            try:
                c.connect(("127.0.0.1", int(self.port)))
            except (socket.timeout, OSError):
                return
        raise RuntimeError("the listening queue never filled")

    def _serve(self):
        while not self.closed:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            self.conns.append(conn)
            if self.kind == "trickle":
                threading.Thread(target=self._trickle, args=(conn,), daemon=True).start()

    def _trickle(self, conn):
        try:
            conn.recv(65536)
            conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n")
            while not self.closed:
                conn.sendall(b".")
                time.sleep(0.5)
        except OSError:
            pass

    def close(self):
        self.closed = True
        self.sock.close()
        for c in self.conns:
            c.close()


@case(session="wine-nodisplay", timeout=600)
def silent_servers_cost_one_timeout(t):
    """Each kind of server that does not answer in time costs HttpSendCommand one bounded wait, through the
    real WinInet under Wine as through libcurl on the host: the receive time-out for a silent server, the
    connect time-out for one that never takes the connection, the reply's time limit for one that never ends
    its reply (the connect time-out through libcurl only: see above). A wait that never ends fails the case.
    """
    exe, host_probe = probes(t)
    rows = [("silent", RECEIVE_TIMEOUT, ("WinInet", "libcurl")), ("trickle", REPLY_TIME, ("WinInet", "libcurl")),
            ("full", CONNECT_TIMEOUT, ("libcurl",))]
    for kind, bound, clients in rows:
        for client in clients:
            server = SilentServer(kind)
            try:
                args = ["127.0.0.1", server.port, "/xbmcCmds/xbmcHttp?command=SendKey&parameter=167", "0"]
                if client == "WinInet":
                    out = t.w.run([exe] + args, timeout=60).stdout
                else:
                    out = subprocess.run([host_probe] + args, capture_output=True, text=True, timeout=60).stdout
            except subprocess.TimeoutExpired:
                fail(f"{kind} server through {client}: HttpSendCommand still waits after 60 s (its limit: "
                     f"{bound} s)")
            finally:
                server.close()
            took = elapsed_seconds(out)
            print(f"{kind} server, {client}: {reply_line(out)!r}, {took} s", flush=True)
            check(took is not None and bound - 0.5 <= took <= bound + SLACK,
                  f"{kind} server through {client}: HttpSendCommand gave up after {took} s "
                  f"(its limit: {bound} s)")


if __name__ == "__main__":
    run()
