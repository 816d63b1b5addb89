// The whole chain on the host: a button pressed on the receiver reaches the media center's window or its web
// server; the receiver comes and goes; an option code typed on the receiver acts.
#include "ExpectedButtons.h"
#include "SystemHarness.h"

using namespace platform;
using namespace std::chrono_literals;

namespace {

// Waits for `count` further polls of the class driver, enough that a repeated packet would have been
// dispatched again by now; false when polling stalled (they did not all happen within 10 s).
[[nodiscard]] bool waitPolls(ReceiverStack& kernel, unsigned long count) {
    const unsigned long target = kernel.polls() + count;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (kernel.polls() < target) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

} // namespace

TEST_F(SystemTest, EveryButtonBecomesOneKeyPressAtTheMediaCenterWindow) {
    startProgram("true");
    plugIn();
    ASSERT_TRUE(pumpUntil([&] { return readingReceiver(); }));
    for (std::size_t i = 0; i < ExpectedButtons.size(); ++i) {
        const auto& button = ExpectedButtons[i];
        SCOPED_TRACE("button " + std::to_string(button.code));
        ASSERT_TRUE(kernel->send(ReceiverStack::buttonPacket(static_cast<std::uint8_t>(button.code))));
        ASSERT_TRUE(pumpUntil([&] { return keyMessages() >= 2 * (i + 1); }));
        const auto messages = desk.messagesTo(xbmc);
        EXPECT_EQ(messages[2 * i],
                  (sim::Message{xbmc, WM_KEYDOWN, static_cast<std::uintptr_t>(button.virtualKey), 0}));
        EXPECT_EQ(messages[2 * i + 1],
                  (sim::Message{xbmc, WM_KEYUP, static_cast<std::uintptr_t>(button.virtualKey), 0}));
    }
    // The driver keeps answering polls with the last packet; none of those is a new key.
    ASSERT_TRUE(waitPolls(*kernel, 50)) << "polling stalled";
    pump();
    EXPECT_EQ(keyMessages(), 2 * ExpectedButtons.size());
    EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(SystemTest, EveryButtonBecomesOneSendKeyRequestAtTheWebServer) {
    startProgram("false");
    plugIn();
    ASSERT_TRUE(pumpUntil([&] { return readingReceiver(); }));
    for (std::size_t i = 0; i < ExpectedButtons.size(); ++i) {
        ASSERT_TRUE(
            kernel->send(ReceiverStack::buttonPacket(static_cast<std::uint8_t>(ExpectedButtons[i].code))));
        ASSERT_TRUE(pumpUntil([&] { return server.requestCount() >= i + 1; })) << ExpectedButtons[i].code;
    }
    ASSERT_TRUE(waitPolls(*kernel, 50)) << "polling stalled";
    pump();
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), ExpectedButtons.size());
    for (std::size_t i = 0; i < ExpectedButtons.size(); ++i) {
        SCOPED_TRACE("button " + std::to_string(ExpectedButtons[i].code));
        EXPECT_EQ(requests[i].requestLine, "POST /xbmcCmds/xbmcHttp?command=SendKey&parameter=" +
                                               std::string(ExpectedButtons[i].sendKeyParameter) +
                                               " HTTP/1.0");
        EXPECT_EQ(requests[i].body, "0");
        EXPECT_EQ(requests[i].header("Content-Type"), "application/x-www-form-urlencoded");
    }
    EXPECT_EQ(keyMessages(), 0u);
}

TEST_F(SystemTest, ReceiverAttachedBeforeStartUpIsReadOnceTheProgramConnects) {
    plugIn();
    startProgram("true");
    // The library announces the devices it already has when the program connects.
    ASSERT_TRUE(pumpUntil([&] { return readingReceiver(); }));
    EXPECT_EQ(form->detect.Value, 1);
    EXPECT_EQ(form->f.Caption, "XBMC:APICONTROL");
    ASSERT_TRUE(kernel->send(ReceiverStack::buttonPacket(167)));
    ASSERT_TRUE(pumpUntil([&] { return keyMessages() == 2; }));
}

