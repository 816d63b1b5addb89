// The main form's controls as state cells. The form is never shown, so a control is only its value and,
// for two labels, the handler that runs when its text is set.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>

// A label. Setting its text runs its change handler at once, before the assignment returns, also when the
// text is the one it already holds: the HID library drops repeated reports, so every report that reaches the
// form is a new key event and must dispatch.
class Label {
  public:
    const std::string& Caption() const { return text_; }
    void SetCaption(std::string text) {
        text_ = std::move(text);
        if (Change) {
            Change();
        }
    }
    std::function<void()> Change;

  private:
    std::string text_;
};

// A check box: value 0 (clear) or 1 (ticked); other values can be stored, as on any check box set by code.
struct CheckBox {
    std::string Caption;
    std::int16_t Value = 0;
};

struct CommandButton {
    std::string Caption;
};

struct MenuItem {
    std::string Caption;
    bool Checked = false;
};

// A picture box holding an icon handle.
struct PictureBox {
    std::int32_t Picture = 0;
};
