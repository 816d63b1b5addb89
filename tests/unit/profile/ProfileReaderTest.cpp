// Our profile reader on the host: the rules the program relies on, and safety with broken files and small
// buffers. The Wine test tests/wine/profile checks the same reader against the platform's on many more files.
#include "platform/posix/ProfileReader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using platform::posix::getPrivateProfileSection;
using platform::posix::getPrivateProfileSectionNames;
using platform::posix::getPrivateProfileString;
using namespace std::string_literals;

constexpr const char* kSection = "Tavrelmond Config";

class ProfileReaderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("profile-reader-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string write(const std::string& name, const std::string& content) {
        fs::path p = dir_ / name;
        std::ofstream(p, std::ios::binary) << content;
        return p.string();
    }

    // Reads like the program does: a 750-character buffer and an empty default.
    static std::string read(const std::string& path, const char* key, const char* section = kSection,
                            const char* defaultValue = "", std::uint32_t size = 750) {
        std::vector<char> buffer(size + 1, '#');
        std::uint32_t n = getPrivateProfileString(section, key, defaultValue, buffer.data(), size, path);
        EXPECT_LT(n, size);
        EXPECT_EQ(buffer[n], '\0');
        EXPECT_EQ(buffer[size], '#') << "wrote past the buffer";
        return std::string(buffer.data(), n);
    }

    fs::path dir_;
};

struct Row {
    const char* what;
    const char* file;
    const char* key;
    const char* expected;
};

TEST_F(ProfileReaderTest, FindsValuesByTheFileRules) {
    const Row rows[] = {
        {"lower-case key in the file answers", "[Tavrelmond Config]\r\nautorun=x.exe\r\n", "AUtorun",
         "x.exe"},
        {"asked key case does not matter", "[Tavrelmond Config]\r\nAUtorun=x.exe\r\n", "autorun", "x.exe"},
        {"section case does not matter", "[TAVRELMOND CONFIG]\r\nport=8080\r\n", "port", "8080"},
        {"value case is kept", "[Tavrelmond Config]\r\nAPIControlXBMCOPENGL=True\r\n", "apicontrolxbmcopengl",
         "True"},
        {"key with a space", "[Tavrelmond Config]\nIP Address=localhost\n", "ip address", "localhost"},
        {"blanks around key and value", "[Tavrelmond Config]\r\n  port \t=   8080  \r\n", "port", "8080"},
        {"blanks inside the value stay", "[Tavrelmond Config]\r\nautorun= C:\\a b\\x.exe -p 1 \r\n",
         "autorun", "C:\\a b\\x.exe -p 1"},
        {"double quotes removed", "[Tavrelmond Config]\r\nautorun=\" q.exe \"\r\n", "autorun", " q.exe "},
        {"single quotes removed", "[Tavrelmond Config]\r\nautorun='q.exe'\r\n", "autorun", "q.exe"},
        {"unmatched quotes kept", "[Tavrelmond Config]\r\nautorun=\"q.exe'\r\n", "autorun", "\"q.exe'"},
        {"only one pair removed", "[Tavrelmond Config]\r\nautorun=\"\"q\"\"\r\n", "autorun", "\"q\""},
        {"lone quote kept", "[Tavrelmond Config]\r\nautorun=\"\r\n", "autorun", "\""},
        {"empty value", "[Tavrelmond Config]\r\nautorun=\r\n", "autorun", ""},
        {"';' line is no key of that name", "[Tavrelmond Config]\r\n;port=1\r\nport=2\r\n", "port", "2"},
        {"';' line alone gives nothing", "[Tavrelmond Config]\r\n; port=1\r\n", "port", ""},
        {"text after ';' in a value stays", "[Tavrelmond Config]\r\nport=80 ; web\r\n", "port", "80 ; web"},
        {"first of duplicate keys wins", "[Tavrelmond Config]\r\nport=1\r\nPORT=2\r\n", "port", "1"},
        {"only the first section of a name counts",
         "[Tavrelmond Config]\r\nport=1\r\n[x]\r\n[Tavrelmond Config]\r\nport=2\r\nvendorid=3\r\n",
         "vendorid", ""},
        {"key in another section only", "[Other]\r\nport=8080\r\n[Tavrelmond Config]\r\n", "port", ""},
        {"line without '=' has no value", "[Tavrelmond Config]\r\nport\r\nport=2\r\n", "port", ""},
        {"LF line ends", "[Tavrelmond Config]\nport=8080\nvendorid=1118\n", "vendorid", "1118"},
        {"CR line ends", "[Tavrelmond Config]\rport=8080\rvendorid=1118\r", "vendorid", "1118"},
        {"no final line end", "[Tavrelmond Config]\r\nport=8080", "port", "8080"},
        {"blank lines and indented header", "\r\n \r\n  [ Tavrelmond Config ]  \r\n\r\nport=1\r\n", "port",
         "1"},
        {"header without ']' is no header", "[Other]\r\n[Tavrelmond Config\r\nport=1\r\n", "port", ""},
        {"text after ']' ignored", "[Tavrelmond Config] old\r\nport=1\r\n", "port", "1"},
        {"UTF-8 byte-order mark", "\xEF\xBB\xBF[Tavrelmond Config]\r\nip address=caf\xC3\xA9\r\n",
         "ip address", "caf\xE9"},
        {"ANSI bytes kept", "[Tavrelmond Config]\r\nip address=caf\xE9\x80\r\n", "ip address", "caf\xE9\x80"},
    };
    for (const Row& row : rows) {
        std::string path = write("Config.ini", row.file);
        EXPECT_EQ(read(path, row.key), row.expected) << row.what;
    }
}

