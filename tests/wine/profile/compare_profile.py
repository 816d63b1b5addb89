"""Our profile reader against the platform's GetPrivateProfileStringA, GetPrivateProfileSectionA and
GetPrivateProfileSectionNamesA (Wine's).

Writes a set of tricky profile files, asks both readers the same questions through the two builds of the
profile probe (profileprobe.exe under Wine, profileprobe_host on the host) and requires the same answers,
except for the differences listed in KEPT_DIFFERENCES, where our reader's answer must be the one listed.

Run by tests/wine/winetest.py: compare_profile.py --win64-dir DIR --build DIR --work DIR reader_matches_platform
"""

import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

from winetest import case, check, fail, run  # noqa: E402

SECTION = "Tavrelmond Config"
LONG = "".join(chr(ord("a") + i % 26) for i in range(800))

# name -> file content (bytes). Line ends are written out; most files use CRLF as Notepad does.
FILES = {
    "sample_crlf.ini": (
        b"; sample\r\n[Tavrelmond Config]\r\n; mode\r\nAPIControlXBMCOPENGL=false\r\nVendorID=1118\r\n"
        b"ProductID=644\r\nIP Address=localhost\r\nport=8080\r\nAUtorun=\r\nremoterun=\r\n"),
    "sample_lf.ini": (
        b"[Tavrelmond Config]\nAPIControlXBMCOPENGL=true\nVendorID=1118\nProductID=644\n"
        b"IP Address=192.168.1.5\nport=80\nAUtorun=C:\\XBMC\\XBMC.exe -fs -p\n"),
    "cr_only.ini": b"[Tavrelmond Config]\rport=8080\rvendorid=1118\r",
    "no_final_newline.ini": b"[Tavrelmond Config]\r\nport=8080",
    "case.ini": b"[TAVRELMOND config]\r\nautorun=low.exe\r\nAPICONTROLXBMCOPENGL=True\r\nIp AdDrEsS=Host\r\n",
    "blanks.ini": (
        b"\r\n   \r\n  [Tavrelmond Config]  \r\n  port  =   8080   \r\n\tIP Address\t=\tlocal host\t\r\n"
        b"VendorID=\x0b1118\x0c\r\nProductID   =\r\n   \r\nremoterun  =  a b  \r\n"),
    "section_blanks.ini": b"[ Tavrelmond Config ]\r\nport=1\r\n[Tavrelmond  Config]\r\nport=2\r\n",
    "quotes.ini": (
        b"[Tavrelmond Config]\r\nq1=\"quoted value\"\r\nq2='single'\r\nq3=\"mixed'\r\nq4=\"\r\nq5=\"\"\r\n"
        b"q6=  \"  inner blanks  \"  \r\nq7=\"a\"b\"\r\nq8=x\"y\"\r\nq9=''\r\nq10=\"'\"\r\nq11='\r\n"
        b"q12=\"only open\r\nq13=only close\"\r\n"),
    "comments.ini": (
        b";[Tavrelmond Config]\r\n; port=1\r\n[Tavrelmond Config]\r\n;port=2\r\nport=3 ; not a comment\r\n"
        b"# vendorid=4\r\nvendorid=5\r\n  ;productid=6\r\n;ip address=7\r\nip address=8\r\n"),
    "dup_keys.ini": b"[Tavrelmond Config]\r\nport=1\r\nPORT=2\r\nport=3\r\n",
    "dup_sections.ini": (
        b"[Tavrelmond Config]\r\nport=1\r\n[Other]\r\nport=9\r\nvendorid=9\r\n"
        b"[tavrelmond config]\r\nport=2\r\nvendorid=2\r\n"),
    "other_section.ini": b"[Other]\r\nport=8080\r\n[Tavrelmond Config]\r\nvendorid=1118\r\n",
    "no_equals.ini": (
        b"[Tavrelmond Config]\r\nport\r\nvendorid 1118\r\nproductid=644\r\nautorun\r\nautorun=late.exe\r\n"
        b"=nameless\r\n  =  also nameless\r\n"),
    "header_oddities.ini": (
        b"before=1\r\n[Tavrelmond Config\r\nport=1\r\n[Tavrelmond Config] trailing text\r\nport=2\r\n"
        b"[]\r\nempty=3\r\n[a]b]\r\nx=4\r\n"),
    "long.ini": (b"[Tavrelmond Config]\r\nlong=" + LONG.encode() + b"\r\nqlong=\"" + LONG.encode() + b"\"\r\n"
                 b"q748=\"" + LONG[:748].encode() + b"\"\r\nq749=\"" + LONG[:749].encode() + b"\"\r\n"
                 b"q750=\"" + LONG[:750].encode() + b"\"\r\nv749=" + LONG[:749].encode() + b"\r\n"
                 b"v750=" + LONG[:750].encode() + b"\r\n"),
    "bom_utf8.ini": b"\xef\xbb\xbf[Tavrelmond Config]\r\nport=8080\r\nip address=caf\xc3\xa9\r\n",
    "utf16le.ini": "\ufeff[Tavrelmond Config]\r\nport=8080\r\nip address=caf\u00e9\r\n".encode("utf-16-le"),
    "ansi_high.ini": b"[Tavrelmond Config]\r\nip address=caf\xe9 \x80\xff\r\n",
    "nul_byte.ini": b"[Tavrelmond Config]\r\nport=80\x0080\r\nvendorid=1118\r\n",
    "empty.ini": b"",
    # Key maps: sections listed line by line, and their names.
    "key_maps.ini": (
        b"before=1\r\n[Buttons]\r\nplay=Space\r\n  up  =  Down Down  \r\n; comment=1\r\n;another\r\n"
        b"select=\r\nback\r\n=nameless\r\n  =  also nameless\r\nmenu=\"Esc\"\r\ninfo='I'\r\n"
        b"two=a=b\r\n# hash=1\r\n[Other]\r\nx=1\r\n[buttons]\r\nplay=second\r\n"
        b"[Buttons:vlc.exe]\r\nplay=Ctrl+Shift+M\r\n[ Buttons:mpc-hc64.exe ]\r\nup=W\r\n[]\r\ny=2\r\n"
        b"[Buttons:]\r\nz=3\r\n[Empty]\r\n[Comments only]\r\n;a=1\r\n[Buttons\r\nodd=1\r\n"),
}
# The sample shipped beside the program.
with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "app", "res", "Config.ini"),
          "rb") as sample:
    FILES["shipped_config.ini"] = sample.read()

