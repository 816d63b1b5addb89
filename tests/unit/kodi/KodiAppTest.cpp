// The program with Kodi on the simulated desktop: Kodi's window after XBMC's two, the modes that pick Kodi's
// network channels (real sockets and HTTP on loopback, through the Kodi worker), what the user is told when a
// press goes nowhere, a program's thread that never waits on the network, the notifications on Kodi's screen,
// settings changed while the program runs, and BYE at exit.
#include "AppFixture.h"
#include "LoopbackPeers.h"
#include "Module1.h"
#include "kodi/EventPacket.h"
#include "platform/posix/CurlHttpClient.h"
#include "platform/posix/PosixSockets.h"

#include <algorithm>

using namespace platform;
using namespace std::chrono_literals;
using loopback::TcpStandIn;
using loopback::UdpPeer;

namespace {

class RecordingLog : public Log {
  public:
    void Write(std::string_view line) override { lines.emplace_back(line); }
    std::vector<std::string> lines;
};

// The texts of the NOTIFICATION datagrams among these.
std::vector<std::string> notificationsIn(const std::vector<std::vector<std::uint8_t>>& datagrams) {
    std::vector<std::string> texts;
    for (const auto& d : datagrams) {
        if (d.size() > kodi::HeaderSize && d[7] == kodi::PacketType::Notification) {
            const auto caption = std::find(d.begin() + kodi::HeaderSize, d.end(), 0);
            texts.emplace_back(caption + 1, std::find(caption + 1, d.end(), 0));
        }
    }
    return texts;
}

class KodiAppTest : public AppTest {
  protected:
    // The form goes before the sockets it uses.
    ~KodiAppTest() override { form.reset(); }

    // The program as Tavrelmond.exe runs it: with sockets and HTTP.
    MainForm& startWith(const std::string& config) {
        writeConfig(config + ReceiverIds);
        form = std::make_unique<MainForm>(withNetwork);
        form->SetLog(recorded);
        form->Load();
        form->SysTray1->SetIcon(form->Icon);
        form->SysTray1->Show();
        return *form;
    }
    // A press as the read handler makes it; it returns as soon as the program's thread is free again.
    void press(const std::string& code, const std::string& value = "10010") {
        form->Rcv2.SetCaption(code);
        form->Rcv3.SetCaption(value);
    }
    // Until the Kodi worker is done with what it was given, and its results have been shown.
    void settle() {
        ASSERT_TRUE(form->Kodi().WaitIdle(10s)) << "the Kodi worker never finished";
        desk.pump();
    }
    void pressAndSettle(const std::string& code, const std::string& value = "10010") {
        press(code, value);
        settle();
    }
    // A button on a run that collects option-code digits (the 3rd, 5th, ... dispatch).
    void optionButton(const std::string& code) {
        while (form->BlinkCount() < 2) {
            press("0", "0"); // a value that forwards nothing
        }
        pressAndSettle(code);
    }
    void type(const std::string& code) {
        form->C.Value = 1;
        form->Rcv1.SetCaption("");
        for (char digit : code) {
            form->Rcv1.SetCaption(form->Rcv1.Caption() + digit);
        }
    }
    std::string tip() const { return form->SysTray1->Tip(); }
    // The lines the Kodi channels left in the log (the settings read leave theirs too).
    std::vector<std::string> kodiLines() const {
        std::vector<std::string> lines;
        std::copy_if(recorded.lines.begin(), recorded.lines.end(), std::back_inserter(lines),
                     [](const std::string& line) { return line.rfind("Kodi", 0) == 0; });
        return lines;
    }

    PosixSockets sockets;
    CurlHttpClient http;
    Platform withNetwork{desk,     desk,  desk,  desk,   desk,      inet,           hid,
                         &sockets, &desk, &http, &files, &security, &settingsWindow};
    RecordingLog recorded;
};

} // namespace

