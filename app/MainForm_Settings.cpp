// The main form's settings: reading the two Config.ini files (the user's wins key by key), applying new
// settings without a restart, the settings window and the menu's settings items, the status line and tip,
// and the lines these leave in the log.
#include "FileLog.h"
#include "KeyboardButtonMap.h"
#include "MainForm.h"
#include "Module1.h"
#include "StatusText.h"

using namespace platform;

namespace {

const char* SourceName(config::Source source) {
    switch (source) {
    case config::Source::User:
        return "yours";
    case config::Source::Machine:
        return "this PC's";
    case config::Source::None:
        break;
    }
    return "none";
}

std::string Shown(const std::string& text) {
    return text.empty() ? "(empty)" : text;
}

} // namespace

config::Setting MainForm::ReadSettings() {
    // The six keys of old, in their order, then the Kodi web server's user name and password (as Unicode,
    // handed to Kodi as UTF-8).
    const config::Setting mode = config_.Read(config::KeyMode);
    const config::Setting vendor = config_.Read(config::KeyVendorId);
    const config::Setting product = config_.Read(config::KeyProductId);
    config::Setting autorun = config_.Read(config::KeyAutorun);
    const config::Setting address = config_.Read(config::KeyAddress);
    const config::Setting portSetting = config_.Read(config::KeyPort);
    // Kodi's web server credentials, only where they are used (the settings window reads its own).
    config::Setting userSetting;
    config::Setting passwordSetting;
    passwordProblem_.clear();
    if (mode.text == kodi::ModeJsonRpc) {
        userSetting = config_.ReadUnicode(config::KeyUser);
        passwordSetting = config_.ReadPassword(passwordProblem_);
    }
    // Notifications on Kodi's screen, in the Kodi modes (on unless the key says "off").
    config::Setting notificationsSetting;
    if (kodi::IsKodiMode(mode.text)) {
        notificationsSetting = config_.Read(config::KeyNotifications);
    }
    APIcontrol = mode.text;
    vendorIdText = vendor.text;
    productIdText = product.text;
    ip = address.text;
    port = portSetting.text;
    user = userSetting.text;
    password = passwordSetting.text;
    notifications = notificationsSetting.text;
    Diagnostics().Hide(password);
    settingsProblems_ = CheckSettings(APIcontrol, vendorIdText, productIdText, port);

    Log& log = Diagnostics();
    log.Write("Settings read from " + config_.UserPath() + " and " + config_.MachinePath() + ": mode " +
              Shown(APIcontrol) + " (" + SourceName(mode.source) + "), IP Address " + Shown(ip) + " (" +
              SourceName(address.source) + "), port " + Shown(port) + " (" + SourceName(portSetting.source) +
              "), VendorID " + Shown(vendorIdText) + ", ProductID " + Shown(productIdText) + ", user " +
              Shown(user) + ", password " + (password.empty() ? "empty" : "set") + " (" +
              SourceName(passwordSetting.source) + ")");
    for (const SettingsProblem& problem : settingsProblems_) {
        log.Write("Config.ini: " + problem.text + (problem.hint.empty() ? "" : " (" + problem.hint + ")"));
    }
    if (!passwordProblem_.empty()) {
        log.Write("Config.ini: " + passwordProblem_);
    }
    // The Kodi channel takes the new settings; one left or pointed elsewhere says goodbye, and opens anew
    // at the next press.
    ConfigureKodi();
    return autorun;
}

bool MainForm::RunCommand(const char* key, const config::Setting& command) {
    const std::string refusal = config_.CommandRefusal(key, command);
    if (!refusal.empty()) {
        notice_ = refusal;
        Diagnostics().Write(refusal);
        return false;
    }
    if (command.text.empty()) {
        Diagnostics().Write(std::string(key) + " is empty: nothing to start");
        return false;
    }
    const bool started = mediaCenter_.Start(command.text);
    Diagnostics().Write(std::string(key) + ": " + (started ? "started " : "could not start ") + command.text);
    return started;
}

