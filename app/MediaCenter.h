// Everything the program relies on from the XBMC media center, in one place: how its windows are found,
// raised, sent keys, hidden, shown and closed, how it is started, and the form of its SendKey web command.
// Today's Kodi (19 to 21) is found beside XBMC by its own window; its network channels live in kodi/.
#pragma once

#include "platform/Kernel32.h"
#include "platform/User32.h"

#include <string>

class MediaCenter {
  public:
    // Window classes of its main window: the OpenGL build, then the DirectX build.
    static constexpr const char* MainClass = "SDL_app";
    static constexpr const char* DirectXClass = "XBoxMediaCenterPC";
    // Kodi's main window: class and title are both the application's name. Searched after the two above.
    static constexpr const char* KodiClass = "Kodi";
    // Titles by which each window is activated.
    static constexpr const char* MainTitle = "XBMC";
    static constexpr const char* DirectXTitle = "XBoxMediaCenter PC Skin Preview";
    static constexpr const char* KodiTitle = "Kodi";
    // Path of a key command on its web server; the button code follows in decimal.
    static constexpr const char* SendKeyPathPrefix = "/xbmcCmds/xbmcHttp?command=SendKey&parameter=";
    // Body of a key command.
    static constexpr const char* SendKeyBody = "0";

    MediaCenter(platform::User32& user32, platform::Kernel32& kernel32)
        : user32_(user32), kernel32_(kernel32) {}

    // The windows, looked up afresh on every call and never kept.
    platform::Hwnd FindMainWindow() { return user32_.findWindow(MainClass); }
    platform::Hwnd FindDirectXWindow() { return user32_.findWindow(DirectXClass); }
    platform::Hwnd FindKodiWindow() { return user32_.findWindow(KodiClass); }
    // The window that takes keys, hide, show and close: "SDL_app", or Kodi's when there is no "SDL_app".
    platform::Hwnd FindKeyWindow() {
        const platform::Hwnd main = FindMainWindow();
        return main != 0 ? main : FindKodiWindow();
    }

    // Brings a window to the front: activation by title, top-most without moving or sizing, active window.
    void Raise(platform::Hwnd window, const std::string& activationTitle);

    // A key press: WM_KEYDOWN then WM_KEYUP with the virtual-key code and lParam 0.
    void PostKey(platform::Hwnd window, int virtualKey);
    void Close(platform::Hwnd window);
    void Hide(platform::Hwnd window);
    void Show(platform::Hwnd window);
    // Starts a command line, arguments included, minimized and active.
    bool Start(const std::string& commandLine);

    static std::string SendKeyPath(const std::string& buttonCode) { return SendKeyPathPrefix + buttonCode; }

  private:
    platform::User32& user32_;
    platform::Kernel32& kernel32_;
};
