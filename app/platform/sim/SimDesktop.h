// A simulated desktop for host tests: top-level windows with class, title, visibility, top-most and active
// state; per-window message queues, window procedures and a pump; and recorders for everything the program
// asks of the system (program starts, shell opens, notify-icon records, beeps, power calls, MCI strings).
#pragma once

#include "platform/Advapi32.h"
#include "platform/Input.h"
#include "platform/Kernel32.h"
#include "platform/Shell32.h"
#include "platform/User32.h"
#include "platform/Winmm.h"

#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace sim {

using platform::Hwnd;

struct Message {
    Hwnd window;
    std::uint32_t message;
    std::uintptr_t wParam;
    std::intptr_t lParam;
    bool operator==(const Message&) const = default;
};

struct Window {
    std::string className;
    std::string title;
    bool visible = true;
    bool topmost = false;
    bool own = false;    // created by the program under test
    std::string program; // the file name of the program that owns it ("vlc.exe"), for foregroundProgram
    platform::WindowProc proc;
    std::vector<Message> received; // messages delivered to a window that has no procedure (outside windows)
};

struct ProgramStart {
    std::string commandLine;
    int showCommand;
};

struct ShellOpen {
    Hwnd owner;
    std::string verb, file, parameters, directory;
    int showCommand;
};

struct NotifyCall {
    std::uint32_t message;
    platform::NotifyIconData data;
};

struct PowerCall {
    bool suspend, force;
};

struct ExitCall {
    std::uint32_t flags, reserved;
};

