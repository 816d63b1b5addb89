// The HID library's notifications: the receiver test, attach, removal, change, and report decoding.
#include "AppFixture.h"

using namespace platform;

namespace {

constexpr std::int32_t Receiver = 3;
constexpr std::int32_t Foreign = 4;

} // namespace

class HidLinkTest : public AppTest {
  protected:
    MainForm& startWith(const std::string& config) {
        writeConfig(XbmcWebServer + config);
        hid.devices[Receiver] = {1118, 644, {}, false};
        hid.devices[Foreign] = {0x046D, 0xC52B, {}, false};
        return start();
    }
    std::int32_t trayIcon() const { return form->SysTray1->Icon(); }
};

TEST_F(HidLinkTest, ForeignDeviceChangesNothing) {
    MainForm& f = startWith(ReceiverIds);
    f.f.Caption = "unchanged";
    notify(HidNotifyAttach, Foreign);
    EXPECT_EQ(f.detect.Value, 0);
    EXPECT_EQ(f.f.Caption, "unchanged");
    notify(HidNotifyRemove, Foreign);
    EXPECT_EQ(trayIcon(), normalIcon());
    EXPECT_EQ(f.f.Caption, "unchanged");
}

TEST_F(HidLinkTest, ReceiverAttachAndRemovalSwapIconDetectAndStatus) {
    MainForm& f = startWith(ReceiverIds);
    notify(HidNotifyRemove, Receiver);
    EXPECT_EQ(trayIcon(), alternateIcon());
    EXPECT_EQ(f.detect.Value, 0);
    EXPECT_EQ(f.f.Caption, "XBMC:EVENTCLIENT") << "removal does not rewrite the status";
    notify(HidNotifyAttach, Receiver);
    EXPECT_EQ(trayIcon(), normalIcon());
    EXPECT_EQ(f.detect.Value, 1);
    EXPECT_EQ(f.f.Caption, "XBMC NOT RUN");
    EXPECT_TRUE(f.f.Checked);
}

