// The two settings files: the user's Config.ini wins key by key over the one beside the program, command
// lines come only from a file no one else may change, the user's file is written keeping what it holds, and a
// password saved by the program is protected for its user.
#include "AppFixture.h"
#include "Configuration.h"
#include "IniText.h"

#include <thread>

using namespace platform;

namespace {

class SettingsTest : public AppTest {
  protected:
    config::Configuration configuration() { return config::Configuration(desk, &files, &security); }
    void writeFile(const std::string& path, const std::string& bytes) {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::ofstream(path, std::ios::binary) << bytes;
    }
    std::string bytesOf(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
};

// A UTF-16LE file with its byte-order mark, as the program writes the user's file.
std::string Utf16(const std::string& ascii) {
    std::string bytes("\xFF\xFE");
    for (char c : ascii) {
        bytes += c;
        bytes += '\0';
    }
    return bytes;
}

} // namespace

TEST_F(SettingsTest, EachKeyComesFromTheUsersFileWhenItHasItElseFromTheMachinesWithEitherMissing) {
    const struct {
        const char* name;
        const char* machine; // nullptr: no file
        const char* user;    // nullptr: no file
        const char* key;
        const char* text;
        config::Source source;
    } cases[] = {
        {"both have it: the user's", "port=9777\r\n", "port=9090\r\n", "port", "9090", config::Source::User},
        {"only the machine's", "port=9777\r\n", "user=me\r\n", "port", "9777", config::Source::Machine},
        {"only the user's", "user=me\r\n", "port=9090\r\n", "port", "9090", config::Source::User},
        {"an empty value in the user's file wins", "port=9777\r\n", "port=\r\n", "port", "",
         config::Source::User},
        {"neither", "user=me\r\n", "user=you\r\n", "port", "", config::Source::None},
        {"no user file", "port=9777\r\n", nullptr, "port", "9777", config::Source::Machine},
        {"no machine file", nullptr, "port=9090\r\n", "port", "9090", config::Source::User},
        {"no file at all", nullptr, nullptr, "port", "", config::Source::None},
        {"key names in any case", "PORT=1\r\n", "Port=2\r\n", "port", "2", config::Source::User},
        {"a key line without '=' is no key", "port=9777\r\n", "port\r\n", "port", "9777",
         config::Source::Machine},
        {"the user's key in another section does not count", "port=9777\r\n",
         "[Other]\r\nport=1\r\n[Tavrelmond Config]\r\n", "port", "9777", config::Source::Machine},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(folder + "/Config.ini");
        std::filesystem::remove_all(folder + "/Roaming");
        if (c.machine != nullptr) {
            writeConfig(c.machine);
        }
        if (c.user != nullptr) {
            writeUserConfig(c.user);
        }
        config::Configuration config = configuration();
        const config::Setting setting = config.Read(c.key);
        EXPECT_EQ(setting.text, c.text);
        EXPECT_EQ(setting.source, c.source);
    }
}

TEST_F(SettingsTest, TheFormTakesEveryKeyFromTheUsersFileFirstAndTheRestFromTheMachines) {
    writeConfig("APIControlXBMCOPENGL=true\r\nVendorID=1118\r\nProductID=644\r\nIP Address=10.0.0.9\r\n"
                "port=8080\r\n");
    writeUserConfig("apicontrolxbmcopengl=eventserver\r\nport=9777\r\n");
    MainForm& f = start();
    EXPECT_EQ(f.APIcontrol, "eventserver");
    EXPECT_EQ(f.port, "9777");
    EXPECT_EQ(f.ip, "10.0.0.9");
    EXPECT_EQ(f.VendorIdText(), "1118");
    EXPECT_EQ(f.f.Caption, "Kodi at 10.0.0.9:9777");
    EXPECT_EQ(f.API.Value, 0);
}

TEST_F(SettingsTest, CredentialsAreReadAsUnicodeFromAFileTheProgramWroteAndHandedOnAsUtf8) {
    writeConfig("APIControlXBMCOPENGL=jsonrpc\r\n");
    // "Zoë" and "pässwörd€" in UTF-16, as the settings window saves them.
    std::string user = Utf16("[Tavrelmond Config]\r\nuser=Zo");
    user += std::string("\xEB\x00", 2) + Utf16("\r\npassword=p").substr(2) + std::string("\xE4\x00", 2) +
            Utf16("ssw").substr(2) + std::string("\xF6\x00", 2) + Utf16("rd").substr(2) +
            std::string("\xAC\x20", 2) + Utf16("\r\n").substr(2);
    writeFile(userConfigPath(), user);
    MainForm& f = load();
    EXPECT_EQ(f.user, "Zo\xC3\xAB");
    EXPECT_EQ(f.password, "p\xC3\xA4ssw\xC3\xB6rd\xE2\x82\xAC") << "the euro sign is no Latin-1 character";
}

TEST_F(SettingsTest, APasswordSavedByTheProgramIsProtectedForItsUserAndAHandWrittenOneStillWorks) {
    config::Configuration config = configuration();
    const std::string password = "s\xC3\xA9same ouvre-toi";
    const std::optional<std::string> stored = config.ProtectPassword(password);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->rfind("dpapi:", 0), 0u);
    std::string error;
    ASSERT_TRUE(config.Save({{"password", *stored}}, error)) << error;
    const std::string onDisk = readText(userConfigPath());
    EXPECT_EQ(onDisk.find("ouvre-toi"), std::string::npos) << onDisk;
    EXPECT_NE(onDisk.find("password=dpapi:"), std::string::npos) << onDisk;

