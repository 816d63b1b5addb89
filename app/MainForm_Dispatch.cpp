// The button dispatch: every button value that reaches the form blinks the tray icon, feeds the option-code
// step on every other run, and forwards at most one key to the media center: as window keys, over XBMC's HTTP
// API, or to Kodi over its EventServer or its JSON-RPC; or, in the keyboard mode, as key presses to whatever
// window has the focus.
#include "ButtonMap.h"
#include "KeyboardButtonMap.h"
#include "KodiButtonMap.h"
#include "MainForm.h"
#include "Module1.h"

namespace {

// What a press to Kodi came to, where the user can see it: the form composes the tray tip and the status line
// from it (why presses go nowhere, or that the last one got through).
void ShowKodiOutcome(MainForm& form, const kodi::Outcome& outcome) {
    form.KodiOutcome(outcome);
}

} // namespace

void MainForm::ConfigureKodi() {
    kodi_.Configure({APIcontrol, ip, port, user, password, kodi::NotificationsOn(notifications)});
}

void MainForm::NotifyKodi(const kodi::Notification& notification) {
    kodi_.Notify(notification);
}

// The Kodi worker's results, on the program's thread: each failure goes to the log (with how it failed;
// never the credentials), and the last press's outcome to the tip and the status line.
void MainForm::ShowKodiResults() {
    const std::vector<kodi::Result> results = kodi_.TakeResults();
    const kodi::Result* lastPress = nullptr;
    for (const kodi::Result& result : results) {
        if (result.press) {
            lastPress = &result;
        }
        if (!result.outcome.ok()) {
            std::string line = "Kodi: " + std::string(result.press ? "press of " : "notification ") + "\"" +
                               result.what + "\" not sent: " + kodi::StatusText(result.outcome);
            if (!result.outcome.reason.empty()) {
                line += " (" + result.outcome.reason + ")";
            }
            Diagnostics().Write(line);
        }
    }
    if (const std::uint64_t dropped = kodi_.Dropped(); dropped != kodiDropped_) {
        Diagnostics().Write("Kodi: " + std::to_string(dropped - kodiDropped_) +
                            " presses dropped unsent: more were waiting than the queue holds");
        kodiDropped_ = dropped;
    }
    if (lastPress != nullptr) {
        ShowKodiOutcome(*this, lastPress->outcome);
    }
}

void MainForm::Rcv3_Change() {
    // Blink step. blinkCount runs 0, 1, 2, 1, 2, ...: the 3rd, 5th, 7th... runs show the normal icon and
    // collect option-code digits.
    if (blinkCount >= 2) {
        blinkCount = 1;
        SysTray1->SetIcon(Icon);
        CollectOptionCode(*this);
        if (Rcv2.Caption() == ArmOptionsCode && C.Value == 1) {
            NotifyKodi(kodi::OptionCodeNotice("")); // armed: the digits are awaited
        }
    } else {
        ++blinkCount;
        SysTray1->SetIcon(Picture1.Picture);
    }

    const bool forward = Rcv3.Caption() == ForwardButtonValue;

    // Window-key forwarding. The media center is checked (and raised) whatever the mode says.
    const bool runningForKeys = CheckMediaCenter(*this) == "1";
    if (runningForKeys && APIcontrol == "true") {
        // "SDL_app", else Kodi's window.
        const auto window = static_cast<std::int32_t>(mediaCenter_.FindKeyWindow());
        if (window > 0 && forward) {
            if (const ButtonMapRow* row = FindButton(Rcv2.Caption())) {
                mediaCenter_.PostKey(window, row->virtualKey);
            }
        }
    }

    // HTTP forwarding.
    const bool runningForHttp = CheckMediaCenter(*this) == "1";
    if (runningForHttp && APIcontrol == "false" && forward) {
        if (FindButton(Rcv2.Caption()) != nullptr) {
            inet_.CommandPath = MediaCenter::SendKeyPath(Rcv2.Caption());
            inet_.HttpSendCommand(MediaCenter::SendKeyBody);
        }
    }

    // Kodi's network channels. Kodi often runs on another machine, so no local window is needed; a local one
    // has been raised above all the same. The press goes to the Kodi worker; what it came to comes back as a
    // message (ShowKodiResults).
    if (forward && kodi::IsKodiMode(APIcontrol)) {
        if (const KodiButtonRow* row = FindKodiButton(Rcv2.Caption())) {
            kodi_.Press(*row);
        }
    }

    // The keyboard mode: the button's keys to the window in front (the checks above raised nothing).
    if (forward && APIcontrol == ModeKeyboard) {
        if (const auto button = FindKeyboardButton(Rcv2.Caption())) {
            SendButtonKeys(*button);
        }
    }
}
