"""Tavrelmond.exe under Wine: start-up, autorun, the tray icon and its menu, exit.

Run by tests/wine/winetest.py: app_wine_test.py --win64-dir DIR --build DIR --work DIR CASE...
Each case runs in its own Wine session (own Xvfb; the shared prefix, one session at a time).
"""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))

from qelmwine import wine_processes, within  # noqa: E402
from tavrel import MENU_EXIT, Installed, MediaCenterLog, start_mediacenter  # noqa: E402
from winetest import case, check, run, stop  # noqa: E402

HTTP_MODE = "APIControlXBMCOPENGL=false\nVendorID=1118\nProductID=644\nIP Address=localhost\nport=8080\n"


def icon_shown(app, colour="red"):
    """Tavrelmond's icon in Wine's tray, in this colour: red once the library has announced its devices and the
    receiver is not among them (as here: the shipped XBMC.dll finds only Wine's own HID devices), green (the
    main form's icon, shown at start-up) while no library announces anything. The icon is shown after the
    form has loaded: it is also the sign that start-up, AUtorun included, is done."""
    return within(lambda: app.tray_icon_colour() == colour, timeout=30)


def media_centers(w):
    """The stand-in media centers running in the session's prefix: each AUtorun start is one more."""
    return len(wine_processes(w.prefix, "mediacenter.exe"))


@case()
def startup_autorun(t):
    """No media center running: AUtorun starts it with its whole command line; the form stays hidden."""
    w, build, work = t.w, t.win64, t.work
    log = MediaCenterLog(os.path.join(work, "mc.log"))
    command = f'{w.windows_path(build.mediacenter)} --log {w.windows_path(log.path)} --fullscreen "two words"'
    app = Installed(w, build, os.path.join(work, "app"), HTTP_MODE + f"AUtorun={command}\n")
    form = app.start()
    check(form["visible"] == "0", "the hidden window 'Tavrelmond 1.6' exists and is not visible")
    # The started media center's window may cover the tray window's pixels: only the icon's presence here.
    check(within(app.tray_icon_shown, timeout=30), "the tray icon is shown")
    # What the cases below rely on when they check that nothing was started.
    check(media_centers(w) == 1, "AUtorun's process exists by the time the icon is shown")
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
        check(icon_shown(app), "the tray icon is shown: start-up is done")
        # AUtorun's start would have created its process before the icon was shown.
        check(media_centers(w) == 1 and len(log.starts()) == 1,
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
    check(icon_shown(app), "the tray icon is shown: start-up is done")
    # AUtorun's start would have created its process before the icon was shown.
    check(media_centers(w) == 0 and log.starts() == [], "an AUtorun command written with .EXE is not started")
    app.exit_from_menu()


@case()
def exit_removes_icon(t):
    """Exit driven as a user: right-button press on the icon, then the menu's default item."""
    w, build, work = t.w, t.win64, t.work
    app = Installed(w, build, os.path.join(work, "app"), HTTP_MODE)
    app.start()
    check(icon_shown(app), "the tray icon is shown")
    out = app.open_menu_and_pick(MENU_EXIT)
    check(f"clicked={MENU_EXIT}" in out, "the pop-up menu opened and its default item was clicked")
    check(app.wait_exit() == 0, "the process ends")
    check(within(lambda: not app.tray_icon_shown(), timeout=15), "the tray icon is removed")


@case()
def no_config(t):
    """Without Config.ini the program starts, shows its icon, and its menu works."""
    w, build, work = t.w, t.win64, t.work
    app = Installed(w, build, os.path.join(work, "app"), config=None)
    app.start()
    check(icon_shown(app), "starts and shows its icon without Config.ini")
    app.probe("tray-menu", "--pid", app.pid, "--pick", "none")
    check(app.exit_from_menu() == 0, "the menu still works and exits")


@case()
def no_hid_library(t):
    """Without XBMC.dll beside it the program runs, shows its icon and exits cleanly."""
    w, build, work = t.w, t.win64, t.work
    app = Installed(w, build, os.path.join(work, "app"), HTTP_MODE, hid_dll=None)
    app.start()
    check(icon_shown(app, "green"), "runs and shows its icon without XBMC.dll, green: nothing announced")
    check(app.exit_from_menu() == 0, "exits cleanly")
    check(within(lambda: not app.tray_icon_shown(), timeout=15), "the tray icon is removed")


if __name__ == "__main__":
    run()
