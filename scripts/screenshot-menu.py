#!/usr/bin/env python3
"""Makes docs/tray-menu.png: Tavrelmond's tray icon with its pop-up menu open, under Wine on a virtual display.

Run after building the win64 preset and the host tools (scripts/demo.sh does both):
  python3 scripts/screenshot-menu.py [OUTPUT.png]
"""

import os
import subprocess
import sys
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "wine"))

from qelmwine import WineSession, wait_for  # noqa: E402
from tavrel import HidFeed, Installed, MediaCenterLog, Remote, Win64Build, start_mediacenter  # noqa: E402
from winetest import stop  # noqa: E402

HOST_BUILD = os.path.join(ROOT, "build", "host")


def main():
    out = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "docs", "tray-menu.png"))
    build = Win64Build(os.path.join(ROOT, "build", "win64"))
    work = os.path.join(ROOT, "build", "screenshot")
    os.makedirs(work, exist_ok=True)
    with WineSession(HOST_BUILD) as w:
        log = MediaCenterLog(os.path.join(work, "mc.log"))
        mc = start_mediacenter(w, build, log)
        feed = HidFeed(HOST_BUILD)
        config = "APIControlXBMCOPENGL=true\nVendorID=1118\nProductID=644\n"
        app = Installed(w, build, os.path.join(work, "app"), config, hid_dll="virtual")
        try:
            app.start(env=feed.env())
            feed.wait_connected()
            wait_for(app.tray_icon_shown, timeout=30, what="the tray icon")
            Remote(feed).plug()  # the status line then reads the mode, with its check mark
            wait_for(lambda: "topmost 1" in log.lines(), timeout=20, what="the status check")
            stop(mc, grace=0)  # out of the picture
            probe_out = os.path.join(work, "probe.txt")
            with open(probe_out, "w") as f:
                probe = w.start([build.winprobe, "tray-menu", "--pid", app.pid, "--pick", "none", "--hold-ms", "3000",
                                 "--cursor", "14,34"],
                                stdout=f)
            line = wait_for(lambda: next((l for l in open(probe_out) if l.startswith("menu ")), None), timeout=30,
                            what="the menu")
            fields = dict(kv.split("=") for kv in line.split()[1:])
            right, bottom = int(fields["right"]), int(fields["bottom"])
            time.sleep(0.5)  # let the menu paint
            width, height = max(right + 20, 220), max(bottom + 20, 60)
            subprocess.run(["import", "-display", w.display, "-window", "root", "-crop", f"{width}x{height}+0+0",
                            out], check=True)
            probe.wait(timeout=30)
            app.exit_from_menu()
        finally:
            feed.close()
    print(f"saved {out}")


if __name__ == "__main__":
    main()
