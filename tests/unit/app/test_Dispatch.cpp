// The button dispatch: blink step, option-code step and the two forwarding modes.
#include "AppFixture.h"
#include "ExpectedButtons.h"

#include <algorithm>

using namespace platform;

class DispatchTest : public AppTest {
  protected:
    MainForm& startIn(const char* mode) {
        writeConfig(std::string("APIControlXBMCOPENGL=") + mode +
                    "\r\nIP Address=xbmc.local\r\nport=8080\r\n" + ReceiverIds);
        return start();
    }
    // One button event as the report decoding delivers it: the code first, then the value.
    void press(const std::string& code, const std::string& value = "10010") {
        form->Rcv2.SetCaption(code);
        form->Rcv3.SetCaption(value);
    }
    std::vector<sim::Message> keys(Hwnd window) const { return desk.messagesTo(window); }
    int checks() const {
        return static_cast<int>(
            std::count(desk.calls.begin(), desk.calls.end(), "findWindow XBoxMediaCenterPC"));
    }
};

TEST_F(DispatchTest, EveryMappedButtonPostsItsKeyInWindowKeyMode) {
    startIn("true");
    const Hwnd xbmc = desk.addWindow("SDL_app", "XBMC");
    std::size_t expected = 0;
    for (const auto& button : ExpectedButtons) {
        SCOPED_TRACE("button " + std::to_string(button.code));
        press(std::to_string(button.code));
        const auto messages = keys(xbmc);
        ASSERT_EQ(messages.size(), expected + 2);
        EXPECT_EQ(messages[expected],
                  (sim::Message{xbmc, WM_KEYDOWN, static_cast<std::uintptr_t>(button.virtualKey), 0}));
        EXPECT_EQ(messages[expected + 1],
                  (sim::Message{xbmc, WM_KEYUP, static_cast<std::uintptr_t>(button.virtualKey), 0}));
        expected += 2;
    }
    EXPECT_TRUE(inet.requests().empty());
}

TEST_F(DispatchTest, EveryMappedButtonSendsOneSendKeyRequestInHttpMode) {
    startIn("false");
    const Hwnd xbmc = desk.addWindow("SDL_app", "XBMC");
    for (const auto& button : ExpectedButtons) {
        press(std::to_string(button.code));
    }
    ASSERT_EQ(inet.requests().size(), ExpectedButtons.size());
    for (std::size_t i = 0; i < ExpectedButtons.size(); ++i) {
        SCOPED_TRACE("button " + std::to_string(ExpectedButtons[i].code));
        const auto& r = inet.requests()[i];
        EXPECT_EQ(r.object, "/xbmcCmds/xbmcHttp?command=SendKey&parameter=" +
                                std::string(ExpectedButtons[i].sendKeyParameter));
        EXPECT_EQ(r.verb, "POST");
        EXPECT_EQ(r.body, "0");
        EXPECT_EQ(r.server, "xbmc.local");
        EXPECT_EQ(r.port, 8080);
    }
    EXPECT_TRUE(keys(xbmc).empty());
}

TEST_F(DispatchTest, EveryOtherCodeForwardsNothingInEitherMode) {
    for (const char* mode : {"true", "false"}) {
        startIn(mode);
        const Hwnd xbmc = desk.addWindow("SDL_app", "XBMC");
        for (int code = 0; code < 256; ++code) {
            if (!IsExpectedButton(code)) {
                SCOPED_TRACE(std::string(mode) + " button " + std::to_string(code));
                press(std::to_string(code));
                ASSERT_TRUE(keys(xbmc).empty());
                ASSERT_TRUE(inet.requests().empty());
            }
        }
        desk.removeWindow(xbmc);
        form.reset();
    }
}

TEST_F(DispatchTest, RepeatedIdenticalEventsEachForwardOnce) {
    startIn("true");
    const Hwnd xbmc = desk.addWindow("SDL_app", "XBMC");
    for (int i = 0; i < 3; ++i) {
        press("167");
    }
    EXPECT_EQ(keys(xbmc).size(), 6u);
}

TEST_F(DispatchTest, NothingIsForwardedOutsideTheTwoModesOrTheMapOrTheForwardValue) {
    const struct {
        const char* mode;
        const char* code;
        const char* value;
    } cases[] = {
        {"True", "167", "10010"}, {"", "167", "10010"},      {"TRUE", "11", "10010"},
        {"yes", "11", "10010"},   {"true", "100", "10010"},  {"false", "011", "10010"},
        {"true", "167", "0"},     {"false", "167", "10164"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.mode) + " " + c.code + " " + c.value);
        startIn(c.mode);
        const Hwnd xbmc = desk.addWindow("SDL_app", "XBMC");
        const int before = checks();
        press(c.code, c.value);
        EXPECT_TRUE(keys(xbmc).empty());
        EXPECT_TRUE(inet.requests().empty());
        EXPECT_EQ(checks() - before, 2)
            << "CheckMediaCenter runs once per forwarding step, whatever the mode";
        desk.removeWindow(xbmc);
        form.reset();
    }
}

