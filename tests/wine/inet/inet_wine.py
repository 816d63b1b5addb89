"""HttpSendCommand through the real WinInet (Wine's) and through our libcurl adapter, to the same server.

inetprobe.exe runs under Wine, inetprobe_host on the host; each sends one command to the recording stand-in
(httpstandin). The two recorded requests must agree: request line, headers (names and values, the Host port
aside from being the server's), and body. Both must also bring the reply back alike: a reply longer than one
2048-byte piece whole, and a reply above 1 MiB cut to its first MiB.
"""

import argparse
import json
import os
import subprocess
import sys

from qelmwine import WineSession, win64_dir

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
        self.proc.terminate()
        self.proc.wait(timeout=10)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--win64-dir")
    ap.add_argument("--host-probe", required=True)
    ap.add_argument("--standin", required=True)
    ap.add_argument("--build-dir", required=True)
    args = ap.parse_args()

    exe = os.path.join(win64_dir(args.win64_dir), "tests", "winbin", "inetprobe", "inetprobe.exe")
    if not os.path.exists(exe):
        sys.exit(f"missing {exe}: build the win64 preset first")
    for name in ("http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"):
        os.environ.pop(name, None)

    failures = []

    def check(what, ok, detail=""):
        print(("ok   " if ok else "FAIL ") + what + (f"\n     {detail}" if detail and not ok else ""), flush=True)
        if not ok:
            failures.append(what)

    with WineSession(args.build_dir, display=False) as wine:

        def run_wine(port, path, body):
            r = wine.run([exe, "127.0.0.1", port, path, body], timeout=120)
            return r.stdout.strip()

        def run_host(port, path, body):
            r = subprocess.run([args.host_probe, "127.0.0.1", port, path, body], capture_output=True, text=True,
                               timeout=120)
            return r.stdout.strip()

        # The requests.
        reply = pattern(5000)
        server = StandIn(args.standin, "--body-size", "5000")
        try:
            for path, body in COMMANDS:
                out_wine = run_wine(server.port, path, body)
                got_wine = server.next_request()
                out_host = run_host(server.port, path, body)
                got_host = server.next_request()
                print(f"WinInet: {json.dumps(got_wine)}\nlibcurl: {json.dumps(got_host)}", flush=True)
                check(f"request line for {path}", got_wine["line"] == got_host["line"] == f"POST {path} HTTP/1.0",
                      f"{got_wine['line']!r} / {got_host['line']!r}")
                wine_headers = dict((k.lower(), v) for k, v in got_wine["headers"])
                host_headers = dict((k.lower(), v) for k, v in got_host["headers"])
                check(f"content type for {path}",
                      wine_headers.get("content-type") == host_headers.get("content-type") ==
                      "application/x-www-form-urlencoded")
                check(f"body for {path}", got_wine["body"] == got_host["body"] == body)
                check(f"same header set for {path}", wine_headers == host_headers,
                      f"{sorted(wine_headers.items())} / {sorted(host_headers.items())}")
                expected = f"REPLY {len(reply)} {fnv1a(reply)}"
                check(f"5000-byte reply for {path}", out_wine == out_host == expected,
                      f"{out_wine!r} / {out_host!r}, expected {expected!r}")
        finally:
            server.close()

        # A reply above the bound.
        server = StandIn(args.standin, "--body-size", str(MIB + 200000), "--status", "404")
        try:
            out_wine = run_wine(server.port, "/big", "0")
            out_host = run_host(server.port, "/big", "0")
            kept = pattern(MIB)
            expected = f"REPLY {MIB} {fnv1a(kept)}"
            check("reply above 1 MiB kept to its first MiB, 404 ignored", out_wine == out_host == expected,
                  f"{out_wine!r} / {out_host!r}, expected {expected!r}")
        finally:
            server.close()

        # Nothing listening and a port text that is no port.
        closed = StandIn(args.standin)
        dead_port = closed.port
        closed.close()
        for port in (dead_port, "0", "65536", "-1"):
            out_wine = run_wine(port, "/x", "0")
            out_host = run_host(port, "/x", "0")
            check(f"port {port!r}: empty result", out_wine == out_host == f"REPLY 0 {fnv1a(b'')}",
                  f"{out_wine!r} / {out_host!r}")

    if failures:
        sys.exit(f"{len(failures)} check(s) failed")
    print("all checks passed")


if __name__ == "__main__":
    main()
