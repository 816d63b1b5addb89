#!/usr/bin/env python3
"""Makes docs/settings-window.png: Tavrelmond's settings window, opened from its tray menu under Wine on a
virtual display, with Kodi's web server chosen and filled in as a user would.

Run after building the win64 preset and the host tools (scripts/demo.sh does both):
  python3 scripts/screenshot-settings.py [OUTPUT.png]
"""

import os
import subprocess
import sys
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "wine"))

from qelmwine import WineSession, wait_for  # noqa: E402
from tavrel import MENU_SETTINGS, SETTINGS_TITLE, HidFeed, Installed, Remote, Win64Build, parse_fields  # noqa: E402

HOST_BUILD = os.path.join(ROOT, "build", "host")
# The window's controls (app/res/resource.h).
MEDIA_CENTER, ADDRESS, PORT, USER, PASSWORD = 201, 204, 206, 208, 210
KODI_WEB_SERVER = 2


def main():
    out = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "docs", "settings-window.png"))
    build = Win64Build(os.path.join(ROOT, "build", "win64"))
    work = os.path.join(ROOT, "build", "screenshot-settings")
    os.makedirs(work, exist_ok=True)
    with WineSession(HOST_BUILD) as w:
        feed = HidFeed(HOST_BUILD)
        config = "APIControlXBMCOPENGL=eventserver\nVendorID=1118\nProductID=644\n"
        app = Installed(w, build, os.path.join(work, "app"), config, hid_dll="virtual")
        try:
            app.start(env=feed.env())
            feed.wait_connected()
            wait_for(app.tray_icon_shown, timeout=30, what="the tray icon")
            Remote(feed).plug()

            def dialog(*args):
                return app.probe(*args, "--title", SETTINGS_TITLE)

            app.open_menu_and_pick(MENU_SETTINGS)
            wait_for(lambda: dialog("dialog", "--timeout", "0").returncode == 0, timeout=30, what="the window")
            dialog("dialog-select", "--id", str(MEDIA_CENTER), "--index", str(KODI_WEB_SERVER))
            for control, text in [(ADDRESS, "192.168.1.20"), (PORT, "8080"), (USER, "kodi"),
                                  (PASSWORD, "not shown")]:
                dialog("dialog-set", "--id", str(control), "--text", text)
            time.sleep(0.5)  # let the window paint
            window = parse_fields(dialog("dialog").stdout.splitlines()[0])
            left, top, right, bottom = (int(v) for v in window["rect"].split(","))
            shot = os.path.join(work, "screen.png")
            subprocess.run(["import", "-display", w.display, "-window", "root", "-crop",
                            f"{right - left}x{bottom - top}+{left}+{top}", shot], check=True)
            # Without a window manager on the virtual display no title bar is drawn: its black band goes.
            subprocess.run(["convert", shot, "-bordercolor", "black", "-border", "1", "-trim", "+repage", out],
                           check=True)
            dialog("dialog-click", "--id", "2")  # Cancel
            app.exit_from_menu()
        finally:
            feed.close()
    print(f"saved {out}")


if __name__ == "__main__":
    main()
