// The settings window's logic: opened from the tray menu (and once by the setup), it shows the settings in
// effect, tests a connection on a thread of its own, and on OK saves the user's Config.ini and has the form
// apply the new settings at once. The window itself is behind platform::SettingsWindow.
#pragma once

#include "SettingsModel.h"
#include "platform/SettingsWindow.h"
#include "platform/Types.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

class MainForm;

namespace settings {

// What a connection test found: whether the media center answered as it should, and the words to show.
struct TestOutcome {
    bool ok = false;
    std::string text;
};
// A connection test: blocking, bounded in time, safe to run on any thread.
using ConnectionTester = std::function<TestOutcome(const TestTarget&)>;

class SettingsDialog : private platform::SettingsWindowEvents {
  public:
    // The message the test's thread posts to the form's window when it is done.
    static constexpr std::uint32_t TestDoneMessage = platform::WM_APP + 0xE3;

    SettingsDialog(MainForm& form, platform::SettingsWindow& window);
    ~SettingsDialog() override;
    SettingsDialog(const SettingsDialog&) = delete;
    SettingsDialog& operator=(const SettingsDialog&) = delete;

    // Shows the window and returns when it is closed; when it is open already, brings it to the front.
    void Open();
    bool IsOpen() const { return open_; }
    // Closes an open window (the program is ending).
    void Close();
    // The test's result has arrived (TestDoneMessage).
    void TestDone();
    // The connection test of the Kodi modes; without one, the Test button serves only XBMC's window.
    void SetTester(ConnectionTester tester) { tester_ = std::move(tester); }
    bool Testing() const { return testing_; }

  private:
    void mediaCenterChanged() override;
    void testClicked() override;
    void okClicked() override;
    void cancelClicked() override;
    void editFileClicked() override;

    platform::SettingsView View(const platform::SettingsEntries& entries, std::string result) const;
    bool CanTest(const platform::SettingsEntries& entries) const;
    void Complain(const EntryProblem& problem);

    MainForm& form_;
    platform::SettingsWindow& window_;
    ConnectionTester tester_;
    bool open_ = false;
    bool testing_ = false;
    std::thread testThread_;
    std::mutex resultMutex_;
    std::optional<TestOutcome> result_;
};

} // namespace settings