    std::string problem;
    EXPECT_EQ(config.ReadPassword(problem).text, password);
    EXPECT_EQ(problem, "");

    security.user = "bob"; // another user (or another PC) cannot open it
    const config::Setting foreign = config.ReadPassword(problem);
    EXPECT_EQ(foreign.text, "");
    EXPECT_NE(problem.find("cannot be read by this user"), std::string::npos) << problem;

    for (const char* damaged : {"dpapi:", "dpapi:not base64!", "dpapi:QUJD"}) {
        SCOPED_TRACE(damaged);
        security.user = "alice";
        ASSERT_TRUE(config.Save({{"password", damaged}}, error));
        EXPECT_EQ(config.ReadPassword(problem).text, "");
        EXPECT_FALSE(problem.empty());
    }

    ASSERT_TRUE(config.Save({{"password", "written by hand"}}, error));
    EXPECT_EQ(config.ReadPassword(problem).text, "written by hand");
    EXPECT_EQ(problem, "");
}

TEST_F(SettingsTest, Base64RoundTripsEveryByteAndRefusesWhatIsNotBase64) {
    std::string all;
    for (int i = 0; i < 256; ++i) {
        all += static_cast<char>(i);
    }
    for (std::size_t length : {0u, 1u, 2u, 3u, 4u, 255u, 256u}) {
        const std::string bytes = all.substr(0, length);
        EXPECT_EQ(config::Base64Decode(config::Base64Encode(bytes)), bytes) << length;
    }
    EXPECT_EQ(config::Base64Encode("Man"), "TWFu");
    EXPECT_EQ(config::Base64Encode("Ma"), "TWE=");
    for (const char* bad : {"TWF", "TW=u", "T===", "TWFu!A==", "=AAA"}) {
        EXPECT_FALSE(config::Base64Decode(bad)) << bad;
    }
}