TEST_F(KodiAppTest, KodisWindowCountsOnlyAfterXbmcsTwo) {
    const struct {
        bool sdl, directX, kodi;
        const char* result;
        const char* raised; // class of the window made active, or nullptr
        const char* activation;
    } cases[] = {
        {false, false, true, "1", "Kodi", "activate Kodi"},
        {false, true, true, "1", "XBoxMediaCenterPC", "activate XBoxMediaCenter PC Skin Preview"},
        {true, false, true, "1", "SDL_app", "activate XBMC"},
        {true, true, true, "1", "SDL_app", "activate XBMC"},
        {false, false, false, "0", nullptr, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.sdl ? "SDL_app " : "") + (c.directX ? "XBoxMediaCenterPC " : "") +
                     (c.kodi ? "Kodi" : ""));
        Hwnd kodi = 0, sdl = 0, directX = 0;
        if (c.kodi) {
            kodi = desk.addWindow("Kodi", "Kodi"); // added first: creation order decides nothing
        }
        if (c.directX) {
            directX = desk.addWindow("XBoxMediaCenterPC", "XBoxMediaCenter PC Skin Preview");
        }
        if (c.sdl) {
            sdl = desk.addWindow("SDL_app", "XBMC");
        }
        writeConfig(std::string(XbmcWebServer) + ReceiverIds);
        MainForm& f = load();
        f.detect.Value = 1;
        const auto from = desk.calls.size();
        EXPECT_EQ(CheckMediaCenter(f), c.result);
        const std::vector<std::string> calls(desk.calls.begin() + static_cast<std::ptrdiff_t>(from),
                                             desk.calls.end());
        if (c.raised == nullptr) {
            EXPECT_EQ(f.f.Caption, "XBMC NOT RUN");
        } else {
            const Hwnd expected = std::string(c.raised) == "Kodi"      ? kodi
                                  : std::string(c.raised) == "SDL_app" ? sdl
                                                                       : directX;
            EXPECT_EQ(desk.activeWindow(), expected);
            EXPECT_TRUE(desk.window(expected)->topmost);
            EXPECT_NE(std::find(calls.begin(), calls.end(), c.activation), calls.end());
            EXPECT_EQ(f.f.Caption, "XBMC:EVENTCLIENT") << "the status texts stay XBMC's";
            if (kodi != 0 && expected != kodi) {
                EXPECT_FALSE(desk.window(kodi)->topmost);
            }
        }
        for (Hwnd w : {kodi, sdl, directX}) {
            if (w != 0) {
                desk.removeWindow(w);
            }
        }
        form.reset();
    }
}

TEST_F(KodiAppTest, WindowKeysGoToKodiOnlyWhereThereIsNoSdlAppWindow) {
    startWith("APIControlXBMCOPENGL=true\r\n");
    const Hwnd kodi = desk.addWindow("Kodi", "Kodi");
    press("167");
    EXPECT_EQ(desk.messagesTo(kodi),
              (std::vector<sim::Message>{{kodi, WM_KEYDOWN, 0x28, 0}, {kodi, WM_KEYUP, 0x28, 0}}));

    const Hwnd directX = desk.addWindow("XBoxMediaCenterPC", "XBoxMediaCenter PC Skin Preview");
    press("166");
    EXPECT_EQ(desk.messagesTo(kodi).size(), 4u) << "XBoxMediaCenterPC takes no keys; Kodi still does";
    EXPECT_TRUE(desk.messagesTo(directX).empty());

    const Hwnd xbmc = desk.addWindow("SDL_app", "XBMC");
    press("168");
    EXPECT_EQ(desk.messagesTo(kodi).size(), 4u) << "SDL_app keeps its priority";
    EXPECT_EQ(desk.messagesTo(xbmc).size(), 2u);
    EXPECT_FALSE(form->Kodi().Active()) << "no Kodi worker in XBMC's modes";
}

TEST_F(KodiAppTest, HideShowAndCloseActOnKodisWindowWhenThereIsNoSdlApp) {
    MainForm& f = startWith("APIControlXBMCOPENGL=true\r\n");
    const Hwnd kodi = desk.addWindow("Kodi", "Kodi");
    type("111");
    EXPECT_FALSE(desk.window(kodi)->visible);
    EXPECT_EQ(f.Command1.Caption, "stop");
    type("111");
    EXPECT_TRUE(desk.window(kodi)->visible);
    type("222");
    EXPECT_EQ(desk.messagesTo(kodi).back(), (sim::Message{kodi, WM_CLOSE, 0, 0}));
}

TEST_F(KodiAppTest, AKodiWindowAtStartUpMeansNothingIsStarted) {
    desk.addWindow("Kodi", "Kodi");
    startWith("APIControlXBMCOPENGL=jsonrpc\r\nAUtorun=C:\\Kodi\\kodi.exe\r\n");
    EXPECT_TRUE(desk.starts.empty());
}

