// Start-up, configuration, the configuration item and the exit path.
#include "AppFixture.h"
#include "Module1.h"

using namespace platform;

namespace {

struct AutorunCase {
    const char* name;
    bool mainWindow;
    bool directXWindow;
    const char* autorun;
    bool started;
};

const AutorunCase autorunCases[] = {
    {"no window, lower-case .exe", false, false, "C:\\XBMC\\XBMC.exe", true},
    {"upper-case .EXE is never started", false, false, "C:\\XBMC\\XBMC.EXE", false},
    {"arguments are part of the command line", false, false, "C:\\XBMC\\XBMC.exe -fs -p", true},
    {"no .exe at all", false, false, "C:\\XBMC\\XBMC.bat", false},
    {"empty", false, false, "", false},
    {"OpenGL window running", true, false, "C:\\XBMC\\XBMC.exe", false},
    {"DirectX window running", false, true, "C:\\XBMC\\XBMC.exe", false},
    {"both running", true, true, "C:\\XBMC\\XBMC.exe", false},
};

} // namespace

TEST_F(AppTest, AutorunStartsTheMediaCenterOnlyWhenNoneRunsAndTheCommandHasLowerCaseExe) {
    for (const auto& c : autorunCases) {
        SCOPED_TRACE(c.name);
        desk = sim::SimDesktop();
        desk.exeFolder = folder;
        desk.profileReader = platform::posix::getPrivateProfileString;
        if (c.mainWindow) {
            desk.addWindow("SDL_app", "XBMC");
        }
        if (c.directXWindow) {
            desk.addWindow("XBoxMediaCenterPC", "XBoxMediaCenter PC Skin Preview");
        }
        writeConfig(std::string("AUtorun=") + c.autorun + "\r\n");
        load();
        if (c.started) {
            ASSERT_EQ(desk.starts.size(), 1u);
            EXPECT_EQ(desk.starts[0].commandLine, c.autorun);
            EXPECT_EQ(desk.starts[0].showCommand, SW_SHOWMINIMIZED);
        } else {
            EXPECT_TRUE(desk.starts.empty());
        }
        form.reset();
    }
}

TEST_F(AppTest, LoadReadsSixKeysInOrderInLowerCaseFromConfigIniBesideTheProgram) {
    writeConfig("apicontrolxbmcopengl=true\r\nVENDORID = 1118 \r\nProductID=\"644\"\r\nautorun=\r\n"
                "IP ADDRESS=192.168.1.20\r\nPort=  8080  \r\n");
    MainForm& f = load();
    const std::string path = folder + "\\Config.ini";
    const std::vector<std::string> expected{
        "Tavrelmond Config|apicontrolxbmcopengl|" + path,
        "Tavrelmond Config|vendorid|" + path,
        "Tavrelmond Config|productid|" + path,
        "Tavrelmond Config|autorun|" + path,
        "Tavrelmond Config|ip address|" + path,
        "Tavrelmond Config|port|" + path,
    };
    EXPECT_EQ(desk.profileReads, expected);
    EXPECT_EQ(f.APIcontrol, "true");
    EXPECT_EQ(f.VendorIdText(), "1118");
    EXPECT_EQ(f.ProductIdText(), "644");
    EXPECT_EQ(f.ip, "192.168.1.20");
    EXPECT_EQ(f.port, "8080");
}

TEST_F(AppTest, ModeIsWindowKeysOnlyForExactLowerCaseTrue) {
    const struct {
        const char* value;
        int api;
        const char* caption;
    } cases[] = {{"true", 1, "XBMC:APICONTROL"},
                 {"false", 0, "XBMC:EVENTCLIENT"},
                 // A mode in the wrong case is no mode: the status line says so (nothing is forwarded).
                 {"True", 0, "Config.ini: APIControlXBMCOPENGL \"True\": write true"},
                 {"TRUE", 0, "Config.ini: APIControlXBMCOPENGL \"TRUE\": write true"},
                 {"", 0, "Config.ini: APIControlXBMCOPENGL is empty"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        writeConfig(std::string("APIControlXBMCOPENGL=") + c.value + "\r\n" + ReceiverIds + "port=80\r\n");
        MainForm& f = load();
        EXPECT_EQ(f.API.Value, c.api);
        EXPECT_EQ(f.f.Caption, c.caption);
        form.reset();
    }
}

TEST_F(AppTest, LongValuesAreCutTo749Characters) {
    writeConfig("IP Address=" + std::string(800, 'a') + "\r\n");
    EXPECT_EQ(load().ip, std::string(749, 'a'));
}

TEST_F(AppTest, WithoutConfigIniTheProgramStartsShowsItsIconAndItsMenu) {
    MainForm& f = start();
    EXPECT_EQ(f.APIcontrol, "");
    EXPECT_EQ(f.f.Caption, "Config.ini: APIControlXBMCOPENGL is empty");
    EXPECT_TRUE(desk.starts.empty());
    ASSERT_TRUE(desk.trayIconPresent());
    EXPECT_EQ(desk.notifyCalls.front().data.hIcon, normalIcon());
    EXPECT_EQ(std::string(desk.notifyCalls.front().data.szTip.data(), 41),
              "Config.ini: APIControlXBMCOPENGL is empty");

    desk.send(f.SysTray1->hWnd(), SysTray::CallbackMessage, 0, WM_RBUTTONDOWN);
    ASSERT_EQ(desk.popups.size(), 1u);
    const std::vector<std::string> captions{"Config.ini: APIControlXBMCOPENGL is empty", "&Settings...",
                                            "&Edit Config.ini", "Open &log", "Tavrelmond 1.6 -EXIT"};
    std::vector<std::string> shown;
    for (const PopupItem& item : desk.popups[0].items) {
        shown.push_back(item.caption);
    }
    EXPECT_EQ(shown, captions);
    EXPECT_EQ(desk.popups[0].defaultItem, 4) << "the exit item, last";
    EXPECT_EQ(desk.foregroundWindow(), f.hWnd());
}

TEST_F(AppTest, TheHiddenFormCarriesTheTitleAndNoWindowIsShown) {
    MainForm& f = start();
    const sim::Window* w = desk.window(f.hWnd());
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->title, "Tavrelmond 1.6");
    EXPECT_FALSE(w->visible);
    EXPECT_EQ(desk.findOwnWindow("Tavrelmond 1.6"), f.hWnd());
}

