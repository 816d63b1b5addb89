// The system actions, chosen by the option code typed on the remote while option entry is armed:
// "111" hide or show the media center, "222" close or start it, "333" shut down, "444" hibernate,
// "555" open and close the CD tray.
#include "MainForm.h"
#include "Module1.h"
#include "kodi/Notifications.h"

#include <string_view>

using namespace platform;

namespace {

constexpr std::uint32_t EWX_SHUTDOWN = 0x00000001;
// Programs are asked to end and may save their work first; only one that does not answer is ended. (EWX_FORCE
// would end them all unasked, and an unsaved document with them.)
constexpr std::uint32_t EWX_FORCEIFHUNG = 0x00000010;

bool BeginsWith(const std::string& text, std::string_view code) {
    return text.compare(0, code.size(), code) == 0;
}

} // namespace

void MainForm::Rcv1_Change() {
    const Hwnd mainWindow = mediaCenter_.FindMainWindow();
    const Hwnd directXWindow = mediaCenter_.FindDirectXWindow();
    const Hwnd kodiWindow = mediaCenter_.FindKodiWindow();
    if (C.Value != 1) {
        return;
    }
    // Kodi's screen shows the code as it is typed; a code that shuts down, hibernates or closes the media
    // center says so instead, before it acts.
    const std::string typed = Rcv1.Caption();
    const bool announced = BeginsWith(typed, "333") || BeginsWith(typed, "444") ||
                           (BeginsWith(typed, "222") && Command1.Caption == "start");
    if (!typed.empty() && !announced) {
        NotifyKodi(kodi::OptionCodeNotice(typed));
    }
    // Hide, show and close act on "SDL_app", else on Kodi's window.
    const Hwnd keyWindow = mainWindow != 0 ? mainWindow : kodiWindow;

    if (BeginsWith(Rcv1.Caption(), "111") && (mainWindow != 0 || directXWindow != 0 || kodiWindow != 0)) {
        if (Command1.Caption == "start") {
            Command1.Caption = "stop";
            Diagnostics().Write("Option code 111: hiding the media center's window");
            mediaCenter_.Hide(keyWindow);
        } else {
            Command1.Caption = "start";
            Diagnostics().Write("Option code 111: showing the media center's window");
            mediaCenter_.Show(keyWindow);
        }
        C.Value = 0;
        Rcv1.SetCaption("");
    }
    if (BeginsWith(Rcv1.Caption(), "222")) {
        if (Command1.Caption == "start") {
            Command1.Caption = "stop";
            Diagnostics().Write("Option code 222: closing the media center");
            NotifyKodi(kodi::CloseMediaCenterNotice());
            mediaCenter_.Close(keyWindow);
        } else {
            Command1.Caption = "start";
            // Read afresh each time; from a Config.ini that others may change it is not run.
            Diagnostics().Write("Option code 222: starting the media center");
            if (!RunCommand(config::KeyRemoteRun, config_.Read(config::KeyRemoteRun))) {
                ShowStatus();
            }
        }
        C.Value = 0;
        Rcv1.SetCaption("");
    }
    if (BeginsWith(Rcv1.Caption(), "333")) {
        Diagnostics().Write("Option code 333: shutting the PC down");
        NotifyKodi(kodi::ShutdownNotice());
        EnableShutdownPrivilege();
        platform_.user32.exitWindowsEx(EWX_SHUTDOWN | EWX_FORCEIFHUNG, 0);
        C.Value = 0;
    }
    if (BeginsWith(Rcv1.Caption(), "444")) {
        Diagnostics().Write("Option code 444: hibernating the PC");
        NotifyKodi(kodi::HibernateNotice());
        EnableShutdownPrivilege();
        platform_.kernel32.setSystemPowerState(false, false);
        C.Value = 0;
    }
    if (BeginsWith(Rcv1.Caption(), "555")) {
        Diagnostics().Write("Option code 555: opening and closing the CD tray");
        platform_.winmm.mciSendString("Set CDAudio Door Open Wait");
        platform_.winmm.mciSendString("Set CDAudio Door Closed Wait");
        C.Value = 0;
    }
}

void MainForm::EnableShutdownPrivilege() {
    auto& advapi32 = platform_.advapi32;
    const std::intptr_t token = advapi32.openProcessToken(TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY);
    if (token == 0) {
        return;
    }
    Luid luid;
    if (advapi32.lookupPrivilegeValue("", "SeShutdownPrivilege", luid)) {
        // Room for the previous state of one entry: 4 + 12 bytes.
        advapi32.adjustTokenPrivileges(token, false, luid, SE_PRIVILEGE_ENABLED, 16);
    }
    advapi32.closeHandle(token);
}