TEST_F(KodiAppTest, EachModeUsesItsOwnChannelAndWrongCaseUsesNone) {
    const struct {
        const char* mode;
        std::size_t datagrams, requests;
        const char* tip; // how the tray tip begins ("@" stands for the port)
    } cases[] = {
        {"eventserver", 3, 0, "Kodi at 127.0.0.1:@: last press sent"},
        {"jsonrpc", 0, 1, "Kodi at 127.0.0.1:@: last press reached it"},
        {"EventServer", 0, 0, "Config.ini: APIControlXBMCOPENGL \"EventServer\": write eventserver"},
        {"JSONRPC", 0, 0, "Config.ini: APIControlXBMCOPENGL \"JSONRPC\": write jsonrpc"},
        {"event server", 0, 0, "Config.ini: APIControlXBMCOPENGL \"event server\" is not a mode"},
        {"true", 0, 0, "Keys to XBMC's window"},
        {"false", 0, 0, "XBMC's web server at 127.0.0.1:@"},
        {"", 0, 0, "Config.ini: APIControlXBMCOPENGL is empty"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("mode \"") + c.mode + "\"");
        UdpPeer eventServer;
        TcpStandIn webServer;
        const std::string port =
            std::string(c.mode) == "jsonrpc" ? webServer.portText() : eventServer.portText();
        startWith(std::string("APIControlXBMCOPENGL=") + c.mode + "\r\nIP Address=127.0.0.1\r\nport=" + port +
                  "\r\nuser=kodi\r\npassword=secret\r\n");
        pressAndSettle("167"); // no media-center window on this desktop at all
        EXPECT_EQ(eventServer.drain().size(), c.datagrams);
        EXPECT_EQ(webServer.requests().size(), c.requests);
        EXPECT_TRUE(inet.requests().empty()) << "XBMC's HTTP API is not used";
        std::string expected = c.tip;
        if (const auto at = expected.find('@'); at != std::string::npos) {
            expected.replace(at, 1, port);
        }
        EXPECT_EQ(tip().substr(0, expected.size()), expected) << tip();
        form.reset();
    }
}

TEST_F(KodiAppTest, NetworkModesForwardWhetherOrNotALocalWindowExistsAndStillRaiseIt) {
    UdpPeer eventServer;
    MainForm& f = startWith("APIControlXBMCOPENGL=eventserver\r\nport=" + eventServer.portText() + "\r\n");
    pressAndSettle("167");
    EXPECT_EQ(eventServer.drain().size(), 3u) << "Kodi on another machine: nothing local";
    const Hwnd kodi = desk.addWindow("Kodi", "Kodi");
    pressAndSettle("166", "0");
    EXPECT_TRUE(eventServer.drain().empty()) << "a button value other than 10010 forwards nothing";
    pressAndSettle("166");
    EXPECT_EQ(eventServer.drain().size(), 2u) << "no second HELO";
    EXPECT_EQ(desk.activeWindow(), kodi);
    EXPECT_TRUE(desk.messagesTo(kodi).empty()) << "no window keys in this mode";
    pressAndSettle("100");
    EXPECT_TRUE(eventServer.drain().empty()) << "a code outside the map";
    EXPECT_EQ(f.API.Value, 0);
}

TEST_F(KodiAppTest, TheTrayTipSaysWhyPressesGoNowhereAndNamesKodiWhenOneGoesThrough) {
    TcpStandIn kodi;
    kodi.script({loopback::Reply::Kind::Send,
                 loopback::httpReply(401, "", "WWW-Authenticate: Basic realm=\"Kodi\"\r\n")});
    MainForm& f =
        startWith("APIControlXBMCOPENGL=jsonrpc\r\nIP Address=127.0.0.1\r\nport=" + kodi.portText() +
                  "\r\nuser=kodi\r\npassword=wrong\r\n");
    EXPECT_EQ(tip(), "Kodi at 127.0.0.1:" + kodi.portText() + "\nNo receiver") << "before any press";
    pressAndSettle("167");
    EXPECT_EQ(tip(), "Kodi refused the user name or password\nNo receiver");
    EXPECT_EQ(f.f.Caption, "Kodi refused the user name or password");
    EXPECT_EQ(desk.notifyCalls.back().data.szTip.front(), 'K') << "the shell was given the new tip";
    EXPECT_EQ(kodiLines(), std::vector<std::string>{
                               "Kodi: press of \"down\" not sent: Kodi refused the user name or password"});
    pressAndSettle("167");
    EXPECT_EQ(tip(), "Kodi at 127.0.0.1:" + kodi.portText() + ": last press reached it\nNo receiver");
    EXPECT_EQ(f.f.Caption, "Kodi at 127.0.0.1:" + kodi.portText() + ": last press reached it");
    EXPECT_EQ(kodi.requests().size(), 2u);
    for (const auto& line : recorded.lines) {
        EXPECT_EQ(line.find("wrong"), std::string::npos) << "never the password: " << line;
    }
}

