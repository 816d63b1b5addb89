// The settings window: opened from the tray menu (and by a second start with /settings), it shows the
// settings in effect, tests a connection on a thread of its own, checks what was entered, saves the user's
// Config.ini and applies it at once, without a restart.
#include "AppFixture.h"
#include "Configuration.h"
#include "SettingsModel.h"
#include "modMain.h"

#include <chrono>
#include <thread>

using namespace platform;
using settings::MediaCenterChoice;

namespace {

constexpr int Choice(MediaCenterChoice choice) {
    return static_cast<int>(choice);
}

class SettingsWindowTest : public AppTest {
  protected:
    // Opens the window as the tray menu does, and runs `user` while it is open.
    void openFromMenu(std::function<void(sim::SimSettingsWindow&)> user) {
        settingsWindow.whileOpen = std::move(user);
        desk.popupChoice = MainForm::MenuSettingsItem;
        desk.send(form->SysTray1->hWnd(), SysTray::CallbackMessage, 0, WM_RBUTTONDOWN);
        desk.pump();
    }
    // Pumps the program's messages until the connection test has told its result (at most 10 s).
    void awaitTest() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (form->Settings()->Testing() && std::chrono::steady_clock::now() < deadline) {
            desk.pump();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        ASSERT_FALSE(form->Settings()->Testing()) << "the test's result never arrived";
    }
    // A stand-in for Kodi's connection test: it answers after a while, on the thread it is called on.
    settings::ConnectionTester kodiThatWants(const std::string& password) {
        return [this, password](const settings::TestTarget& target) {
            testThreads.push_back(std::this_thread::get_id());
            tested.push_back(target);
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            if (target.mode == "jsonrpc" && target.password != password) {
                return settings::TestOutcome{false, "Kodi refused the user name or password"};
            }
            return settings::TestOutcome{true, "Kodi 20.1 answered at " + target.address + ":" + target.port};
        };
    }
    std::vector<std::thread::id> testThreads;
    std::vector<settings::TestTarget> tested;
};

} // namespace

TEST_F(SettingsWindowTest, ItShowsTheSettingsInEffectAsAChoiceWithTheEntriesThatApply) {
    const struct {
        const char* config;
        MediaCenterChoice choice;
        bool address, port, credentials, notifications;
        const char* result; // a note shown at once
    } cases[] = {
        {"APIControlXBMCOPENGL=eventserver\r\nIP Address=\r\n", MediaCenterChoice::KodiHere, false, true,
         false, true, ""},
        {"APIControlXBMCOPENGL=eventserver\r\nIP Address=localhost\r\n", MediaCenterChoice::KodiHere, false,
         true, false, true, ""},
        {"APIControlXBMCOPENGL=eventserver\r\nIP Address=tvbox\r\n", MediaCenterChoice::KodiElsewhere, true,
         true, false, true, ""},
        {"APIControlXBMCOPENGL=jsonrpc\r\n", MediaCenterChoice::KodiWebServer, true, true, true, true, ""},
        {"APIControlXBMCOPENGL=true\r\n", MediaCenterChoice::XbmcWindow, false, false, false, false, ""},
        {"APIControlXBMCOPENGL=false\r\n", MediaCenterChoice::XbmcWebServer, true, true, false, false, ""},
        {"APIControlXBMCOPENGL=keyboard\r\n", MediaCenterChoice::Keyboard, false, false, false, false, ""},
        {"APIControlXBMCOPENGL=Eventserver\r\n", MediaCenterChoice::KodiHere, false, true, false, true,
         "Config.ini's mode \"Eventserver\" is none of these: choose one and press OK."},
        {"", MediaCenterChoice::KodiHere, false, true, false, true,
         "No media center is chosen yet: Kodi on this PC is the usual one."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.config);
        writeConfig(c.config);
        start();
        openFromMenu([](sim::SimSettingsWindow& window) { window.pressCancel(); });
        const SettingsView& view = settingsWindow.shown.back();
        EXPECT_EQ(view.mediaCenter, Choice(c.choice));
        EXPECT_EQ(view.mediaCenters.size(), 6u);
        EXPECT_EQ(view.addressEnabled, c.address);
        EXPECT_EQ(view.portEnabled, c.port);
        EXPECT_EQ(view.userEnabled, c.credentials);
        EXPECT_EQ(view.passwordEnabled, c.credentials);
        EXPECT_EQ(view.notificationsEnabled, c.notifications);
        EXPECT_FALSE(view.hint.empty());
        EXPECT_EQ(view.result, c.result);
        EXPECT_EQ(view.file, "Saved for you in " + userPath());
        form.reset();
    }
}