TEST_F(SettingsTest, ACommandLineRunsFromTheUsersFileOrFromAMachineFileOnlyAdministratorsMayChange) {
    const struct {
        const char* name;
        config::Source source;
        FileWriters::Kind machine;
        const char* refusal; // the start of the refusal; "" when it runs
    } cases[] = {
        {"the user's own file", config::Source::User, FileWriters::Kind::Others, ""},
        {"the machine's, administrators only", config::Source::Machine, FileWriters::Kind::Trusted, ""},
        {"the machine's, writable by Users", config::Source::Machine, FileWriters::Kind::Others,
         "AUtorun not run: @ may be changed by BUILTIN\\Users"},
        {"the machine's, rights unreadable", config::Source::Machine, FileWriters::Kind::Unknown,
         "AUtorun not run: the rights on @ cannot be read"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        security.writers[machinePath()] = {c.machine, "BUILTIN\\Users"};
        config::Configuration config = configuration();
        std::string expected = c.refusal;
        if (const auto at = expected.find('@'); at != std::string::npos) {
            expected.replace(at, 1, machinePath());
        }
        EXPECT_EQ(config.CommandRefusal("AUtorun", {"kodi.exe", c.source}), expected);
    }
    config::Configuration withoutSecurity(desk, &files, nullptr);
    EXPECT_NE(withoutSecurity.CommandRefusal("remoterun", {"kodi.exe", config::Source::Machine}), "");
    EXPECT_EQ(withoutSecurity.CommandRefusal("remoterun", {"", config::Source::Machine}), "")
        << "nothing to run";
}

TEST_F(SettingsTest, AutorunAndRemoterunFromAMachineFileOthersMayChangeAreRefusedAndSaidInTheTipAndLog) {
    writeConfig(std::string(XbmcWebServer) + ReceiverIds +
                "AUtorun=C:\\Kodi\\kodi.exe\r\nremoterun=C:\\Kodi\\kodi.exe\r\n");
    security.writers[machinePath()] = {FileWriters::Kind::Others, "BUILTIN\\Users"};
    MainForm& f = startLogged();
    EXPECT_TRUE(desk.starts.empty());
    EXPECT_NE(f.SysTray1->Tip().find("AUtorun not run"), std::string::npos) << f.SysTray1->Tip();
    EXPECT_NE(logText().find("AUtorun not run: " + machinePath() + " may be changed by BUILTIN\\Users"),
              std::string::npos)
        << logText();

    // 222 twice: close, then start from remoterun, refused the same way.
    f.C.Value = 1;
    f.Command1.Caption = "stop";
    f.Rcv1.SetCaption("222");
    EXPECT_TRUE(desk.starts.empty());
    EXPECT_NE(f.Notice().find("remoterun not run"), std::string::npos) << f.Notice();
    EXPECT_NE(f.SysTray1->Tip().find("remoterun not run"), std::string::npos);
    EXPECT_NE(logText().find("remoterun not run"), std::string::npos);

    // The same command line in the user's own file runs.
    writeUserConfig("remoterun=C:\\Kodi\\kodi.exe\r\n");
    f.C.Value = 1;
    f.Command1.Caption = "stop";
    f.Rcv1.SetCaption("222");
    ASSERT_EQ(desk.starts.size(), 1u);
    EXPECT_EQ(desk.starts[0].commandLine, "C:\\Kodi\\kodi.exe");
}

TEST_F(SettingsTest, SavingWritesOnlyTheUsersFileKeepingItsCommentsUnknownKeysAndOtherSections) {
    writeConfig("; the administrator's note\r\nAPIControlXBMCOPENGL=true\r\n");
    const std::string machineBefore = bytesOf(folder + "/Config.ini");
    writeUserConfig("; my own note\r\nPort=1\r\nmystery=kept\r\n\r\n[Buttons]\r\nplay=Space\r\n");
    config::Configuration config = configuration();
    std::string error;
    ASSERT_TRUE(
        config.Save({{"APIControlXBMCOPENGL", "eventserver"}, {"port", "9777"}, {"user", " padded "}}, error))
        << error;
    EXPECT_EQ(bytesOf(folder + "/Config.ini"), machineBefore) << "the machine's file is never written";
    EXPECT_EQ(readText(userConfigPath()),
              "[Tavrelmond Config]\r\n; my own note\r\nPort=9777\r\nmystery=kept\r\n"
              "APIControlXBMCOPENGL=eventserver\r\nuser=\" padded \"\r\n\r\n"
              "[Buttons]\r\nplay=Space\r\n");
    EXPECT_EQ(bytesOf(userConfigPath()).substr(0, 2), "\xFF\xFE")
        << "UTF-16, which the profile reader reads whole";
    EXPECT_EQ(config.Read("user").text, " padded ");
    EXPECT_EQ(config.Read("APIControlXBMCOPENGL").source, config::Source::User);

    files.writesFail = true;
    EXPECT_FALSE(config.Save({{"port", "1"}}, error));
    EXPECT_NE(error.find("cannot write"), std::string::npos) << error;
    EXPECT_EQ(config.Read("port").text, "9777") << "a failed save leaves the file whole";
}

TEST_F(SettingsTest, TheFirstSaveMakesTheFolderAndAFileThatSaysWhatItIs) {
    config::Configuration config = configuration();
    std::string error;
    ASSERT_TRUE(config.Save({{"port", "9777"}}, error)) << error;
    const std::string text = readText(userConfigPath());
    EXPECT_EQ(text.rfind("; Your own settings for Tavrelmond: " + userPath() + "\r\n", 0), 0u) << text;
    EXPECT_NE(text.find("\r\n[Tavrelmond Config]\r\nport=9777\r\n"), std::string::npos) << text;
}

TEST_F(SettingsTest, IniTextSetsWhatTheReaderReadsBackAndRefusesLineEnds) {
    const struct {
        const char* before;
        const char* section;
        const char* key;
        const char* value;
        const char* after;
    } cases[] = {
        {"[S]\r\nk=1\r\n", "S", "k", "2", "[S]\r\nk=2\r\n"},
        {"[s]\nK = 1\n", "S", "k", "2", "[s]\r\nK=2\r\n"},
        {"[S]\r\na=1\r\n\r\n[T]\r\n", "S", "b", "2", "[S]\r\na=1\r\nb=2\r\n\r\n[T]\r\n"},
        {"; c\r\n", "S", "k", "v", "; c\r\n\r\n[S]\r\nk=v\r\n"},
        {"", "S", "k", "v", "[S]\r\nk=v\r\n"},
        {"[S]\r\nk=1\r\n[S]\r\nk=2\r\n", "S", "k", "3", "[S]\r\nk=3\r\n[S]\r\nk=2\r\n"},
        {"[S]\r\n", "S", "k", "\"quoted\"", "[S]\r\nk=\"\"quoted\"\"\r\n"},
        {"[S]\r\n", "S", "k", " x", "[S]\r\nk=\" x\"\r\n"},
        {"[S]\r\n", "S", "k", "a;b=c", "[S]\r\nk=a;b=c\r\n"},
        {"[S]\rk=1\r", "S", "k", "", "[S]\r\nk=\r\n"},
    };
    const std::string path = folder + "/t.ini";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.before + std::string(" + ") + c.key + "=" + c.value);
        IniText text(c.before);
        ASSERT_TRUE(text.Set(c.section, c.key, c.value));
        EXPECT_EQ(text.Text(), c.after);
        std::ofstream(path, std::ios::binary) << text.Text();
        std::array<char, 750> buffer{};
        const auto n =
            platform::posix::getPrivateProfileString(c.section, c.key, "", buffer.data(), 750, path);
        EXPECT_EQ(std::string(buffer.data(), n), c.value) << "the reader gives back what was set";
    }
    IniText text("[S]\r\nk=1\r\n");
    for (const char* bad : {"a\r\nb", "a\nb", "a\rb"}) {
        EXPECT_FALSE(text.Set("S", "k", bad)) << "a value with a line end would make a line of its own";
    }
    EXPECT_FALSE(text.Set("S", "k=x\r\n[Other]", "v"));
    EXPECT_EQ(text.Text(), "[S]\r\nk=1\r\n");
}

