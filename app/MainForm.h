// MainForm: the program's one hidden form. It holds all of the program's state (its variables and its
// controls, used as state cells), owns the tray icon control and the tray menu, and runs every handler.
// The handlers are spread over files by concern:
//   MainForm.cpp          load, unload, the tray menu and its items
//   MainForm_Hid.cpp      the HID library's notifications and report decoding
//   MainForm_Dispatch.cpp the button dispatch (Rcv3_Change)
//   MainForm_Actions.cpp  the system actions (Rcv1_Change)
//   MainForm_Settings.cpp the settings: reading both Config.ini files, applying them, the settings window,
//                         the status line and tip, the menu's settings items
#pragma once

#include "Configuration.h"
#include "Controls.h"
#include "HIDDLLInterface.h"
#include "KeyMap.h"
#include "Log.h"
#include "MediaCenter.h"
#include "SettingsCheck.h"
#include "SettingsDialog.h"
#include "kodi/Worker.h"
#include "modInet.h"
#include "platform/Platform.h"
#include "traycontrol/SysTray.h"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class MainForm : public SysTrayEvents {
  public:
    static constexpr const char* Title = "Tavrelmond 1.6";
    static constexpr const char* CaptionApiControl = "XBMC:APICONTROL";
    static constexpr const char* CaptionEventClient = "XBMC:EVENTCLIENT";
    static constexpr int NormalIconResource = 101;
    static constexpr int AlternateIconResource = 102;

    // Creates the form's window and controls in their initial state. Loading is a separate step (Load).
    explicit MainForm(platform::Platform& platform);
    ~MainForm() override;
    MainForm(const MainForm&) = delete;
    MainForm& operator=(const MainForm&) = delete;

    // Load runs Form_Load once. Unload runs Form_Unload, destroys the tray control (which removes its icon)
    // and the window, and ends the message loop.
    //
    // Every way of ending comes here: the exit item, WM_CLOSE to the form or to the tray control's window
    // (taskkill without /f, an installer's Restart Manager) and the end of the Windows session. All but the
    // last post UnloadMessage to the form (RequestUnload), so the unload never runs inside the handler that
    // asked for it. WM_ENDSESSION unloads at once: the process may be ended as soon as it returns. While a
    // tray handler is on the stack (the menu is open), Unload disconnects and removes the icon, and the
    // destruction waits for the handler to return.
    void Load();
    void Unload();
    void RequestUnload();
    bool Loaded() const { return loaded_; }
    static constexpr std::uint32_t UnloadMessage = platform::WM_APP + 0xE0;
    // The Kodi worker has results for the tip and the status line (posted by the worker's thread).
    static constexpr std::uint32_t KodiResultMessage = platform::WM_APP + 0xE1;

    // --- public variables ---
    std::string ip;         // host of the media center's web server
    std::string port;       // its port, as text
    std::string APIcontrol; // forwarding mode: "true", "false", "eventserver", "jsonrpc" or "keyboard"
    std::string user;       // Kodi's web server: user name and password (JSON-RPC mode), UTF-8
    std::string password;
    std::string notifications; // "off": no notifications on Kodi's screen (Kodi modes)

    // --- controls ---
    Label Rcv1; // option-code buffer; setting it runs Rcv1_Change
    Label Rcv2; // button code
    Label Rcv3; // button value; setting it runs Rcv3_Change
    CheckBox detect{"DETECTION", 0};
    CheckBox API{"API CONTROL", 0};
    CheckBox C{"OPTIONS", 0};
    CommandButton Command1{"start"};
    PictureBox Picture1;               // holds the alternate icon
    std::unique_ptr<SysTray> SysTray1; // the notification-area icon
    MenuItem mnuExit{"Exit", false};
    MenuItem f{"&CONFIGURATION", false};
    MenuItem mnuItemExit{"Tavrelmond 1.6 -EXIT", false};
    std::int32_t Icon = 0; // the form's own icon: the normal icon

    platform::Hwnd hWnd() const { return window_; }

    // --- handlers ---
    void Form_Load();
    void Form_Unload();
    void f_Click();
    void mnuItemExit_Click();
    void ClickDroit() override; // SysTray1_ClickDroit

    void OnPlugged(std::int32_t pHandle);
    void OnUnplugged(std::int32_t pHandle);
    void OnChanged();
    void OnRead(std::int32_t pHandle);

    void Rcv3_Change();
    void Rcv1_Change();
    void EnableShutdownPrivilege();

    // --- what the modules reach through the form ---
    platform::Platform& Platform() { return platform_; }
    MediaCenter& Media() { return mediaCenter_; }
    modInet& Inet() { return inet_; }
    HIDDLLInterface& Hid() { return hid_; }
    kodi::Worker& Kodi() { return kodi_; }
    // (Re)configures the Kodi channel from the variables APIcontrol, ip, port, user, password and
    // notifications: at load, and whenever the settings change.
    void ConfigureKodi();
    // A notification on Kodi's screen, in the Kodi modes (rate-limited; off when Config.ini says so).
    void NotifyKodi(const kodi::Notification& notification);
    // The diagnostic log (keeps nothing until SetLog gives the form one; the log must outlive the form).
    Log& Diagnostics() { return *log_; }
    void SetLog(Log& log) { log_ = &log; }
    // The Config.ini that the program reads: the executable's folder with "\Config.ini" appended.
    std::string ConfigPath() const;

    // The keyboard mode's key maps ([Buttons], [Buttons:<program>]), read at start-up from the user's
    // Config.ini and the one beside the program.
    // ReadKeyMaps reads them again from the files given, earlier files winning line by line; each line it
    // did not understand goes to the log and, in the keyboard mode, the first of them to the tray tip.
    void ReadKeyMaps(const std::vector<std::string>& paths);
    const KeyMaps& KeyMapsRead() const { return keyMaps_; }
    // The maps read, as lines of text to show.
    std::vector<std::string> KeyMapDescription() const { return keyMaps_.Describe(); }

    // Private variables, readable for inspection.
    const std::string& VendorIdText() const { return vendorIdText; }
    const std::string& ProductIdText() const { return productIdText; }
    std::int16_t BlinkCount() const { return blinkCount; }
    const std::array<std::uint8_t, 17>& ReadBuffer() const { return readBuffer; }

    // --- settings, status and the log ---
    // The tray menu's items besides the status line f and the exit item.
    MenuItem mnuSettings{"&Settings...", false};
    MenuItem mnuEditConfig{"&Edit Config.ini", false};
    MenuItem mnuOpenLog{"Open &log", false};
    // The menu's items by position; the exit item is the default.
    static constexpr int MenuStatusItem = 0;
    static constexpr int MenuSettingsItem = 1;
    static constexpr int MenuEditConfigItem = 2;
    static constexpr int MenuOpenLogItem = 3;
    static constexpr int MenuExitItem = 4;
    void mnuSettings_Click();
    void mnuEditConfig_Click();
    void mnuOpenLog_Click();
    // The message that asks the form to open its settings window (posted by the menu; registered under
    // OpenSettingsName for a second copy started with /settings).
    static constexpr std::uint32_t OpenSettingsMessage = platform::WM_APP + 0xE2;
    static constexpr const char* OpenSettingsName = "Tavrelmond.OpenSettings";
    // Opens the settings window (the Config.ini of the user when there is no window); RequestOpenSettings
    // posts that, for a handler that must return first (the tray's).
    void OpenSettings();
    void RequestOpenSettings();
    // Opens the user's Config.ini in its editor, made first as a copy of the defaults where there is none.
    void EditConfig();
    void OpenLog();
    // Reads both files again and applies what changed at once: mode, address, port, credentials, the
    // receiver's IDs, the status line and tip. `by` says who changed them, for the log.
    void ApplySettings(const std::string& by);
    // Rewrites the status line (in the Kodi modes, and while the settings are wrong) and the tray tip.
    void ShowStatus();
    // What a press to Kodi came to (from the Kodi channels).
    void KodiOutcome(const kodi::Outcome& outcome);
    // The media-center check found a media-center window or none (logged when that changes).
    void NoteMediaCenter(bool exists);
    config::Configuration& Config() { return config_; }
    settings::SettingsDialog* Settings() { return settingsDialog_.get(); }
    const std::vector<SettingsProblem>& SettingsProblems() const { return settingsProblems_; }
    // The last refusal or failure said in the tip besides the status (a command line not run, say).
    const std::string& Notice() const { return notice_; }

  private:
    bool IsReceiver(std::int32_t pHandle);
    void SendButtonKeys(std::size_t button);
    void ShowKeyboardTip(const std::string& text, bool problem);
    platform::MessageResult WindowProc(platform::Hwnd window, std::uint32_t message, std::uintptr_t wParam,
                                       std::intptr_t lParam);
    void Destroy();
    void ShowKodiResults();

    platform::Platform& platform_;
    MediaCenter mediaCenter_;
    modInet inet_;
    HIDDLLInterface hid_;
    kodi::Worker kodi_;
    std::uint64_t kodiDropped_ = 0; // presses dropped by the worker's full queue, as last logged
    bool receiverLost_ = false;     // the receiver was removed since the start: its return is news
    KeyMaps keyMaps_;
    std::string keyboardTip_;  // what the keyboard mode last put in the tray tip
    bool keysRefused_ = false; // the last keys sent were not all taken
    NullLog nullLog_;
    Log* log_ = &nullLog_;
    config::Configuration config_;
    std::unique_ptr<settings::SettingsDialog> settingsDialog_;
    std::vector<SettingsProblem> settingsProblems_;
    std::string notice_;
    std::string passwordProblem_;
    std::optional<kodi::Outcome> lastKodiOutcome_;
    int mediaCenterSeen_ = -1; // whether the last check found a media-center window (-1: not checked yet)
    std::uint32_t openSettingsMessage_ = 0;
    config::Setting ReadSettings();
    bool RunCommand(const char* key, const config::Setting& command);
    platform::Hwnd window_ = 0;
    bool loaded_ = false;
    bool unloaded_ = false;         // Form_Unload has run and the icon is gone
    int trayHandlers_ = 0;          // tray handlers on the stack (the menu may pump messages)
    bool destroyAfterTray_ = false; // Unload ran inside one: destroy once it has returned

    std::string vendorIdText;
    std::string productIdText;
    std::int16_t blinkCount = 0;
    std::array<std::uint8_t, 17> readBuffer{};
};
