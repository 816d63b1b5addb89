// The button dispatch: every button value that reaches the form blinks the tray icon, feeds the option-code
// step on every other run, and forwards at most one key to the media center, as window keys or over HTTP.
#include "ButtonMap.h"
#include "MainForm.h"
#include "Module1.h"

void MainForm::Rcv3_Change() {
    // Blink step. blinkCount runs 0, 1, 2, 1, 2, ...: the 3rd, 5th, 7th... runs show the normal icon and
    // collect option-code digits.
    if (blinkCount >= 2) {
        blinkCount = 1;
        SysTray1->SetIcon(Icon);
        CollectOptionCode(*this);
    } else {
        ++blinkCount;
        SysTray1->SetIcon(Picture1.Picture);
    }

    const bool forward = Rcv3.Caption() == ForwardButtonValue;

    // Window-key forwarding. The media center is checked (and raised) whatever the mode says.
    const bool runningForKeys = CheckMediaCenter(*this) == "1";
    if (runningForKeys && APIcontrol == "true") {
        const auto window = static_cast<std::int32_t>(mediaCenter_.FindMainWindow());
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
}
