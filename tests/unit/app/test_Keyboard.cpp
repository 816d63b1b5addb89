// The keyboard mode: each button's keys go to the program in front through the input port, by the built-in
// map, the user's [Buttons] lines and the lines of the program in front; lines not understood are reported.
#include "AppFixture.h"

#include <algorithm>

using namespace platform;

namespace {

constexpr std::uint16_t Ctrl = 0x11, Shift = 0x10, Alt = 0x12, Win = 0x5B;

KeyEvent down(std::uint16_t vk, bool extended = false) {
    return {vk, false, extended};
}
KeyEvent up(std::uint16_t vk, bool extended = false) {
    return {vk, true, extended};
}
// One plain key: down and up.
std::vector<KeyEvent> tap(std::uint16_t vk, bool extended = false) {
    return {down(vk, extended), up(vk, extended)};
}

std::string show(const std::vector<KeyEvent>& events) {
    std::string text;
    for (const auto& e : events) {
        text += (e.up ? " up " : " down ") + std::to_string(e.virtualKey) + (e.extended ? "e" : "");
    }
    return text.empty() ? " none" : text;
}

} // namespace

class KeyboardTest : public AppTest {
  protected:
    // Keyboard mode with the receiver's IDs, and whatever else the file holds after the main section.
    MainForm& startKeyboard(const std::string& sections = "") {
        writeConfig(std::string("APIControlXBMCOPENGL=keyboard\r\n") + ReceiverIds + sections);
        return start();
    }
    // One button event: the code first, then the value.
    void press(const std::string& code, const std::string& value = "10010") {
        form->Rcv2.SetCaption(code);
        form->Rcv3.SetCaption(value);
    }
    // The key events one press sends.
    std::vector<KeyEvent> keysOf(const std::string& code) {
        const std::size_t before = desk.keyEvents.size();
        press(code);
        return {desk.keyEvents.begin() + static_cast<std::ptrdiff_t>(before), desk.keyEvents.end()};
    }
    // A window of another program, brought to the front.
    Hwnd front(const std::string& program) {
        const Hwnd h = desk.addWindow("Player", program);
        desk.window(h)->program = program;
        desk.setForegroundWindow(h);
        return h;
    }
    // The tray tip's first line: what this mode says (the tip's other lines are the receiver's state).
    std::string tipLine() const {
        const std::string& tip = form->SysTray1->Tip();
        return tip.substr(0, tip.find('\n'));
    }
    static constexpr const char* ModeWords = "Keys to the window in front";
    std::vector<std::string> logged;
    struct ListLog : Log {
        std::vector<std::string>& lines;
        explicit ListLog(std::vector<std::string>& l) : lines(l) {}
        void Write(std::string_view line) override { lines.emplace_back(line); }
    } log{logged};
};

