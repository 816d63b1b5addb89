#include "SettingsDialog.h"

#include "Configuration.h"
#include "MainForm.h"

namespace settings {

using platform::SettingsControl;

SettingsDialog::SettingsDialog(MainForm& form, platform::SettingsWindow& window)
    : form_(form), window_(window) {}

SettingsDialog::~SettingsDialog() {
    // A test still running is bounded in time: wait for it rather than leave it to a form that is gone.
    if (testThread_.joinable()) {
        testThread_.join();
    }
}

bool SettingsDialog::CanTest(const platform::SettingsEntries& entries) const {
    if (entries.mediaCenter < 0 || entries.mediaCenter >= ChoiceCount) {
        return false;
    }
    switch (static_cast<MediaCenterChoice>(entries.mediaCenter)) {
    case MediaCenterChoice::XbmcWindow:
        return !testing_;
    case MediaCenterChoice::KodiHere:
    case MediaCenterChoice::KodiElsewhere:
    case MediaCenterChoice::KodiWebServer:
        return tester_ != nullptr && !testing_;
    case MediaCenterChoice::XbmcWebServer:
    case MediaCenterChoice::Keyboard:
        break;
    }
    return false;
}

platform::SettingsView SettingsDialog::View(const platform::SettingsEntries& entries,
                                            std::string result) const {
    platform::SettingsView view = ViewFor(entries);
    view.testEnabled = CanTest(entries);
    view.result = std::move(result);
    view.file = "Saved for you in " + form_.Config().UserPath();
    if (entries.mediaCenter == static_cast<int>(MediaCenterChoice::Keyboard)) {
        view.keyMaps = form_.KeyMapDescription();
    }
    return view;
}

void SettingsDialog::Open() {
    if (open_) {
        window_.bringToFront();
        return;
    }
    config::Configuration& config = form_.Config();
    Values values;
    values.mode = config.Read(config::KeyMode).text;
    values.address = config.Read(config::KeyAddress).text;
    values.port = config.Read(config::KeyPort).text;
    values.user = config.ReadUnicode(config::KeyUser).text;
    std::string passwordProblem;
    values.password = config.ReadPassword(passwordProblem).text;
    values.notifications = config.Read(config::KeyNotifications).text;
    std::string note;
    const platform::SettingsEntries entries = EntriesFor(values, note);
    if (!passwordProblem.empty()) {
        note = "The " + passwordProblem + ".";
    }
    open_ = true;
    window_.run(form_.hWnd(), View(entries, note), *this);
    open_ = false;
}

void SettingsDialog::Close() {
    if (open_) {
        window_.close();
    }
}

void SettingsDialog::mediaCenterChanged() {
    window_.show(View(window_.entries(), ""));
}

void SettingsDialog::Complain(const EntryProblem& problem) {
    window_.show(View(window_.entries(), problem.text));
    window_.focus(problem.control);
}

void SettingsDialog::testClicked() {
    const platform::SettingsEntries entries = window_.entries();
    if (!CanTest(entries)) {
        return;
    }
    if (const std::optional<EntryProblem> problem = Check(entries)) {
        Complain(*problem);
        return;
    }
    if (entries.mediaCenter == static_cast<int>(MediaCenterChoice::XbmcWindow)) {
        MediaCenter& media = form_.Media();
        std::string found;
        if (media.FindMainWindow() != 0 || media.FindDirectXWindow() != 0) {
            found = "XBMC's window is open: the keys go to it.";
        } else if (media.FindKodiWindow() != 0) {
            found = "Kodi's window is open: the keys go to it.";
        } else {
            found = "No XBMC or Kodi window is open on this PC now.";
        }
        window_.show(View(entries, found));
        return;
    }
    if (testThread_.joinable()) {
        testThread_.join(); // the one before has posted its result already
    }
    testing_ = true;
    window_.show(View(entries, "Testing..."));
    const TestTarget target = TargetFor(entries);
    platform::User32& user32 = form_.Platform().user32;
    const platform::Hwnd formWindow = form_.hWnd();
    testThread_ = std::thread([this, target, &user32, formWindow] {
        TestOutcome outcome = tester_(target);
        {
            const std::lock_guard<std::mutex> lock(resultMutex_);
            result_ = std::move(outcome);
        }
        user32.postMessage(formWindow, TestDoneMessage, 0, 0);
    });
}

void SettingsDialog::TestDone() {
    std::optional<TestOutcome> outcome;
    {
        const std::lock_guard<std::mutex> lock(resultMutex_);
        outcome.swap(result_);
    }
    if (!outcome) {
        return;
    }
    testing_ = false;
    form_.Diagnostics().Write(std::string("Settings window: connection test ") +
                              (outcome->ok ? "passed" : "failed") + ": " + outcome->text);
    if (open_) {
        window_.show(View(window_.entries(), outcome->text));
    }
}

void SettingsDialog::okClicked() {
    const platform::SettingsEntries entries = window_.entries();
    if (const std::optional<EntryProblem> problem = Check(entries)) {
        Complain(*problem);
        return;
    }
    std::vector<std::pair<std::string, std::string>> keys = KeysToSave(entries);
    for (auto& [key, value] : keys) {
        if (key != config::KeyPassword || value.empty()) {
            continue;
        }
        std::optional<std::string> stored = form_.Config().ProtectPassword(value);
        if (!stored) {
            Complain(
                {SettingsControl::Password, "Windows could not protect the password: nothing was saved."});
            return;
        }
        value = std::move(*stored);
    }
    std::string error;
    if (!form_.Config().Save(keys, error)) {
        window_.show(View(entries, "Not saved: " + error + "."));
        return;
    }
    window_.close();
    form_.ApplySettings("the settings window");
}

void SettingsDialog::cancelClicked() {
    window_.close();
}

void SettingsDialog::editFileClicked() {
    form_.EditConfig();
}

} // namespace settings
