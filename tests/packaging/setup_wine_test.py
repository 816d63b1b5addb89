#!/usr/bin/env python3
"""TavrelmondSetup-<version>-x64.exe under Wine, in a Wine prefix of its own: what a user gets from a silent
install, an upgrade over an edited Config.ini, and a silent uninstall while Tavrelmond runs; the driver
component: the qelmrc route with a stand-in pnputil.exe answering 0, 259, 3010 and a failure (Wine has no
pnputil), the WinUSB route (qelmdrv.exe) without a receiver plugged in, switching between the two, and the
uninstaller removing whichever is installed.

The prefix reports Windows 10 (so that the setup offers the WinUSB route). The cases share it (in the --work
folder), and each begins from a prefix without Tavrelmond or a driver of ours.

Usage (tests/wine/winetest.py): setup_wine_test.py --dist DIR --version X.Y.Z --win64-dir DIR --build DIR
                                --work DIR CASE...
"""

import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../wine"))

import winepack  # noqa: E402
from qelmwine import WINESERVER, WineSession, wait_for  # noqa: E402
from tavrel import parse_fields  # noqa: E402
from winetest import case, check, run, stop  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from packtools import authenticode_sha1  # noqa: E402

RUN_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Run"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Tavrelmond"
INSTALL_DIR = r"C:\Program Files\Tavrelmond"
SHORTCUTS = ["Tavrelmond.lnk", "Edit Config.ini.lnk", "Tavrelmond settings.lnk", "Uninstall Tavrelmond.lnk"]
PROGRAM_FILES = ["Config.ini", "Tavrelmond.exe", "XBMC.dll", "uninstall.exe"]
DRIVER_FILES = ["qelmrc.inf", "qelmrc.sys", "qelmrc.cat", "qelmrc-test.cer"]
WINUSB_STAGED = "The WinUSB driver is staged: Windows uses it when the receiver is plugged in."


