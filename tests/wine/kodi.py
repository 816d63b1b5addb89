"""A real Kodi (Debian's package) to test against, and a small EventServer client.

Kodi runs headless: its own binary (not the /usr/bin/kodi wrapper, which restarts it on exit) with X11
windowing on an Xvfb display of its own, and a private HOME whose profile switches on the web server (JSON-RPC
over HTTP, Basic authentication) and the EventServer on free loopback ports, turns the screensaver and every
discovery service off, and logs at debug level so that each key Kodi handles leaves a "HandleKey" line.

    with Kodi(work_dir) as kodi:          # started; JSON-RPC answers
        kodi.reset_focus()                # Home window, "Movies" focused
        ...                               # send input (EventClient, or Tavrelmond)
        kodi.wait_focus("TV shows")
        kodi.handled_keys(mark)           # [(code, action, window), ...] since a log mark

Leaving the block quits Kodi (Application.Quit, killed as a last resort) and stops its Xvfb.
"""

import base64
import http.client
import itertools
import json
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import time

from qelmwine import free_port, start_xvfb, wait_for
from winetest import stop

# The multiarch path of kodi-bin's binary on amd64 Debian; `dpkg -L kodi-bin` finds it elsewhere.
KODI_BIN = "/usr/lib/x86_64-linux-gnu/kodi/kodi.bin"

# The Home window's main menu in Kodi 20's default skin (Estuary), top to bottom; "down" wraps at the end.
HOME_MENU = ["Movies", "TV shows", "Music", "Music videos", "TV", "Radio", "Games", "Add-ons", "Pictures",
             "Videos", "Favourites", "Weather", "Power"]
HOME_WINDOW_ID = 10000


def kodi_binary():
    if os.path.exists(KODI_BIN):
        return KODI_BIN
    try:
        out = subprocess.run(["dpkg", "-L", "kodi-bin"], capture_output=True, text=True).stdout
    except OSError:
        out = ""
    for line in out.splitlines():
        if line.endswith("/kodi.bin"):
            return line
    raise SystemExit("Kodi is not installed: apt-get install --no-install-recommends kodi")


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def udp_bound(port):
    """Whether some socket is bound to this UDP port on IPv4 (Linux's table of UDP sockets)."""
    try:
        with open("/proc/net/udp") as f:
            next(f)
            return any(int(line.split()[1].split(":")[1], 16) == port for line in f)
    except (OSError, IndexError, ValueError, StopIteration):
        return False


class KodiRpcError(Exception):
    def __init__(self, status, error=None):
        self.status = status  # the HTTP status
        self.error = error    # the JSON-RPC error object, if any
        super().__init__(f"HTTP {status}: {error}")