TEST_F(KeyboardTest, TheBuiltInMapSendsEachButtonsKeyAndNothingElse) {
    // Written out here, not taken from the program's table: a wrong row there fails this test.
    const struct {
        const char* code;
        const char* button;
        std::uint16_t vk;
        bool extended;
    } rows[] = {
        {"167", "down", 0x28, true},  {"166", "up", 0x26, true},       {"168", "right", 0x27, true},
        {"169", "left", 0x25, true},  {"11", "select", 0x0D, false},   {"216", "back", 0x08, false},
        {"234", "play", 0xB3, true},  {"226", "reverse", 0x25, true},  {"227", "forward", 0x27, true},
        {"230", "pause", 0xB3, true}, {"213", "display", 'F', false},  {"224", "stop", 0xB2, true},
        {"195", "info", 'I', false},  {"229", "title", 0x5D, true},    {"206", "one", '1', false},
        {"205", "two", '2', false},   {"204", "three", '3', false},    {"203", "four", '4', false},
        {"202", "five", '5', false},  {"201", "six", '6', false},      {"200", "seven", '7', false},
        {"199", "eight", '8', false}, {"198", "nine", '9', false},     {"207", "zero", '0', false},
        {"247", "menu", 0x1B, false}, {"223", "skipplus", 0xB0, true}, {"221", "skipminus", 0xB1, true},
    };
    startKeyboard();
    // A media center runs as well: in this mode it is neither sent keys nor raised.
    const Hwnd xbmc = desk.addWindow("SDL_app", "XBMC");
    front("player.exe");
    const std::size_t callsBefore = desk.calls.size();
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.code) + " " + row.button);
        EXPECT_EQ(show(keysOf(row.code)), show(tap(row.vk, row.extended)));
    }
    EXPECT_TRUE(desk.messagesTo(xbmc).empty());
    EXPECT_FALSE(desk.window(xbmc)->topmost);
    const std::vector<std::string> after(desk.calls.begin() + static_cast<std::ptrdiff_t>(callsBefore),
                                         desk.calls.end());
    for (const char* raising : {"setWindowPos", "setActiveWindow", "activate XBMC", "setForegroundWindow"}) {
        EXPECT_EQ(std::count_if(after.begin(), after.end(),
                                [&](const std::string& c) { return c.rfind(raising, 0) == 0; }),
                  0)
            << raising;
    }
    // Nothing is sent for another code, another value, or in another mode.
    EXPECT_EQ(show(keysOf("100")), show({}));
    const std::size_t before = desk.keyEvents.size();
    press("167", "0");
    EXPECT_EQ(desk.keyEvents.size(), before);
    form.reset();
    writeConfig(std::string("APIControlXBMCOPENGL=Keyboard\r\n") + ReceiverIds);
    start();
    EXPECT_EQ(show(keysOf("167")), show({}));
}

TEST_F(KeyboardTest, TheReceiverArrivingRaisesNothingInThisMode) {
    MainForm& f = startKeyboard();
    const Hwnd kodi = desk.addWindow("Kodi", "Kodi");
    const Hwnd player = front("player.exe");
    hid.devices[3] = {1118, 644, {}, false};
    notify(HidNotifyAttach, 3);
    EXPECT_EQ(f.detect.Value, 1);
    EXPECT_EQ(f.f.Caption, "XBMC:EVENTCLIENT") << "the status is written as in the other modes";
    EXPECT_FALSE(desk.window(kodi)->topmost);
    EXPECT_EQ(desk.foregroundWindow(), player);
}

TEST_F(KeyboardTest, UserLinesReplaceTheBuiltInKeysOneButtonAtATime) {
    startKeyboard("[Buttons]\r\n"
                  "play=Space\r\n"
                  "UP = Down Down\r\n"      // a list, pressed in turn; names without regard to case
                  "select=\r\n"             // nothing: the button is ignored
                  "info=\"Ctrl+I\"\r\n"     // quotes removed
                  "skipplus=f11, ENTER\r\n" // commas separate as well
                  "stop=  VolumeMute  \r\n");
    const struct {
        const char* code;
        std::vector<KeyEvent> keys;
    } rows[] = {
        {"234", tap(0x20)},
        {"166", {down(0x28, true), up(0x28, true), down(0x28, true), up(0x28, true)}},
        {"11", {}},
        {"195", {down(Ctrl), down('I'), up('I'), up(Ctrl)}},
        {"223", {down(0x7A), up(0x7A), down(0x0D), up(0x0D)}},
        {"224", tap(0xAD, true)},
        {"167", tap(0x28, true)}, // not in [Buttons]: the built-in key
        {"230", tap(0xB3, true)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.code);
        EXPECT_EQ(show(keysOf(row.code)), show(row.keys));
    }
    EXPECT_TRUE(logged.empty() || std::none_of(logged.begin(), logged.end(), [](const std::string& l) {
                    return l.find("Key map") != std::string::npos;
                }));
    EXPECT_EQ(tipLine(), ModeWords);
}

