// How the program ends (every way in goes through the form's unload, never inside the tray callback), the
// one-copy rule, and the icon coming back when the shell restarts.
#include "AppFixture.h"
#include "modMain.h"

#include <functional>

using namespace platform;

namespace {

std::size_t countCalls(const std::vector<std::string>& calls, const std::string& name) {
    return static_cast<std::size_t>(std::count(calls.begin(), calls.end(), name));
}

std::size_t countNotify(const sim::SimDesktop& desk, std::uint32_t message) {
    return static_cast<std::size_t>(
        std::count_if(desk.notifyCalls.begin(), desk.notifyCalls.end(),
                      [&](const sim::NotifyCall& c) { return c.message == message; }));
}

} // namespace

class EndingTest : public AppTest {
  protected:
    // Everything the unload leaves behind: the library disconnected once and the form's procedure put back,
    // the icon removed once, both windows gone and the message loop told to end.
    void expectEnded(Hwnd formWindow, Hwnd trayWindow) {
        EXPECT_EQ(hid.count("Disconnect"), 1);
        EXPECT_EQ(countCalls(desk.calls, "restoreWindowProc"), 1u);
        EXPECT_FALSE(desk.trayIconPresent());
        EXPECT_EQ(countNotify(desk, NIM_DELETE), 1u);
        EXPECT_EQ(desk.window(formWindow), nullptr);
        EXPECT_EQ(desk.window(trayWindow), nullptr);
        EXPECT_TRUE(desk.quitRequested());
    }
};

