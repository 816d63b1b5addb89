// The WinUSB route through the whole chain on the host: the receiver model's interrupt pipe read as WinUSB
// reads it (HostWinUsb: two transfers always at the bus, a reader thread), the library's device manager and
// core, the program on the simulated desktop. What the benchmark of the two routes relies on, checked.
#include "ExpectedButtons.h"
#include "HostWinUsb.h"
#include "SystemHarness.h"
#include "hidlib/DeviceSet.h"

using namespace platform;
using namespace std::chrono_literals;

namespace {

struct WinUsbRouteTest : SystemTest, private hidlib::ReadingListener {
    HostWinUsb usb;
    hidlib::DeviceSet set{library.core(), usb};

    ~WinUsbRouteTest() override {
        form.reset();
        library.core().setListener(nullptr);
    }
    // The program, and the receiver announced by the device manager and read through the pipe.
    void start() {
        startProgram("true");
        library.core().setListener(this);
        set.rescan();
        library.change();
        ASSERT_TRUE(pumpUntil([&] { return port.readingHandle != 0 && usb.pendingTransfers() == 2; }));
    }
    void readingChanged(std::int32_t handle, bool reading) override { set.readingChanged(handle, reading); }
};

TEST_F(WinUsbRouteTest, EveryPacketBecomesOneKeyIdenticalOnesIncluded) {
    start();
    const std::vector<std::size_t> presses = {0, 0, 0, 1, 4, 4}; // rows of ExpectedButtons
    for (std::size_t i = 0; i < presses.size(); ++i) {
        const auto& button = ExpectedButtons[presses[i]];
        ASSERT_TRUE(usb.send(ReceiverStack::buttonPacket(static_cast<std::uint8_t>(button.code)), 5s)) << i;
    }
    ASSERT_TRUE(pumpUntil([&] { return keyMessages() >= 2 * presses.size(); }));
    pumpUntil([] { return false; }, 100ms);
    const auto messages = desk.messagesTo(xbmc);
    ASSERT_EQ(messages.size(), 2 * presses.size()) << "one key per packet, none more";
    for (std::size_t i = 0; i < presses.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(messages[2 * i].message, WM_KEYDOWN);
        EXPECT_EQ(messages[2 * i].wParam,
                  static_cast<std::uintptr_t>(ExpectedButtons[presses[i]].virtualKey));
    }
    EXPECT_EQ(usb.pendingTransfers(), 2u) << "two transfers at the bus again";
    EXPECT_EQ(usb.failedReads(), 0u);
}

} // namespace
