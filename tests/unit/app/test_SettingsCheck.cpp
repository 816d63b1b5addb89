// What is wrong with a Config.ini, said by key and value, and the receiver's IDs in decimal and hexadecimal.
#include "AppFixture.h"
#include "SettingsCheck.h"
#include "StatusText.h"
#include "Module1.h"

namespace {

StatusInput In(std::string mode, std::string address, std::string port, std::vector<SettingsProblem> problems,
               bool receiver, std::string xbmcCaption, StatusInput::Press press = StatusInput::Press::None,
               std::string pressError = "", std::string notice = "", std::string modeLine = "") {
    StatusInput input;
    input.mode = std::move(mode);
    input.address = std::move(address);
    input.port = std::move(port);
    input.problems = std::move(problems);
    input.receiver = receiver;
    input.xbmcCaption = std::move(xbmcCaption);
    input.press = press;
    input.pressError = std::move(pressError);
    input.notice = std::move(notice);
    input.modeLine = std::move(modeLine);
    return input;
}

} // namespace

TEST(SettingsCheckTest, EachBadValueIsNamedByItsKeyWithWhatIsWrong) {
    const struct {
        const char *mode, *vendor, *product, *port;
        std::vector<std::string> problems;
    } cases[] = {
        {"eventserver", "1118", "644", "", {}},
        {"jsonrpc", "0x045E", "0x0284", "8080", {}},
        {"true", "&H45E", "644", "not used in this mode", {}},
        {"keyboard", "1118", "644", "", {}},
        {"", "1118", "644", "", {"APIControlXBMCOPENGL is empty"}},
        {"Eventserver", "1118", "644", "", {"APIControlXBMCOPENGL \"Eventserver\": write eventserver"}},
        {"event", "1118", "644", "", {"APIControlXBMCOPENGL \"event\" is not a mode"}},
        {"a mode of many words and more",
         "1118",
         "644",
         "",
         {"APIControlXBMCOPENGL \"a mode of many w...\" is not a mode"}},
        {"true", "045E", "644", "", {"VendorID \"045E\" is not a number"}},
        {"true", "1118", "", "", {"ProductID is empty"}},
        {"true", "1118", "0x", "", {"ProductID \"0x\" is not a number"}},
        {"true",
         "70000",
         "-1",
         "",
         {"VendorID \"70000\" is not a USB ID", "ProductID \"-1\" is not a USB ID"}},
        {"true", "1118.5", "644", "", {"VendorID \"1118.5\" is not a USB ID"}},
        {"eventserver", "1118", "644", "70000", {"port \"70000\" is not a port"}},
        {"jsonrpc", "1118", "644", "0", {"port \"0\" is not a port"}},
        {"jsonrpc", "1118", "644", "80 80", {"port \"80 80\" is not a port"}},
        {"false", "1118", "644", "", {"port is empty"}},
        {"false", "1118", "644", "8080", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.mode) + " | " + c.vendor + " | " + c.product + " | " + c.port);
        std::vector<std::string> texts;
        for (const SettingsProblem& problem : CheckSettings(c.mode, c.vendor, c.product, c.port)) {
            texts.push_back(problem.text);
            EXPECT_EQ(problem.text.rfind(problem.key, 0), 0u) << "the message begins with the key";
        }
        EXPECT_EQ(texts, c.problems);
    }
}

TEST(SettingsCheckTest, HexadecimalDigitsWithoutTheirPrefixAreToldHowToWriteThem) {
    const std::vector<SettingsProblem> problems = CheckSettings("true", "045E", "0284x", "");
    ASSERT_EQ(problems.size(), 2u);
    EXPECT_EQ(problems[0].hint, "write 0x045E for hexadecimal");
    EXPECT_EQ(problems[1].hint, "write it in decimal (1118) or hexadecimal (0x045E)");
}

TEST(SettingsCheckTest, UsbIdsInDecimalHexadecimalAndOctalButNoExponent) {
    const struct {
        const char* text;
        std::optional<std::uint16_t> id;
    } cases[] = {
        {"1118", 1118},
        {" 644 ", 644},
        {"0x045E", 0x045E},
        {"0X045e", 0x045E},
        {"&H45E", 0x045E},
        {"&h0284", 0x0284},
        {"&O2136", 1118},
        {"0", 0},
        {"65535", 65535},
        {"0xFFFF", 0xFFFF},
        {"1118.0", 1118},
        {"65536", std::nullopt},
        {"0x10000", std::nullopt},
        {"-1", std::nullopt},
        {"1118.5", std::nullopt},
        {"045E", std::nullopt},
        {"1E3", std::nullopt},
        {"0E12", std::nullopt},
        {"0x", std::nullopt},
        {"0x45G", std::nullopt},
        {"", std::nullopt},
        {"x", std::nullopt},
        {"0x123456789", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseUsbId(c.text), c.id) << '"' << c.text << '"';
    }
}

TEST(StatusTextTest, TheStatusLineAndTipFitTheModeAndTheTipAlwaysHasText) {
    using Press = StatusInput::Press;
    const struct {
        const char* name;
        StatusInput input;
        const char* caption;
        const char* tip;
    } cases[] = {
        {"Kodi on this PC, nothing sent yet", In("eventserver", "", "", {}, true, "XBMC NOT RUN"),
         "Kodi on this PC", "Kodi on this PC\nReceiver ready"},
        {"Kodi on a TV box, a press went out", In("eventserver", "tv", "", {}, false, "", Press::Reached),
         "Kodi at tv:9777: last press sent", "Kodi at tv:9777: last press sent\nNo receiver"},
        {"Kodi's web server, reached", In("jsonrpc", "", "", {}, true, "", Press::Reached),
         "Kodi on this PC: last press reached it", "Kodi on this PC: last press reached it\nReceiver ready"},
        {"Kodi's web server, its own port", In("jsonrpc", "127.0.0.1", "8081", {}, true, ""),
         "Kodi at 127.0.0.1:8081", "Kodi at 127.0.0.1:8081\nReceiver ready"},
        {"a failed press",
         In("jsonrpc", "box", "", {}, true, "", Press::Failed, "Kodi does not answer at box:8080"),
         "Kodi does not answer at box:8080", "Kodi does not answer at box:8080\nReceiver ready"},
        {"XBMC's window keeps its status texts", In("true", "", "", {}, true, "XBMC NOT RUN"), "XBMC NOT RUN",
         "Keys to XBMC's window\nReceiver ready"},
        {"a bad setting wins", In("eventserver", "", "", {{"VendorID", "VendorID is empty", ""}}, false, ""),
         "Config.ini: VendorID is empty", "Config.ini: VendorID is empty\nNo receiver"},
        {"a notice", In("true", "", "", {}, false, "XBMC:APICONTROL", Press::None, "", "AUtorun not run"),
         "XBMC:APICONTROL", "Keys to XBMC's window\nAUtorun not run\nNo receiver"},
        {"the keyboard mode: the status line is the media-center check's",
         In("keyboard", "", "", {}, true, "XBMC:EVENTCLIENT"), "XBMC:EVENTCLIENT",
         "Keys to the window in front\nReceiver ready"},
        {"the keyboard mode's own words",
         In("keyboard", "", "", {}, false, "", Press::None, "", "", "Key map: 2 lines"), "",
         "Key map: 2 lines\nNo receiver"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const StatusLines lines = ComposeStatus(c.input);
        EXPECT_EQ(lines.caption, c.caption);
        EXPECT_EQ(lines.tip, c.tip);
    }
}