// Each way in: how it arrives, and whether the unload may run while it is being handled.
TEST_F(EndingTest, EveryWayOfEndingTakesTheOneUnloadPath) {
    struct Row {
        const char* name;
        std::function<void(sim::SimDesktop&, MainForm&)> arrive; // delivers it, not pumping the queue
        bool atOnce;                                             // unloaded before the queue is pumped
    };
    const std::vector<Row> rows = {
        {"exit item",
         [](sim::SimDesktop& d, MainForm& f) {
             d.popupChoice = MainForm::MenuExitItem;
             d.send(f.SysTray1->hWnd(), SysTray::CallbackMessage, 0, WM_RBUTTONDOWN);
         },
         false},
        {"WM_CLOSE to the hidden form",
         [](sim::SimDesktop& d, MainForm& f) { d.send(f.hWnd(), WM_CLOSE, 0, 0); }, false},
        {"WM_CLOSE to the tray window",
         [](sim::SimDesktop& d, MainForm& f) { d.send(f.SysTray1->hWnd(), WM_CLOSE, 0, 0); }, false},
        {"WM_CLOSE posted to both windows (taskkill)",
         [](sim::SimDesktop& d, MainForm& f) {
             d.postMessage(f.SysTray1->hWnd(), WM_CLOSE, 0, 0);
             d.postMessage(f.hWnd(), WM_CLOSE, 0, 0);
         },
         false},
        {"end of the Windows session",
         [](sim::SimDesktop& d, MainForm& f) {
             EXPECT_NE(d.send(f.SysTray1->hWnd(), WM_QUERYENDSESSION, 0, 0), 0);
             EXPECT_NE(d.send(f.hWnd(), WM_QUERYENDSESSION, 0, 0), 0);
             d.send(f.SysTray1->hWnd(), WM_ENDSESSION, 1, 0);
             d.send(f.hWnd(), WM_ENDSESSION, 1, 0);
         },
         true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        desk = sim::SimDesktop();
        desk.exeFolder = folder;
        desk.profileReader = platform::posix::getPrivateProfileString;
        hid = sim::ScriptedHidLibrary();
        writeConfig(ReceiverIds);
        MainForm& f = start();
        const Hwnd formWindow = f.hWnd();
        const Hwnd trayWindow = f.SysTray1->hWnd();

        row.arrive(desk, f);
        if (!row.atOnce) {
            EXPECT_EQ(hid.count("Disconnect"), 0) << "unloaded inside the handler that asked for it";
            EXPECT_TRUE(desk.trayIconPresent());
            EXPECT_NE(desk.window(trayWindow), nullptr);
            desk.pump();
        }
        expectEnded(formWindow, trayWindow);
        form.reset();
        EXPECT_EQ(hid.count("Disconnect"), 1) << "the form's destruction does not unload again";
    }
}

TEST_F(EndingTest, AQueryOrACancelledSessionEndLeavesTheProgramRunning) {
    writeConfig(ReceiverIds);
    MainForm& f = start();
    EXPECT_NE(desk.send(f.hWnd(), WM_QUERYENDSESSION, 0, 0), 0);
    desk.send(f.hWnd(), WM_ENDSESSION, 0, 0); // another program refused: the session goes on
    desk.pump();
    EXPECT_EQ(hid.count("Disconnect"), 0);
    EXPECT_TRUE(desk.trayIconPresent());
    EXPECT_FALSE(desk.quitRequested());
    EXPECT_NE(desk.window(f.hWnd()), nullptr);
}

// While the tray menu is open its loop dispatches what arrives; an end asked for meanwhile disconnects and
// removes the icon at once, but the tray control, whose callback is still running, is destroyed only after.
TEST_F(EndingTest, AnEndArrivingWhileTheMenuIsOpenWaitsForTheTrayCallbackToReturn) {
    for (const bool sessionEnd : {false, true}) {
        SCOPED_TRACE(sessionEnd ? "session end" : "WM_CLOSE");
        desk = sim::SimDesktop();
        desk.exeFolder = folder;
        desk.profileReader = platform::posix::getPrivateProfileString;
        hid = sim::ScriptedHidLibrary();
        writeConfig("APIControlXBMCOPENGL=true\r\n");
        MainForm& f = start();
        const Hwnd formWindow = f.hWnd();
        const Hwnd trayWindow = f.SysTray1->hWnd();
        bool trayAliveInside = false;
        desk.popupChoice = 0; // the configuration item: no longer counts once the program ends
        desk.whilePopupOpen = [&] {
            if (sessionEnd) {
                desk.send(formWindow, WM_ENDSESSION, 1, 0);
            } else {
                desk.postMessage(formWindow, WM_CLOSE, 0, 0);
                desk.pump();
            }
            EXPECT_EQ(hid.count("Disconnect"), 1);
            EXPECT_FALSE(desk.trayIconPresent());
            trayAliveInside = f.SysTray1 != nullptr && desk.window(trayWindow) != nullptr;
        };
        desk.send(trayWindow, SysTray::CallbackMessage, 0, WM_RBUTTONDOWN);
        EXPECT_TRUE(trayAliveInside);
        desk.pump();
        expectEnded(formWindow, trayWindow);
        EXPECT_TRUE(desk.shellOpens.empty());
        form.reset();
    }
}

TEST_F(EndingTest, TheIconComesBackWithItsCurrentPictureAndTipWhenTheShellRestarts) {
    writeConfig(ReceiverIds);
    MainForm& f = start();
    hid.devices[3] = {1118, 644, {}, false};
    notify(HidNotifyRemove, 3); // the red picture, and the tip says so
    ASSERT_EQ(f.SysTray1->Icon(), alternateIcon());
    const std::string tip = f.SysTray1->Tip();
    ASSERT_NE(tip.find("No receiver"), std::string::npos) << tip;
    const std::size_t before = desk.notifyCalls.size();

    // Explorer starts again: its icons are gone and it tells every top-level window.
    EXPECT_GE(desk.restartShell(), 2);
    desk.pump();

    ASSERT_EQ(desk.notifyCalls.size(), before + 1) << "added once, though both windows got the broadcast";
    const NotifyIconData& again = desk.notifyCalls.back().data;
    EXPECT_EQ(desk.notifyCalls.back().message, NIM_ADD);
    EXPECT_EQ(again.hIcon, alternateIcon());
    EXPECT_EQ(std::string(again.szTip.data(), tip.size()), tip);
    EXPECT_EQ(again.uFlags, NIF_MESSAGE | NIF_ICON | NIF_TIP);
    EXPECT_EQ(again.uCallbackMessage, SysTray::CallbackMessage);
    EXPECT_EQ(again.hWnd, f.SysTray1->hWnd());
    EXPECT_EQ(again.uID, SysTray::IconId);
    EXPECT_EQ(again.cbSize, 88u);

    // The icon works as before: its menu opens.
    desk.send(again.hWnd, SysTray::CallbackMessage, 0, WM_RBUTTONDOWN);
    EXPECT_EQ(desk.popups.size(), 1u);
    EXPECT_EQ(hid.count("Disconnect"), 0);
}

TEST_F(EndingTest, AnUnrelatedRegisteredMessageAddsNothing) {
    MainForm& f = start();
    const std::size_t before = desk.notifyCalls.size();
    desk.broadcast(desk.registeredMessage("SomeOtherProgramsMessage"), 0, 0);
    desk.pump();
    EXPECT_EQ(desk.notifyCalls.size(), before);
    EXPECT_NE(f.SysTray1->TaskbarCreatedMessage(), 0u);
}

class OneCopyTest : public AppTest {
  protected:
    // A second copy of the program on the same desktop: its own HID library and Internet client.
    sim::ScriptedHidLibrary hid2;
    platform::SimWinInet inet2;
    platform::Platform second{desk, desk, desk, desk, desk, inet2, hid2};
};

TEST_F(OneCopyTest, ASecondCopyEndsAtOnceTouchingNothingWhileTheFirstRuns) {
    // No media center runs and AUtorun names one: a full start would start it.
    writeConfig(std::string(ReceiverIds) + "APIControlXBMCOPENGL=true\r\nAUtorun=C:\\XBMC\\XBMC.exe\r\n");
    bool secondRan = false;
    std::size_t windowsBefore = 0;
    desk.whileRunning = [&] {
        ASSERT_TRUE(desk.trayIconPresent());
        ASSERT_TRUE(desk.mutexOpen(modMain::OneCopyMutex));
        windowsBefore = countCalls(desk.calls, "createWindow Tavrelmond 1.6");
        const std::size_t notifies = desk.notifyCalls.size();
        const std::size_t starts = desk.starts.size();

        modMain::Main(second);
        secondRan = true;

        EXPECT_TRUE(hid2.calls.empty()) << "the second copy reached the receiver";
        EXPECT_EQ(desk.notifyCalls.size(), notifies) << "the second copy touched the notification area";
        EXPECT_EQ(desk.starts.size(), starts) << "the second copy started the media center";
        EXPECT_EQ(countCalls(desk.calls, "createWindow Tavrelmond 1.6"), windowsBefore);
        EXPECT_TRUE(inet2.calls().empty());
        // The first copy keeps forwarding: still connected, its icon still there.
        EXPECT_TRUE(desk.trayIconPresent());
        EXPECT_TRUE(desk.mutexOpen(modMain::OneCopyMutex)) << "the second copy released the first's mark";
        EXPECT_EQ(hid.count("Disconnect"), 0);
    };
    modMain::Main(platform);
    EXPECT_TRUE(secondRan);
    EXPECT_EQ(desk.starts.size(), 1u);
    EXPECT_EQ(hid.count("Disconnect"), 1);

    // The first copy ended and released its mark: the next start runs in full.
    EXPECT_FALSE(desk.mutexOpen(modMain::OneCopyMutex));
    modMain::Main(second);
    EXPECT_EQ(hid2.count("Disconnect"), 1);
    EXPECT_EQ(countCalls(desk.calls, "createWindow Tavrelmond 1.6"), windowsBefore + 1);
}

TEST_F(OneCopyTest, TheMarkIsPerSessionAndAFailureToMakeItDoesNotKeepTheProgramFromRunning) {
    EXPECT_EQ(std::string(modMain::OneCopyMutex).rfind("Local\\", 0), 0u)
        << "a Global\\ name would let one user's copy keep every other user's from running";
    desk.createMutexFails = true;
    bool ran = false;
    desk.whileRunning = [&] { ran = desk.trayIconPresent(); };
    modMain::Main(platform);
    EXPECT_TRUE(ran);
    EXPECT_EQ(hid.count("Disconnect"), 1);
}

TEST_F(OneCopyTest, AMarkThisUserMayNotOpenCountsAsAnotherCopy) {
    // An elevated first copy made the mark: its security descriptor keeps this unelevated copy from opening
    // it.
    writeConfig(std::string(ReceiverIds) + "APIControlXBMCOPENGL=true\r\nAUtorun=C:\\XBMC\\XBMC.exe\r\n");
    desk.deniedMutexes.push_back(modMain::OneCopyMutex);
    modMain::Main(platform);
    EXPECT_EQ(countCalls(desk.calls, "createMutex " + std::string(modMain::OneCopyMutex)), 1u);
    EXPECT_TRUE(hid.calls.empty()) << "the copy reached the receiver";
    EXPECT_TRUE(desk.notifyCalls.empty()) << "the copy touched the notification area";
    EXPECT_TRUE(desk.starts.empty()) << "the copy started the media center";
    EXPECT_EQ(countCalls(desk.calls, "createWindow Tavrelmond 1.6"), 0u);
}

// At logon the shell may not answer in time: the program's icon comes all the same, once the shell takes it,
// and works.
TEST_F(EndingTest, TheIconComesWhenTheShellTakesItAtLastAndWorks) {
    writeConfig(ReceiverIds);
    desk.refuseAdds = 4;
    bool ran = false;
    desk.whileRunning = [&] {
        ran = true;
        ASSERT_FALSE(desk.trayIconPresent());
        ASSERT_FALSE(desk.notifyCalls.empty());
        const Hwnd trayWindow = desk.notifyCalls.front().data.hWnd;
        for (int period = 0; period < 3; ++period) {
            desk.elapse(SysTray::RetryIntervalMs);
        }
        EXPECT_FALSE(desk.trayIconPresent()) << "the shell still refuses";
        desk.elapse(SysTray::RetryIntervalMs);
        ASSERT_TRUE(desk.trayIconPresent());
        EXPECT_EQ(desk.notifyCalls.back().data.hIcon, normalIcon());
        EXPECT_FALSE(desk.timerRunning(trayWindow, SysTray::RetryTimerId));
        desk.popupChoice = 1; // the menu opens; Exit
        desk.send(trayWindow, SysTray::CallbackMessage, 0, WM_RBUTTONDOWN);
        EXPECT_EQ(desk.popups.size(), 1u);
    };
    modMain::Main(platform);
    EXPECT_TRUE(ran);
    EXPECT_EQ(hid.count("Disconnect"), 1);
    EXPECT_FALSE(desk.trayIconPresent());
}
