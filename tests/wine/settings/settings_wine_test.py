"""Tavrelmond.exe's settings under Wine: the machine's Config.ini beside the program and the user's own in
%APPDATA%\\Tavrelmond (the prefix's), the settings window driven as a user does (tray menu, its controls, OK),
and the real Kodi (Debian's package, headless) where presses must arrive.

Run by tests/wine/winetest.py: settings_wine_test.py --win64-dir DIR --build DIR --work DIR CASE...
"""

import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))

from kodi import HOME_MENU, Kodi  # noqa: E402
from qelmwine import wait_for, within  # noqa: E402
from tavrel import (MENU_SETTINGS, SETTINGS_TITLE, HidFeed, Installed, MediaCenterLog, Remote,  # noqa: E402
                    parse_fields, start_mediacenter)
from winetest import case, check, fail, run, stop  # noqa: E402

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", ".."))
SHIPPED_CONFIG = os.path.join(ROOT, "app", "res", "Config.ini")
IDS = "VendorID=1118\nProductID=644\n"
DOWN = 167
KODI_LABELS = "wine,kodi"

# The settings window's controls (app/res/resource.h) and its list of media centers.
IDC = {"media center": 201, "hint": 202, "address": 204, "port": 206, "user": 208, "password": 210,
       "notifications": 211, "test": 212, "result": 213, "file": 216, "ok": 1, "cancel": 2}
KODI_HERE, KODI_ELSEWHERE, KODI_WEB_SERVER, XBMC_WINDOW, XBMC_WEB_SERVER, KEYBOARD = range(6)


class Program:
    """Tavrelmond installed with the virtual XBMC.dll and `config_text` (a whole Config.ini) beside it, the
    user's own file when given, started, and the virtual receiver plugged in and read. Each start has a feeder
    of its own (a feeder serves one connection of the library)."""

    def __init__(self, t, config_text, user_config=None, folder="app", plug=True, args=(), machine_mode=0o644):
        self.t = t
        self.feed = None
        self.app = Installed(t.w, t.win64, os.path.join(t.work, folder), None, hid_dll="virtual",
                             user_config=user_config)
        self.machine_config = os.path.join(self.app.folder, "Config.ini")
        with open(self.machine_config, "w", newline="\r\n") as f:
            f.write(config_text)
        # Wine builds a file's access list from its mode bits: 0644 is its owner's alone, 0666 everyone's.
        os.chmod(self.machine_config, machine_mode)
        self.log_mark = len(self.app.log_text())
        self.start(args, plug)

    def start(self, args=(), plug=True):
        self.close()
        self.feed = HidFeed(self.t.w.build_dir)
        self.app.proc = self.t.w.start([os.path.join(self.app.folder, "Tavrelmond.exe")] + list(args), cwd="/",
                                       env=self.feed.env())
        found = self.app.probe("find", "--title", "Tavrelmond 1.6", "--class", "TavrelmondWindow", "--timeout",
                               "30000")
        if found.returncode != 0:
            raise AssertionError("Tavrelmond's hidden window did not appear")
        fields = parse_fields(found.stdout.splitlines()[0])
        self.app.pid, self.app.hwnd = fields["pid"], fields["hwnd"]
        self.feed.wait_connected()
        wait_for(self.app.tray_icon_shown, timeout=30, what="the tray icon")
        self.remote = Remote(self.feed)
        if plug:
            self.remote.plug()
            self.remote.wait_reading()

    def log(self):
        """What the program logged since this rig began."""
        return self.app.log_text()[self.log_mark:]

    def close(self):
        if self.feed is not None:
            self.feed.close()
            self.feed = None


def shipped_config(**changes):
    """The shipped Config.ini with some keys' values changed (key=value lines, matched by name)."""
    with open(SHIPPED_CONFIG) as f:
        text = f.read()
    for key, value in changes.items():
        name = key.replace("_", " ")
        text, n = re.subn(rf"(?m)^{re.escape(name)}=.*$", f"{name}={value}", text)
        if n != 1:
            raise AssertionError(f"the shipped Config.ini has no single line {name}=")
    return text


