#include "platform/sim/SimDesktop.h"

#include <algorithm>
#include <cctype>
#include <cstring>

using namespace platform;

namespace sim {

SimDesktop::SimDesktop() = default;

Hwnd SimDesktop::addWindow(const std::string& className, const std::string& title, bool visible) {
    std::lock_guard lock(postLock_);
    const Hwnd h = next_;
    next_ += 0x10;
    Window w;
    w.className = className;
    w.title = title;
    w.visible = visible;
    windows_[h] = std::move(w);
    order_.push_back(h);
    return h;
}

void SimDesktop::removeWindow(Hwnd window) {
    std::lock_guard lock(postLock_);
    windows_.erase(window);
    order_.erase(std::remove(order_.begin(), order_.end(), window), order_.end());
    if (active_ == window) {
        active_ = 0;
    }
    if (foreground_ == window) {
        foreground_ = 0;
    }
}

Window* SimDesktop::window(Hwnd handle) {
    auto it = windows_.find(handle);
    return it == windows_.end() ? nullptr : &it->second;
}

MessageResult SimDesktop::deliver(const Message& m) {
    auto it = windows_.find(m.window);
    if (it == windows_.end()) {
        return 0;
    }
    if (!it->second.proc) {
        it->second.received.push_back(m);
        return 0;
    }
    // A copy: the procedure may destroy its own window (and so its entry) while it runs.
    WindowProc proc = it->second.proc;
    return proc(m.window, m.message, m.wParam, m.lParam);
}

int SimDesktop::pump() {
    int delivered = 0;
    for (;;) {
        Message m{};
        {
            std::lock_guard lock(postLock_);
            if (queue_.empty() || quit_) {
                break;
            }
            m = queue_.front();
            queue_.pop_front();
        }
        deliver(m);
        ++delivered;
    }
    return delivered;
}

MessageResult SimDesktop::send(Hwnd window, std::uint32_t message, std::uintptr_t wParam,
                               std::intptr_t lParam) {
    return deliver({window, message, wParam, lParam});
}

int SimDesktop::broadcast(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
    std::lock_guard lock(postLock_);
    int posted = 0;
    for (Hwnd h : order_) {
        if (windows_.at(h).proc) {
            queue_.push_back({h, message, wParam, lParam});
            ++posted;
        }
    }
    return posted;
}

std::uint32_t SimDesktop::registeredMessage(const std::string& name) {
    std::string key = name;
    std::transform(key.begin(), key.end(), key.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    auto it = registeredMessages_.find(key);
    if (it != registeredMessages_.end()) {
        return it->second;
    }
    // Registered messages take numbers from 0xC000 up.
    const auto number = static_cast<std::uint32_t>(0xC000 + registeredMessages_.size());
    registeredMessages_[key] = number;
    return number;
}

bool SimDesktop::mutexOpen(const std::string& name) const {
    return std::any_of(mutexHandles_.begin(), mutexHandles_.end(),
                       [&](const auto& entry) { return entry.second == name; });
}

std::vector<Message> SimDesktop::messagesTo(Hwnd window) const {
    auto it = windows_.find(window);
    return it == windows_.end() ? std::vector<Message>{} : it->second.received;
}

Hwnd SimDesktop::findOwnWindow(const std::string& title) const {
    for (Hwnd h : order_) {
        const Window& w = windows_.at(h);
        if (w.own && w.title == title) {
            return h;
        }
    }
    return 0;
}

int SimDesktop::restartShell() {
    trayIcons_.clear();
    return broadcast(registeredMessage("TaskbarCreated"), 0, 0);
}

void SimDesktop::elapse(std::uint32_t milliseconds) {
    std::vector<std::pair<Hwnd, std::uintptr_t>> due;
    for (auto& [key, timer] : timers_) {
        timer.elapsed += milliseconds;
        if (timer.interval != 0 && timer.elapsed >= timer.interval) {
            timer.elapsed %= timer.interval;
            due.push_back(key);
        }
    }
    for (const auto& [window, id] : due) {
        const bool pending = std::any_of(queue_.begin(), queue_.end(), [&](const Message& m) {
            return m.window == window && m.message == WM_TIMER && m.wParam == id;
        });
        if (!pending) {
            queue_.push_back({window, WM_TIMER, id, 0});
        }
    }
    pump();
}

// --- User32
// ---------------------------------------------------------------------------------------------------

Hwnd SimDesktop::createHiddenWindow(const std::string& title, WindowProc proc) {
    std::lock_guard lock(postLock_);
    const Hwnd h = addWindow("TavrelmondWindow", title, false);
    windows_[h].own = true;
    windows_[h].proc = proc ? std::move(proc)
                            : WindowProc([this](Hwnd w, std::uint32_t m, std::uintptr_t wp,
                                                std::intptr_t lp) { return defWindowProc(w, m, wp, lp); });
    calls.push_back("createWindow " + title);
    return h;
}

void SimDesktop::destroyWindow(Hwnd window) {
    std::lock_guard lock(postLock_);
    calls.push_back("destroyWindow");
    removeWindow(window);
    // Its timers go with it.
    for (auto it = timers_.begin(); it != timers_.end();) {
        it = it->first.first == window ? timers_.erase(it) : std::next(it);
    }
    // Messages still queued for it are dropped with it.
    queue_.erase(
        std::remove_if(queue_.begin(), queue_.end(), [&](const Message& m) { return m.window == window; }),
        queue_.end());
}

Hwnd SimDesktop::findWindow(const std::string& className) {
    calls.push_back("findWindow " + className);
    for (Hwnd h : order_) {
        if (windows_.at(h).className == className) {
            return h;
        }
    }
    return 0;
}

bool SimDesktop::activateWindowByTitle(const std::string& title) {
    calls.push_back("activate " + title);
    Hwnd found = 0;
    for (Hwnd h : order_) {
        if (windows_.at(h).title == title) {
            found = h;
            break;
        }
    }
    if (found == 0) {
        for (Hwnd h : order_) {
            if (windows_.at(h).title.rfind(title, 0) == 0) {
                found = h;
                break;
            }
        }
    }
    if (found == 0) {
        return false;
    }
    active_ = found;
    foreground_ = found;
    return true;
}

bool SimDesktop::setWindowPos(Hwnd window, Hwnd insertAfter, int x, int y, int cx, int cy,
                              std::uint32_t flags) {
    calls.push_back("setWindowPos " + std::to_string(insertAfter) + " " + std::to_string(x) + " " +
                    std::to_string(y) + " " + std::to_string(cx) + " " + std::to_string(cy) + " " +
                    std::to_string(flags));
    Window* w = this->window(window);
    if (w == nullptr) {
        return false;
    }
    if (insertAfter == HWND_TOPMOST) {
        w->topmost = true;
    }
    return true;
}

Hwnd SimDesktop::setActiveWindow(Hwnd window) {
    calls.push_back("setActiveWindow");
    if (this->window(window) == nullptr) {
        return 0;
    }
    const Hwnd previous = active_;
    active_ = window;
    return previous;
}

bool SimDesktop::setForegroundWindow(Hwnd window) {
    calls.push_back("setForegroundWindow");
    if (this->window(window) == nullptr) {
        return false;
    }
    foreground_ = window;
    return true;
}

bool SimDesktop::showWindow(Hwnd window, int command) {
    calls.push_back("showWindow " + std::to_string(command));
    Window* w = this->window(window);
    if (w == nullptr) {
        return false;
    }
    const bool was = w->visible;
    w->visible = command != SW_HIDE;
    return was;
}

bool SimDesktop::postMessage(Hwnd window, std::uint32_t message, std::uintptr_t wParam,
                             std::intptr_t lParam) {
    if (window == HWND_BROADCAST) {
        return broadcast(message, wParam, lParam) > 0;
    }
    std::lock_guard lock(postLock_);
    if (this->window(window) == nullptr) {
        return false;
    }
    Window& w = windows_.at(window);
    if (w.proc) {
        queue_.push_back({window, message, wParam, lParam});
    } else {
        // An outside window has no procedure here: its own program takes the message at once; it is logged.
        w.received.push_back({window, message, wParam, lParam});
    }
    return true;
}

std::uint32_t SimDesktop::registerWindowMessage(const std::string& name) {
    calls.push_back("registerWindowMessage " + name);
    return name.empty() ? 0 : registeredMessage(name);
}

PreviousProc SimDesktop::setWindowProc(Hwnd window, WindowProc proc) {
    Window* w = this->window(window);
    if (w == nullptr) {
        return 0;
    }
    const PreviousProc id = nextProc_++;
    savedProcs_[id] = std::move(w->proc);
    w->proc = std::move(proc);
    calls.push_back("setWindowProc");
    return id;
}

void SimDesktop::restoreWindowProc(Hwnd window, PreviousProc previous) {
    calls.push_back("restoreWindowProc");
    Window* w = this->window(window);
    auto it = savedProcs_.find(previous);
    if (w == nullptr || it == savedProcs_.end()) {
        return;
    }
    w->proc = it->second;
}

MessageResult SimDesktop::callWindowProc(PreviousProc previous, Hwnd window, std::uint32_t message,
                                         std::uintptr_t wParam, std::intptr_t lParam) {
    auto it = savedProcs_.find(previous);
    if (it == savedProcs_.end() || !it->second) {
        return 0;
    }
    WindowProc proc = it->second;
    return proc(window, message, wParam, lParam);
}

int SimDesktop::popupMenu(Hwnd owner, const std::vector<PopupItem>& items, int defaultItem) {
    calls.push_back("popupMenu");
    popups.push_back({owner, items, defaultItem});
    const int choice = popupChoice;
    popupChoice = -1;
    if (whilePopupOpen) {
        const std::function<void()> open = std::move(whilePopupOpen);
        whilePopupOpen = nullptr;
        open();
    }
    return choice;
}

std::int32_t SimDesktop::loadIcon(int resourceId) {
    auto it = icons.find(resourceId);
    return it == icons.end() ? 0 : it->second;
}

void SimDesktop::messageBeep() {
    calls.push_back("beep");
    ++beeps;
}

bool SimDesktop::exitWindowsEx(std::uint32_t flags, std::uint32_t reserved) {
    calls.push_back("exitWindowsEx");
    exitCalls.push_back({flags, reserved});
    return true;
}

bool SimDesktop::setTimer(Hwnd window, std::uintptr_t id, std::uint32_t milliseconds) {
    calls.push_back("setTimer " + std::to_string(id) + " " + std::to_string(milliseconds));
    if (this->window(window) == nullptr) {
        return false;
    }
    timers_[{window, id}] = {milliseconds, 0};
    return true;
}

void SimDesktop::killTimer(Hwnd window, std::uintptr_t id) {
    calls.push_back("killTimer " + std::to_string(id));
    timers_.erase({window, id});
}

bool SimDesktop::allowMessageFromLowerIntegrity(Hwnd window, std::uint32_t message) {
    calls.push_back("allowMessageFromLowerIntegrity " + std::to_string(message));
    if (!messageFilterExists || this->window(window) == nullptr) {
        return false;
    }
    allowedMessages[window].push_back(message);
    return true;
}

void SimDesktop::runMessageLoop() {
    quit_ = false;
    pump();
    if (whileRunning && !quit_) {
        const std::function<void()> running = std::move(whileRunning);
        whileRunning = nullptr;
        running();
        pump();
    }
}

// --- Kernel32
// -------------------------------------------------------------------------------------------------

namespace {

// A file without sections: an empty list (two zeros where they fit).
std::uint32_t noLines(char* buffer, std::uint32_t size) {
    for (std::uint32_t i = 0; i < size && i < 2; ++i) {
        buffer[i] = '\0';
    }
    return 0;
}

} // namespace

std::uint32_t SimDesktop::getPrivateProfileSection(const std::string& section, char* buffer,
                                                   std::uint32_t size, const std::string& path) {
    sectionReads.push_back(section + "|" + path);
    return sectionReader ? sectionReader(section.c_str(), buffer, size, path) : noLines(buffer, size);
}

std::uint32_t SimDesktop::getPrivateProfileSectionNames(char* buffer, std::uint32_t size,
                                                        const std::string& path) {
    sectionReads.push_back("names|" + path);
    return sectionNamesReader ? sectionNamesReader(buffer, size, path) : noLines(buffer, size);
}

std::uint32_t SimDesktop::sendKeys(const std::vector<platform::KeyEvent>& events) {
    calls.push_back("sendKeys " + std::to_string(events.size()));
    if (onKeys) {
        onKeys(events);
    }
    if (inputBlocked) {
        return 0;
    }
    keyEvents.insert(keyEvents.end(), events.begin(), events.end());
    return static_cast<std::uint32_t>(events.size());
}

std::string SimDesktop::foregroundProgram() {
    const Window* w = window(foreground_);
    return w != nullptr ? w->program : std::string();
}

std::uint32_t SimDesktop::getPrivateProfileString(const std::string& section, const std::string& key,
                                                  const std::string& defaultValue, char* buffer,
                                                  std::uint32_t size, const std::string& path) {
    profileReads.push_back(section + "|" + key + "|" + path);
    if (profileReader) {
        return profileReader(section.c_str(), key.c_str(), defaultValue.c_str(), buffer, size, path);
    }
    if (size == 0) {
        return 0;
    }
    const std::uint32_t n =
        std::min<std::uint32_t>(static_cast<std::uint32_t>(defaultValue.size()), size - 1);
    std::memcpy(buffer, defaultValue.data(), n);
    buffer[n] = '\0';
    return n;
}

bool SimDesktop::startProgram(const std::string& commandLine, int showCommand) {
    calls.push_back("startProgram " + commandLine);
    if (commandLine.empty() || !startSucceeds) {
        return false;
    }
    starts.push_back({commandLine, showCommand});
    return true;
}

bool SimDesktop::setSystemPowerState(bool suspend, bool force) {
    calls.push_back("setSystemPowerState");
    powerCalls.push_back({suspend, force});
    return true;
}

std::intptr_t SimDesktop::createMutex(const std::string& name, bool& alreadyExists) {
    calls.push_back("createMutex " + name);
    alreadyExists = false;
    if (createMutexFails) {
        return 0;
    }
    if (std::find(deniedMutexes.begin(), deniedMutexes.end(), name) != deniedMutexes.end()) {
        alreadyExists = true;
        return 0;
    }
    alreadyExists = mutexOpen(name);
    const std::intptr_t handle = nextMutex_++;
    mutexHandles_[handle] = name;
    return handle;
}

void SimDesktop::closeHandle(std::intptr_t handle) {
    if (handle == 0x7001) {
        --openTokens;
    }
    mutexHandles_.erase(handle);
}

// --- Advapi32
// -------------------------------------------------------------------------------------------------

std::intptr_t SimDesktop::openProcessToken(std::uint32_t desiredAccess) {
    calls.push_back("openProcessToken " + std::to_string(desiredAccess));
    ++openTokens;
    return 0x7001;
}

bool SimDesktop::lookupPrivilegeValue(const std::string& systemName, const std::string& name, Luid& luid) {
    calls.push_back("lookupPrivilegeValue " + systemName + "|" + name);
    if (name != "SeShutdownPrivilege") {
        return false;
    }
    luid.lowPart = 19;
    luid.highPart = 0;
    return true;
}

bool SimDesktop::adjustTokenPrivileges(std::intptr_t token, bool disableAll, const Luid& luid,
                                       std::uint32_t attributes, std::uint32_t previousStateLength) {
    calls.push_back("adjustTokenPrivileges " + std::to_string(disableAll) + " " + std::to_string(attributes) +
                    " " + std::to_string(previousStateLength));
    if (token != 0x7001 || disableAll || luid.lowPart != 19 || attributes != SE_PRIVILEGE_ENABLED) {
        return false;
    }
    shutdownPrivilegeEnabled = true;
    return true;
}

// --- Shell32
// --------------------------------------------------------------------------------------------------

std::intptr_t SimDesktop::shellExecute(Hwnd owner, const std::string& verb, const std::string& file,
                                       const std::string& parameters, const std::string& directory,
                                       int showCommand) {
    calls.push_back("shellExecute " + file);
    shellOpens.push_back({owner, verb, file, parameters, directory, showCommand});
    return 42;
}

bool SimDesktop::shellNotifyIcon(std::uint32_t message, const NotifyIconData& data) {
    notifyCalls.push_back({message, data});
    const std::pair<Hwnd, std::uint32_t> key{data.hWnd, data.uID};
    const bool held = trayIcons_.count(key) != 0;
    switch (message) {
    case NIM_ADD:
        if (refuseAdds > 0) {
            --refuseAdds;
            if (refusedAddsLand && !held) {
                trayIcons_[key] = data;
            }
            return false;
        }
        if (held) {
            return false;
        }
        trayIcons_[key] = data;
        return true;
    case NIM_MODIFY:
        if (!held) {
            return false;
        }
        trayIcons_[key] = data;
        return true;
    case NIM_DELETE:
        return trayIcons_.erase(key) != 0;
    default:
        return false;
    }
}

// --- Winmm
// ----------------------------------------------------------------------------------------------------

std::uint32_t SimDesktop::mciSendString(const std::string& command) {
    calls.push_back("mci " + command);
    mciCommands.push_back(command);
    return 0;
}

} // namespace sim