TEST_F(SettingsTest, EditConfigMakesTheUsersFileAsACopyOfTheDefaultsWithoutCommandLinesOthersMayHaveWritten) {
    const struct {
        const char* name;
        FileWriters::Kind machine;
        bool commandsCopied;
    } cases[] = {
        {"administrators only", FileWriters::Kind::Trusted, true},
        {"others may write it", FileWriters::Kind::Others, false},
        {"rights unreadable", FileWriters::Kind::Unknown, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(folder + "/Roaming");
        desk.shellOpens.clear();
        writeConfig("; shipped comment\r\nAPIControlXBMCOPENGL=eventserver\r\nAUtorun=evil.exe\r\n"
                    "remoterun=evil.exe\r\n");
        security.writers[machinePath()] = {c.machine, "Everyone"};
        MainForm& f = load();
        f.EditConfig();
        ASSERT_EQ(desk.shellOpens.size(), 1u);
        EXPECT_EQ(desk.shellOpens[0].file, userPath());
        EXPECT_EQ(desk.shellOpens[0].verb, "Open");
        const std::string copy = readText(userConfigPath());
        EXPECT_EQ(copy.rfind("; Your own settings for Tavrelmond: " + userPath(), 0), 0u) << copy;
        EXPECT_NE(copy.find("; shipped comment\r\n"), std::string::npos);
        EXPECT_NE(copy.find("APIControlXBMCOPENGL=eventserver\r\n"), std::string::npos);
        EXPECT_EQ(copy.find("evil.exe") != std::string::npos, c.commandsCopied) << copy;
        // A second time the file is only opened: what the user wrote stays.
        writeUserConfig("port=1\r\n");
        f.EditConfig();
        EXPECT_EQ(readText(userConfigPath()), "[Tavrelmond Config]\r\nport=1\r\n");
        form.reset();
    }
}