class Kodi:
    """One headless Kodi with a private profile under `work_dir`."""

    def __init__(self, work_dir, user="kodi", password="tavrelmond", webserver=True, eventserver=True,
                 display=None, quiet=True, http_port=None):
        self.work = os.path.abspath(work_dir)
        self.home = os.path.join(self.work, "home")
        self.user = user
        self.password = password
        self.webserver = webserver
        self.eventserver = eventserver
        self.http_port = http_port or free_port()  # a given port: where a stand-in stood before Kodi
        self.es_port = free_udp_port()
        self.tcp_port = free_port()  # JSON-RPC's raw TCP interface, kept off its well-known 9090
        self.own_display = display is None
        self.display = display
        self.xvfb = None
        self.proc = None
        self.quiet = quiet
        self._ids = itertools.count(1)
        if os.path.exists(self.home):
            shutil.rmtree(self.home)
        self._write_profile()

    # -- profile ------------------------------------------------------------------------------------
    @property
    def userdata(self):
        return os.path.join(self.home, ".kodi", "userdata")

    @property
    def log_path(self):
        return os.path.join(self.home, ".kodi", "temp", "kodi.log")

    def _write_profile(self):
        os.makedirs(self.userdata, exist_ok=True)
        b = lambda v: "true" if v else "false"  # noqa: E731
        settings = {
            "services.webserver": b(self.webserver),
            "services.webserverport": str(self.http_port),
            "services.webserverauthentication": "true",
            "services.webserverusername": self.user,
            "services.webserverpassword": self.password,
            "services.webserverssl": "false",
            "services.esenabled": b(self.eventserver),
            "services.esport": str(self.es_port),
            "services.esportrange": "1",
            "services.esallinterfaces": "false",  # loopback only
            "services.zeroconf": "false",
            "services.upnp": "false",
            "services.upnpserver": "false",
            "services.upnprenderer": "false",
            "services.upnpcontroller": "false",
            "services.airplay": "false",
            "services.wsdiscovery": "false",
            "screensaver.mode": "",  # a screensaver would swallow the first press after a pause
            "general.addonupdates": "2",  # never: no repository traffic
            "general.addonnotifications": "false",
        }
        with open(os.path.join(self.userdata, "guisettings.xml"), "w") as f:
            f.write('<settings version="2">\n')
            for key, value in settings.items():
                f.write(f'    <setting id="{key}">{value}</setting>\n')
            f.write("</settings>\n")
        with open(os.path.join(self.userdata, "advancedsettings.xml"), "w") as f:
            f.write("<advancedsettings version=\"1.0\">\n"
                    "    <loglevel>1</loglevel>\n"
                    f"    <jsonrpc><tcpport>{self.tcp_port}</tcpport></jsonrpc>\n"
                    "</advancedsettings>\n")
        # No sound card here: ALSA's null device takes Kodi's audio. Without it Kodi retries opening the
        # default device for six seconds before its GUI comes up.
        with open(os.path.join(self.home, ".asoundrc"), "w") as f:
            f.write("pcm.!default { type null }\nctl.!default { type hw card 0 }\n")

    # -- life cycle ---------------------------------------------------------------------------------
    def __enter__(self):
        try:
            self.start()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def _start_xvfb(self):
        self.xvfb, self.display = start_xvfb("1280x720x24", what="Xvfb for Kodi")

    def start(self, timeout=90):
        """Starts Kodi and returns once JSON-RPC answers (about 7 s on two cores) and, when enabled, the
        EventServer listens."""
        if self.own_display and self.xvfb is None:
            self._start_xvfb()
        env = {k: v for k, v in os.environ.items() if not k.startswith(("WINE", "DISPLAY", "WAYLAND"))}
        env.update({"HOME": self.home, "DISPLAY": self.display})
        self._set_log_aside()
        out = subprocess.DEVNULL if self.quiet else None
        # A session of its own, so that a kill at the end reaches whatever Kodi started.
        self.proc = subprocess.Popen([kodi_binary(), "--windowing=x11"], env=env, cwd=self.home,
                                     stdin=subprocess.DEVNULL, stdout=out, stderr=out, start_new_session=True)
        try:
            if self.webserver:
                wait_for(self._answers, timeout=timeout, interval=0.2, what="Kodi's JSON-RPC")
            if self.eventserver:
                wait_for(lambda: self._check_alive() and udp_bound(self.es_port), timeout=timeout, interval=0.1,
                         what="Kodi's EventServer")
        except BaseException:
            self.stop()
            raise
        return self

    def _set_log_aside(self):
        """Each run of Kodi writes a fresh kodi.log (log marks count from its start); earlier runs' logs are
        kept beside it as kodi.run1.log, kodi.run2.log, ..."""
        if os.path.exists(self.log_path):
            n = 1
            while os.path.exists(self.log_path[:-len(".log")] + f".run{n}.log"):
                n += 1
            os.rename(self.log_path, self.log_path[:-len(".log")] + f".run{n}.log")

    def _check_alive(self):
        if self.proc is None or self.proc.poll() is not None:
            raise RuntimeError(f"Kodi ended while starting (exit {self.proc.returncode if self.proc else None});"
                               f" see {self.log_path}")
        return True

    def _answers(self):
        self._check_alive()
        try:
            return self.rpc("JSONRPC.Ping", timeout=2) == "pong"
        except (OSError, KodiRpcError, http.client.HTTPException):
            return False

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def stop(self, timeout=20):
        """Application.Quit over JSON-RPC; if Kodi has not ended within `timeout`, SIGTERM, then SIGKILL; then
        SIGKILL to anything left in Kodi's session."""
        if self.proc is None:
            return
        if self.proc.poll() is None and self.webserver:
            try:
                self.rpc("Application.Quit", timeout=5)
                self.proc.wait(timeout=timeout)
            except (OSError, KodiRpcError, http.client.HTTPException, subprocess.TimeoutExpired):
                pass
        stop(self.proc, grace=5)
        try:
            os.killpg(self.proc.pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass
        self.proc = None

    def close(self):
        self.stop()
        stop(self.xvfb)
        self.xvfb = None

    # -- JSON-RPC ---------------------------------------------------------------------------------------
    def auth_header(self, user=None, password=None):
        token = f"{self.user if user is None else user}:{self.password if password is None else password}"
        return "Basic " + base64.b64encode(token.encode()).decode()

    def rpc(self, method, params=None, timeout=10, user=None, password=None):
        """One JSON-RPC call over HTTP; returns its result, raises KodiRpcError on an HTTP or JSON-RPC error."""
        body = {"jsonrpc": "2.0", "method": method, "id": next(self._ids)}
        if params is not None:
            body["params"] = params
        conn = http.client.HTTPConnection("127.0.0.1", self.http_port, timeout=timeout)
        try:
            conn.request("POST", "/jsonrpc", json.dumps(body),
                         {"Content-Type": "application/json", "Authorization": self.auth_header(user, password)})
            reply = conn.getresponse()
            data = reply.read()
        finally:
            conn.close()
        if reply.status != 200:
            raise KodiRpcError(reply.status)
        answer = json.loads(data)
        if "error" in answer:
            raise KodiRpcError(200, answer["error"])
        return answer.get("result")

    def gui(self):
        """(window id, focused control's label)."""
        r = self.rpc("GUI.GetProperties", {"properties": ["currentwindow", "currentcontrol"]})
        return r["currentwindow"]["id"], r["currentcontrol"]["label"]

    def focused(self):
        return self.gui()[1]

    def wait_focus(self, label, timeout=10):
        """Waits until the focused item is `label`: Kodi acts on input 100 to 400 ms after it arrived."""
        return wait_for(lambda: self.focused() == label, timeout=timeout, interval=0.05,
                        what=f"Kodi's focus on {label!r} (now {self.focused()!r})")

    def wait_focus_change(self, old, timeout=10):
        """Waits until the focused item differs from `old`; returns the new label."""
        return wait_for(lambda: (lambda f: f if f != old else None)(self.focused()), timeout=timeout,
                        interval=0.05, what=f"Kodi's focus to leave {old!r}")

    def reset_focus(self):
        """Back to the Home window with its first item, "Movies", focused."""
        self.rpc("GUI.ActivateWindow", {"window": "home"})
        wait_for(lambda: self.gui()[0] == HOME_WINDOW_ID, timeout=10, interval=0.05, what="the Home window")
        for _ in range(3):  # focus in the content area on the right: "left" goes back to the menu
            now = self.focused()
            if self.menu_index(now) is not None:
                break
            self.rpc("Input.Left")
            self.wait_focus_change(now)
        if self.focused() == HOME_MENU[0]:
            return
        self.rpc("Input.ExecuteAction", {"action": "firstpage"})
        try:
            self.wait_focus(HOME_MENU[0], timeout=2)
            return
        except TimeoutError:
            pass
        # "firstpage" leaves the last item ("Power") where it is: step down from there, the menu wraps.
        for _ in range(len(HOME_MENU)):
            now = self.focused()
            if now == HOME_MENU[0]:
                return
            self.rpc("Input.Down")
            self.wait_focus_change(now)
        self.wait_focus(HOME_MENU[0], timeout=2)

    @staticmethod
    def menu_index(label):
        """The position of a Home menu label ("Power ( )" is Power with its empty hint), or None."""
        return next((i for i, item in enumerate(HOME_MENU) if label == item or label.startswith(item + " (")),
                    None)

    # -- the debug log ------------------------------------------------------------------------------------
    def _log_size(self):
        try:
            return os.path.getsize(self.log_path)
        except OSError:
            return 0

    def mark(self):
        """A position in this run's kodi.log; handled_keys(mark) and log_since(mark) look only at what follows
        it. A mark taken before a restart means nothing after it."""
        return self._log_size()

    def log_text(self, since=0):
        try:
            with open(self.log_path, "rb") as f:
                f.seek(since)
                return f.read().decode("utf-8", "replace")
        except OSError:
            return ""

    def log_since(self, since, pattern):
        """The lines after `since` that match the regular expression `pattern`."""
        return [l for l in self.log_text(since).splitlines() if re.search(pattern, l)]

    # "HandleKey: 167 (0xa7, obc88) pressed, window 10000, action is Down"; for some codes Kodi writes a name
    # in place of the decimal number ("HandleKey: menu (0xd8) pressed, ..."), the hexadecimal code is always
    # there.
    HANDLE_KEY = re.compile(r"HandleKey: (\S+) \((0x[0-9a-f]+)[^)]*\) pressed, window (\d+), action is (.*)$")

    def handled_keys(self, since=0):
        """[(code, action, window)] of every key Kodi handled after `since`, oldest first."""
        keys = []
        for line in self.log_text(since).splitlines():
            m = self.HANDLE_KEY.search(line)
            if m:
                keys.append((int(m.group(2), 16), m.group(4).strip(), int(m.group(3))))
        return keys

    # Kodi 20 writes no line with a notification's text; its debug log shows the notification dialog opening
    # and closing (it stays open while notifications follow one another).
    NOTIFICATION_OPENED = "Window Init (DialogNotification.xml)"
    NOTIFICATION_CLOSED = "Window Deinit (DialogNotification.xml)"

    def notification_openings(self, since=0):
        return len(self.log_since(since, re.escape(self.NOTIFICATION_OPENED)))

    def wait_notification_closed(self, since=0, timeout=20):
        """Waits until the notification dialog has closed as often as it opened after `since`."""
        return wait_for(lambda: len(self.log_since(since, re.escape(self.NOTIFICATION_CLOSED)))
                        >= self.notification_openings(since), timeout=timeout, interval=0.1,
                        what="Kodi's notification dialog to close")

    def wait_keys(self, since, count, timeout=10):
        return wait_for(lambda: (lambda k: k if len(k) >= count else None)(self.handled_keys(since)),
                        timeout=timeout, interval=0.05, what=f"{count} HandleKey lines in kodi.log")

    # -- the screen ---------------------------------------------------------------------------------------
    def screenshot(self, path, width=None):
        """Saves Kodi's screen (the whole Xvfb display) as a PNG; with `width`, scaled to it and reduced to a
        palette of 128 colours (a picture for the documentation at a fraction of the size)."""
        args = ["import", "-display", self.display, "-window", "root"]
        if width:
            args += ["-resize", f"{width}x", "-colors", "128", f"PNG8:{path}"]
        else:
            args.append(path)
        subprocess.run(args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)


# -- EventServer ------------------------------------------------------------------------------------------
PT_HELO, PT_BYE, PT_BUTTON, PT_PING = 0x01, 0x02, 0x03, 0x05
BT_USE_NAME, BT_DOWN, BT_UP, BT_QUEUE, BT_NO_REPEAT = 0x01, 0x02, 0x04, 0x10, 0x20


def es_packet(packet_type, payload, sequence=1, token=0):
    """A one-packet EventServer datagram: the 32-byte header (big-endian) and the payload."""
    header = b"XBMC" + bytes([2, 0]) + struct.pack(">HIIHI", packet_type, sequence, 1, len(payload), token)
    return header + bytes(10) + payload


def es_helo(name):
    return name.encode() + b"\0" + struct.pack(">BHII", 0, 0, 0, 0)


def es_button(name, keymap="R1", flags=BT_USE_NAME | BT_DOWN | BT_NO_REPEAT | BT_QUEUE, code=0, amount=0):
    return struct.pack(">HHH", code, flags, amount) + keymap.encode() + b"\0" + name.encode() + b"\0"


class EventClient:
    """Sends EventServer packets to a Kodi on loopback, the way a remote-control program does."""

    def __init__(self, port, name="kodi rig"):
        self.addr = ("127.0.0.1", port)
        self.name = name
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.token = int(time.monotonic() * 1000) & 0x7FFFFFFF
        self.sequence = itertools.count(1)

    def send(self, packet_type, payload=b""):
        self.sock.sendto(es_packet(packet_type, payload, next(self.sequence), self.token), self.addr)

    def helo(self):
        self.send(PT_HELO, es_helo(self.name))

    def bye(self):
        self.send(PT_BYE)

    def press(self, name, keymap="R1"):
        """A queued press: down then up, both with the queue flag, so Kodi acts on it exactly once."""
        self.send(PT_BUTTON, es_button(name, keymap))
        self.send(PT_BUTTON, es_button(name, keymap, BT_USE_NAME | BT_UP | BT_QUEUE))

    def close(self):
        self.sock.close()