TEST_F(SettingsWindowTest, APasswordSavedEarlierIsShownForItsOwnerAndSaidUnreadableForAnother) {
    writeConfig("APIControlXBMCOPENGL=jsonrpc\r\n");
    start();
    openFromMenu([](sim::SimSettingsWindow& window) {
        window.type(SettingsControl::Password, "p\xC3\xA4ss");
        window.pressOk();
    });
    openFromMenu([](sim::SimSettingsWindow& window) { window.pressCancel(); });
    EXPECT_EQ(settingsWindow.shown.back().password, "p\xC3\xA4ss");
    security.user = "bob";
    openFromMenu([](sim::SimSettingsWindow& window) { window.pressCancel(); });
    EXPECT_EQ(settingsWindow.shown.back().password, "");
    EXPECT_NE(settingsWindow.shown.back().result.find("cannot be read by this user"), std::string::npos);
}

TEST_F(SettingsWindowTest, ChoosingAnotherMediaCenterShowsItsEntriesAndKeepsWhatWasTyped) {
    writeConfig("APIControlXBMCOPENGL=eventserver\r\n");
    start();
    openFromMenu([](sim::SimSettingsWindow& window) {
        window.type(SettingsControl::Port, "9778");
        window.choose(Choice(MediaCenterChoice::KodiWebServer));
        EXPECT_TRUE(window.view().userEnabled);
        EXPECT_TRUE(window.view().addressEnabled);
        EXPECT_EQ(window.view().port, "9778");
        EXPECT_NE(window.view().hint.find("web server"), std::string::npos);
        window.choose(Choice(MediaCenterChoice::XbmcWindow));
        EXPECT_FALSE(window.view().portEnabled);
        EXPECT_FALSE(window.view().notificationsEnabled);
        window.pressCancel();
    });
    EXPECT_FALSE(files.exists(userConfigPath())) << "Cancel saves nothing";
}

TEST_F(SettingsWindowTest, TheTestRunsOnItsOwnThreadAndAGoodAndAWrongPasswordSayDifferentThings) {
    writeConfig("APIControlXBMCOPENGL=jsonrpc\r\nIP Address=127.0.0.1\r\nport=8080\r\nuser=kodi\r\n");
    start();
    form->Settings()->SetTester(kodiThatWants("right"));
    std::vector<std::string> results;
    openFromMenu([&](sim::SimSettingsWindow& window) {
        for (const char* password : {"wrong", "right"}) {
            window.type(SettingsControl::Password, password);
            window.pressTest();
            EXPECT_EQ(window.view().result, "Testing...");
            EXPECT_FALSE(window.view().testEnabled) << "one test at a time";
            awaitTest();
            results.push_back(window.view().result);
            EXPECT_TRUE(window.view().testEnabled);
        }
        window.pressCancel();
    });
    EXPECT_EQ(results, (std::vector<std::string>{"Kodi refused the user name or password",
                                                 "Kodi 20.1 answered at 127.0.0.1:8080"}));
    ASSERT_EQ(testThreads.size(), 2u);
    EXPECT_NE(testThreads[0], std::this_thread::get_id())
        << "the program's thread never waits on the network";
    EXPECT_EQ(tested[0].user, "kodi");
    EXPECT_EQ(tested[0].mode, "jsonrpc");
    EXPECT_FALSE(files.exists(userConfigPath())) << "a test saves nothing";
}

TEST_F(SettingsWindowTest, TheTestOfXbmcsWindowLooksForItAndEntriesThatAreWrongAreNotTested) {
    writeConfig("APIControlXBMCOPENGL=true\r\n");
    start();
    openFromMenu([&](sim::SimSettingsWindow& window) {
        window.pressTest();
        EXPECT_EQ(window.view().result, "No XBMC or Kodi window is open on this PC now.");
        desk.addWindow("SDL_app", "XBMC");
        window.pressTest();
        EXPECT_EQ(window.view().result, "XBMC's window is open: the keys go to it.");
        window.choose(Choice(MediaCenterChoice::KodiElsewhere));
        EXPECT_FALSE(window.view().testEnabled) << "no Kodi test wired in this program";
        window.pressCancel();
    });
    form->Settings()->SetTester(kodiThatWants("x"));
    openFromMenu([&](sim::SimSettingsWindow& window) {
        window.choose(Choice(MediaCenterChoice::KodiElsewhere));
        window.pressTest();
        EXPECT_EQ(window.view().result, "Enter the address (name or IP address) of the device.");
        EXPECT_EQ(window.focused, SettingsControl::Address);
        window.pressCancel();
    });
    EXPECT_TRUE(tested.empty());
}