# -- the settings window, as a user drives it -------------------------------------------------------------
class SettingsWindow:
    def __init__(self, app):
        self.app = app

    def probe(self, *args):
        r = self.app.probe(*args, "--title", SETTINGS_TITLE)
        if r.returncode != 0:
            raise AssertionError(f"winprobe {args[0]}: {r.stdout.strip()} {r.stderr[-200:]}")
        return r.stdout

    def controls(self):
        """{control id: fields} of the open window."""
        lines = self.probe("dialog").splitlines()
        return {int(f["id"]): f for f in (parse_fields(l) for l in lines[1:] if l.startswith("control "))}

    def window(self):
        return parse_fields(self.probe("dialog").splitlines()[0])

    def text(self, name):
        return self.controls()[IDC[name]].get("text", "")

    def enabled(self, name):
        return self.controls()[IDC[name]].get("enabled") == "1"

    def choose(self, index):
        self.probe("dialog-select", "--id", str(IDC["media center"]), "--index", str(index))

    def type(self, name, value):
        self.probe("dialog-set", "--id", str(IDC[name]), "--text", value)

    def click(self, name):
        self.probe("dialog-click", "--id", str(IDC[name]))

    def keys(self, *keys):
        self.probe("dialog-keys", "--keys", ",".join(keys))

    def focused(self):
        return next((i for i, c in self.controls().items() if c.get("focused") == "1"), None)

    def is_open(self):
        return self.app.probe("dialog", "--title", SETTINGS_TITLE, "--timeout", "0").returncode == 0


def open_settings_from_menu(app):
    """The tray menu's "Settings...", as a user picks it; the window that opens."""
    for attempt in range(3):
        app.open_menu_and_pick(MENU_SETTINGS)
        if within(lambda: app.probe("dialog", "--title", SETTINGS_TITLE, "--timeout", "0").returncode == 0,
                  timeout=10):
            return SettingsWindow(app)
        print(f"note: the menu's click was not taken (try {attempt + 1})", flush=True)
    fail("the settings window did not open from the tray menu")


def downs_reach_kodi(kodi, remote, presses, what):
    kodi.reset_focus()
    mark = kodi.mark()
    for i in range(presses):
        remote.press(DOWN)
        kodi.wait_focus(HOME_MENU[i + 1])
    keys = kodi.handled_keys(mark)
    check(keys == [(DOWN, "Down", 10000)] * presses,
          f"{what}: {presses} presses of Down moved Kodi's focus {presses} steps (Kodi handled {keys})")


def autorun_command(t, mc_log):
    """The stand-in media center's command line, ending in an argument: a value that begins and ends with a
    quote loses that pair when it is read (the profile reader's rule)."""
    log_path = t.w.windows_path(mc_log.path)
    check(" " not in log_path, "the stand-in's log path has no blank")
    return f'"{t.w.windows_path(t.win64.mediacenter)}" --log {log_path}'


# -- cases -----------------------------------------------------------------------------------------------------
@case(labels=KODI_LABELS)
def fresh_config_drives_kodi(t):
    """The Config.ini a fresh install puts beside the program drives the real Kodi with no edit but its port:
    the EventServer on Kodi's default port 9777 would clash with other tests, so only port= is filled in."""
    with Kodi(os.path.join(t.work, "kodi")) as kodi:
        program = Program(t, shipped_config(port=kodi.es_port))
        try:
            downs_reach_kodi(kodi, program.remote, 3, "the shipped Config.ini (EventServer, this PC)")
            log = program.log()
            check("Settings read from" in log and "mode eventserver (this PC's)" in log,
                  "the log says which settings were read, and from where")
            check("Receiver plugged in" in log, "and that the receiver came")
            check(program.app.exit_from_menu() == 0, "Tavrelmond exits from its tray menu")
            check(f"{'Tavrelmond 1.6'} ended" in program.log(), "the log has the end")
        finally:
            program.close()