class SetupRig:
    """A Wine session on this test's own prefix, with the setup and what it installs seen from the host."""

    def __init__(self, dist, version, win64, work):
        self.setup = os.path.join(dist, f"TavrelmondSetup-{version}-x64.exe")
        if not os.path.exists(self.setup):
            raise SystemExit(f"missing {self.setup}: run cmake --workflow --preset release first")
        self.winprobe = os.path.join(win64, "tests/winbin/winprobe/winprobe.exe")
        self.pnputil = os.path.join(win64, "tests/winbin/pnputil/pnputil.exe")
        self.qelmdrv = os.path.join(win64, "packaging/installer/qelmdrv.exe")
        self.dist = dist
        self.win64 = win64
        self.session = WineSession(work, display=True)
        # Wine would add menu entries for the shortcuts to the host's desktop: not for a test.
        self.session.env["WINEDLLOVERRIDES"] += ";winemenubuilder.exe=d"
        drive_c = os.path.join(self.session.prefix, "drive_c")
        self.install_dir = os.path.join(drive_c, "Program Files", "Tavrelmond")
        self.start_menu = os.path.join(drive_c, "ProgramData", "Microsoft", "Windows", "Start Menu", "Programs",
                                       "Tavrelmond")

    def __enter__(self):
        self.session.__enter__()
        self.session.run(["reg", "add", r"HKCU\Software\Wine", "/v", "Version", "/d", "win10", "/f"])
        # The stand-in pnputil.exe where the setup looks for Windows' own.
        shutil.copy(self.pnputil, os.path.join(self.session.prefix, "drive_c", "windows", "system32", "pnputil.exe"))
        self.reset()
        return self

    def __exit__(self, *exc):
        self.session.close()
        return False

    # -- the prefix ----------------------------------------------------------------------------------------
    def reset(self):
        """No Tavrelmond installed: the state before a first install (the prefix is kept between cases)."""
        self.session.run([self.qelmdrv, "remove-winusb"], timeout=180)
        self.session.run([self.qelmdrv, "remove-qelmrc"], timeout=180)
        check(winepack.record(self.session) is None, "the prefix holds no WinUSB package before the case")
        for path in (self.install_dir, self.start_menu):
            shutil.rmtree(path, ignore_errors=True)
        self.session.run(["reg", "delete", RUN_KEY, "/v", "Tavrelmond", "/f"])
        self.session.run(["reg", "delete", UNINSTALL_KEY, "/f"])
        check(self.reg_values(UNINSTALL_KEY) is None, "the prefix holds no Tavrelmond before the case")

    def reg_values(self, key):
        """The values of a registry key as {name: data}, or None when the key does not exist."""
        r = self.session.run(["reg", "query", key])
        if r.returncode != 0:
            return None
        values = {}
        for line in r.stdout.splitlines():
            parts = line.strip().split(None, 2)
            if len(parts) >= 2 and parts[1].startswith("REG_"):
                values[parts[0]] = parts[2] if len(parts) == 3 else ""
        return values

    def wait_all_ended(self, timeout=120):
        """Waits until every Windows program of the prefix has ended (the wine server then exits)."""
        subprocess.run([WINESERVER, "-w"], env=self.session.env, timeout=timeout)

    # -- setup and program ---------------------------------------------------------------------------------
    def run_setup(self, *options, env=None):
        r = self.session.run([self.setup, "/S"] + list(options), env=env, timeout=300)
        check(r.returncode == 0, f"the silent setup {' '.join(options)} ran to its end (exit code {r.returncode})")

    def driver_log(self):
        path = os.path.join(self.install_dir, "driver.log")
        if not os.path.exists(path):
            return ""
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def published(self, *inf_path):
        """The published INFs in the prefix with the text of the setup's copy of an INF."""
        copy = os.path.join(self.install_dir, *inf_path)
        with open(copy, "rb") as f:
            return winepack.published_infs(self.session, f.read())

    def kernel_packages(self):
        """Published qelmrc packages, by their text (the dist package's INF)."""
        with open(os.path.join(self.dist, "qelmrc-x64", "qelmrc.inf"), "rb") as f:
            return winepack.published_infs(self.session, f.read())

    def winusb_installed(self):
        """The recorded WinUSB package, with its certificate in both stores and no key left; the record."""
        rec = winepack.record(self.session)
        check(rec is not None and rec.get("PublishedInf"), f"qelmdrv recorded the WinUSB package: {rec}")
        check(winepack.stores_holding(self.session, rec["CertificateThumbprint"]) == ["Root", "TrustedPublisher"],
              "its certificate is in Root and TrustedPublisher")
        check(winepack.SIGNING_KEY_CONTAINER not in winepack.reg_subkeys(self.session, winepack.WINE_MACHINE_KEYS),
              "no signing key container is left")
        check(self.published("winusb", "qelmusb.inf") == [rec["PublishedInf"]], "the WinUSB INF is published once")
        return rec

    def no_driver_left(self, thumbprints):
        check(winepack.record(self.session) is None, "no WinUSB package is recorded")
        for thumbprint in thumbprints:
            check(winepack.stores_holding(self.session, thumbprint) == [], f"certificate {thumbprint} is in no store")
        check(self.kernel_packages() == [], "no qelmrc package is published")
        check(winepack.SIGNING_KEY_CONTAINER not in winepack.reg_subkeys(self.session, winepack.WINE_MACHINE_KEYS),
              "no signing key container is left")

    def start_from_run_value(self):
        """Starts Tavrelmond as the logon does: the command line of its Run value, from another folder."""
        command = self.reg_values(RUN_KEY).get("Tavrelmond")
        check(command is not None, "the Run key has a value Tavrelmond")
        check(command.startswith('"') and command.count('"') == 2, f"the Run value is one quoted path: {command}")
        program = command.strip('"')
        proc = self.session.start([program], cwd="/")
        found = self.probe("find", "--title", "Tavrelmond 1.6", "--class", "TavrelmondWindow", "--timeout", "30000")
        check(found.returncode == 0, "started from the Run value, Tavrelmond shows its hidden window 'Tavrelmond 1.6'")
        return proc, parse_fields(found.stdout.splitlines()[0])

    def probe(self, *args):
        return self.session.run([self.winprobe] + list(args), timeout=90)

    def tray_icon_shown(self):
        for line in self.probe("windows").stdout.splitlines():
            w = parse_fields(line)
            if w.get("class") == "__winex11_standalone_tray" and w.get("visible") == "1":
                return True
        return False

    def installed_files(self):
        return sorted(os.listdir(self.install_dir)) if os.path.isdir(self.install_dir) else []