// Everything the program's system calls did, in order, as text: "findWindow SDL_app", "activate XBMC", ...
// Tests use it for the order of calls; the typed records below for their arguments.
class SimDesktop : public platform::User32,
                   public platform::Input,
                   public platform::Kernel32,
                   public platform::Advapi32,
                   public platform::Shell32,
                   public platform::Winmm {
  public:
    SimDesktop();

    // --- test side ---
    // An outside application's top-level window (a media center, say).
    Hwnd addWindow(const std::string& className, const std::string& title, bool visible = true);
    void removeWindow(Hwnd window);
    Window* window(Hwnd handle);
    Hwnd activeWindow() const { return active_; }
    Hwnd foregroundWindow() const { return foreground_; }
    // Delivers queued messages until none is left or the loop was told to quit; returns how many were
    // delivered.
    int pump();
    // Posts a message to every top-level window that has a procedure (PostMessage to HWND_BROADCAST); returns
    // how many windows it was posted to.
    int broadcast(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);
    // The number of a named message, as another program would get it from registerWindowMessage.
    std::uint32_t registeredMessage(const std::string& name);
    // Named mutexes: whether one of this name is open, and whether the next createMutex fails outright.
    bool mutexOpen(const std::string& name) const;
    bool createMutexFails = false;
    // Names of mutexes that another program holds with a security descriptor that lets this user not open
    // them (as an elevated copy's): createMutex fails, telling that the name is taken.
    std::vector<std::string> deniedMutexes;
    // Run once by runMessageLoop after the queue was first emptied (what happens while the program runs, say
    // a second copy starting), then the queue is pumped again.
    std::function<void()> whileRunning;
    // Sends a message straight to a window's procedure (as the shell does with a tray callback).
    platform::MessageResult send(Hwnd window, std::uint32_t message, std::uintptr_t wParam,
                                 std::intptr_t lParam);
    bool quitRequested() const { return quit_; }
    // Messages delivered to outside windows (their own log), in order.
    std::vector<Message> messagesTo(Hwnd window) const;
    // The first window created by the program with this title.
    Hwnd findOwnWindow(const std::string& title) const;

    // The profile reader behind getPrivateProfileString (tests plug in the real reader over files in a
    // temporary folder); without one every file is missing.
    std::function<std::uint32_t(const char*, const char*, const char*, char*, std::uint32_t,
                                const std::string&)>
        profileReader;
    std::vector<std::string> profileReads; // "section|key|path"
    // The readers behind getPrivateProfileSection and getPrivateProfileSectionNames (the real ones over
    // files, as above); without them every file is missing.
    std::function<std::uint32_t(const char*, char*, std::uint32_t, const std::string&)> sectionReader;
    std::function<std::uint32_t(char*, std::uint32_t, const std::string&)> sectionNamesReader;
    std::vector<std::string> sectionReads; // "section|path", "names|path" for the names
    std::string exeFolder = "C:\\Program Files\\Tavrelmond";
    // What the next popup menu returns (-1 dismissed), and the menus shown. whilePopupOpen runs while a menu
    // is open, as the menu's own loop dispatches what arrives meanwhile.
    int popupChoice = -1;
    std::function<void()> whilePopupOpen;
    struct Popup {
        Hwnd owner;
        std::vector<platform::PopupItem> items;
        int defaultItem;
    };
    std::vector<Popup> popups;
    std::map<int, std::int32_t> icons{{101, 0x1001}, {102, 0x1002}};
    // Whether startProgram succeeds.
    bool startSucceeds = true;

    std::vector<std::string> calls;
    std::vector<ProgramStart> starts;
    std::vector<ShellOpen> shellOpens;
    std::vector<NotifyCall> notifyCalls;
    std::vector<PowerCall> powerCalls;
    std::vector<ExitCall> exitCalls;
    std::vector<std::string> mciCommands;
    int beeps = 0;
    std::uint32_t notifyIconSize = 88;
    // Whether the notification area holds an icon now.
    bool trayIconPresent() const { return !trayIcons_.empty(); }
    // The shell answers as Windows does: adding an icon it holds already, and modifying or deleting one it
    // does not hold, fail. The next `refuseAdds` adds fail, as they do while the shell is too busy to answer
    // (at logon, say); with refusedAddsLand the shell takes such an add all the same, after the caller gave
    // up.
    int refuseAdds = 0;
    bool refusedAddsLand = false;
    // Explorer starts again: the notification area is empty, and "TaskbarCreated" is posted to every
    // top-level window.
    int restartShell();

    // Timers (setTimer): whether one runs, and time going by. elapse() posts WM_TIMER to each window whose
    // timer came due (once, however often it came due, as Windows does) and pumps the queue.
    bool timerRunning(Hwnd window, std::uintptr_t id) const { return timers_.count({window, id}) != 0; }
    void elapse(std::uint32_t milliseconds);
    // Whether allowMessageFromLowerIntegrity exists on this "Windows", and the messages let through, by
    // window.
    bool messageFilterExists = true;
    std::map<Hwnd, std::vector<std::uint32_t>> allowedMessages;

    // --- User32 ---
    Hwnd createHiddenWindow(const std::string& title, platform::WindowProc proc) override;
    void destroyWindow(Hwnd window) override;
    // As the platform's: TRUE to a session-end query, 0 to everything else (no window is destroyed here).
    platform::MessageResult defWindowProc(Hwnd, std::uint32_t message, std::uintptr_t,
                                          std::intptr_t) override {
        return message == platform::WM_QUERYENDSESSION ? 1 : 0;
    }
    Hwnd findWindow(const std::string& className) override;
    bool activateWindowByTitle(const std::string& title) override;
    bool setWindowPos(Hwnd window, Hwnd insertAfter, int x, int y, int cx, int cy,
                      std::uint32_t flags) override;
    Hwnd setActiveWindow(Hwnd window) override;
    bool setForegroundWindow(Hwnd window) override;
    bool showWindow(Hwnd window, int command) override;
    bool postMessage(Hwnd window, std::uint32_t message, std::uintptr_t wParam,
                     std::intptr_t lParam) override;
    std::uint32_t registerWindowMessage(const std::string& name) override;
    platform::PreviousProc setWindowProc(Hwnd window, platform::WindowProc proc) override;
    void restoreWindowProc(Hwnd window, platform::PreviousProc previous) override;
    platform::MessageResult callWindowProc(platform::PreviousProc previous, Hwnd window,
                                           std::uint32_t message, std::uintptr_t wParam,
                                           std::intptr_t lParam) override;
    int popupMenu(Hwnd owner, const std::vector<platform::PopupItem>& items, int defaultItem) override;
    std::int32_t loadIcon(int resourceId) override;
    void messageBeep() override;
    bool exitWindowsEx(std::uint32_t flags, std::uint32_t reserved) override;
    bool setTimer(Hwnd window, std::uintptr_t id, std::uint32_t milliseconds) override;
    void killTimer(Hwnd window, std::uintptr_t id) override;
    bool allowMessageFromLowerIntegrity(Hwnd window, std::uint32_t message) override;
    void runMessageLoop() override;
    void quit() override { quit_ = true; }

    // --- Input ---
    // Key events sent, in order; each call also notes "sendKeys N" in calls. With inputBlocked the system
    // takes none (as when the window in front runs elevated). onKeys sees each call as it happens.
    std::uint32_t sendKeys(const std::vector<platform::KeyEvent>& events) override;
    // The program of the foreground window (setForegroundWindow picks it), empty without one.
    std::string foregroundProgram() override;
    std::vector<platform::KeyEvent> keyEvents;
    bool inputBlocked = false;
    std::function<void(const std::vector<platform::KeyEvent>&)> onKeys;

    // --- Kernel32 ---
    std::uint32_t getPrivateProfileString(const std::string& section, const std::string& key,
                                          const std::string& defaultValue, char* buffer, std::uint32_t size,
                                          const std::string& path) override;
    std::uint32_t getPrivateProfileSection(const std::string& section, char* buffer, std::uint32_t size,
                                           const std::string& path) override;
    std::uint32_t getPrivateProfileSectionNames(char* buffer, std::uint32_t size,
                                                const std::string& path) override;
    std::string executableFolder() override { return exeFolder; }
    bool startProgram(const std::string& commandLine, int showCommand) override;
    bool setSystemPowerState(bool suspend, bool force) override;
    std::intptr_t createMutex(const std::string& name, bool& alreadyExists) override;
    // Closes mutex handles, and the access token (Advapi32's CloseHandle is the same call).
    void closeHandle(std::intptr_t handle) override;

    // --- Advapi32 ---
    std::intptr_t openProcessToken(std::uint32_t desiredAccess) override;
    bool lookupPrivilegeValue(const std::string& systemName, const std::string& name,
                              platform::Luid& luid) override;
    bool adjustTokenPrivileges(std::intptr_t token, bool disableAll, const platform::Luid& luid,
                               std::uint32_t attributes, std::uint32_t previousStateLength) override;
    bool shutdownPrivilegeEnabled = false;
    int openTokens = 0;

    // --- Shell32 ---
    std::intptr_t shellExecute(Hwnd owner, const std::string& verb, const std::string& file,
                               const std::string& parameters, const std::string& directory,
                               int showCommand) override;
    bool shellNotifyIcon(std::uint32_t message, const platform::NotifyIconData& data) override;
    std::uint32_t notifyIconDataV1Size() const override { return notifyIconSize; }

    // --- Winmm ---
    std::uint32_t mciSendString(const std::string& command) override;

  private:
    platform::MessageResult deliver(const Message& m);

    std::map<Hwnd, Window> windows_;
    std::vector<Hwnd> order_; // creation order, for FindWindow
    Hwnd next_ = 0x10010;
    Hwnd active_ = 0;
    Hwnd foreground_ = 0;
    // Posted messages. A worker thread of the program may post too (PostMessage is thread-safe): the queue is
    // guarded, and nothing is delivered while the guard is held.
    // (A desktop assigned from another gets a guard of its own.)
    struct Guard {
        std::mutex mutex;
        Guard() = default;
        Guard(const Guard&) {}
        Guard& operator=(const Guard&) { return *this; }
    };
    Guard queueGuard_;
    std::deque<Message> queue_;
    bool quit_ = false;
    // Procedures replaced by setWindowProc, by the opaque number handed out for them.
    std::map<platform::PreviousProc, platform::WindowProc> savedProcs_;
    platform::PreviousProc nextProc_ = 1;
    std::map<std::string, std::uint32_t> registeredMessages_; // by lower-case name
    std::map<std::intptr_t, std::string> mutexHandles_;       // open mutex handles and their names
    std::intptr_t nextMutex_ = 0x9001;
    std::map<std::pair<Hwnd, std::uint32_t>, platform::NotifyIconData>
        trayIcons_; // by window and icon number
    struct Timer {
        std::uint32_t interval;
        std::uint32_t elapsed;
    };
    std::map<std::pair<Hwnd, std::uintptr_t>, Timer> timers_;
};

} // namespace sim
