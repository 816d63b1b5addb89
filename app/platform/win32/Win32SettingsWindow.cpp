// The settings window for real: the dialog IDD_SETTINGS of the program's resources, modal, owned by the
// form's hidden window. Its procedure only moves texts between the controls and the core's SettingsView and
// passes each button on; the dialog manager gives it the keyboard (Tab, the mnemonics, Enter, Esc).
#include "platform/win32/Win32SettingsPorts.h"
#include "platform/win32/WideText.h"

#include "../../res/resource.h"

#include <windows.h>

namespace platform {

namespace {

std::wstring ItemText(HWND dialog, int id) {
    HWND item = GetDlgItem(dialog, id);
    const int length = GetWindowTextLengthW(item);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const int n = GetWindowTextW(item, text.data(), length + 1);
    text.resize(static_cast<std::size_t>(n > 0 ? n : 0));
    return text;
}

// Sets a control's text only when it differs, so the caret of an entry being typed in stays where it is.
void SetItemText(HWND dialog, int id, const std::string& utf8) {
    const std::wstring text = Widen(utf8);
    if (ItemText(dialog, id) != text) {
        SetDlgItemTextW(dialog, id, text.c_str());
    }
}

void Enable(HWND dialog, int id, bool enabled) {
    EnableWindow(GetDlgItem(dialog, id), enabled ? TRUE : FALSE);
}

int ControlId(SettingsControl control) {
    switch (control) {
    case SettingsControl::MediaCenter:
        return IDC_MEDIACENTER;
    case SettingsControl::Address:
        return IDC_ADDRESS;
    case SettingsControl::Port:
        return IDC_PORT;
    case SettingsControl::User:
        return IDC_USER;
    case SettingsControl::Password:
        return IDC_PASSWORD;
    case SettingsControl::Notifications:
        return IDC_NOTIFICATIONS;
    case SettingsControl::Test:
        return IDC_TEST;
    case SettingsControl::Ok:
        break;
    }
    return IDOK;
}

INT_PTR CALLBACK SettingsProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* window = reinterpret_cast<Win32SettingsWindow*>(GetWindowLongPtrW(dialog, DWLP_USER));
    switch (message) {
    case WM_INITDIALOG: {
        window = reinterpret_cast<Win32SettingsWindow*>(lParam);
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        window->dialog_ = dialog;
        window->listFilled_ = false;
        window->show(window->initial_);
        SendDlgItemMessageW(dialog, IDC_ADDRESS, EM_LIMITTEXT, 253, 0);
        SendDlgItemMessageW(dialog, IDC_PORT, EM_LIMITTEXT, 5, 0);
        SendDlgItemMessageW(dialog, IDC_USER, EM_LIMITTEXT, 256, 0);
        SendDlgItemMessageW(dialog, IDC_PASSWORD, EM_LIMITTEXT, 256, 0);
        // Opened from the tray (or by the setup): the window the user is looking for comes to the front.
        SetForegroundWindow(dialog);
        SetFocus(GetDlgItem(dialog, IDC_MEDIACENTER));
        return FALSE; // the focus is set
    }
    case WM_COMMAND: {
        if (window == nullptr || window->events_ == nullptr) {
            return FALSE;
        }
        const int id = LOWORD(wParam);
        const int code = HIWORD(wParam);
        if (id == IDC_MEDIACENTER && code == CBN_SELCHANGE) {
            window->events_->mediaCenterChanged();
        } else if (id == IDC_TEST && code == BN_CLICKED) {
            window->events_->testClicked();
        } else if (id == IDC_EDITFILE && code == BN_CLICKED) {
            window->events_->editFileClicked();
        } else if (id == IDOK) {
            window->events_->okClicked();
        } else if (id == IDCANCEL) {
            window->events_->cancelClicked();
        } else {
            return FALSE;
        }
        return TRUE;
    }
    case WM_DESTROY:
        if (window != nullptr) {
            window->dialog_ = nullptr;
        }
        return FALSE;
    default:
        return FALSE;
    }
}

} // namespace

void Win32SettingsWindow::run(Hwnd owner, const SettingsView& view, SettingsWindowEvents& events) {
    initial_ = view;
    events_ = &events;
    DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_SETTINGS), reinterpret_cast<HWND>(owner),
                    SettingsProc, reinterpret_cast<LPARAM>(this));
    events_ = nullptr;
    dialog_ = nullptr;
}