def setup_rig(t):
    """The cases' session: the prefix of these tests (made once in the --work folder), without Tavrelmond."""
    if not t.args.dist:
        raise SystemExit("--dist is required")
    if not t.args.version:
        raise SystemExit("--version is required")
    return SetupRig(t.args.dist, t.args.version, t.win64_dir, t.args.work)


@case(session=setup_rig, labels="wine,packaging", timeout=600, lock="wineprefix-setup")
def install(t):
    rig = t.w
    rig.run_setup()
    check(rig.installed_files() == PROGRAM_FILES, f"Program Files\\Tavrelmond holds {rig.installed_files()}")
    # The installed files are the build's, signed: the same image apart from the signature.
    for name, source in [("Tavrelmond.exe", "app/Tavrelmond.exe"), ("XBMC.dll", "hidlib/XBMC.dll")]:
        check(authenticode_sha1(os.path.join(rig.install_dir, name), t.args.work)
              == authenticode_sha1(os.path.join(rig.win64, source), t.args.work),
              f"the installed {name} is the win64 build's")
    shortcuts = sorted(os.listdir(rig.start_menu)) if os.path.isdir(rig.start_menu) else []
    check(shortcuts == sorted(SHORTCUTS), f"Start-menu shortcuts: {shortcuts}")

    run_values = rig.reg_values(RUN_KEY)
    check(run_values.get("Tavrelmond") == f'"{INSTALL_DIR}\\Tavrelmond.exe"',
          f"the Run value starts {run_values.get('Tavrelmond')}")
    entry = rig.reg_values(UNINSTALL_KEY)
    check(entry is not None, "the Add/Remove Programs entry exists")
    for name, value in [("DisplayVersion", t.args.version), ("InstallLocation", INSTALL_DIR),
                        ("UninstallString", f'"{INSTALL_DIR}\\uninstall.exe"'),
                        ("QuietUninstallString", f'"{INSTALL_DIR}\\uninstall.exe" /S')]:
        check(entry.get(name) == value, f"uninstall entry {name} = {entry.get(name)!r} (expected {value!r})")
    check(entry.get("DisplayName", "").startswith(f"Tavrelmond {t.args.version} "),
          f"uninstall entry DisplayName = {entry.get('DisplayName')!r}")

    proc, window = rig.start_from_run_value()
    check(window.get("visible") == "0", "Tavrelmond's main window stays hidden")
    wait_for(rig.tray_icon_shown, timeout=30, what="Tavrelmond's tray icon")
    print(f"started from the Run value: hidden window pid={window.get('pid')}, tray icon shown")
    stop(proc, grace=0)


@case(session=setup_rig, labels="wine,packaging", timeout=600, lock="wineprefix-setup")
def upgrade_keeps_config(t):
    rig = t.w
    rig.run_setup()
    config = os.path.join(rig.install_dir, "Config.ini")
    with open(config, "rb") as f:
        shipped = f.read()
    check(b"\nAPIControlXBMCOPENGL=eventserver" in shipped and b"\nport=" in shipped,
          "the first install wrote the shipped Config.ini (the EventServer, empty port)")
    edited = shipped.replace(b"\nport=", b"\nport=8181", 1) + b"; edited by an administrator\r\n"
    with open(config, "wb") as f:
        f.write(edited)
    exe = os.path.join(rig.install_dir, "Tavrelmond.exe")
    proc, _ = rig.start_from_run_value()
    with open(exe, "r+b") as f:
        f.seek(0, os.SEEK_END)
        f.write(b"older")  # stands for an older version's program: the upgrade must replace it
    rig.run_setup()
    closed = True
    try:
        proc.wait(timeout=30)
    except subprocess.TimeoutExpired:
        closed = False
        stop(proc, grace=0)
    check(closed, "the second install closed the running Tavrelmond first")
    with open(config, "rb") as f:
        check(f.read() == edited, "after the second install Config.ini is the user's edited file")
    check(authenticode_sha1(exe, t.args.work) == authenticode_sha1(os.path.join(rig.win64, "app/Tavrelmond.exe"),
                                                                  t.args.work),
          "the second install replaced Tavrelmond.exe")
    check(rig.installed_files() == PROGRAM_FILES, f"after the second install the folder holds {rig.installed_files()}")