@case(labels=KODI_LABELS)
def the_users_file_wins_over_the_machines(t):
    """The machine's Config.ini in window-key mode: without a user file the keys go to the media center's
    window, as always; with the user's own file selecting Kodi's EventServer, the presses reach the real
    Kodi and the window gets none."""
    mc_log = MediaCenterLog(os.path.join(t.work, "mc.log"))
    mc = start_mediacenter(t.w, t.win64, mc_log)
    try:
        machine = f"[Tavrelmond Config]\nAPIControlXBMCOPENGL=true\n{IDS}"
        program = Program(t, machine, folder="app-machine")
        try:
            program.remote.press(DOWN)
            mc_log.wait_line(lambda l: l == "key up vk=40 lparam=0", what="the key at the media center's window")
            check(True, "without a user file: window keys, as configured beside the program")
            check(program.app.exit_from_menu() == 0, "Tavrelmond exits")
        finally:
            program.close()
        with Kodi(os.path.join(t.work, "kodi")) as kodi:
            seen = len(mc_log.lines())
            program = Program(t, machine, folder="app-user",
                              user_config=f"APIControlXBMCOPENGL=eventserver\nport={kodi.es_port}\n")
            try:
                downs_reach_kodi(kodi, program.remote, 2, "the user's file selects the EventServer")
                check(not any(l.startswith("key ") for l in mc_log.lines()[seen:]),
                      "the media center's window got no key")
                check("mode eventserver (yours)" in program.log(), "the log says the mode is the user's")
                check(program.app.exit_from_menu() == 0, "Tavrelmond exits")
            finally:
                program.close()
    finally:
        stop(mc, grace=0)


@case(labels=KODI_LABELS)
def settings_window_saves_and_applies_at_once(t):
    """The settings window from the tray menu: it shows the settings in effect, is filled in as a user does,
    and OK writes the user's Config.ini (the password protected, not in clear text) and applies it at once:
    the next press goes to Kodi's web server with that password, without a restart."""
    with Kodi(os.path.join(t.work, "kodi")) as kodi:
        program = Program(t, f"[Tavrelmond Config]\n; the administrator's defaults\nAPIControlXBMCOPENGL=true\n{IDS}")
        try:
            app = program.app
            window = open_settings_from_menu(app)
            check(window.text("media center") == "XBMC's window on this PC",
                  f"it shows the mode in effect ({window.text('media center')!r})")
            check(not window.enabled("address") and not window.enabled("password"),
                  "XBMC's window needs no address and no password: those entries are greyed")
            check(window.text("file").endswith("\\Tavrelmond\\Config.ini") and "AppData" in window.text("file"),
                  f"it says where it saves: {window.text('file')!r}")
            window.choose(KODI_WEB_SERVER)
            check(within(lambda: window.enabled("password"), timeout=10),
                  "choosing Kodi's web server makes the user name and password entries usable")
            window.type("address", "127.0.0.1")
            window.type("port", str(kodi.http_port))
            window.type("user", kodi.user)
            # Test asks the real Kodi with what the window holds, on a thread of the program's own: a wrong
            # password and the right one say different things.
            at = f"127.0.0.1:{kodi.http_port}"
            results = []
            for password in ("not-" + kodi.password, kodi.password):
                window.type("password", password)
                window.type("result", "")  # the click is posted: an empty result is news of neither test
                window.click("test")
                results.append(wait_for(lambda: (lambda r: r if r not in ("", "Testing...") else None)(
                    window.text("result")), timeout=30, what="the connection test's result"))
                wait_for(lambda: window.enabled("test"), timeout=10, what="the Test button again")
            print("  Test said:", results, flush=True)
            check(results[0] == f"Kodi at {at} refused the user name or password.",
                  f"a wrong password: Kodi's refusal ({results[0]!r})")
            check(re.fullmatch(rf"Kodi \d+\.\d+ answers at {re.escape(at)}; the user name and password are right\.",
                               results[1]) is not None,
                  f"the right one: Kodi's name and version ({results[1]!r})")
            window.click("ok")
            check(within(lambda: not window.is_open(), timeout=20), "OK closes the window")

            saved = app.user_config_text()
            check(saved is not None and "APIControlXBMCOPENGL=jsonrpc" in saved,
                  "the user's Config.ini holds the new mode")
            check(kodi.password not in saved and re.search(r"(?m)^password=dpapi:[A-Za-z0-9+/=]+\r?$", saved),
                  "the password is stored protected (CryptProtectData), not in clear text")
            with open(program.machine_config) as f:
                check("APIControlXBMCOPENGL=true" in f.read(), "the machine's Config.ini is unchanged")
            downs_reach_kodi(kodi, program.remote, 2, "the next presses, without a restart")
            check("Settings changed by the settings window" in program.log(), "the log says the settings changed")
            check(kodi.password not in program.log(), "the password is not in the log")

            # Started again, the program reads the protected password back and still logs in.
            check(app.exit_from_menu() == 0, "Tavrelmond exits")
            program.start()
            downs_reach_kodi(kodi, program.remote, 1, "after a restart, with the stored password")
            check(app.exit_from_menu() == 0, "Tavrelmond exits")
        finally:
            program.close()