void MainForm::ApplySettings(const std::string& by) {
    const std::string oldMode = APIcontrol, oldIp = ip, oldPort = port, oldUser = user,
                      oldPassword = password;
    const std::optional<std::uint16_t> oldVendor = ParseUsbId(vendorIdText);
    const std::optional<std::uint16_t> oldProduct = ParseUsbId(productIdText);
    Diagnostics().Write("Settings changed by " + by);
    ReadSettings(); // the command lines are read where they are used, so nothing is started here
    notice_.clear();
    ReadKeyMaps(config_.Paths());

    // The last press's outcome said nothing about a Kodi that is now elsewhere.
    if (APIcontrol != oldMode || ip != oldIp || port != oldPort || user != oldUser ||
        password != oldPassword) {
        lastKodiOutcome_.reset();
    }

    // The receiver, by the IDs now in force: reports of a device that is no longer the receiver stop.
    const std::optional<std::uint16_t> vendor = ParseUsbId(vendorIdText);
    const std::optional<std::uint16_t> product = ParseUsbId(productIdText);
    if (vendor != oldVendor || product != oldProduct) {
        auto& hid = platform_.hid;
        if (oldVendor && oldProduct) {
            if (const std::int32_t old = hid.GetHandle(*oldVendor, *oldProduct).value_or(0); old != 0) {
                hid.SetReadNotify(old, 0);
            }
        }
        std::int32_t handle = 0;
        if (vendor && product) {
            handle = hid.GetHandle(*vendor, *product).value_or(0);
        }
        detect.Value = handle != 0 ? 1 : 0;
        SysTray1->SetIcon(handle != 0 ? Icon : Picture1.Picture);
        if (handle != 0) {
            hid.SetReadNotify(handle, HidTrue);
        }
        Diagnostics().Write(handle != 0 ? "The receiver is read with the new IDs"
                                        : "No receiver with the new IDs");
    }

    API.Value = APIcontrol == "true" ? 1 : 0;
    f.Caption = API.Value == 1 ? CaptionApiControl : CaptionEventClient;
    ShowStatus();
}

void MainForm::RequestOpenSettings() {
    if (window_ != 0) {
        platform_.user32.postMessage(window_, OpenSettingsMessage, 0, 0);
    }
}

void MainForm::OpenSettings() {
    if (unloaded_) {
        return;
    }
    if (!settingsDialog_) {
        EditConfig();
        return;
    }
    // The window's own loop runs while it is open: an end of the program meanwhile waits for it to return.
    ++trayHandlers_;
    settingsDialog_->Open();
    --trayHandlers_;
    if (destroyAfterTray_ && trayHandlers_ == 0) {
        RequestUnload();
    }
}

void MainForm::EditConfig() {
    std::string path = config_.UserPath();
    std::string error;
    if (path.empty()) {
        path = config_.MachinePath(); // no folder of the user's: the defaults, as before
    } else if (!config_.EnsureUserFile(error)) {
        notice_ = "Cannot make your Config.ini: " + error;
        Diagnostics().Write(notice_);
        ShowStatus();
        return;
    }
    const std::string folder = path.substr(0, path.find_last_of('\\'));
    platform_.shell32.shellExecute(0, "Open", path, "", folder, SW_SHOWNORMAL);
    Diagnostics().Write("Opened " + path + " for editing (read at the next start, or by OK in Settings)");
}

void MainForm::OpenLog() {
    if (platform_.files == nullptr) {
        return;
    }
    const std::string folder = LogFolder(*platform_.files);
    if (folder.empty()) {
        return;
    }
    platform_.shell32.shellExecute(0, "Open", folder + "\\Tavrelmond.log", "", folder, SW_SHOWNORMAL);
}

void MainForm::mnuSettings_Click() {
    RequestOpenSettings();
}

void MainForm::mnuEditConfig_Click() {
    EditConfig();
}

void MainForm::mnuOpenLog_Click() {
    OpenLog();
}

void MainForm::ShowStatus() {
    if (!SysTray1) {
        return;
    }
    StatusInput input;
    input.mode = APIcontrol;
    input.address = ip;
    input.port = port;
    input.problems = settingsProblems_;
    input.receiver = detect.Value == 1;
    input.xbmcCaption = f.Caption;
    if (lastKodiOutcome_) {
        input.press = lastKodiOutcome_->ok() ? StatusInput::Press::Reached : StatusInput::Press::Failed;
        input.pressError = kodi::StatusText(*lastKodiOutcome_);
    }
    input.notice = !notice_.empty() ? notice_ : passwordProblem_;
    input.modeLine = APIcontrol == ModeKeyboard ? keyboardTip_ : std::string();
    const StatusLines lines = ComposeStatus(input);
    f.Caption = lines.caption;
    if (SysTray1->Tip() != lines.tip) {
        SysTray1->SetTip(lines.tip);
    }
}

void MainForm::KodiOutcome(const kodi::Outcome& outcome) {
    const bool wasReached = lastKodiOutcome_ && lastKodiOutcome_->ok();
    if (outcome.ok() && !wasReached) {
        Diagnostics().Write(KodiTarget(APIcontrol, ip, port) + " reached");
    } else if (!outcome.ok() && wasReached) {
        Diagnostics().Write(KodiTarget(APIcontrol, ip, port) + " lost: " + kodi::StatusText(outcome));
    }
    lastKodiOutcome_ = outcome;
    ShowStatus();
}

void MainForm::NoteMediaCenter(bool exists) {
    const int seen = exists ? 1 : 0;
    if (seen != mediaCenterSeen_ && (mediaCenterSeen_ != -1 || exists)) {
        Diagnostics().Write(exists ? "Media center window found" : "Media center window gone");
    }
    mediaCenterSeen_ = seen;
}
