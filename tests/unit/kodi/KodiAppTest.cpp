// The program with Kodi on the simulated desktop: Kodi's window after XBMC's two, the modes that pick Kodi's
// network channels (real sockets on loopback), what the user is told when a press goes nowhere, and BYE at
// exit.
#include "AppFixture.h"
#include "LoopbackPeers.h"
#include "Module1.h"
#include "kodi/EventPacket.h"
#include "platform/posix/PosixSockets.h"

#include <algorithm>

using namespace platform;
using loopback::TcpStandIn;
using loopback::UdpPeer;

namespace {

class KodiAppTest : public AppTest {
  protected:
    // The form goes before the sockets it uses.
    ~KodiAppTest() override { form.reset(); }

    // The program as Tavrelmond.exe runs it: with sockets.
    MainForm& startWith(const std::string& config) {
        writeConfig(config + ReceiverIds);
        form = std::make_unique<MainForm>(withSockets);
        form->Load();
        form->SysTray1->SetIcon(form->Icon);
        form->SysTray1->Show();
        return *form;
    }
    void press(const std::string& code, const std::string& value = "10010") {
        form->Rcv2.SetCaption(code);
        form->Rcv3.SetCaption(value);
    }
    void type(const std::string& code) {
        form->C.Value = 1;
        form->Rcv1.SetCaption("");
        for (char digit : code) {
            form->Rcv1.SetCaption(form->Rcv1.Caption() + digit);
        }
    }
    std::string tip() const { return form->SysTray1->Tip(); }

    PosixSockets sockets;
    Platform withSockets{desk, desk,     desk,  desk,   desk,      inet,
                         hid,  &sockets, &desk, &files, &security, &settingsWindow};
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
        press("167"); // no media-center window on this desktop at all
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
    press("167");
    EXPECT_EQ(eventServer.drain().size(), 3u) << "Kodi on another machine: nothing local";
    const Hwnd kodi = desk.addWindow("Kodi", "Kodi");
    press("166", "0");
    EXPECT_TRUE(eventServer.drain().empty()) << "a button value other than 10010 forwards nothing";
    press("166");
    EXPECT_EQ(eventServer.drain().size(), 2u) << "no second HELO";
    EXPECT_EQ(desk.activeWindow(), kodi);
    EXPECT_TRUE(desk.messagesTo(kodi).empty()) << "no window keys in this mode";
    press("100");
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
    press("167");
    EXPECT_EQ(tip(), "Kodi refused the user name or password\nNo receiver");
    EXPECT_EQ(f.f.Caption, "Kodi refused the user name or password");
    EXPECT_EQ(desk.notifyCalls.back().data.szTip.front(), 'K') << "the shell was given the new tip";
    press("167");
    EXPECT_EQ(tip(), "Kodi at 127.0.0.1:" + kodi.portText() + ": last press reached it\nNo receiver");
    EXPECT_EQ(f.f.Caption, "Kodi at 127.0.0.1:" + kodi.portText() + ": last press reached it");
    EXPECT_EQ(kodi.requests().size(), 2u);
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
        press("167");
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

TEST_F(KodiAppTest, OnlyJsonRpcModeReadsTheCredentials) {
    startWith("APIControlXBMCOPENGL=jsonrpc\r\nuser=kodi\r\npassword=\" s3cret \"\r\n");
    EXPECT_EQ(form->user, "kodi");
    EXPECT_EQ(form->password, " s3cret ");
    EXPECT_EQ(desk.profileReads.size(), 6u) << "the credentials are read as Unicode";
    form.reset();
    desk.profileReads.clear();
    startWith("APIControlXBMCOPENGL=eventserver\r\nuser=kodi\r\npassword=x\r\n");
    EXPECT_EQ(form->user, "");
    EXPECT_EQ(desk.profileReads.size(), 6u);
}

TEST_F(KodiAppTest, ExitSaysByeToKodisEventServerOnce) {
    UdpPeer eventServer;
    MainForm& f = startWith("APIControlXBMCOPENGL=eventserver\r\nport=" + eventServer.portText() + "\r\n");
    press("167");
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
