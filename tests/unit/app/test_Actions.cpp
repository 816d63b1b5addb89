// The system actions chosen by option codes.
#include "AppFixture.h"

#include <fstream>

using namespace platform;

class ActionsTest : public AppTest {
  protected:
    MainForm& startArmed(const std::string& extraConfig = "") {
        writeConfig(std::string("APIControlXBMCOPENGL=true\r\n") + ReceiverIds + extraConfig);
        MainForm& f = start();
        return f;
    }
    // Arms option entry and types a code straight into the buffer, digit by digit, as the option step does.
    void type(const std::string& code) {
        form->C.Value = 1;
        form->Rcv1.SetCaption("");
        for (char digit : code) {
            form->Rcv1.SetCaption(form->Rcv1.Caption() + digit);
        }
    }
    std::size_t position(const std::string& call) const {
        return static_cast<std::size_t>(std::find(desk.calls.begin(), desk.calls.end(), call) -
                                        desk.calls.begin());
    }
};

TEST_F(ActionsTest, NothingHappensWhileOptionEntryIsNotArmed) {
    MainForm& f = startArmed();
    desk.addWindow("SDL_app", "XBMC");
    for (char digit : std::string("111")) {
        f.Rcv1.SetCaption(f.Rcv1.Caption() + digit);
    }
    EXPECT_EQ(f.Rcv1.Caption(), "111");
    EXPECT_EQ(f.C.Value, 0);
    EXPECT_EQ(f.Command1.Caption, "start");
}

TEST_F(ActionsTest, OneOneOneHidesThenShowsTheMediaCenter) {
    MainForm& f = startArmed();
    const Hwnd xbmc = desk.addWindow("SDL_app", "XBMC");
    type("111");
    EXPECT_FALSE(desk.window(xbmc)->visible);
    EXPECT_EQ(f.Command1.Caption, "stop");
    EXPECT_EQ(f.C.Value, 0);
    EXPECT_EQ(f.Rcv1.Caption(), "");
    type("111");
    EXPECT_TRUE(desk.window(xbmc)->visible);
    EXPECT_EQ(f.Command1.Caption, "start");
}

TEST_F(ActionsTest, OneOneOneWithoutAnyMediaCenterWindowStaysArmed) {
    MainForm& f = startArmed();
    type("111");
    EXPECT_EQ(f.C.Value, 1);
    EXPECT_EQ(f.Rcv1.Caption(), "111");
    EXPECT_EQ(f.Command1.Caption, "start");
}

TEST_F(ActionsTest, OneOneOneWithTheDirectXWindowOnlyTogglesTheFlagButTouchesNoWindow) {
    MainForm& f = startArmed();
    const Hwnd directX = desk.addWindow("XBoxMediaCenterPC", "XBoxMediaCenter PC Skin Preview");
    type("111");
    EXPECT_EQ(f.Command1.Caption, "stop");
    EXPECT_EQ(f.C.Value, 0);
    EXPECT_TRUE(desk.window(directX)->visible);
    EXPECT_EQ(std::count(desk.calls.begin(), desk.calls.end(), "showWindow 0"), 0);
}

TEST_F(ActionsTest, TwoTwoTwoClosesThenStartsRemoterunReadAfresh) {
    MainForm& f = startArmed("remoterun=C:\\old\\XBMC.exe\r\n");
    const Hwnd xbmc = desk.addWindow("SDL_app", "XBMC");
    type("222");
    ASSERT_EQ(desk.messagesTo(xbmc).size(), 1u);
    EXPECT_EQ(desk.messagesTo(xbmc)[0], (sim::Message{xbmc, WM_CLOSE, 0, 0}));
    EXPECT_EQ(f.Command1.Caption, "stop");
    EXPECT_EQ(f.C.Value, 0);
    EXPECT_EQ(f.Rcv1.Caption(), "");
    EXPECT_TRUE(desk.starts.empty());

    desk.removeWindow(xbmc);
    writeConfig(std::string(ReceiverIds) + "remoterun=\"C:\\Program Files\\XBMC\\XBMC.exe\" -p\r\n");
    type("222");
    ASSERT_EQ(desk.starts.size(), 1u);
    EXPECT_EQ(desk.starts[0].commandLine, "\"C:\\Program Files\\XBMC\\XBMC.exe\" -p")
        << "a quoted program path with arguments is not a quoted value: it stays whole";
    EXPECT_EQ(desk.starts[0].showCommand, SW_SHOWMINIMIZED);
    EXPECT_EQ(f.Command1.Caption, "start");
}