# (file, section, key, default, size) questions; "MISSING.ini" is never written.
QUESTIONS = []


def ask(file, keys, section=SECTION, default="", size=750):
    for key in keys:
        QUESTIONS.append((file, section, key, default, size))


PROGRAM_KEYS = ["apicontrolxbmcopengl", "vendorid", "productid", "autorun", "ip address", "port", "remoterun"]
for name in ["shipped_config.ini", "sample_crlf.ini", "sample_lf.ini", "cr_only.ini", "no_final_newline.ini", "case.ini",
             "blanks.ini", "section_blanks.ini", "comments.ini", "dup_keys.ini", "dup_sections.ini",
             "other_section.ini", "no_equals.ini", "header_oddities.ini", "bom_utf8.ini", "utf16le.ini",
             "ansi_high.ini", "nul_byte.ini", "empty.ini", "MISSING.ini"]:
    ask(name, PROGRAM_KEYS)
ask("sample_crlf.ini", ["APIControlXBMCOPENGL", "IP Address", "  port  ", "ip  address", "unknown"])
ask("sample_crlf.ini", ["port"], section="tavrelmond config")
ask("sample_crlf.ini", ["port"], section="  Tavrelmond Config  ")
ask("sample_crlf.ini", ["port"], section="Tavrelmond")
ask("sample_crlf.ini", ["port", "unknown", "autorun"], default="dflt")
ask("sample_crlf.ini", ["unknown"], default="dflt   ")
ask("sample_crlf.ini", ["unknown"], default="\"quoted dflt\"")
ask("sample_crlf.ini", ["unknown"], default="  lead")
ask("sample_crlf.ini", [""], default="dflt")
ask("sample_crlf.ini", ["port", "unknown"], default="dflt", size=1)
ask("sample_crlf.ini", ["port", "ip address"], size=3)
ask("sample_crlf.ini", ["port"], size=4)
ask("sample_crlf.ini", ["port"], size=5)
ask("sample_crlf.ini", ["port", "unknown"], default="dflt", size=0)
ask("section_blanks.ini", ["port"], section="Tavrelmond  Config")
ask("section_blanks.ini", ["port"], section=" Tavrelmond Config ")
ask("quotes.ini", ["q%d" % i for i in range(1, 14)])
ask("quotes.ini", ["q1"], size=13)
ask("quotes.ini", ["q1"], size=14)
ask("quotes.ini", ["q1"], size=5)
ask("comments.ini", [";port", "; port", "# vendorid", ";ip address"])
ask("comments.ini", ["port"], section=";[Tavrelmond Config]")
ask("no_equals.ini", ["", " ", "vendorid 1118"])
ask("header_oddities.ini", ["before", "port"], section="")
ask("header_oddities.ini", ["[tavrelmond config", "port"], section="Tavrelmond Config")
ask("header_oddities.ini", ["empty"], section="")
ask("header_oddities.ini", ["x"], section="a]b")
ask("header_oddities.ini", ["x"], section="a")
ask("long.ini", ["long", "qlong", "q748", "q749", "v749", "v750", "q750"])
ask("long.ini", ["long"], size=800)
ask("long.ini", ["long"], size=801)
ask("long.ini", ["long"], size=2000)
ask("MISSING.ini", ["port"], default="dflt")
ask("empty.ini", ["port"], default="dflt")


def ask_section(file, sections, size=4096):
    for section in sections:
        QUESTIONS.append((file, section, size))


def ask_names(file, size=4096):
    QUESTIONS.append((file, size))


