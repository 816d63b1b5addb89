"""Tavrelmond.exe under Wine: start-up, autorun, the tray icon and its menu, exit.

Run by tests/wine/winetest.py: app_wine_test.py --win64-dir DIR --build DIR --work DIR CASE...
Each case runs in its own Wine session (own Xvfb; the shared prefix, one session at a time).
"""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))

from qelmwine import wait_for  # noqa: E402
from tavrel import Installed, MediaCenterLog, settle, start_mediacenter  # noqa: E402
from winetest import case, check, run, stop  # noqa: E402

HTTP_MODE = "APIControlXBMCOPENGL=false\nVendorID=1118\nProductID=644\nIP Address=localhost\nport=8080\n"


def wait_icon(app):
    wait_for(app.tray_icon_shown, timeout=30, what="the tray icon")


@case()
def startup_autorun(t):
    """No media center running: AUtorun starts it with its whole command line; the form stays hidden."""
    w, build, work = t.w, t.win64, t.work
    log = MediaCenterLog(os.path.join(work, "mc.log"))
    command = f'{w.windows_path(build.mediacenter)} --log {w.windows_path(log.path)} --fullscreen "two words"'
    app = Installed(w, build, os.path.join(work, "app"), HTTP_MODE + f"AUtorun={command}\n")
    form = app.start()
    check(form["visible"] == "0", "the hidden window 'Tavrelmond 1.6' exists and is not visible")
    wait_icon(app)
    check(True, "the tray icon is shown")
    started = log.wait_line(lambda l: l.startswith("started "), what="the media center started by AUtorun")
    check(started.endswith('--fullscreen "two words"'), f"the command line arrives whole: {started}")
    check(len(log.starts()) == 1, "started once")
    check(app.exit_from_menu() == 0, "exit from the tray menu ends the program")


@case()
def autorun_skipped_when_running(t):
    """A media-center window of either class already exists: nothing is started."""
    w, build, work = t.w, t.win64, t.work
    for directx in (False, True):
        log = MediaCenterLog(os.path.join(work, f"mc-{directx}.log"))
        mc = start_mediacenter(w, build, log, directx=directx)
        command = f"{w.windows_path(build.mediacenter)} --log {w.windows_path(log.path)}"
        app = Installed(w, build, os.path.join(work, f"app-{directx}"), HTTP_MODE + f"AUtorun={command}\n")
        app.start()
        wait_icon(app)
        settle(3)
        check(len(log.starts()) == 1,
              f"with the {'XBoxMediaCenterPC' if directx else 'SDL_app'} window present nothing is started")
        app.exit_from_menu()
        stop(mc, grace=0)


@case()
def autorun_upper_case_exe(t):
    """'.EXE' in upper case is never started."""
    w, build, work = t.w, t.win64, t.work
    log = MediaCenterLog(os.path.join(work, "mc.log"))
    upper = w.windows_path(build.mediacenter)[:-4] + ".EXE"
    app = Installed(w, build, os.path.join(work, "app"), HTTP_MODE + f"AUtorun={upper} --log {w.windows_path(log.path)}\n")
    app.start()
    wait_icon(app)
    settle(3)
    check(log.starts() == [], "an AUtorun command written with .EXE is not started")
    app.exit_from_menu()


@case()
def exit_removes_icon(t):
    """Exit driven as a user: right-button press on the icon, then the menu's default item."""
    w, build, work = t.w, t.win64, t.work
    app = Installed(w, build, os.path.join(work, "app"), HTTP_MODE)
    app.start()
    wait_icon(app)
    out = app.open_menu_and_pick(1)
    check("clicked=1" in out, "the pop-up menu opened and its default item was clicked")
    check(app.wait_exit() == 0, "the process ends")
    wait_for(lambda: not app.tray_icon_shown(), timeout=15, what="the tray icon to go")
    check(True, "the tray icon is removed")


@case()
def no_config(t):
    """Without Config.ini the program starts, shows its icon, and its menu works."""
    w, build, work = t.w, t.win64, t.work
    app = Installed(w, build, os.path.join(work, "app"), config=None)
    app.start()
    wait_icon(app)
    check(True, "starts and shows its icon without Config.ini")
    app.probe("tray-menu", "--pid", app.pid, "--pick", "none")
    check(app.exit_from_menu() == 0, "the menu still works and exits")


@case()
def no_hid_library(t):
    """Without XBMC.dll beside it the program runs, shows its icon and exits cleanly."""
    w, build, work = t.w, t.win64, t.work
    app = Installed(w, build, os.path.join(work, "app"), HTTP_MODE, hid_dll=None)
    app.start()
    wait_icon(app)
    check(True, "runs and shows its icon without XBMC.dll")
    check(app.exit_from_menu() == 0, "exits cleanly")
    wait_for(lambda: not app.tray_icon_shown(), timeout=15, what="the tray icon to go")


if __name__ == "__main__":
    run()