@case(session=setup_rig, labels="wine,packaging", timeout=600, lock="wineprefix-setup")
def uninstall_closes_tavrelmond(t):
    rig = t.w
    # The folder holds a file of the user's in a folder named as the driver component's. The component's
    # files stand beside it as that component would copy them (Wine has no pnputil to install it for real).
    driver_dir = os.path.join(rig.install_dir, "driver")
    os.makedirs(driver_dir)
    with open(os.path.join(driver_dir, "mine.txt"), "w") as f:
        f.write("the user's own file\n")
    rig.run_setup()
    package = os.path.join(t.args.dist, "qelmrc-x64")
    for name in DRIVER_FILES:
        shutil.copy(os.path.join(package, name), driver_dir)
    proc, window = rig.start_from_run_value()
    print(f"Tavrelmond running (pid={window.get('pid')}); silent uninstall")
    r = rig.session.run([os.path.join(rig.install_dir, "uninstall.exe"), "/S"], timeout=120)
    check(r.returncode == 0, f"the silent uninstaller started (exit code {r.returncode})")
    # The uninstaller runs on from a copy of itself; when it has ended, so has every program of the prefix.
    rig.wait_all_ended()
    try:
        code = proc.wait(timeout=30)
    except subprocess.TimeoutExpired:
        raise AssertionError("Tavrelmond still runs after the uninstall")
    check(rig.installed_files() == ["Config.ini", "driver"],
          f"the program folder keeps only Config.ini and the user's folder: {rig.installed_files()}")
    check(sorted(os.listdir(driver_dir)) == ["mine.txt"],
          f"of the driver folder only the user's file is left: {sorted(os.listdir(driver_dir))}")
    check(not os.path.exists(rig.start_menu), "the Start-menu folder is gone")
    check("Tavrelmond" not in (rig.reg_values(RUN_KEY) or {}), "the Run value is gone")
    check(rig.reg_values(UNINSTALL_KEY) is None, "the uninstall entry is gone")
    # Exit code 1 is the uninstaller's TerminateProcess after its wait: the program ignored WM_CLOSE.
    check(code == 0, f"Tavrelmond ended by itself on WM_CLOSE (exit code {code}; 1: the uninstaller ended it)")


@case(session=setup_rig, labels="wine,packaging", timeout=900, lock="wineprefix-setup")
def qelmrc_route_and_pnputils_answers(t):
    rig = t.w
    calls = os.path.join(t.work, "pnputil-calls.txt")
    rows = [
        (0, "The qelmrc driver package is installed.", True),
        (259, "The qelmrc driver package is staged: Windows uses it when the receiver is plugged in.", True),
        (3010, "The qelmrc driver package is installed; restart Windows to finish.", True),
        (5, "pnputil ended with 5: the qelmrc driver package is not installed.", False),
    ]
    for code, says, installed in rows:
        print(f"-- pnputil answers {code}")
        rig.reset()
        if os.path.exists(calls):
            os.remove(calls)
        rig.run_setup("/DRIVER=qelmrc", env={"QELM_PNPUTIL_EXIT": str(code),
                                            "QELM_PNPUTIL_LOG": rig.session.windows_path(calls)})
        with open(calls, encoding="utf-8") as f:
            lines = f.read().splitlines()
        check(lines == [f"/add-driver {INSTALL_DIR}\\driver\\qelmrc.inf /install"],
              f"the setup ran pnputil once, with the package's INF: {lines}")
        log = rig.driver_log()
        check(says in log, f"pnputil {code}: the setup says {says!r}")
        route = (rig.reg_values(UNINSTALL_KEY) or {}).get("DriverRoute")
        check(route == ("qelmrc" if installed else None), f"pnputil {code}: the route recorded is {route!r}")
        check("not installed" not in log or not installed, f"pnputil {code} is not reported as a failure")
        check(sorted(os.listdir(os.path.join(rig.install_dir, "driver"))) == sorted(DRIVER_FILES),
              "the package is in the program's driver folder")