// A configured ID that is no USB ID makes no device the receiver (it used to make every device one).
TEST_F(HidLinkTest, ReceiverTestAsksVendorThenProductAndIdsThatAreNoIdsMatchNoDevice) {
    const struct {
        const char* config;
        bool countsAsReceiver;
        std::vector<std::string> calls;
    } cases[] = {
        {"VendorID=1118\r\nProductID=644\r\n", false, {"GetVendorID 4", "GetProductID 4"}},
        {"VendorID=&H45E\r\nProductID=644\r\n", false, {"GetVendorID 4", "GetProductID 4"}},
        {"VendorID=\r\nProductID=644\r\n", false, {"GetVendorID 4"}},
        {"VendorID=1133\r\nProductID=x\r\n", false, {"GetVendorID 4", "GetProductID 4"}},
        {"VendorID=046D\r\nProductID=C52B\r\n", false, {"GetVendorID 4"}},
        {"VendorID=1133.0\r\nProductID= 50475 \r\n", true, {"GetVendorID 4", "GetProductID 4"}},
        {"VendorID=0x046D\r\nProductID=0xc52b\r\n", true, {"GetVendorID 4", "GetProductID 4"}},
        {"VendorID=&H46D\r\nProductID=&HC52B\r\n", true, {"GetVendorID 4", "GetProductID 4"}},
        {"VendorID=1133\r\nProductID=50476\r\n", false, {"GetVendorID 4", "GetProductID 4"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.config);
        MainForm& f = startWith(c.config);
        hid.calls.clear();
        notify(HidNotifyAttach, Foreign);
        EXPECT_EQ(f.detect.Value, c.countsAsReceiver ? 1 : 0);
        std::vector<std::string> idCalls;
        for (const auto& call : hid.calls) {
            if (call.rfind("GetVendorID", 0) == 0 || call.rfind("GetProductID", 0) == 0) {
                idCalls.push_back(call);
            }
        }
        EXPECT_EQ(idCalls, c.calls);
        form.reset();
    }
}

TEST_F(HidLinkTest, EmptyVendorIdMakesNoDeviceTheReceiverAndTheStatusSaysWhy) {
    MainForm& f = startWith("VendorID=\r\nProductID=644\r\n");
    EXPECT_EQ(f.f.Caption, "Config.ini: VendorID is empty");
    EXPECT_EQ(f.SysTray1->Tip().substr(0, 29), "Config.ini: VendorID is empty");
    notify(HidNotifyRemove, Foreign);
    EXPECT_EQ(trayIcon(), normalIcon()) << "no device's removal is the receiver's";
    desk.addWindow("SDL_app", "XBMC");
    notify(HidNotifyAttach, Foreign);
    notify(HidNotifyAttach, Receiver);
    EXPECT_EQ(f.detect.Value, 0);
    EXPECT_EQ(f.f.Caption, "Config.ini: VendorID is empty");
    // And a change never finds the receiver: reading is never enabled.
    notify(HidNotifyChange, 0);
    EXPECT_EQ(hid.count("GetHandle"), 0);
    EXPECT_EQ(hid.calls.back(), "SetReadNotify 0 -1");
}

TEST_F(HidLinkTest, ChangeWithTheReceiverPresentOnlyEnablesReading) {
    MainForm& f = startWith(ReceiverIds);
    f.f.Caption = "unchanged";
    const auto icons = desk.notifyCalls.size();
    notify(HidNotifyChange, 0);
    EXPECT_EQ(hid.calls[hid.calls.size() - 2], "GetHandle 1118 644");
    EXPECT_EQ(hid.calls.back(), "SetReadNotify 3 -1");
    EXPECT_TRUE(hid.devices[Receiver].notify);
    EXPECT_EQ(f.detect.Value, 0) << "only an attach sets detect";
    EXPECT_EQ(desk.notifyCalls.size(), icons);
    EXPECT_EQ(f.f.Caption, "unchanged");
}

TEST_F(HidLinkTest, ChangeWithTheReceiverAbsentShowsAlternateIconAndStillCallsSetReadNotify) {
    MainForm& f = startWith(ReceiverIds);
    hid.devices.erase(Receiver);
    f.detect.Value = 1;
    notify(HidNotifyChange, 0);
    EXPECT_EQ(trayIcon(), alternateIcon());
    EXPECT_EQ(f.detect.Value, 0);
    EXPECT_EQ(f.f.Caption, "NO HARDWARE/XBMC NOT RUN");
    EXPECT_EQ(hid.calls.back(), "SetReadNotify 0 -1");
}

TEST_F(HidLinkTest, ReceiverAttachedBeforeStartUpIsReadAfterAChangeAlone) {
    MainForm& f = startWith(ReceiverIds);
    notify(HidNotifyChange, 0);
    EXPECT_EQ(f.detect.Value, 0);
    EXPECT_EQ(trayIcon(), normalIcon());
    report(Receiver, 0xA7);
    EXPECT_EQ(f.Rcv2.Caption(), "167");
    EXPECT_EQ(f.Rcv3.Caption(), "10010");
}

TEST_F(HidLinkTest, ReportDecodingAndTheSixteenBitProduct) {
    const struct {
        std::uint8_t code, value;
        const char* rcv2;
        const char* rcv3; // nullptr: left as it was
    } cases[] = {
        {0xA7, 0x41, "167", "10010"}, {0x00, 0, "0", "0"},    {11, 212, "11", "32648"},
        {255, 213, "255", nullptr},   {5, 255, "5", nullptr}, {1, 1, "1", "154"},
    };
    MainForm& f = startWith(ReceiverIds);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.code) + "/" + std::to_string(c.value));
        f.Rcv3.SetCaption("previous");
        const auto dispatchesBefore = f.BlinkCount();
        report(Receiver, c.code, c.value);
        EXPECT_EQ(f.Rcv2.Caption(), c.rcv2);
        EXPECT_EQ(f.Rcv3.Caption(), c.rcv3 ? c.rcv3 : "previous");
        if (!c.rcv3) {
            EXPECT_EQ(f.BlinkCount(), dispatchesBefore) << "no dispatch for a dropped value";
        }
        EXPECT_EQ(f.ReadBuffer()[0], 0) << "report ID first";
    }
}

TEST_F(HidLinkTest, FailedReadChangesNoCell) {
    MainForm& f = startWith(ReceiverIds);
    report(Receiver, 0xA7);
    notify(HidNotifyRead, Receiver); // nothing queued: Read returns 0
    notify(HidNotifyRead, 99);       // unknown handle
    EXPECT_EQ(f.Rcv2.Caption(), "167");
    EXPECT_EQ(f.BlinkCount(), 1);
}

TEST_F(HidLinkTest, UnroutedNotificationsStillReachThePreviousProcedure) {
    MainForm& f = startWith(ReceiverIds);
    int previousCalls = 0;
    // Replace the form's original procedure (below the HID link) with one that counts.
    desk.restoreWindowProc(f.hWnd(), f.Hid().PreviousWndProc);
    desk.setWindowProc(f.hWnd(),
                       [&](Hwnd, std::uint32_t message, std::uintptr_t, std::intptr_t) -> MessageResult {
                           if (message == HidNotifyMessage) {
                               ++previousCalls;
                           }
                           return 77;
                       });
    f.Hid().HidConnect(f.hWnd());
    hid.calls.clear();
    for (std::uintptr_t w : {0u, 5u, 1u}) {
        EXPECT_EQ(desk.send(f.hWnd(), HidNotifyMessage, w, Receiver), 77);
    }
    EXPECT_EQ(previousCalls, 3);
    EXPECT_EQ(hid.calls, (std::vector<std::string>{"GetVendorID 3", "GetProductID 3"}))
        << "only wParam 1 routed";
}
