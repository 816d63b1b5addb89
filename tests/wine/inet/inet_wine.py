"""HttpSendCommand through the real WinInet (Wine's) and through our libcurl adapter, to the same server.

inetprobe.exe runs under Wine, inetprobe_host on the host; each sends one command to the recording stand-in
(httpstandin). The two recorded requests must agree: request line, headers (names and values, the Host port
aside from being the server's), and body. Both must also bring the reply back alike: a reply longer than one
2048-byte piece whole, and a reply above 1 MiB cut to its first MiB.

Run by tests/wine/winetest.py: inet_wine.py --win64-dir DIR --build DIR --work DIR request_matches_wininet
"""

import json
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

from winetest import case, check, run, stop  # noqa: E402

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


@case(session="wine-nodisplay", timeout=600)
def request_matches_wininet(t):
    exe = os.path.join(t.win64.dir, "tests", "winbin", "inetprobe", "inetprobe.exe")
    if not os.path.exists(exe):
        sys.exit(f"missing {exe}: build the win64 preset first")
    host_probe = t.host_tool("tests/wine/inet/inetprobe_host")
    standin = t.host_tool("tests/support/httpstandin/httpstandin")
    for name in ("http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"):
        os.environ.pop(name, None)
    wine = t.w

    def run_wine(port, path, body):
        r = wine.run([exe, "127.0.0.1", port, path, body], timeout=120)
        return r.stdout.strip()

    def run_host(port, path, body):
        r = subprocess.run([host_probe, "127.0.0.1", port, path, body], capture_output=True, text=True,
                           timeout=120)
        return r.stdout.strip()

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


if __name__ == "__main__":
    run()