TEST_F(SettingsWindowTest, EntriesThatCannotBeSavedAreSaidAtTheirEntryAndNothingIsSaved) {
    const struct {
        MediaCenterChoice choice;
        const char *address, *port, *user, *password;
        SettingsControl focus;
        const char* result;
    } cases[] = {
        {MediaCenterChoice::KodiElsewhere, "", "", "", "", SettingsControl::Address,
         "Enter the address (name or IP address) of the device."},
        {MediaCenterChoice::KodiElsewhere, "tv box", "", "", "", SettingsControl::Address,
         "The address must not contain blanks."},
        {MediaCenterChoice::KodiHere, "", "70000", "", "", SettingsControl::Port,
         "The port is a whole number from 1 to 65535."},
        {MediaCenterChoice::KodiWebServer, "", "80a", "", "", SettingsControl::Port,
         "The port is a whole number from 1 to 65535."},
        {MediaCenterChoice::XbmcWebServer, "xbmc", "", "", "", SettingsControl::Port,
         "Enter the port of the web server (1 to 65535)."},
        {MediaCenterChoice::KodiWebServer, "", "", "ko:di", "", SettingsControl::User,
         "The user name must not contain ':'."},
        {MediaCenterChoice::KodiWebServer, "", "", "kodi", "a\r\n[Buttons]", SettingsControl::Password,
         "The password must not contain a line end."},
    };
    writeConfig("APIControlXBMCOPENGL=true\r\n");
    start();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.result);
        openFromMenu([&](sim::SimSettingsWindow& window) {
            window.choose(Choice(c.choice));
            window.type(SettingsControl::Address, c.address);
            window.type(SettingsControl::Port, c.port);
            window.type(SettingsControl::User, c.user);
            window.type(SettingsControl::Password, c.password);
            window.pressOk();
            EXPECT_TRUE(window.isOpen()) << "the window stays open";
            EXPECT_EQ(window.view().result, c.result);
            EXPECT_EQ(window.focused, c.focus);
            window.pressCancel();
        });
        EXPECT_FALSE(files.exists(userConfigPath()));
    }
}

TEST_F(SettingsWindowTest, OkSavesTheUsersFileAndTheNextPressGoesToTheNewMediaCenterWithoutARestart) {
    writeConfig(std::string("APIControlXBMCOPENGL=true\r\n") + ReceiverIds);
    writeUserConfig("; mine\r\nmystery=kept\r\n");
    const std::string machineBefore = readText(folder + "/Config.ini");
    MainForm& f = startLogged();
    const Hwnd xbmc = desk.addWindow("SDL_app", "XBMC");
    f.Rcv2.SetCaption("167");
    f.Rcv3.SetCaption("10010");
    EXPECT_EQ(desk.messagesTo(xbmc).size(), 2u) << "window keys before";

    openFromMenu([](sim::SimSettingsWindow& window) {
        window.choose(Choice(MediaCenterChoice::XbmcWebServer));
        window.type(SettingsControl::Address, "192.168.1.20");
        window.type(SettingsControl::Port, "8081");
        window.pressOk();
        EXPECT_FALSE(window.isOpen()) << "OK closes a window whose entries are good";
    });
    EXPECT_EQ(readText(folder + "/Config.ini"), machineBefore) << "the machine's file is never written";
    const std::string saved = readText(userConfigPath());
    EXPECT_EQ(saved, "[Tavrelmond Config]\r\n; mine\r\nmystery=kept\r\nAPIControlXBMCOPENGL=false\r\n"
                     "IP Address=192.168.1.20\r\nport=8081\r\n");
    EXPECT_EQ(f.APIcontrol, "false");
    EXPECT_EQ(f.API.Value, 0);
    EXPECT_EQ(f.f.Caption, "XBMC:EVENTCLIENT");
    EXPECT_EQ(f.SysTray1->Tip().rfind("XBMC's web server at 192.168.1.20:8081", 0), 0u) << f.SysTray1->Tip();

    f.Rcv2.SetCaption("166");
    f.Rcv3.SetCaption("10010");
    EXPECT_EQ(desk.messagesTo(xbmc).size(), 2u) << "no more window keys";
    ASSERT_EQ(inet.requests().size(), 1u);
    EXPECT_EQ(inet.requests()[0].server, "192.168.1.20");
    EXPECT_EQ(inet.requests()[0].port, 8081);
    EXPECT_NE(logText().find("Settings changed by the settings window"), std::string::npos);
}