@case(session=setup_rig, labels="wine,packaging", timeout=900, lock="wineprefix-setup")
def winusb_route_staged_then_uninstalled(t):
    rig = t.w
    rig.run_setup("/DRIVER=winusb")
    log = rig.driver_log()
    check(WINUSB_STAGED in log, "the setup says the WinUSB driver is staged for the next plug-in")
    check("The receiver is not plugged in" in log, "qelmdrv's own lines are in driver.log")
    rec = rig.winusb_installed()
    check(sorted(os.listdir(os.path.join(rig.install_dir, "winusb"))) == ["qelmusb.cat", "qelmusb.inf"],
          "the program folder holds the package: INF and the catalog signed on this PC")
    check((rig.reg_values(UNINSTALL_KEY) or {}).get("DriverRoute") == "winusb", "the route recorded is winusb")
    # An upgrade without /DRIVER leaves the driver as it is.
    rig.run_setup()
    check(winepack.record(rig.session) == rec, "a silent upgrade without /DRIVER keeps the package and certificate")
    r = rig.session.run([os.path.join(rig.install_dir, "uninstall.exe"), "/S"], timeout=120)
    check(r.returncode == 0, f"the silent uninstaller started (exit code {r.returncode})")
    rig.wait_all_ended()
    rig.no_driver_left([rec["CertificateThumbprint"]])
    check(not os.path.exists(os.path.join(winepack.inf_folder(rig.session), rec["PublishedInf"])),
          "the published WinUSB INF is gone")
    check(rig.installed_files() in ([], ["Config.ini"]), f"the program folder is emptied: {rig.installed_files()}")


@case(session=setup_rig, labels="wine,packaging", timeout=900, lock="wineprefix-setup")
def choosing_one_route_removes_the_other(t):
    rig = t.w
    rig.run_setup("/DRIVER=winusb")
    first = rig.winusb_installed()
    rig.run_setup("/DRIVER=qelmrc", env={"QELM_PNPUTIL_EXIT": "259"})
    check(winepack.record(rig.session) is None, "choosing qelmrc removed the WinUSB package")
    check(winepack.stores_holding(rig.session, first["CertificateThumbprint"]) == [], "and its certificate")
    check(not os.path.exists(os.path.join(rig.install_dir, "winusb")), "and its folder")
    kernel = rig.kernel_packages()
    check(len(kernel) == 1, f"the qelmrc package is published (by the stand-in pnputil): {kernel}")
    rig.run_setup("/DRIVER=winusb")
    check(rig.kernel_packages() == [], "choosing WinUSB removed the qelmrc package")
    check(not os.path.exists(os.path.join(rig.install_dir, "driver")), "and its folder")
    second = rig.winusb_installed()
    check(second["CertificateThumbprint"] != first["CertificateThumbprint"], "with a certificate of its own")
    rig.run_setup("/DRIVER=qelmrc", env={"QELM_PNPUTIL_EXIT": "0"})
    r = rig.session.run([os.path.join(rig.install_dir, "uninstall.exe"), "/S"], timeout=120)
    check(r.returncode == 0, f"the silent uninstaller started (exit code {r.returncode})")
    rig.wait_all_ended()
    rig.no_driver_left([first["CertificateThumbprint"], second["CertificateThumbprint"]])