TEST_F(DispatchTest, MediaCenterNotRunningForwardsNothingButStillBlinks) {
    MainForm& f = startIn("false");
    press("167");
    EXPECT_TRUE(inet.requests().empty());
    EXPECT_EQ(f.SysTray1->Icon(), alternateIcon());
    EXPECT_EQ(f.f.Caption, "NO HARDWARE/XBMC NOT RUN");
}

TEST_F(DispatchTest, DirectXWindowAloneGetsNoKeysButHttpWorksWithEitherWindow) {
    startIn("true");
    const Hwnd directX = desk.addWindow("XBoxMediaCenterPC", "XBoxMediaCenter PC Skin Preview");
    press("167");
    EXPECT_TRUE(keys(directX).empty());
    EXPECT_TRUE(inet.requests().empty());
    form.reset();

    startIn("false");
    press("167");
    ASSERT_EQ(inet.requests().size(), 1u);
    desk.removeWindow(directX);
    desk.addWindow("SDL_app", "XBMC");
    press("166");
    ASSERT_EQ(inet.requests().size(), 2u);
    EXPECT_EQ(inet.requests()[1].object, "/xbmcCmds/xbmcHttp?command=SendKey&parameter=166");
}

TEST_F(DispatchTest, BlinkPhaseAlternatesIconsAndRunsTheOptionStepOnOddRunsFromTheThird) {
    MainForm& f = startIn("false");
    const struct {
        std::int16_t blinkCount;
        bool normal;
        const char* rcv1;
    } runs[] = {
        {1, false, ""}, {2, false, ""}, {1, true, "1"}, {2, false, "1"}, {1, true, "11"}, {2, false, "11"},
    };
    for (std::size_t i = 0; i < std::size(runs); ++i) {
        SCOPED_TRACE("run " + std::to_string(i + 1));
        press("206", "0"); // digit 1, not forwarded
        EXPECT_EQ(f.BlinkCount(), runs[i].blinkCount);
        EXPECT_EQ(f.SysTray1->Icon(), runs[i].normal ? normalIcon() : alternateIcon());
        EXPECT_EQ(f.Rcv1.Caption(), runs[i].rcv1);
    }
}

TEST_F(DispatchTest, ArmingOnAnOptionRunEmptiesTheBufferTicksCBeepsAndStillSendsTab) {
    MainForm& f = startIn("true");
    const Hwnd xbmc = desk.addWindow("SDL_app", "XBMC");
    press("999");
    press("999");
    f.Rcv1.SetCaption("12");
    press("213");
    EXPECT_EQ(f.Rcv1.Caption(), "");
    EXPECT_EQ(f.C.Value, 1);
    EXPECT_EQ(desk.beeps, 1);
    const auto messages = keys(xbmc);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].wParam, 9u);
}

TEST_F(DispatchTest, DigitOnAnOptionRunAppendsAndPostsItsKey) {
    MainForm& f = startIn("true");
    const Hwnd xbmc = desk.addWindow("SDL_app", "XBMC");
    press("999");
    press("999");
    press("206");
    EXPECT_EQ(f.Rcv1.Caption(), "1");
    ASSERT_EQ(keys(xbmc).size(), 2u);
    EXPECT_EQ(keys(xbmc)[0].wParam, 49u);
}

TEST_F(DispatchTest, AFullBufferIsEmptiedBeforeTheNextDigitAndTheActionHandlerSeesBoth) {
    MainForm& f = startIn("false");
    press("999");
    press("999");
    f.Rcv1.SetCaption("123");
    std::vector<std::string> seen;
    auto handler = f.Rcv1.Change;
    f.Rcv1.Change = [&] {
        seen.push_back(f.Rcv1.Caption());
        handler();
    };
    press("205");
    EXPECT_EQ(seen, (std::vector<std::string>{"", "2"}));
    EXPECT_EQ(f.Rcv1.Caption(), "2");
}

TEST_F(DispatchTest, OnlyDigitsOneToFiveEnterTheOptionCode) {
    const struct {
        const char* code;
        const char* appended;
    } cases[] = {{"206", "1"}, {"205", "2"}, {"204", "3"}, {"203", "4"}, {"202", "5"},
                 {"201", ""},  {"200", ""},  {"199", ""},  {"198", ""},  {"207", ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        MainForm& f = startIn("false");
        press("999");
        press("999");
        press(c.code);
        EXPECT_EQ(f.Rcv1.Caption(), c.appended);
        form.reset();
    }
}