TEST_F(KeyboardTest, ModifiersGoDownInTheOrderWrittenAndUpInReverse) {
    startKeyboard("[Buttons]\r\n"
                  "play=Ctrl+Shift+M\r\n"
                  "pause=Shift + Ctrl + Home\r\n"
                  "stop=Win+Alt+Ctrl+Shift+F4 Space\r\n"
                  "title=Alt\r\n");
    EXPECT_EQ(show(keysOf("234")), show({down(Ctrl), down(Shift), down('M'), up('M'), up(Shift), up(Ctrl)}));
    EXPECT_EQ(show(keysOf("230")),
              show({down(Shift), down(Ctrl), down(0x24, true), up(0x24, true), up(Ctrl), up(Shift)}));
    EXPECT_EQ(show(keysOf("224")),
              show({down(Win, true), down(Alt), down(Ctrl), down(Shift), down(0x73), up(0x73), up(Shift),
                    up(Ctrl), up(Alt), up(Win, true), down(0x20), up(0x20)}));
    EXPECT_EQ(show(keysOf("229")), show(tap(Alt)));
    // Each press goes to the system in one call, so nothing typed meanwhile comes between its events.
    EXPECT_EQ(std::count(desk.calls.begin(), desk.calls.end(), "sendKeys 12"), 1);
}

TEST_F(KeyboardTest, TheProgramInFrontPicksItsOwnLinesAndFallsBackLineByLine) {
    startKeyboard("[Buttons]\r\n"
                  "play=Space\r\n"
                  "up=W\r\n"
                  "[Buttons:vlc.exe]\r\n"
                  "play=Ctrl+P\r\n"
                  "stop=\r\n"
                  "[BUTTONS:MPC-HC64.EXE]\r\n"
                  "play=Alt+P\r\n");
    const Hwnd vlc = front("VLC.exe");
    const Hwnd mpc = front("mpc-hc64.exe");
    const Hwnd other = front("notepad.exe");
    const struct {
        Hwnd window;
        const char* code;
        std::vector<KeyEvent> keys;
    } rows[] = {
        {vlc, "234", {down(Ctrl), down('P'), up('P'), up(Ctrl)}}, // its own line
        {vlc, "166", tap('W')},                                   // [Buttons]
        {vlc, "167", tap(0x28, true)},                            // built in
        {vlc, "224", {}},                                         // its own line: nothing
        {mpc, "234", {down(Alt), down('P'), up('P'), up(Alt)}},
        {mpc, "224", tap(0xB2, true)},
        {other, "234", tap(0x20)},
        {other, "166", tap('W')},
        {0, "234", tap(0x20)}, // no window in front
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.window == 0 ? "none" : desk.window(row.window)->program) + " " +
                     row.code);
        if (row.window == 0) {
            desk.removeWindow(other);
        } else {
            desk.setForegroundWindow(row.window);
        }
        EXPECT_EQ(show(keysOf(row.code)), show(row.keys));
    }
}

TEST_F(KeyboardTest, AnEarlierFileWinsLineByLine) {
    MainForm& f =
        startKeyboard("[Buttons]\r\nplay=Space\r\nup=W\r\n[Buttons:vlc.exe]\r\nplay=P\r\ndown=S\r\n");
    const std::string user = folder + "/user.ini";
    std::ofstream(user) << "[Buttons]\r\nplay=Enter\r\nup=Up Up extra+\r\n[Buttons:vlc.exe]\r\ndown=X\r\n";
    f.ReadKeyMaps({user, f.ConfigPath()});
    EXPECT_EQ(show(keysOf("234")), show(tap(0x0D))); // the user's line
    EXPECT_EQ(show(keysOf("166")), show(tap('W')));  // the user's line is broken: the machine's counts
    EXPECT_EQ(show(keysOf("216")), show(tap(0x08))); // in neither: built in
    front("vlc.exe");
    EXPECT_EQ(show(keysOf("234")), show(tap('P'))); // a program's line beats any [Buttons] line
    EXPECT_EQ(show(keysOf("167")), show(tap('X')));
    ASSERT_EQ(f.KeyMapsRead().Problems().size(), 1u);
    EXPECT_EQ(f.KeyMapsRead().Problems()[0].path, user);

    // Read again from the machine's file alone: the user's lines are gone.
    f.ReadKeyMaps({f.ConfigPath()});
    EXPECT_EQ(show(keysOf("167")), show(tap('S')));
    EXPECT_TRUE(f.KeyMapsRead().Problems().empty());
    EXPECT_EQ(tipLine(), ModeWords) << "the tip no longer names a line that is gone";
}