void Win32SettingsWindow::show(const SettingsView& view) {
    HWND dialog = static_cast<HWND>(dialog_);
    if (dialog == nullptr) {
        return;
    }
    if (!listFilled_) {
        SendDlgItemMessageW(dialog, IDC_MEDIACENTER, CB_RESETCONTENT, 0, 0);
        for (const std::string& choice : view.mediaCenters) {
            const std::wstring text = Widen(choice);
            SendDlgItemMessageW(dialog, IDC_MEDIACENTER, CB_ADDSTRING, 0,
                                reinterpret_cast<LPARAM>(text.c_str()));
        }
        listFilled_ = true;
    }
    SendDlgItemMessageW(dialog, IDC_MEDIACENTER, CB_SETCURSEL, static_cast<WPARAM>(view.mediaCenter), 0);
    SetItemText(dialog, IDC_HINT, view.hint);
    SetItemText(dialog, IDC_ADDRESS, view.address);
    SetItemText(dialog, IDC_PORT, view.port);
    SetItemText(dialog, IDC_USER, view.user);
    SetItemText(dialog, IDC_PASSWORD, view.password);
    CheckDlgButton(dialog, IDC_NOTIFICATIONS, view.notifications ? BST_CHECKED : BST_UNCHECKED);
    SetItemText(dialog, IDC_RESULT, view.result);
    SetItemText(dialog, IDC_FILE, view.file);
    Enable(dialog, IDC_ADDRESS_LABEL, view.addressEnabled);
    Enable(dialog, IDC_ADDRESS, view.addressEnabled);
    Enable(dialog, IDC_PORT_LABEL, view.portEnabled);
    Enable(dialog, IDC_PORT, view.portEnabled);
    Enable(dialog, IDC_USER_LABEL, view.userEnabled);
    Enable(dialog, IDC_USER, view.userEnabled);
    Enable(dialog, IDC_PASSWORD_LABEL, view.passwordEnabled);
    Enable(dialog, IDC_PASSWORD, view.passwordEnabled);
    Enable(dialog, IDC_NOTIFICATIONS, view.notificationsEnabled);
    // The button that has the focus keeps it where it can: a greyed one would leave the keyboard nowhere.
    if (!view.testEnabled && GetFocus() == GetDlgItem(dialog, IDC_TEST)) {
        SendMessageW(dialog, WM_NEXTDLGCTL, 0, FALSE);
    }
    Enable(dialog, IDC_TEST, view.testEnabled);
    SendDlgItemMessageW(dialog, IDC_KEYMAPS, LB_RESETCONTENT, 0, 0);
    for (const std::string& line : view.keyMaps) {
        const std::wstring text = Widen(line);
        SendDlgItemMessageW(dialog, IDC_KEYMAPS, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
    }
    const int shown = view.keyMaps.empty() ? SW_HIDE : SW_SHOW;
    ShowWindow(GetDlgItem(dialog, IDC_KEYMAPS_LABEL), shown);
    ShowWindow(GetDlgItem(dialog, IDC_KEYMAPS), shown);
}

SettingsEntries Win32SettingsWindow::entries() {
    SettingsEntries entries;
    HWND dialog = static_cast<HWND>(dialog_);
    if (dialog == nullptr) {
        return entries;
    }
    const LRESULT chosen = SendDlgItemMessageW(dialog, IDC_MEDIACENTER, CB_GETCURSEL, 0, 0);
    entries.mediaCenter = chosen == CB_ERR ? 0 : static_cast<int>(chosen);
    entries.address = Utf8(ItemText(dialog, IDC_ADDRESS));
    entries.port = Utf8(ItemText(dialog, IDC_PORT));
    entries.user = Utf8(ItemText(dialog, IDC_USER));
    entries.password = Utf8(ItemText(dialog, IDC_PASSWORD));
    entries.notifications = IsDlgButtonChecked(dialog, IDC_NOTIFICATIONS) == BST_CHECKED;
    return entries;
}

void Win32SettingsWindow::focus(SettingsControl control) {
    HWND dialog = static_cast<HWND>(dialog_);
    if (dialog != nullptr) {
        SendMessageW(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(dialog, ControlId(control))),
                     TRUE);
    }
}

void Win32SettingsWindow::close() {
    HWND dialog = static_cast<HWND>(dialog_);
    if (dialog != nullptr) {
        EndDialog(dialog, 0);
    }
}

void Win32SettingsWindow::bringToFront() {
    HWND dialog = static_cast<HWND>(dialog_);
    if (dialog != nullptr) {
        ShowWindow(dialog, SW_RESTORE);
        SetForegroundWindow(dialog);
    }
}

} // namespace platform