TEST_F(ProfileReaderTest, ReadsUtf16AndBrokenBytes) {
    const std::string utf16 = "\xFF\xFE[\0S\0]\0\r\0\n\0p\0=\0c\0\xE9\0\x3D\xD8\x00\xDE\r\0\n\0"s;
    EXPECT_EQ(read(write("le.ini", utf16), "p", "S"), "c\xE9?");
    const std::string utf16be = "\xFE\xFF\0[\0S\0]\0\n\0p\0=\0x"s;
    EXPECT_EQ(read(write("be.ini", utf16be), "p", "S"), "x");
    const std::string nul = "[S]\r\np=80\0"
                            "80\r\nq=1\r\n"s;
    EXPECT_EQ(read(write("nul.ini", nul), "p", "S"), "80");
    EXPECT_EQ(read(write("nul.ini", nul), "q", "S"), "1");
    // Broken UTF-8 after a byte-order mark never reads past the end.
    EXPECT_EQ(read(write("bad8.ini", "\xEF\xBB\xBF[S]\np=a\xC3"), "p", "S"), "a?");
    EXPECT_EQ(read(write("bad8b.ini", "\xEF\xBB\xBF[S]\np=a\xE2\x82x"), "p", "S"), "a??x");
    EXPECT_EQ(read(write("odd16.ini", "\xFF\xFE[\0S\0]\0\n\0p\0=\0y\0z"s), "p", "S"), "y");
}

TEST_F(ProfileReaderTest, MissingFileSectionOrKeyGivesTheDefault) {
    std::string path = write("Config.ini", "[Tavrelmond Config]\r\nport=8080\r\n");
    EXPECT_EQ(read((dir_ / "absent.ini").string(), "port"), "");
    EXPECT_EQ(read((dir_ / "absent.ini").string(), "port", kSection, "dflt"), "dflt");
    EXPECT_EQ(read(dir_.string(), "port", kSection, "dflt"), "dflt") << "a folder is no file";
    EXPECT_EQ(read(path, "port", "Other", "dflt"), "dflt");
    EXPECT_EQ(read(path, "vendorid", kSection, "dflt"), "dflt");
    EXPECT_EQ(read(path, "vendorid", kSection, "dflt  "), "dflt") << "trailing spaces of the default go";
    EXPECT_EQ(read(path, "vendorid", kSection, "'dflt'"), "dflt") << "the default loses its quotes too";
    EXPECT_EQ(read(path, "vendorid", kSection, nullptr), "");
    EXPECT_EQ(read(path, nullptr, kSection, "dflt"), "dflt");
    EXPECT_EQ(read(path, "port", nullptr, "dflt"), "dflt");
    EXPECT_EQ(read(path, "  port ", "  Tavrelmond Config "), "8080") << "asked names are trimmed";
}

TEST_F(ProfileReaderTest, BackslashPathIsReadOnTheHost) {
    std::string path = write("Config.ini", "[Tavrelmond Config]\r\nport=8080\r\n");
    std::string windowsStyle = dir_.string();
    for (char& c : windowsStyle) {
        if (c == '/') {
            c = '\\';
        }
    }
    EXPECT_EQ(read(windowsStyle + "\\Config.ini", "port"), "8080");
}

TEST_F(ProfileReaderTest, LongValuesAreCutToTheBuffer) {
    std::string value;
    for (int i = 0; i < 800; ++i) {
        value += static_cast<char>('a' + i % 26);
    }
    std::string path = write("Config.ini", "[Tavrelmond Config]\r\nautorun=" + value + "\r\nq=\"" +
                                               value.substr(0, 749) + "\"\r\nr=\"" + value + "\"\r\n");
    EXPECT_EQ(read(path, "autorun"), value.substr(0, 749));
    EXPECT_EQ(read(path, "q"), value.substr(0, 749)) << "quoted inside of exactly 749 characters is whole";
    EXPECT_EQ(read(path, "r"), value.substr(0, 749));
    EXPECT_EQ(read(path, "autorun", kSection, "", 801), value);
    EXPECT_EQ(read(path, "autorun", kSection, "", 1), "");
    EXPECT_EQ(read(path, "autorun", kSection, "", 2), "a");

    char untouched = 'Z';
    EXPECT_EQ(getPrivateProfileString(kSection, "autorun", "", &untouched, 0, path), 0u);
    EXPECT_EQ(untouched, 'Z') << "size 0 writes nothing";
    EXPECT_EQ(getPrivateProfileString(kSection, "autorun", "", nullptr, 750, path), 0u);
}

