// The keyboard mode: the key maps the form reads, and a button's keys sent to whatever window has the focus.
// Nothing is looked up or raised: the keys go where the user is.
#include "KeyboardButtonMap.h"
#include "MainForm.h"

void MainForm::ReadKeyMaps(const std::vector<std::string>& paths) {
    keyMaps_ = KeyMaps::Read(platform_.kernel32, paths);
    for (const KeyMapProblem& problem : keyMaps_.Problems()) {
        Diagnostics().Write("Key map line left out: " + problem.Text());
    }
    if (APIcontrol == ModeKeyboard) {
        ShowKeyboardTip(keyMaps_.TipText(), !keyMaps_.Problems().empty());
    }
}

// The tray tip says what keeps keys from going where they should: a line of the map not understood, or keys
// that Windows did not take. It is the tip's first line in this mode (ShowStatus composes the rest: a notice,
// the receiver); empty text gives the mode's own words back.
void MainForm::ShowKeyboardTip(const std::string& text, bool /*problem*/) {
    keyboardTip_ = text;
    ShowStatus();
}

void MainForm::SendButtonKeys(std::size_t button) {
    platform::Input* input = platform_.input;
    std::string program;
    if (input != nullptr && keyMaps_.HasProgramMaps()) {
        program = input->foregroundProgram();
    }
    const KeySequence& keys = keyMaps_.Keys(button, program);
    if (keys.empty()) {
        return; // the map says this button does nothing
    }
    const std::vector<platform::KeyEvent> events = KeyEventsFor(keys);
    const std::uint32_t taken = input != nullptr ? input->sendKeys(events) : 0;
    const bool refused = taken != events.size();
    if (refused != keysRefused_) {
        keysRefused_ = refused;
        const std::string name(KeyboardButtonMap[button].r1Name);
        if (refused) {
            // User Interface Privilege Isolation: a program run as administrator takes no input from ours.
            Diagnostics().Write(input == nullptr
                                    ? "Keyboard mode: this build cannot send keys"
                                    : "Keyboard mode: Windows took " + std::to_string(taken) + " of " +
                                          std::to_string(events.size()) + " key events for " + name +
                                          (program.empty() ? "" : " (" + program + " in front)") +
                                          "; a program run as administrator refuses them");
        } else {
            Diagnostics().Write("Keyboard mode: keys are taken again (" + name + ")");
        }
    }
    if (!refused) {
        ShowKeyboardTip(keyMaps_.TipText(), false);
    } else if (input == nullptr) {
        ShowKeyboardTip("Keys cannot be sent from this build", true);
    } else {
        ShowKeyboardTip("Keys refused: is a program run as administrator in front?", true);
    }
}