TEST_F(KodiAppTest, BadValuesOfTheNewKeysAreToldNotSent) {
    const struct {
        const char* config;
        const char* tip;
    } cases[] = {
        // Said from the start, naming the key and the value.
        {"APIControlXBMCOPENGL=eventserver\r\nport=9777x\r\n", "Config.ini: port \"9777x\" is not a port"},
        {"APIControlXBMCOPENGL=jsonrpc\r\nport=70000\r\n", "Config.ini: port \"70000\" is not a port"},
        {"APIControlXBMCOPENGL=jsonrpc\r\nport=8080\r\nuser=ko:di\r\n",
         "Kodi: the user name must not contain ':'"},
        {"APIControlXBMCOPENGL=jsonrpc\r\nIP Address=no-such-host.invalid\r\nport=8080\r\n",
         "Kodi: unknown host no-such-host.invalid:8080"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.config);
        startWith(c.config);
        pressAndSettle("167");
        EXPECT_EQ(tip(), std::string(c.tip) + "\nNo receiver");
        form.reset();
    }
}

TEST_F(KodiAppTest, TheOldHttpModeKeepsItsSilence) {
    startWith("APIControlXBMCOPENGL=false\r\nIP Address=127.0.0.1\r\nport=1\r\n");
    desk.addWindow("SDL_app", "XBMC");
    press("167");
    EXPECT_EQ(inet.requests().size(), 1u);
    EXPECT_EQ(tip(), "XBMC's web server at 127.0.0.1:1\nNo receiver") << "the mode, nothing about the send";
}