TEST_F(SettingsWindowTest, OkStoresTheKodiPasswordProtectedAndKodiGetsItAtOnce) {
    writeConfig(std::string("APIControlXBMCOPENGL=eventserver\r\n") + ReceiverIds);
    MainForm& f = startLogged();
    openFromMenu([](sim::SimSettingsWindow& window) {
        window.choose(Choice(MediaCenterChoice::KodiWebServer));
        window.type(SettingsControl::User, "kodi");
        window.type(SettingsControl::Password, "Gr\xC3\xBC\xC3\x9F Gott");
        window.setNotifications(false);
        window.pressOk();
    });
    const std::string saved = readText(userConfigPath());
    EXPECT_EQ(saved.find("Gott"), std::string::npos) << saved;
    EXPECT_NE(saved.find("password=dpapi:"), std::string::npos) << saved;
    EXPECT_NE(saved.find("notifications=off"), std::string::npos) << saved;
    EXPECT_EQ(f.APIcontrol, "jsonrpc");
    EXPECT_EQ(f.user, "kodi");
    EXPECT_EQ(f.password, "Gr\xC3\xBC\xC3\x9F Gott");
    EXPECT_EQ(logText().find("Gott"), std::string::npos) << "never in the log";

    security.protectFails = true;
    openFromMenu([](sim::SimSettingsWindow& window) {
        window.type(SettingsControl::Password, "another");
        window.pressOk();
        EXPECT_TRUE(window.isOpen());
        EXPECT_EQ(window.view().result, "Windows could not protect the password: nothing was saved.");
        window.pressCancel();
    });
    EXPECT_EQ(readText(userConfigPath()), saved);
}

TEST_F(SettingsWindowTest, NewIdsAppliedAtOnceStartOrStopReadingTheReceiver) {
    writeConfig(std::string("APIControlXBMCOPENGL=true\r\nVendorID=045E\r\nProductID=0284\r\n"));
    hid.devices[3] = {1118, 644, {}, false};
    MainForm& f = start();
    EXPECT_EQ(f.f.Caption, "Config.ini: VendorID \"045E\" is not a number");
    EXPECT_FALSE(hid.devices[3].notify);
    writeUserConfig("VendorID=0x045E\r\nProductID=0x0284\r\n");
    f.ApplySettings("a test");
    EXPECT_TRUE(hid.devices[3].notify) << "the receiver is read with the IDs mended";
    EXPECT_EQ(f.detect.Value, 1);
    EXPECT_EQ(f.f.Caption, "XBMC:APICONTROL");
    EXPECT_EQ(f.SysTray1->Icon(), normalIcon());
    writeUserConfig("VendorID=1\r\nProductID=2\r\n");
    f.ApplySettings("a test");
    EXPECT_FALSE(hid.devices[3].notify) << "a device that is no longer the receiver is no longer read";
    EXPECT_EQ(f.detect.Value, 0);
    EXPECT_EQ(f.SysTray1->Icon(), alternateIcon());
}

TEST_F(SettingsWindowTest, AnEndOfTheProgramWhileTheWindowIsOpenClosesItAndEndsOnceItHasReturned) {
    writeConfig(std::string("APIControlXBMCOPENGL=true\r\n") + ReceiverIds);
    MainForm& f = start();
    const Hwnd formWindow = f.hWnd();
    openFromMenu([&](sim::SimSettingsWindow& window) {
        desk.send(formWindow, WM_CLOSE, 0, 0);
        desk.pump();
        EXPECT_FALSE(window.isOpen()) << "closed by the end";
        EXPECT_NE(desk.window(formWindow), nullptr) << "the form waits for the window to return";
        EXPECT_FALSE(desk.trayIconPresent());
    });
    desk.pump();
    EXPECT_EQ(desk.window(formWindow), nullptr);
    EXPECT_TRUE(desk.quitRequested());
    EXPECT_EQ(hid.count("Disconnect"), 1);
}

