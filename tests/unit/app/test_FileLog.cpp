// The log file: one line per write after its time, bounded by turning into one older file, never a password,
// and the lines the program writes for what it does.
#include "AppFixture.h"
#include "FileLog.h"
#include "Module1.h"

#include <thread>

namespace {

class FileLogTest : public AppTest {
  protected:
    std::string logFolder() const { return folder + "/Local\\Tavrelmond"; }
    std::vector<std::string> lines(const std::string& path) {
        std::vector<std::string> result;
        const std::string text = readText(path);
        std::size_t start = 0;
        for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
            result.push_back(text.substr(start, end - start));
        }
        return result;
    }
    static std::chrono::system_clock::time_point fixedTime() {
        return std::chrono::sys_days(std::chrono::year(2024) / 5 / 1) + std::chrono::hours(10) +
               std::chrono::minutes(4) + std::chrono::seconds(5);
    }
};

} // namespace

TEST_F(FileLogTest, EachWriteIsOneLineAfterItsTimeInTheUsersLocalFolder) {
    FileLog log(files, logFolder(), FileLog::Bound, fixedTime);
    EXPECT_EQ(log.Path(), logFolder() + "\\Tavrelmond.log");
    log.Write("first");
    log.Write("a line\r\nwith a break");
    EXPECT_EQ(lines(log.Path()), (std::vector<std::string>{"2024-05-01 10:04:05Z first",
                                                           "2024-05-01 10:04:05Z a line  with a break"}));
}

TEST_F(FileLogTest, TheLogIsBoundedByOneOlderFile) {
    constexpr std::uint64_t bound = 1000;
    FileLog log(files, logFolder(), bound, fixedTime);
    const std::string line(70, 'x'); // 92 bytes a line with its time and line end
    for (int i = 0; i < 100; ++i) {
        log.Write(line + std::to_string(i % 10));
    }
    const std::uint64_t size = files.size(log.Path()).value_or(0);
    const std::uint64_t older = files.size(log.OlderPath()).value_or(0);
    EXPECT_LE(size, bound);
    EXPECT_LE(older, bound);
    EXPECT_GT(older, bound - 100) << "the older file was a full one";
    EXPECT_EQ(lines(log.Path()).back(), "2024-05-01 10:04:05Z " + line + "9") << "the newest line is kept";
    EXPECT_FALSE(files.exists(logFolder() + "\\Tavrelmond.2.log"));

    // A log that finds a file from an earlier run counts it.
    FileLog again(files, logFolder(), bound, fixedTime);
    for (int i = 0; i < 20; ++i) {
        again.Write(line);
    }
    EXPECT_LE(files.size(again.Path()).value_or(0), bound);
}

TEST_F(FileLogTest, APasswordNeverReachesTheFile) {
    FileLog log(files, logFolder(), FileLog::Bound, fixedTime);
    log.Hide("s3cret");
    log.Hide("");
    log.Write("Kodi said no to s3cret, s3crets3cret and S3CRET");
    EXPECT_EQ(lines(log.Path()),
              (std::vector<std::string>{"2024-05-01 10:04:05Z Kodi said no to ***, ****** and S3CRET"}));
}

TEST_F(FileLogTest, LinesFromTwoThreadsStayWhole) {
    FileLog log(files, logFolder(), FileLog::Bound, fixedTime);
    auto writer = [&log](char c) {
        for (int i = 0; i < 200; ++i) {
            log.Write(std::string(50, c));
        }
    };
    std::thread a(writer, 'a');
    std::thread b(writer, 'b');
    a.join();
    b.join();
    const std::vector<std::string> all = lines(log.Path());
    ASSERT_EQ(all.size(), 400u);
    for (const std::string& line : all) {
        const std::string body = line.substr(21);
        EXPECT_TRUE(body == std::string(50, 'a') || body == std::string(50, 'b')) << line;
    }
}

TEST_F(FileLogTest, TheProgramLogsItsSettingsTheReceiverTheMediaCenterAndEachSystemActionButNoPassword) {
    writeConfig("APIControlXBMCOPENGL=jsonrpc\r\nVendorID=0x045E\r\nProductID=644\r\nuser=kodi\r\n"
                "password=hunter2\r\n");
    hid.devices[3] = {1118, 644, {}, false};
    MainForm& f = startLogged();
    f.Diagnostics().Write("the channel could not log in with hunter2");
    notify(platform::HidNotifyAttach, 3);
    const platform::Hwnd kodi = desk.addWindow("Kodi", "Kodi");
    CheckMediaCenter(f);
    desk.removeWindow(kodi);
    CheckMediaCenter(f);
    notify(platform::HidNotifyRemove, 3);
    for (const char* code : {"111", "333", "444", "555"}) {
        f.C.Value = 1;
        f.Rcv1.SetCaption(code);
    }
    const std::string text = logText();
    for (const char* expected :
         {"Settings read from ", "mode jsonrpc (this PC's)", "VendorID 0x045E", "password set (this PC's)",
          "Receiver plugged in", "Media center window found", "Media center window gone", "Receiver removed",
          "Option code 333: shutting the PC down", "Option code 444: hibernating the PC",
          "Option code 555: opening and closing the CD tray", "the channel could not log in with ***"}) {
        EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;
    }
    EXPECT_EQ(text.find("hunter2"), std::string::npos) << text;
}