TEST_F(SystemTest, RemovalAndReturnOfTheReceiver) {
    startProgram("true");
    plugIn();
    ASSERT_TRUE(pumpUntil([&] { return readingReceiver(); }));
    EXPECT_EQ(form->detect.Value, 1);
    const std::int32_t firstHandle = handle;

    pullOut();
    ASSERT_TRUE(pumpUntil([&] { return form->detect.Value == 0; }));
    pump();
    EXPECT_EQ(form->SysTray1->Icon(), form->Picture1.Picture);
    EXPECT_EQ(form->f.Caption, "ERROR DRIVER/BAD HARDWARE") << "XBMC runs, the receiver is gone";

    plugIn();
    ASSERT_TRUE(pumpUntil([&] { return readingReceiver(); }));
    EXPECT_NE(handle.load(), firstHandle);
    EXPECT_EQ(form->detect.Value, 1);
    EXPECT_EQ(form->SysTray1->Icon(), form->Icon);
    EXPECT_EQ(form->f.Caption, "XBMC:APICONTROL");
    ASSERT_TRUE(kernel->send(ReceiverStack::buttonPacket(11)));
    ASSERT_TRUE(pumpUntil([&] { return keyMessages() == 2; }));
    EXPECT_EQ(desk.messagesTo(xbmc)[0].wParam, 0x0Du);
}

TEST_F(SystemTest, OptionCodeTypedOnTheReceiverHidesTheMediaCenter) {
    startProgram("true");
    plugIn();
    ASSERT_TRUE(pumpUntil([&] { return readingReceiver(); }));
    // The first poll after reading starts may deliver the driver's all-zero report (no packet yet): one more
    // button event. Let it pass before counting.
    ASSERT_TRUE(waitPolls(*kernel, 5)) << "polling stalled";
    pump();

    int dispatches = 0;
    auto handler = form->Rcv3.Change;
    form->Rcv3.Change = [&] {
        ++dispatches;
        handler();
    };
    std::uint8_t neutral = 1;
    auto send = [&](const std::array<std::uint8_t, 6>& packet) {
        const int before = dispatches;
        ASSERT_TRUE(kernel->send(packet));
        ASSERT_TRUE(pumpUntil([&] { return dispatches == before + 1; }));
    };
    // Other packets between the option buttons: a value byte other than 65 forwards nothing.
    auto other = [&] {
        neutral = static_cast<std::uint8_t>(3 - neutral);
        send(ReceiverStack::buttonPacket(neutral, 0));
    };
    // Option buttons count on every other button event, when the icon turns back to normal.
    auto onOptionEvent = [&](std::uint8_t code) {
        while (form->BlinkCount() != 2) {
            other();
        }
        send(ReceiverStack::buttonPacket(code));
    };

    onOptionEvent(213);
    EXPECT_EQ(form->C.Value, 1);
    for (int digit = 0; digit < 3; ++digit) {
        onOptionEvent(206); // the digit 1
    }
    EXPECT_FALSE(desk.window(xbmc)->visible);
    EXPECT_EQ(form->Command1.Caption, "stop");
    EXPECT_EQ(form->C.Value, 0);
    EXPECT_EQ(form->Rcv1.Caption(), "");
}

TEST_F(SystemTest, APacketWhoseValueByteIsNot65ForwardsNothing) {
    startProgram("false");
    plugIn();
    ASSERT_TRUE(pumpUntil([&] { return readingReceiver(); }));
    ASSERT_TRUE(kernel->send(ReceiverStack::buttonPacket(167, 0x40)));
    ASSERT_TRUE(pumpUntil([&] { return form->Rcv3.Caption() == "9856"; }));
    ASSERT_TRUE(kernel->send(ReceiverStack::buttonPacket(166)));
    ASSERT_TRUE(pumpUntil([&] { return server.requestCount() == 1; }));
    ASSERT_TRUE(waitPolls(*kernel, 20)) << "polling stalled";
    pump();
    ASSERT_EQ(server.requestCount(), 1u);
    EXPECT_EQ(server.requests()[0].target, "/xbmcCmds/xbmcHttp?command=SendKey&parameter=166");
}
