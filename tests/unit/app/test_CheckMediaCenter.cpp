// Media-center detection: the raise sequence, the result and the status caption.
#include "AppFixture.h"
#include "Module1.h"

using namespace platform;

namespace {

std::vector<std::string> callsAfter(const std::vector<std::string>& calls, std::size_t from) {
    return std::vector<std::string>(calls.begin() + static_cast<std::ptrdiff_t>(from), calls.end());
}

} // namespace

TEST_F(AppTest, StatusCaptionFollowsWindowDetectAndApi) {
    const struct {
        bool window;
        std::int16_t detect, api;
        const char* result;
        const char* caption; // nullptr: nothing written
    } cases[] = {
        {true, 0, 0, "1", "ERROR DRIVER/BAD HARDWARE"},
        {true, 0, 1, "1", "ERROR DRIVER/BAD HARDWARE"},
        {true, 1, 1, "1", "XBMC:APICONTROL"},
        {true, 1, 0, "1", "XBMC:EVENTCLIENT"},
        {false, 0, 1, "0", "NO HARDWARE/XBMC NOT RUN"},
        {false, 1, 0, "0", "XBMC NOT RUN"},
        {false, 1, 1, "0", "XBMC NOT RUN"},
        // Values a check box set by code may hold but the program never sets: no status is written.
        {true, 2, 1, "1", nullptr},
        {false, -1, 0, "0", nullptr},
        {true, 1, 2, "1", nullptr},
    };
    writeConfig(std::string(XbmcWebServer) + ReceiverIds);
    MainForm& f = load();
    Hwnd window = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.window) + " detect=" + std::to_string(c.detect) +
                     " API=" + std::to_string(c.api));
        if (c.window && window == 0) {
            window = desk.addWindow("SDL_app", "XBMC");
        } else if (!c.window && window != 0) {
            desk.removeWindow(window);
            window = 0;
        }
        f.f.Caption = "before";
        f.f.Checked = false;
        f.detect.Value = c.detect;
        f.API.Value = c.api;
        EXPECT_EQ(CheckMediaCenter(f), c.result);
        EXPECT_EQ(f.f.Caption, c.caption ? c.caption : "before");
        EXPECT_EQ(f.f.Checked, c.caption != nullptr);
    }
}

TEST_F(AppTest, OpenGlWindowIsRaisedByTitleThenTopMostThenActive) {
    MainForm& f = load();
    const Hwnd directX = desk.addWindow("XBoxMediaCenterPC", "XBoxMediaCenter PC Skin Preview");
    const Hwnd main = desk.addWindow("SDL_app", "XBMC");
    const auto from = desk.calls.size();
    EXPECT_EQ(CheckMediaCenter(f), "1");
    const std::vector<std::string> expected{"findWindow SDL_app", "findWindow XBoxMediaCenterPC",
                                            "activate XBMC", "setWindowPos -1 0 0 0 0 3", "setActiveWindow"};
    EXPECT_EQ(callsAfter(desk.calls, from), expected);
    EXPECT_TRUE(desk.window(main)->topmost);
    EXPECT_FALSE(desk.window(directX)->topmost);
    EXPECT_EQ(desk.activeWindow(), main);
}

TEST_F(AppTest, DirectXWindowAloneIsRaisedWithItsOwnTitle) {
    MainForm& f = load();
    const Hwnd directX = desk.addWindow("XBoxMediaCenterPC", "XBoxMediaCenter PC Skin Preview");
    const auto from = desk.calls.size();
    EXPECT_EQ(CheckMediaCenter(f), "1");
    const std::vector<std::string> expected{"findWindow SDL_app", "findWindow XBoxMediaCenterPC",
                                            "activate XBoxMediaCenter PC Skin Preview",
                                            "setWindowPos -1 0 0 0 0 3", "setActiveWindow"};
    EXPECT_EQ(callsAfter(desk.calls, from), expected);
    EXPECT_TRUE(desk.window(directX)->topmost);
    EXPECT_EQ(desk.activeWindow(), directX);
}

TEST_F(AppTest, ActivationFallsBackToATitleThatBeginsWithTheName) {
    MainForm& f = load();
    const Hwnd other = desk.addWindow("Notepad", "XBMC notes.txt - Notepad");
    const Hwnd main = desk.addWindow("SDL_app", "XBMC Media Center");
    EXPECT_TRUE(desk.activateWindowByTitle("XBMC"));
    EXPECT_EQ(desk.activeWindow(), other) << "the first window whose title begins with it";
    desk.addWindow("Other", "XBMC");
    EXPECT_EQ(CheckMediaCenter(f), "1");
    EXPECT_EQ(desk.activeWindow(), main) << "SetActiveWindow on the media center comes last";
    EXPECT_TRUE(desk.window(main)->topmost);
}

TEST_F(AppTest, WithoutAnyTitleMatchTheWindowIsStillMadeTopMostAndActive) {
    MainForm& f = load();
    const Hwnd main = desk.addWindow("SDL_app", "Kodi");
    EXPECT_EQ(CheckMediaCenter(f), "1");
    EXPECT_TRUE(desk.window(main)->topmost);
    EXPECT_EQ(desk.activeWindow(), main);
}
