#include "Module1.h"

#include "ButtonMap.h"
#include "KeyboardButtonMap.h"
#include "MainForm.h"

#include <array>
#include <algorithm>
#include <cctype>

using namespace platform;

std::string CheckMediaCenter(MainForm& form) {
    MediaCenter& media = form.Media();
    const Hwnd mainWindow = media.FindMainWindow();
    const Hwnd directXWindow = media.FindDirectXWindow();
    // Kodi's window counts only where neither XBMC window exists; those keep their priority.
    const Hwnd kodiWindow = mainWindow == 0 && directXWindow == 0 ? media.FindKodiWindow() : 0;

    // In the keyboard mode the keys go to the window in front: raising the media center would take the
    // focus from the player the user is watching.
    const bool raise = form.APIcontrol != ModeKeyboard;
    if (raise && mainWindow != 0) {
        media.Raise(mainWindow, MediaCenter::MainTitle);
    } else if (raise && directXWindow != 0) {
        media.Raise(directXWindow, MediaCenter::DirectXTitle);
    } else if (raise && kodiWindow != 0) {
        media.Raise(kodiWindow, MediaCenter::KodiTitle);
    }

    const bool exists = mainWindow != 0 || directXWindow != 0 || kodiWindow != 0;
    const char* status = nullptr;
    if (exists) {
        if (form.detect.Value == 0) {
            status = "ERROR DRIVER/BAD HARDWARE";
        } else if (form.detect.Value == 1 && form.API.Value == 1) {
            status = "XBMC:APICONTROL";
        } else if (form.detect.Value == 1 && form.API.Value == 0) {
            status = "XBMC:EVENTCLIENT";
        }
    } else {
        if (form.detect.Value == 0) {
            status = "NO HARDWARE/XBMC NOT RUN";
        } else if (form.detect.Value == 1) {
            status = "XBMC NOT RUN";
        }
    }
    if (status != nullptr) {
        form.f.Checked = true;
        form.f.Caption = status;
    }
    form.NoteMediaCenter(exists);
    // In the Kodi modes, and while the settings are wrong, the status line says that instead; the tip
    // follows.
    form.ShowStatus();
    return exists ? "1" : "0";
}

std::string ReadIniValue(Kernel32& kernel32, const std::string& section, const std::string& key,
                         const std::string& path) {
    std::array<char, 750> buffer{};
    std::string lowerKey = key;
    for (char& c : lowerKey) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    const std::uint32_t n =
        kernel32.getPrivateProfileString(section, lowerKey, "", buffer.data(), buffer.size(), path);
    // The reader never copies more than size - 1 characters; never trust it past the buffer.
    return std::string(buffer.data(), std::min<std::size_t>(n, buffer.size() - 1));
}

std::string CollectOptionCode(MainForm& form) {
    if (form.Rcv2.Caption() == ArmOptionsCode) {
        form.Rcv1.SetCaption("");
        form.C.Value = 1;
        form.Platform().user32.messageBeep();
    }
    if (form.Rcv1.Caption().size() > 2) {
        form.Rcv1.SetCaption("");
    }
    for (std::size_t digit = 0; digit < OptionDigitCodes.size(); ++digit) {
        if (form.Rcv2.Caption() == OptionDigitCodes[digit]) {
            form.Rcv1.SetCaption(form.Rcv1.Caption() + static_cast<char>('1' + digit));
            break;
        }
    }
    return "";
}