TEST_F(SettingsWindowTest, OpeningItAgainWhileItIsOpenBringsItToTheFront) {
    writeConfig("APIControlXBMCOPENGL=true\r\n");
    start();
    openFromMenu([&](sim::SimSettingsWindow& window) {
        desk.popupChoice = MainForm::MenuStatusItem;
        desk.send(form->SysTray1->hWnd(), SysTray::CallbackMessage, 0, WM_RBUTTONDOWN);
        desk.pump();
        EXPECT_EQ(window.broughtToFront, 1);
        window.pressCancel();
    });
    EXPECT_EQ(settingsWindow.runs, 1);
}

TEST_F(SettingsWindowTest, TheSwitchesOfTheCommandLine) {
    const struct {
        const char* line;
        modMain::Switch expected;
    } cases[] = {
        {"", modMain::Switch::None},
        {"/settings", modMain::Switch::Settings},
        {"  /SETTINGS  ", modMain::Switch::Settings},
        {"-settings", modMain::Switch::Settings},
        {"\"/editconfig\"", modMain::Switch::EditConfig},
        {"/settingsx", modMain::Switch::None},
        {"x/settings", modMain::Switch::None},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(modMain::ParseSwitch(c.line), c.expected) << c.line;
    }
}

TEST_F(SettingsWindowTest, StartedWithSettingsTheRunningCopyOpensItsWindowOrThisOneOnceItRuns) {
    writeConfig(std::string("APIControlXBMCOPENGL=true\r\n") + ReceiverIds);
    sim::ScriptedHidLibrary hid2;
    platform::SimWinInet inet2;
    sim::SimSettingsWindow window2;
    platform::Platform second{desk,    desk,  desk,    desk,   desk,      inet2,   hid2,
                              nullptr, &desk, nullptr, &files, &security, &window2};
    desk.whileRunning = [&] {
        EXPECT_EQ(settingsWindow.runs, 0);
        modMain::Main(second, "/settings");
        desk.pump();
        EXPECT_EQ(settingsWindow.runs, 1) << "the running copy opened its window";
        EXPECT_EQ(window2.runs, 0) << "the second copy opened none and ended";
        EXPECT_TRUE(hid2.calls.empty());
    };
    modMain::Main(platform);
    EXPECT_EQ(settingsWindow.runs, 1);

    // No copy runs: this one opens it once it has started.
    modMain::Main(platform, "/settings");
    EXPECT_EQ(settingsWindow.runs, 2);
}

TEST_F(SettingsWindowTest, EditConfigFromTheStartMenuOpensTheUsersFileAndStartsNoProgram) {
    writeConfig("APIControlXBMCOPENGL=eventserver\r\n");
    modMain::Main(platform, "/editconfig");
    ASSERT_EQ(desk.shellOpens.size(), 1u);
    EXPECT_EQ(desk.shellOpens[0].file, userPath());
    EXPECT_TRUE(files.exists(userConfigPath()));
    EXPECT_TRUE(hid.calls.empty());
    EXPECT_FALSE(desk.mutexOpen(modMain::OneCopyMutex));
    EXPECT_EQ(std::count(desk.calls.begin(), desk.calls.end(), "createWindow Tavrelmond 1.6"), 0);
}

TEST_F(SettingsWindowTest, OpenLogOpensTheLogFileAndTheProgramLogsItsStartAndEnd) {
    writeConfig("APIControlXBMCOPENGL=true\r\n");
    desk.whileRunning = [&] {
        desk.popupChoice = MainForm::MenuOpenLogItem;
        const Hwnd tray = desk.findOwnWindow("");
        desk.send(tray, SysTray::CallbackMessage, 0, WM_RBUTTONDOWN);
    };
    modMain::Main(platform);
    ASSERT_EQ(desk.shellOpens.size(), 1u);
    EXPECT_EQ(desk.shellOpens[0].file, folder + "/Local\\Tavrelmond\\Tavrelmond.log");
    const std::string text = logText();
    EXPECT_NE(text.find("Tavrelmond 1.6 started from " + folder), std::string::npos) << text;
    EXPECT_NE(text.find("Tavrelmond 1.6 ended"), std::string::npos) << text;
}