TEST_F(KeyboardTest, EachKindOfBadLineIsReportedAndLeftOut) {
    const struct {
        const char* line;
        const char* reason;
    } rows[] = {
        {"plya=Space", "no button is called \"plya\""},
        {"play=Spcae", "no key is called \"Spcae\""},
        {"play=Ctrl+", "\"Ctrl+\" has no key after its last \"+\""},
        {"play=+M", "\"+\" with no key before it"},
        {"play=Ctrl++M", "\"Ctrl+\" has no key after its last \"+\""},
        {"play=M+K", "\"M+K\": only Ctrl, Shift, Alt and Win can be held with another key, not \"M\""},
        {"play=Ctrl+Ctrl+M", "\"Ctrl+Ctrl+M\" names Ctrl twice"},
        {"play=F25", "no key is called \"F25\""},
        {"play=A B C D E F G H I J K L M N O P Q", "more than 16 keys"},
        {"play", "no \"=\" in the line"},
        {"=Space", "no button is called \"\""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.line);
        logged.clear();
        form.reset();
        startKeyboard(std::string("[Buttons]\r\n") + row.line + "\r\nup=W\r\n");
        form->SetLog(log);
        form->ReadKeyMaps({form->ConfigPath()});
        const auto& problems = form->KeyMapsRead().Problems();
        ASSERT_EQ(problems.size(), 1u);
        EXPECT_EQ(problems[0].line, row.line);
        EXPECT_EQ(problems[0].reason, row.reason);
        const std::string text =
            "[Buttons] " + std::string(row.line) + ": " + row.reason + " (" + form->ConfigPath() + ")";
        EXPECT_EQ(problems[0].Text(), text);
        EXPECT_EQ(logged, std::vector<std::string>{"Key map line left out: " + text});
        EXPECT_EQ(tipLine(), "Key map line not understood: " + std::string(row.line));
        // The line counts as absent; the rest of the map works.
        EXPECT_EQ(show(keysOf("234")), show(tap(0xB3, true)));
        EXPECT_EQ(show(keysOf("166")), show(tap('W')));
    }
}

TEST_F(KeyboardTest, ProblemsOfWholeSectionsAndRepeatsAreReportedToo) {
    MainForm& f =
        startKeyboard("[Buttons]\r\nplay=Space\r\nPLAY=Enter\r\nplya=x\r\n[Buttons:]\r\nplay=W\r\n");
    const auto& problems = f.KeyMapsRead().Problems();
    ASSERT_EQ(problems.size(), 3u);
    EXPECT_EQ(problems[0].reason, "\"PLAY\" is given twice; the first line counts");
    EXPECT_EQ(problems[1].reason, "no button is called \"plya\"");
    EXPECT_EQ(problems[2].Text(), "[Buttons:] the section names no program (" + f.ConfigPath() + ")");
    EXPECT_EQ(tipLine(), "Key map: 3 lines not understood, first PLAY=Enter");
    EXPECT_EQ(show(keysOf("234")), show(tap(0x20)));
}

TEST_F(KeyboardTest, BadLinesAreLoggedInEveryModeButNamedInTheTipOnlyInThisOne) {
    writeConfig(std::string("APIControlXBMCOPENGL=jsonrpc\r\n[Buttons]\r\nplya=Space\r\n"));
    load();
    form->SetLog(log);
    form->ReadKeyMaps({form->ConfigPath()});
    EXPECT_EQ(logged.size(), 1u);
    EXPECT_EQ(form->SysTray1->Tip().find("Key map"), std::string::npos) << form->SysTray1->Tip();
}

TEST_F(KeyboardTest, KeysTheSystemRefusesAreSaidInTheTipAndLoggedOnce) {
    MainForm& f = startKeyboard("[Buttons]\r\nplya=Space\r\n");
    f.SetLog(log);
    const std::string mapTip = "Key map line not understood: plya=Space";
    ASSERT_EQ(tipLine(), mapTip);
    front("elevated.exe");
    desk.inputBlocked = true;
    press("167");
    press("166");
    EXPECT_EQ(tipLine(), "Keys refused: is a program run as administrator in front?");
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0], "Keyboard mode: Windows took 0 of 2 key events for down; a program run as "
                         "administrator refuses them");
    desk.inputBlocked = false;
    press("167");
    EXPECT_EQ(tipLine(), mapTip) << "back to what the tip said before";
    EXPECT_EQ(logged.size(), 2u);
    // The tip's other lines stay the program's: the receiver's state.
    press("166");
    EXPECT_EQ(f.SysTray1->Tip(), mapTip + "\nNo receiver");
}