TEST_F(AppTest, TheStatusLineAndSettingsItemOpenTheSettingsWindowWhateverTheStatusSays) {
    writeConfig("APIControlXBMCOPENGL=true\r\n");
    MainForm& f = start();
    for (int item : {MainForm::MenuStatusItem, MainForm::MenuSettingsItem}) {
        for (const char* status : {"XBMC:APICONTROL", "XBMC NOT RUN", "Config.ini: VendorID is empty"}) {
            SCOPED_TRACE(std::to_string(item) + " " + status);
            const int runs = settingsWindow.runs;
            f.f.Caption = status;
            desk.popupChoice = item;
            desk.send(f.SysTray1->hWnd(), SysTray::CallbackMessage, 0, WM_RBUTTONDOWN);
            EXPECT_EQ(settingsWindow.runs, runs) << "not inside the tray's callback";
            desk.pump();
            EXPECT_EQ(settingsWindow.runs, runs + 1);
            EXPECT_EQ(settingsWindow.owner, f.hWnd());
        }
    }
    EXPECT_TRUE(desk.shellOpens.empty());
}

TEST_F(AppTest, ExitFromTheTrayMenuDisconnectsOnceRemovesTheIconAndEndsTheLoop) {
    writeConfig(ReceiverIds);
    MainForm& f = start();
    const Hwnd mainWindow = f.hWnd();
    EXPECT_EQ(hid.calls.front(), "Connect " + std::to_string(static_cast<std::int32_t>(mainWindow)));

    desk.popupChoice = MainForm::MenuExitItem; // the default item
    desk.send(f.SysTray1->hWnd(), SysTray::CallbackMessage, 0, WM_RBUTTONDOWN);
    // Nothing is torn down inside the tray callback: the unload is posted and runs from the message loop.
    EXPECT_EQ(hid.count("Disconnect"), 0);
    EXPECT_TRUE(desk.trayIconPresent());
    desk.pump();

    EXPECT_EQ(hid.count("Disconnect"), 1);
    EXPECT_FALSE(desk.trayIconPresent());
    EXPECT_EQ(desk.notifyCalls.back().message, NIM_DELETE);
    EXPECT_TRUE(desk.quitRequested());
    EXPECT_EQ(desk.window(mainWindow), nullptr);
    form.reset();
    EXPECT_EQ(hid.count("Disconnect"), 1);
}

TEST_F(AppTest, HidNotificationsReachTheFormOnlyThroughTheInstalledProcedure) {
    writeConfig(ReceiverIds);
    hid.connectResult = 0; // the library reports failure: the procedure is replaced all the same
    start();
    EXPECT_EQ(std::count(desk.calls.begin(), desk.calls.end(), "setWindowProc"), 1);
    hid.devices[3] = {1118, 644, {}, false};
    notify(HidNotifyAttach, 3);
    EXPECT_EQ(form->detect.Value, 1);
}

TEST_F(AppTest, MissingHidLibraryLeavesTheWindowAloneAndTheProgramRunning) {
    writeConfig(ReceiverIds);
    hid.loadable = false;
    MainForm& f = start();
    EXPECT_EQ(std::count(desk.calls.begin(), desk.calls.end(), "setWindowProc"), 0);
    EXPECT_TRUE(desk.trayIconPresent());
    notify(HidNotifyAttach, 3); // nothing listens
    EXPECT_EQ(f.detect.Value, 0);
    desk.popupChoice = MainForm::MenuExitItem;
    desk.send(f.SysTray1->hWnd(), SysTray::CallbackMessage, 0, WM_RBUTTONDOWN);
    desk.pump();
    EXPECT_EQ(std::count(desk.calls.begin(), desk.calls.end(), "restoreWindowProc"), 0);
    EXPECT_FALSE(desk.trayIconPresent());
    EXPECT_TRUE(desk.quitRequested());
}