# -- the rights on Config.ini ---------------------------------------------------------------------------------
class StandInTool:
    """A system tool of the prefix (system32) replaced by tests/winbin/argslog while a case runs: the setup's
    calls of it are recorded, one command line a line. The prefix's own tool is put back afterwards."""

    def __init__(self, rig, name):
        self.rig = rig
        self.path = os.path.join(rig.session.prefix, "drive_c", "windows", "system32", name)
        self.saved = self.path + ".qelm-saved"
        self.log = os.path.join(rig.session.build_dir, f"{name}.calls.txt")

    def __enter__(self):
        if not os.path.exists(self.saved) and os.path.exists(self.path):
            shutil.copy2(self.path, self.saved)
        shutil.copy(os.path.join(self.rig.win64, "tests/winbin/argslog/argslog.exe"), self.path)
        if os.path.exists(self.log):
            os.remove(self.log)
        self.rig.session.env["QELM_ARGS_LOG"] = self.rig.session.windows_path(self.log)
        # Wine runs its built-in tool before a program of that name in system32 unless told otherwise.
        self.overrides = self.rig.session.env.get("WINEDLLOVERRIDES", "")
        self.rig.session.env["WINEDLLOVERRIDES"] = self.overrides + f";{os.path.basename(self.path)}=n"
        return self

    def __exit__(self, *exc):
        self.rig.session.env.pop("QELM_ARGS_LOG", None)
        self.rig.session.env["WINEDLLOVERRIDES"] = self.overrides
        if os.path.exists(self.saved):
            shutil.copy2(self.saved, self.path)
            os.remove(self.saved)
        return False

    def calls(self):
        try:
            with open(self.log, encoding="utf-8") as f:
                return [line.rstrip("\r\n") for line in f if line.strip()]
        except FileNotFoundError:
            return []


@case(session=setup_rig, labels="wine,packaging", timeout=600, lock="wineprefix-setup")
def config_rights_never_widened(t):
    """The setup grants no rights on Config.ini (earlier versions gave Users modify rights with icacls); the
    install and the upgrade take back that grant, leaving the rights the folder gives. icacls is a stand-in
    here that records how it was called (Wine's own does not keep access lists)."""
    rig = t.w
    with StandInTool(rig, "icacls.exe") as icacls:
        rig.run_setup()
        first = icacls.calls()
        print("  icacls calls of the install:", first)
        check(not any("/grant" in c for c in first), "the install grants nothing with icacls")
        narrowing = [c for c in first if "\\Tavrelmond\\Config.ini" in c and "/remove:g *S-1-5-32-545" in c]
        check(len(narrowing) == 1, "the install takes back the Users' grant on Config.ini (icacls /remove:g)")
        # An earlier version's install is over; the upgrade runs the same narrowing, the file stays.
        config = os.path.join(rig.install_dir, "Config.ini")
        with open(config, "ab") as f:
            f.write(b"; the administrator's own line\r\n")
        rig.run_setup()
        again = icacls.calls()[len(first):]
        print("  icacls calls of the upgrade:", again)
        check(not any("/grant" in c for c in again), "the upgrade grants nothing")
        check(any("/remove:g *S-1-5-32-545" in c for c in again), "the upgrade narrows the rights again")
        with open(config, "rb") as f:
            check(f.read().endswith(b"; the administrator's own line\r\n"), "and keeps the administrator's Config.ini")
    shortcuts = sorted(os.listdir(rig.start_menu)) if os.path.isdir(rig.start_menu) else []
    check("Tavrelmond settings.lnk" in shortcuts and "Edit Config.ini.lnk" in shortcuts,
          f"the Start menu has the settings entries: {shortcuts}")
    with open(os.path.join(rig.start_menu, "Edit Config.ini.lnk"), "rb") as f:
        link = f.read()
    check("/editconfig".encode("utf-16-le") in link or b"/editconfig" in link,
          "Edit Config.ini starts the program with /editconfig (the user's own file), not an editor on the "
          "machine's file")


def options(ap):
    ap.add_argument("--dist", help="the dist/ folder written by the release preset")
    ap.add_argument("--version", help="the release's version, as in the setup's name and its Apps entry")


if __name__ == "__main__":
    run(options)