// The shipped defaults: Kodi's EventServer on this PC (empty address and port: this PC, Kodi's default port).
TEST_F(ProfileReaderTest, ShippedSampleSelectsTheEventServerOnThisPcForTheReceiver) {
    const std::string path = QELM_SAMPLE_CONFIG;
    const Row rows[] = {
        {"mode", "", "apicontrolxbmcopengl", "eventserver"},
        {"vendor", "", "vendorid", "1118"},
        {"product", "", "productid", "644"},
        {"host", "", "ip address", ""},
        {"port", "", "port", ""},
        {"notifications", "", "notifications", "on"},
        {"autorun", "", "autorun", ""},
        {"remoterun", "", "remoterun", ""},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(read(path, row.key, kSection, "missing"), row.expected) << row.what;
    }
}

// A list answer (a section's lines, the section names): the strings, a count that agrees with them, the final
// zero in place and nothing written past the buffer.
std::vector<std::string> listOf(const std::vector<char>& buffer, std::uint32_t n, std::uint32_t size) {
    EXPECT_EQ(buffer[size], '#') << "wrote past the buffer";
    EXPECT_EQ(buffer[n], '\0');
    std::vector<std::string> strings;
    for (std::uint32_t at = 0; at < n;) {
        const std::string s(buffer.data() + at);
        strings.push_back(s);
        at += static_cast<std::uint32_t>(s.size()) + 1;
    }
    return strings;
}

TEST_F(ProfileReaderTest, ListsASectionsLinesAndTheSectionNames) {
    const std::string path =
        write("keys.ini", "before=1\r\n[Buttons]\r\nplay=Space\r\n  up  =  \"Down Down\"  \r\n; note=1\r\n"
                          "select=\r\nback\r\n=x\r\n=y\r\n[ Buttons:vlc.exe ]\r\nplay=P\r\n[]\r\nz=1\r\n"
                          "[buttons]\r\nplay=second\r\n");
    const struct {
        const char* section;
        std::vector<std::string> lines;
    } rows[] = {
        {"Buttons", {"play=Space", "up=\"Down Down\"", "select=", "back", "=x"}},
        {"BUTTONS", {"play=Space", "up=\"Down Down\"", "select=", "back", "=x"}},
        {"buttons:VLC.EXE", {"play=P"}},
        {" Buttons ", {}}, // the asked name is not trimmed
        {"", {"before=1"}},
        {"Missing", {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string("[") + row.section + "]");
        std::vector<char> buffer(4097, '#');
        const std::uint32_t n = getPrivateProfileSection(row.section, buffer.data(), 4096, path);
        EXPECT_EQ(listOf(buffer, n, 4096), row.lines);
    }
    std::vector<char> buffer(4097, '#');
    const std::uint32_t n = getPrivateProfileSectionNames(buffer.data(), 4096, path);
    EXPECT_EQ(listOf(buffer, n, 4096), (std::vector<std::string>{"Buttons", "Buttons:vlc.exe", "buttons"}));
    EXPECT_EQ(getPrivateProfileSection("Buttons", buffer.data(), 4096, (dir_ / "absent.ini").string()), 0u);
    EXPECT_EQ(buffer[0], '\0');
}

TEST_F(ProfileReaderTest, ListsCutToSmallBuffersEndInTwoZerosAndSaySo) {
    const std::string path = write("keys.ini", "[Buttons]\r\nplay=Space\r\nup=W\r\n");
    // "play=Space\0up=W\0\0" is 17 characters. A buffer that holds no more gets size - 2 back: the strings
    // cut there, the last one followed by two zeros.
    const std::string whole("play=Space\0up=W\0", 16);
    for (std::uint32_t size = 0; size <= 20; ++size) {
        SCOPED_TRACE("size " + std::to_string(size));
        std::vector<char> buffer(size + 1, '#');
        const std::uint32_t n = getPrivateProfileSection("Buttons", buffer.data(), size, path);
        EXPECT_EQ(buffer[size], '#') << "wrote past the buffer";
        if (size < 3) {
            EXPECT_EQ(n, 0u);
            continue;
        }
        EXPECT_EQ(n, size > 17 ? 16u : size - 2);
        EXPECT_EQ(std::string(buffer.data(), n), whole.substr(0, n));
        EXPECT_EQ(buffer[n], '\0');
        EXPECT_TRUE(buffer[n - 1] == '\0' || buffer[n + 1] == '\0') << "two zeros end the list";
    }
}

TEST_F(ProfileReaderTest, TheShippedSampleHasNoKeyMapSection) {
    std::vector<char> buffer(4097, '#');
    const std::uint32_t n = getPrivateProfileSectionNames(buffer.data(), 4096, QELM_SAMPLE_CONFIG);
    EXPECT_EQ(listOf(buffer, n, 4096), std::vector<std::string>{kSection}) << "its example is commented out";
}

} // namespace