@case()
def command_lines_from_a_file_others_may_change_are_refused(t):
    """AUtorun from the Config.ini beside the program runs only while no one but administrators may change the
    file; with write rights for everyone (the mode bits Wine reads the file's access list from) it is not
    run, and the log says why. The same command line in the user's own file runs."""
    mc_log = MediaCenterLog(os.path.join(t.work, "mc.log"))
    command = autorun_command(t, mc_log)
    # AUtorun wants ".exe" in lower case.
    check(".exe" in command, "the stand-in's command line names an .exe")
    config = f"[Tavrelmond Config]\nAPIControlXBMCOPENGL=true\n{IDS}AUtorun={command}\n"

    program = Program(t, config, folder="app-open", plug=False, machine_mode=0o666)
    try:
        check(within(lambda: "AUtorun not run" in program.log(), timeout=20),
              "writable by everyone: AUtorun is refused and the log says so")
        line = next(l for l in program.log().splitlines() if "AUtorun not run" in l)
        print(f"  {line}")
        check(not within(lambda: mc_log.starts(), timeout=3), "the media center was not started")
        check(program.app.exit_from_menu() == 0, "Tavrelmond exits")

        # The same line in the user's own file.
        os.makedirs(program.app.user_dir, exist_ok=True)
        with open(program.app.user_config_path, "w", newline="\r\n") as f:
            f.write(f"[Tavrelmond Config]\nAUtorun={command}\n")
        program.start(plug=False)
        check(within(lambda: mc_log.starts(), timeout=30), "from the user's own file the command line runs")
        check(program.app.exit_from_menu() == 0, "Tavrelmond exits")
    finally:
        program.close()


@case()
def a_machine_file_only_administrators_may_change_gives_command_lines(t):
    """The Config.ini beside the program as the setup leaves it (not writable by others): AUtorun runs."""
    mc_log = MediaCenterLog(os.path.join(t.work, "mc.log"))
    command = autorun_command(t, mc_log)
    program = Program(t, f"[Tavrelmond Config]\nAPIControlXBMCOPENGL=true\n{IDS}AUtorun={command}\n", plug=False)
    try:
        check(within(lambda: mc_log.starts(), timeout=30), "AUtorun from the machine's file runs")
        check("AUtorun: started" in program.log(), "the log says it was started")
        check(program.app.exit_from_menu() == 0, "Tavrelmond exits")
    finally:
        program.close()


@case()
def a_second_start_with_settings_opens_the_running_copys_window(t):
    """Tavrelmond.exe /settings (the setup's finish page, the Start menu's "Tavrelmond settings") while a copy
    runs: that copy opens its settings window, and the second start ends at once."""
    program = Program(t, f"[Tavrelmond Config]\nAPIControlXBMCOPENGL=eventserver\n{IDS}", plug=False)
    try:
        app = program.app
        second = t.w.start([os.path.join(app.folder, "Tavrelmond.exe"), "/settings"], cwd="/")
        try:
            code = second.wait(timeout=30)
        except subprocess.TimeoutExpired:
            fail("the second start did not end")
        check(code == 0, "the second start ended at once")
        window = SettingsWindow(app)
        check(within(lambda: window.is_open(), timeout=20), "the running copy opened its settings window")
        check(window.window().get("pid") == app.pid, "the window is the running copy's")
        check(window.text("media center") == "Kodi on this PC", "showing the settings in effect")
        window.click("cancel")
        check(within(lambda: not window.is_open(), timeout=20), "Cancel closes it")
        check(app.user_config_text() is None, "Cancel saved nothing")
        check(app.exit_from_menu() == 0, "Tavrelmond exits")

        # No copy runs: started with /settings, the program runs and opens its window.
        program.start(["/settings"], plug=False)
        check(within(lambda: window.is_open(), timeout=20), "a first start with /settings opens the window")
        window.click("cancel")
        check(within(lambda: not window.is_open(), timeout=20), "Cancel closes it")
        check(app.exit_from_menu() == 0, "Tavrelmond exits")
    finally:
        program.close()


