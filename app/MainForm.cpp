#include "MainForm.h"

#include "Module1.h"
#include "kodi/ConnectionTest.h"

using namespace platform;

MainForm::MainForm(platform::Platform& platform)
    : platform_(platform), mediaCenter_(platform.user32, platform.kernel32),
      inet_(platform.wininet, ip, port), hid_(platform.hid, platform.user32, *this),
      kodi_(platform.sockets, platform.http,
            [this] { platform_.user32.postMessage(window_, KodiResultMessage, 0, 0); }),
      config_(platform.kernel32, platform.files, platform.security) {
    window_ = platform_.user32.createHiddenWindow(
        Title, [this](Hwnd window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
            return WindowProc(window, message, wParam, lParam);
        });
    Icon = platform_.user32.loadIcon(NormalIconResource);
    Picture1.Picture = platform_.user32.loadIcon(AlternateIconResource);

    // The tray control as saved with the form: its tip is empty, everything else at the defaults.
    SysTray1 = std::make_unique<SysTray>(platform_.user32, platform_.shell32);
    PropertyBag saved;
    saved.WriteProperty("Tip", std::string(), std::string("0"));
    SysTray1->ReadProperties(saved);
    SysTray1->SetEvents(this);
    SysTray1->CloseRequested = [this] { RequestUnload(); };

    Rcv1.Change = [this] { Rcv1_Change(); };
    Rcv3.Change = [this] { Rcv3_Change(); };

    if (platform_.settingsWindow != nullptr) {
        settingsDialog_ = std::make_unique<settings::SettingsDialog>(*this, *platform_.settingsWindow);
    }
    if (settingsDialog_ && (platform_.sockets != nullptr || platform_.http != nullptr)) {
        // The Kodi modes' Test button: a socket and an HTTP session of its own, on the dialog's thread.
        settingsDialog_->SetTester(
            [sockets = platform_.sockets, http = platform_.http](const settings::TestTarget& target) {
                const kodi::TestReport report = kodi::TestConnection(
                    {target.mode, target.address, target.port, target.user, target.password}, sockets, http);
                return settings::TestOutcome{report.ok, report.text};
            });
    }
    openSettingsMessage_ = platform_.user32.registerWindowMessage(OpenSettingsName);
}

MainForm::~MainForm() {
    if (loaded_ && !unloaded_) {
        Form_Unload();
    }
    Rcv1.Change = nullptr;
    Rcv3.Change = nullptr;
    SysTray1.reset();
    if (window_ != 0) {
        platform_.user32.destroyWindow(window_);
    }
}

std::string MainForm::ConfigPath() const {
    return platform_.kernel32.executableFolder() + "\\Config.ini";
}

void MainForm::Load() {
    if (loaded_) {
        return;
    }
    loaded_ = true;
    Form_Load();
}

void MainForm::Unload() {
    if (!loaded_ || window_ == 0) {
        return;
    }
    if (!unloaded_) {
        unloaded_ = true;
        Form_Unload();
        if (trayHandlers_ > 0) {
            // The control is in use below us: only its icon goes now, and an open settings window closes.
            if (settingsDialog_) {
                settingsDialog_->Close();
            }
            SysTray1->Hide();
            destroyAfterTray_ = true;
            return;
        }
    }
    if (trayHandlers_ == 0) {
        Destroy();
    }
}

void MainForm::Destroy() {
    // The tray control goes with the form and takes its icon with it.
    SysTray1.reset();
    platform_.user32.destroyWindow(window_);
    window_ = 0;
    // With the form gone the program has no window left.
    platform_.user32.quit();
}

void MainForm::RequestUnload() {
    if (window_ != 0) {
        platform_.user32.postMessage(window_, UnloadMessage, 0, 0);
    }
}