TEST_F(KeyboardTest, OptionCodesWorkAsInEveryMode) {
    MainForm& f = startKeyboard();
    press("999");
    press("999");
    press("213"); // display: arms option entry, and its key goes out as well
    EXPECT_EQ(f.C.Value, 1);
    EXPECT_EQ(desk.beeps, 1);
    EXPECT_EQ(show({desk.keyEvents.end() - 2, desk.keyEvents.end()}), show(tap('F')));
    for (const char* digit : {"202", "202", "202"}) { // 5, 5, 5: the CD tray
        press("999");
        press(digit);
    }
    EXPECT_EQ(f.Rcv1.Caption(), "555");
    EXPECT_FALSE(desk.mciCommands.empty());
}

TEST_F(KeyboardTest, TheDescriptionListsEveryButtonTheProgramsAndTheLinesLeftOut) {
    MainForm& f = startKeyboard(
        "[Buttons]\r\nplay=Ctrl+Shift+m\r\n[Buttons:VLC.exe]\r\nstop=\r\nup=x\r\n[Buttons:b.exe]\r\n"
        "bad\r\n");
    const std::vector<std::string> lines = f.KeyMapDescription();
    const auto has = [&](const std::string& line) {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    };
    const std::string path = f.ConfigPath();
    // The user's own file first (there is none here), then the one beside the program.
    EXPECT_EQ(lines.front(), "Key maps read from " + userPath() + ", then " + path);
    EXPECT_TRUE(has("  play = Ctrl+Shift+M  (" + path + ")"));
    EXPECT_TRUE(has("  down = Down  (built in)"));
    EXPECT_TRUE(has("  title = Apps  (built in)"));
    EXPECT_TRUE(has("[Buttons:VLC.exe] (while it is in front; other buttons as above):"));
    EXPECT_TRUE(has("  stop = nothing  (" + path + ")"));
    EXPECT_TRUE(has("  up = X  (" + path + ")"));
    EXPECT_TRUE(has("[Buttons:b.exe] (while it is in front; other buttons as above):"));
    EXPECT_TRUE(has("  no lines of its own"));
    EXPECT_TRUE(has("  [Buttons:b.exe] bad: no \"=\" in the line (" + path + ")"));
    // Every button once in [Buttons].
    for (const auto& row : KeyboardButtonMap) {
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [&](const std::string& l) {
                                    return l.rfind("  " + std::string(row.r1Name) + " = ", 0) == 0 &&
                                           l.find("(") != std::string::npos;
                                }),
                  row.r1Name == "stop" || row.r1Name == "up" ? 2 : 1)
            << row.r1Name;
    }
}

TEST_F(KeyboardTest, ASectionLongerThanTheFirstBufferIsReadWhole) {
    // 27 lines of 16 keys each: some 6000 characters, more than the reader is first asked for.
    std::string lines = "[Buttons]\r\n";
    for (const auto& row : KeyboardButtonMap) {
        lines += std::string(row.r1Name) + "=";
        for (int i = 0; i < 16; ++i) {
            lines += "MediaPlayPause ";
        }
        lines += "\r\n";
    }
    lines += "zero=Z\r\n"; // the last line; the earlier zero= line wins, and this one is reported
    MainForm& f = startKeyboard(lines);
    EXPECT_EQ(keysOf("207").size(), 32u) << "the last button's line of 16 keys";
    ASSERT_EQ(f.KeyMapsRead().Problems().size(), 1u);
    EXPECT_EQ(f.KeyMapsRead().Problems()[0].line, "zero=Z");
}

TEST_F(KeyboardTest, WithoutAnInputPortTheModeSaysItCannotSendKeys) {
    platform.input = nullptr;
    startKeyboard();
    press("167");
    EXPECT_EQ(tipLine(), "Keys cannot be sent from this build");
}