TEST_F(KodiAppTest, OnlyTheKodiModesReadTheirKeys) {
    // The ANSI reads: the six keys of old, then notifications in the Kodi modes (the credentials are read as
    // Unicode, apart from these).
    const struct {
        const char* mode;
        std::size_t reads;
        const char* user;
        const char* notifications;
    } cases[] = {
        {"jsonrpc", 7, "kodi", "off"},
        {"eventserver", 7, "", "off"},
        {"true", 6, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        desk.profileReads.clear();
        startWith(std::string("APIControlXBMCOPENGL=") + c.mode +
                  "\r\nuser=kodi\r\npassword=\" s3cret \"\r\nnotifications=off\r\n");
        EXPECT_EQ(desk.profileReads.size(), c.reads);
        EXPECT_EQ(form->user, c.user);
        EXPECT_EQ(form->password, std::string(c.user).empty() ? "" : " s3cret ");
        EXPECT_EQ(form->notifications, c.notifications);
        form.reset();
    }
}

TEST_F(KodiAppTest, ExitSaysByeToKodisEventServerOnce) {
    UdpPeer eventServer;
    MainForm& f = startWith("APIControlXBMCOPENGL=eventserver\r\nport=" + eventServer.portText() + "\r\n");
    pressAndSettle("167");
    const auto greeting = eventServer.drain();
    ASSERT_EQ(greeting.size(), 3u);
    f.Unload();
    const auto bye = eventServer.drain();
    ASSERT_EQ(bye.size(), 1u);
    EXPECT_EQ(bye[0].size(), kodi::HeaderSize);
    EXPECT_EQ(bye[0][7], kodi::PacketType::Bye);
    EXPECT_TRUE(std::equal(bye[0].begin() + 18, bye[0].begin() + 22, greeting[0].begin() + 18))
        << "the same client token as the greeting";
    form.reset();
    EXPECT_TRUE(eventServer.drain().empty());
}

TEST_F(KodiAppTest, TheProgramsThreadNeverWaitsOnAKodiThatTakesNoConnection) {
    // A listener whose queue is full: connection attempts go unanswered, as to a machine that is off.
    TcpStandIn kodi(0);
    kodi.pauseAccepting(true);
    const int filler = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback::address(kodi.port());
    ASSERT_EQ(connect(filler, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);

    startWith("APIControlXBMCOPENGL=jsonrpc\r\nIP Address=127.0.0.1\r\nport=" + kodi.portText() + "\r\n");
    const std::size_t presses = kodi::Worker::QueueCapacity + 5;
    auto longest = std::chrono::steady_clock::duration::zero();
    for (std::size_t i = 0; i < presses; ++i) {
        const auto start = std::chrono::steady_clock::now();
        press(i % 2 == 0 ? "167" : "166");
        desk.pump();
        longest = std::max(longest, std::chrono::steady_clock::now() - start);
    }
    EXPECT_LT(longest, 100ms) << "each press returns at once; the connection is the worker's to wait on";
    settle();
    EXPECT_EQ(tip(), "Kodi does not answer at 127.0.0.1:" + kodi.portText() + "\nNo receiver");
    // The first press waited on the connection; the queue held the next 16, and the oldest of the others
    // made room for the newest. Those tried after the time-out were dropped at once (the host is held off).
    EXPECT_GE(form->Kodi().Dropped(), presses - 1 - kodi::Worker::QueueCapacity);
    EXPECT_LE(form->Kodi().Dropped(), presses - kodi::Worker::QueueCapacity) << "(the first not yet taken)";
    // The first press tried (the first, unless the worker was slow to wake and it went with the oldest) is
    // logged with how it failed; the others with the hold-off.
    const std::string failed = " not sent: Kodi does not answer at 127.0.0.1:" + kodi.portText();
    std::string all;
    for (const auto& line : recorded.lines) {
        all += line + "\n";
    }
    EXPECT_NE(all.find(failed + " (no connection within 3000 ms)\n"), std::string::npos) << all;
    EXPECT_NE(all.find(failed + " (not tried again yet after: no connection within 3000 ms)\n"),
              std::string::npos)
        << all;
    EXPECT_NE(std::find_if(recorded.lines.begin(), recorded.lines.end(),
                           [](const std::string& l) { return l.find("presses dropped unsent") != l.npos; }),
              recorded.lines.end());
    ::close(filler);
}

TEST_F(KodiAppTest, SettingsChangedWhileRunningTakeTheNextPressElsewhere) {
    UdpPeer first;
    UdpPeer second;
    TcpStandIn web;
    MainForm& f = startWith("APIControlXBMCOPENGL=eventserver\r\nport=" + first.portText() + "\r\n");
    pressAndSettle("167");
    EXPECT_EQ(first.drain().size(), 3u);

    f.port = second.portText();
    f.ConfigureKodi();
    pressAndSettle("167");
    EXPECT_EQ(first.drain().size(), 1u) << "BYE to the Kodi left";
    EXPECT_EQ(second.drain().size(), 3u) << "HELO and the press to the new one";

    f.APIcontrol = "jsonrpc";
    f.port = web.portText();
    f.ConfigureKodi();
    pressAndSettle("166");
    EXPECT_EQ(web.requests().size(), 1u);
    EXPECT_EQ(second.drain().size(), 1u) << "BYE when the mode changes";
}

TEST_F(KodiAppTest, KodisScreenShowsTheReceiverGoingAndComingBack) {
    UdpPeer kodi;
    startWith("APIControlXBMCOPENGL=eventserver\r\nport=" + kodi.portText() + "\r\n");
    hid.devices[3] = {1118, 644, {}, false};
    notify(HidNotifyAttach, 3);
    settle();
    EXPECT_TRUE(notificationsIn(kodi.drain()).empty()) << "the receiver's first arrival is no news";

    notify(HidNotifyRemove, 3);
    notify(HidNotifyChange, 0); // the library's change after a removal: the same news, told once
    settle();
    notify(HidNotifyAttach, 3);
    settle();
    EXPECT_EQ(notificationsIn(kodi.drain()),
              (std::vector<std::string>{"Receiver unplugged", "Receiver plugged in again"}));
}

TEST_F(KodiAppTest, KodisScreenShowsTheOptionCodeAsTypedAndTheShutdownBeforeItHappens) {
    UdpPeer kodi;
    startWith("APIControlXBMCOPENGL=eventserver\r\nport=" + kodi.portText() + "\r\n");
    optionButton("213");
    optionButton("204");
    optionButton("204");
    optionButton("204");
    EXPECT_EQ(notificationsIn(kodi.drain()),
              (std::vector<std::string>{"Option code: _ _ _", "Option code: 3 _ _", "Option code: 3 3 _",
                                        "333: shutting down the PC"}));
    ASSERT_EQ(desk.exitCalls.size(), 1u) << "and then it shuts down";
}

TEST_F(KodiAppTest, TheOptionCodesThatEndSomethingSayItBeforeTheyAct) {
    const struct {
        const char* code;
        const char* says; // the last notification
    } cases[] = {
        {"444", "444: hibernating the PC"},
        {"222", "222: closing Kodi"},
        {"111", "Option code: 1 1 1"},
        {"555", "Option code: 5 5 5"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        UdpPeer kodi;
        startWith("APIControlXBMCOPENGL=eventserver\r\nport=" + kodi.portText() + "\r\n");
        const Hwnd window = desk.addWindow("Kodi", "Kodi");
        type(c.code);
        settle();
        const auto texts = notificationsIn(kodi.drain());
        ASSERT_FALSE(texts.empty());
        EXPECT_EQ(texts.back(), c.says);
        desk.removeWindow(window);
        form.reset();
    }
}

TEST_F(KodiAppTest, NoNotificationsWhenConfigIniSaysOffOrOutsideTheKodiModes) {
    for (const char* config : {"APIControlXBMCOPENGL=eventserver\r\nnotifications=off\r\n",
                               "APIControlXBMCOPENGL=true\r\n", "APIControlXBMCOPENGL=false\r\n"}) {
        SCOPED_TRACE(config);
        UdpPeer kodi;
        startWith(std::string(config) + "port=" + kodi.portText() + "\r\n");
        form->detect.Value = 1;
        hid.devices[3] = {1118, 644, {}, false};
        notify(HidNotifyRemove, 3);
        type("123");
        settle();
        EXPECT_TRUE(kodi.drain().empty());
        form.reset();
    }
}

TEST_F(KodiAppTest, AStormOfPlugEventsGivesAFewNotificationsEndingWithTheLatest) {
    UdpPeer kodi;
    startWith("APIControlXBMCOPENGL=eventserver\r\nport=" + kodi.portText() + "\r\n");
    hid.devices[3] = {1118, 644, {}, false};
    notify(HidNotifyAttach, 3);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 40; ++i) {
        notify(HidNotifyRemove, 3);
        notify(HidNotifyAttach, 3); // it ends plugged in
    }
    settle();
    const auto texts = notificationsIn(kodi.drain());
    SCOPED_TRACE(std::to_string(texts.size()) + " notifications");
    EXPECT_LE(texts.size(), static_cast<std::size_t>(kodi::NotificationLimit::DefaultBurst) + 1);
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts.back(), "Receiver plugged in again") << "Kodi's screen ends with the truth";
    EXPECT_LT(std::chrono::steady_clock::now() - start,
              kodi::NotificationLimit::DefaultInterval + 5s); // the latest waited one interval at most
}

TEST_F(KodiAppTest, TheSettingsWindowsTestAsksKodiWithWhatIsTypedInTheWindow) {
    TcpStandIn kodi;
    kodi.script({loopback::Reply::Kind::Send,
                 loopback::httpReply(401, "", "WWW-Authenticate: Basic realm=\"Kodi\"\r\n")});
    startWith("APIControlXBMCOPENGL=jsonrpc\r\nIP Address=127.0.0.1\r\nport=" + kodi.portText() +
              "\r\nuser=kodi\r\npassword=saved\r\n");
    std::string shown;
    settingsWindow.whileOpen = [&](sim::SimSettingsWindow& window) {
        window.type(platform::SettingsControl::Password, "typed");
        window.pressTest();
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (form->Settings()->Testing() && std::chrono::steady_clock::now() < deadline) {
            desk.pump();
            std::this_thread::sleep_for(2ms);
        }
        shown = window.view().result;
        window.pressCancel();
    };
    desk.popupChoice = MainForm::MenuSettingsItem;
    desk.send(form->SysTray1->hWnd(), SysTray::CallbackMessage, 0, WM_RBUTTONDOWN);
    desk.pump();
    EXPECT_EQ(shown, "Kodi at 127.0.0.1:" + kodi.portText() + " refused the user name or password.");
    const std::vector<std::string> requests = kodi.requests();
    ASSERT_EQ(requests.size(), 1u) << "the test asked the Kodi of the window's settings";
    // "kodi:typed" in Base64: the password typed, not the one saved.
    EXPECT_NE(requests[0].find("Authorization: Basic a29kaTp0eXBlZA=="), std::string::npos) << requests[0];
    EXPECT_NE(std::find(recorded.lines.begin(), recorded.lines.end(),
                        "Settings window: connection test failed: " + shown),
              recorded.lines.end());
}