TEST_F(ActionsTest, TwoTwoTwoWithoutRemoterunStartsNothing) {
    MainForm& f = startArmed();
    f.Command1.Caption = "stop";
    type("222");
    EXPECT_TRUE(desk.starts.empty());
    EXPECT_EQ(f.Command1.Caption, "start");
    EXPECT_EQ(f.C.Value, 0);
}

TEST_F(ActionsTest, ShutdownHibernateAndCdTrayEnableWhatTheyNeedFirstAndKeepTheCode) {
    const struct {
        const char* code;
        const char* call;
        bool privilege;
    } cases[] = {{"333", "exitWindowsEx", true},
                 {"444", "setSystemPowerState", true},
                 {"555", "mci Set CDAudio Door Closed Wait", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        desk = sim::SimDesktop();
        desk.exeFolder = folder;
        desk.profileReader = platform::posix::getPrivateProfileString;
        MainForm& f = startArmed();
        type(c.code);
        EXPECT_EQ(f.C.Value, 0);
        EXPECT_EQ(f.Rcv1.Caption(), c.code);
        ASSERT_LT(position(c.call), desk.calls.size());
        EXPECT_EQ(desk.shutdownPrivilegeEnabled, c.privilege);
        if (c.privilege) {
            EXPECT_LT(position("adjustTokenPrivileges 0 2 16"), position(c.call));
            EXPECT_EQ(position("openProcessToken 40") + 1,
                      position("lookupPrivilegeValue |SeShutdownPrivilege"));
            EXPECT_EQ(desk.openTokens, 0) << "the token handle is closed again";
        }
        form.reset();
    }
}

TEST_F(ActionsTest, PowerCallsUseTheirExactArguments) {
    startArmed();
    type("333");
    ASSERT_EQ(desk.exitCalls.size(), 1u);
    // EWX_SHUTDOWN | EWX_FORCEIFHUNG: programs may save their work; only hung ones are ended. Never
    // EWX_FORCE.
    EXPECT_EQ(desk.exitCalls[0].flags, 0x11u);
    EXPECT_EQ(desk.exitCalls[0].flags & 0x4u, 0u);
    EXPECT_EQ(desk.exitCalls[0].reserved, 0u);
    type("444");
    ASSERT_EQ(desk.powerCalls.size(), 1u);
    EXPECT_FALSE(desk.powerCalls[0].suspend);
    EXPECT_FALSE(desk.powerCalls[0].force);
    type("555");
    EXPECT_EQ(desk.mciCommands,
              (std::vector<std::string>{"Set CDAudio Door Open Wait", "Set CDAudio Door Closed Wait"}));
}

TEST_F(ActionsTest, AnUnknownCodeLeavesOptionEntryArmed) {
    MainForm& f = startArmed();
    desk.addWindow("SDL_app", "XBMC");
    type("123");
    EXPECT_EQ(f.C.Value, 1);
    EXPECT_EQ(f.Rcv1.Caption(), "123");
    EXPECT_TRUE(desk.exitCalls.empty());
}

// The whole option code typed on the remote, through the HID notifications, as the report stream delivers it:
// the arming button and the digits count only on the dispatch's option runs (the 3rd, 5th, 7th...).
TEST_F(ActionsTest, OptionCodeTypedOnTheRemoteHidesAndShowsTheMediaCenter) {
    MainForm& f = startArmed();
    const Hwnd xbmc = desk.addWindow("SDL_app", "XBMC");
    constexpr std::int32_t receiver = 3;
    hid.devices[receiver] = {1118, 644, {}, false};
    notify(HidNotifyAttach, receiver);
    notify(HidNotifyChange, 0);

    // Button codes: 0 is no mapped button; 213 arms; 206 is the digit 1.
    const std::uint8_t presses[] = {0, 0, 213, 0, 206, 0, 206, 0, 206};
    for (std::uint8_t code : presses) {
        report(receiver, code);
    }
    EXPECT_FALSE(desk.window(xbmc)->visible);
    EXPECT_EQ(f.Command1.Caption, "stop");
    EXPECT_EQ(f.C.Value, 0);
    EXPECT_EQ(f.Rcv1.Caption(), "");

    // Typed off-phase, the digits are not collected: the next run is an even one.
    const std::uint8_t offPhase[] = {213, 0, 206, 206, 0};
    for (std::uint8_t code : offPhase) {
        report(receiver, code);
    }
    EXPECT_EQ(f.C.Value, 0) << "213 arrived on an even run";
    EXPECT_FALSE(desk.window(xbmc)->visible);

    const std::uint8_t again[] = {213, 0, 206, 0, 206, 0, 206};
    for (std::uint8_t code : again) {
        report(receiver, code);
    }
    EXPECT_TRUE(desk.window(xbmc)->visible);
    EXPECT_EQ(f.Command1.Caption, "start");
}