VK_TAB, VK_RETURN, VK_ESCAPE, VK_DOWN, VK_P = "09", "0D", "1B", "28", "50"


@case()
def the_settings_window_is_used_with_the_keyboard(t):
    """The settings window opens with the keyboard on its first entry; the arrows choose the media center,
    Tab goes to the next entry that applies, Alt and an entry's underlined letter go to that entry, Esc is
    Cancel and Enter is OK."""
    program = Program(t, f"[Tavrelmond Config]\nAPIControlXBMCOPENGL=eventserver\n{IDS}", plug=False,
                      args=["/settings"])
    try:
        app = program.app
        window = SettingsWindow(app)
        check(within(lambda: window.is_open(), timeout=20), "the window opens")
        check(within(lambda: window.focused() == IDC["media center"], timeout=10),
              "the keyboard is on the media-center list")
        window.keys(VK_DOWN)
        check(within(lambda: window.text("media center") == "Kodi on another device (by its address)", timeout=10),
              "Down chooses the next media center")
        check(window.enabled("address"), "and its address entry is usable")
        window.keys(VK_TAB)
        check(within(lambda: window.focused() == IDC["address"], timeout=10), "Tab goes to the address")
        window.keys("alt+" + VK_P)
        check(within(lambda: window.focused() == IDC["port"], timeout=10), "Alt+P goes to the port")
        window.keys(VK_ESCAPE)
        check(within(lambda: not window.is_open(), timeout=10), "Esc closes the window (Cancel)")
        check(app.user_config_text() is None, "and saves nothing")

        app.open_menu_and_pick(MENU_SETTINGS)
        check(within(lambda: window.is_open(), timeout=20), "the window opens again from the tray menu")
        window.keys(VK_RETURN)
        check(within(lambda: not window.is_open(), timeout=10), "Enter is OK")
        saved = app.user_config_text() or ""
        check("APIControlXBMCOPENGL=eventserver" in saved and "IP Address=" in saved,
              "OK saved Kodi on this PC in the user's own file")
        check(app.exit_from_menu() == 0, "Tavrelmond exits")
    finally:
        program.close()


@case()
def edit_config_makes_the_users_file_from_the_defaults(t):
    """Tavrelmond.exe /editconfig (the Start menu's "Edit Config.ini"): the user's own Config.ini is made as a
    copy of the defaults with a comment saying which file it is, opened in the editor, and nothing else runs."""
    app = Installed(t.w, t.win64, os.path.join(t.work, "app"), None)
    with open(os.path.join(app.folder, "Config.ini"), "w", newline="\r\n") as f:
        f.write("[Tavrelmond Config]\n; the administrator's note\nAPIControlXBMCOPENGL=eventserver\n")
    proc = t.w.start([os.path.join(app.folder, "Tavrelmond.exe"), "/editconfig"], cwd="/")
    check(proc.wait(timeout=60) == 0, "Tavrelmond.exe /editconfig ends by itself")
    text = app.user_config_text()
    check(text is not None, f"the user's Config.ini was made: {app.user_config_path}")
    check(text.startswith("; Your own settings for Tavrelmond: ") and "AppData\\Roaming\\Tavrelmond\\Config.ini" in text,
          "it begins with a comment saying which file it is")
    check("; the administrator's note" in text and "APIControlXBMCOPENGL=eventserver" in text,
          "it is a copy of the defaults")
    check(within(lambda: any(w.get("title", "").startswith("Config") or "otepad" in w.get("title", "")
                             for w in app.windows()), timeout=20),
          "the editor opened it")
    check(not any(w.get("class") == "TavrelmondWindow" for w in app.windows()), "no copy of the program runs")


if __name__ == "__main__":
    run()