MessageResult MainForm::WindowProc(Hwnd window, std::uint32_t message, std::uintptr_t wParam,
                                   std::intptr_t lParam) {
    switch (message) {
    case UnloadMessage:
        Unload();
        return 0;
    case KodiResultMessage:
        ShowKodiResults();
        return 0;
    case WM_CLOSE:
        RequestUnload();
        return 0;
    case WM_QUERYENDSESSION:
        return 1; // the session may end: nothing here needs saving
    case WM_ENDSESSION:
        if (wParam != 0) {
            Unload();
        }
        return 0;
    case OpenSettingsMessage:
        OpenSettings();
        return 0;
    case settings::SettingsDialog::TestDoneMessage:
        if (settingsDialog_) {
            settingsDialog_->TestDone();
        }
        return 0;
    default:
        if (message != 0 && message == openSettingsMessage_) {
            // A second copy started with /settings asks this one (posted: this runs from the message loop).
            OpenSettings();
            return 0;
        }
        return platform_.user32.defWindowProc(window, message, wParam, lParam);
    }
}

void MainForm::Form_Load() {
    // 1. The media center's windows, as signed 32-bit handles.
    const auto mainWindow = static_cast<std::int32_t>(mediaCenter_.FindMainWindow());
    const auto directXWindow = static_cast<std::int32_t>(mediaCenter_.FindDirectXWindow());
    const bool kodiWindow = mediaCenter_.FindKodiWindow() != 0;

    // 2. The configuration: each key from the user's own Config.ini where it has the key, else from the one
    //    beside the program. Read here and again when the settings window applies new settings.
    const config::Setting autorun = ReadSettings();
    // The keyboard mode's key maps (read in every mode, so that they can be shown): the user's own file
    // first, line by line over the machine's.
    ReadKeyMaps(config_.Paths());

    // 3. Start the media center unless it runs. The whole value is the command line; ".exe" must be written
    //    in lower case. A command line from a file that others may change is not run.
    const bool running = mainWindow != 0 || directXWindow > 0 || kodiWindow;
    if (!running && autorun.text.find(".exe") != std::string::npos) {
        RunCommand(config::KeyAutorun, autorun);
    }

    // 4. Notifications from the HID library; a missing library is skipped.
    hid_.HidConnect(window_);

    // 5. Forwarding mode and the status caption; the tip says the mode and what is wrong.
    if (APIcontrol == "true") {
        API.Value = 1;
        f.Caption = CaptionApiControl;
    } else {
        API.Value = 0;
        f.Caption = CaptionEventClient;
    }
    ShowStatus();
}

void MainForm::Form_Unload() {
    hid_.HidDisconnect();
    // The Kodi worker sends what notification waits, then Kodi's EventServer hears that this client is gone
    // (nothing is sent when it was never greeted); within a bound, whatever the network does.
    kodi_.Stop();
}

// The status line opens the settings window, whatever it shows: most of what it can say is mended there.
void MainForm::f_Click() {
    RequestOpenSettings();
}

// Runs inside the tray control's callback: the unload is posted and runs once the callback has returned.
void MainForm::mnuItemExit_Click() {
    RequestUnload();
}

void MainForm::ClickDroit() {
    if (unloaded_) {
        return;
    }
    ++trayHandlers_;
    platform_.user32.setForegroundWindow(window_);
    const std::vector<PopupItem> items{{f.Caption, f.Checked},
                                       {mnuSettings.Caption, mnuSettings.Checked},
                                       {mnuEditConfig.Caption, mnuEditConfig.Checked},
                                       {mnuOpenLog.Caption, mnuOpenLog.Checked},
                                       {mnuItemExit.Caption, mnuItemExit.Checked}};
    const int picked = platform_.user32.popupMenu(window_, items, MenuExitItem);
    --trayHandlers_;
    if (destroyAfterTray_) {
        // The program was ended while the menu was open; the pick no longer counts.
        RequestUnload();
        return;
    }
    switch (picked) {
    case MenuStatusItem:
        f_Click();
        break;
    case MenuSettingsItem:
        mnuSettings_Click();
        break;
    case MenuEditConfigItem:
        mnuEditConfig_Click();
        break;
    case MenuOpenLogItem:
        mnuOpenLog_Click();
        break;
    case MenuExitItem:
        mnuItemExit_Click();
        break;
    default:
        break;
    }
}