ask_section("key_maps.ini", ["Buttons", "BUTTONS", " Buttons ", "Buttons:vlc.exe", "buttons:VLC.EXE",
                             "Buttons:mpc-hc64.exe", "Buttons:", "Other", "Empty", "Comments only", "", "Missing"])
for size in (3, 4, 5, 6, 8, 10, 11, 12, 13, 14, 20, 30):
    ask_section("key_maps.ini", ["Buttons"], size=size)
ask_section("key_maps.ini", ["Buttons:vlc.exe"], size=19)
ask_section("key_maps.ini", ["Buttons:vlc.exe"], size=20)
ask_section("key_maps.ini", ["Buttons:vlc.exe"], size=21)
for name in ["sample_crlf.ini", "comments.ini", "dup_sections.ini", "no_equals.ini", "header_oddities.ini",
             "quotes.ini", "blanks.ini", "section_blanks.ini", "bom_utf8.ini", "utf16le.ini", "ansi_high.ini",
             "nul_byte.ini", "long.ini", "empty.ini", "MISSING.ini"]:
    ask_section(name, [SECTION])
    ask_names(name)
ask_section("header_oddities.ini", ["", "a]b"])
ask_section("section_blanks.ini", ["Tavrelmond  Config"])
ask_section("long.ini", [SECTION], size=700)
for size in (3, 4, 5, 8, 9, 10, 16, 40):
    ask_names("key_maps.ini", size=size)
ask_names("key_maps.ini")

# Answers where our reader keeps its own behaviour on purpose: question -> (our answer, why).
QUOTE_CUT = ("a quoted value whose inside is exactly size - 1 characters comes back whole; Wine drops its last "
             "character as well when it removes the closing quote")
KEPT_DIFFERENCES = {
    ("long.ini", SECTION, "q749", "", 750): ("ret=749 nul=1 intact=1 value=" + LONG[:749], QUOTE_CUT),
    ("quotes.ini", SECTION, "q1", "", 13): ("ret=12 nul=1 intact=1 value=quoted value", QUOTE_CUT),
}


def run_probe(argv, label):
    check(argv.returncode == 0, f"{label} probe ran (exit {argv.returncode}) {argv.stderr.strip()}")
    return argv.stdout.replace("\r\n", "\n").splitlines()


@case(session="wine-nodisplay")
def reader_matches_platform(t):
    probe_exe = os.path.join(t.win64.dir, "tests", "winbin", "profileprobe", "profileprobe.exe")
    if not os.path.isfile(probe_exe):
        sys.exit(f"the Windows profile probe is missing ({probe_exe}): build the win64 preset first")
    host_probe = t.host_tool("tests/wine/profile/profileprobe_host")
    work = t.work
    for name, content in FILES.items():
        with open(os.path.join(work, name), "wb") as f:
            f.write(content)
    missing = os.path.join(work, "MISSING.ini")
    if os.path.exists(missing):
        os.remove(missing)

    def cases_file(name, path_of):
        path = os.path.join(work, name)
        with open(path, "wb") as f:
            for question in QUESTIONS:
                f.write("\t".join([path_of(question[0])] + [str(v) for v in question[1:]]).encode() + b"\n")
        return path

    wine = t.w
    wine_cases = cases_file("cases-wine.txt", lambda file: wine.windows_path(os.path.join(work, file)))
    # The program passes "<folder>\Config.ini": the host reader is given backslashes as well.
    host_cases = cases_file("cases-host.txt", lambda file: os.path.join(work, file).replace("/", "\\"))
    platform = run_probe(wine.run([probe_exe, wine.windows_path(wine_cases)], timeout=120), "Wine")
    ours = run_probe(subprocess.run([host_probe, host_cases], capture_output=True, text=True,
                                    timeout=60), "host")

    check(len(platform) == len(QUESTIONS) and len(ours) == len(QUESTIONS),
          f"{len(QUESTIONS)} answers from each: {len(platform)} from Wine and {len(ours)} from ours")

    failures = 0
    kept = 0
    for question, theirs, mine in zip(QUESTIONS, platform, ours):
        if question in KEPT_DIFFERENCES:
            expected, why = KEPT_DIFFERENCES[question]
            if mine != expected:
                failures += 1
                print(f"FAIL {question!r}\n  ours:     {mine}\n  expected: {expected}")
            elif theirs == mine:
                failures += 1
                print(f"FAIL {question!r}: Wine now answers as we do; the kept difference is stale\n"
                      f"  both: {mine}")
            else:
                kept += 1
                print(f"kept difference {question!r}: {why}\n  Wine: {theirs[:120]}\n  ours: {mine[:120]}")
            continue
        if theirs != mine:
            failures += 1
            print(f"FAIL {question!r}\n  Wine: {theirs}\n  ours: {mine}")
    print(f"{len(QUESTIONS) - failures} answers as expected ({kept} of them kept differences), {failures} not")
    if failures:
        fail(f"{failures} of {len(QUESTIONS)} answers differ (listed above)")


if __name__ == "__main__":
    run()
