#include "modMain.h"

#include "Configuration.h"
#include "FileLog.h"
#include "MainForm.h"

#include <memory>

namespace modMain {

namespace {

std::string Lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

// The Start menu's "Edit Config.ini": the user's file, made where there is none, opened in its editor.
void EditUserConfig(platform::Platform& platform) {
    config::Configuration config(platform.kernel32, platform.files, platform.security);
    std::string path = config.UserPath();
    std::string error;
    if (path.empty() || !config.EnsureUserFile(error)) {
        path = config.MachinePath();
    }
    const std::string folder = path.substr(0, path.find_last_of('\\'));
    platform.shell32.shellExecute(0, "Open", path, "", folder, platform::SW_SHOWNORMAL);
}

} // namespace

Switch ParseSwitch(const std::string& commandLine) {
    std::string word;
    for (std::size_t i = 0; i <= commandLine.size(); ++i) {
        const char c = i < commandLine.size() ? commandLine[i] : ' ';
        if (c != ' ' && c != '\t' && c != '"') {
            word += c;
            continue;
        }
        const std::string lower = Lower(word);
        if (lower == "/settings" || lower == "-settings") {
            return Switch::Settings;
        }
        if (lower == "/editconfig" || lower == "-editconfig") {
            return Switch::EditConfig;
        }
        word.clear();
    }
    return Switch::None;
}

void Main(platform::Platform& platform, const std::string& commandLine) {
    const Switch requested = ParseSwitch(commandLine);
    if (requested == Switch::EditConfig) {
        EditUserConfig(platform);
        return;
    }
    // One copy per session: two would both read the receiver and forward every key twice. A mutex that
    // cannot be made at all (no such object in the session, say) does not keep the program from running.
    bool anotherCopy = false;
    const std::intptr_t oneCopy = platform.kernel32.createMutex(OneCopyMutex, anotherCopy);
    if (anotherCopy) {
        if (requested == Switch::Settings) {
            // Only the running copy's windows answer this message.
            const std::uint32_t message = platform.user32.registerWindowMessage(MainForm::OpenSettingsName);
            if (message != 0) {
                platform.user32.postMessage(platform::HWND_BROADCAST, message, 0, 0);
            }
        }
        if (oneCopy != 0) {
            platform.kernel32.closeHandle(oneCopy);
        }
        return;
    }
    std::unique_ptr<FileLog> log;
    if (platform.files != nullptr) {
        if (const std::string folder = LogFolder(*platform.files); !folder.empty()) {
            log = std::make_unique<FileLog>(*platform.files, folder);
            log->Write(std::string(MainForm::Title) + " started from " +
                       platform.kernel32.executableFolder());
        }
    }
    {
        MainForm form(platform);
        if (log) {
            form.SetLog(*log);
        }
        // The first reference to the form loads it.
        form.Load();
        SysTray& tray = *form.SysTray1;
        tray.SetIcon(form.Icon);
        tray.Show();
        if (requested == Switch::Settings) {
            form.RequestOpenSettings();
        }
        // Everything else happens in handlers, until the form is unloaded.
        platform.user32.runMessageLoop();
    }
    if (log) {
        log->Write(std::string(MainForm::Title) + " ended");
    }
    if (oneCopy != 0) {
        platform.kernel32.closeHandle(oneCopy);
    }
}

} // namespace modMain
