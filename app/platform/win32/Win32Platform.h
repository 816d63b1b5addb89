// The real Windows adapters of the program's ports: one platform call per operation. Only the files of this
// folder include <windows.h>.
#pragma once

#include "platform/Advapi32.h"
#include "platform/HidLibrary.h"
#include "platform/Input.h"
#include "platform/Kernel32.h"
#include "platform/Shell32.h"
#include "platform/User32.h"
#include "platform/Winmm.h"

namespace platform {

class Win32User32 : public User32 {
  public:
    Hwnd createHiddenWindow(const std::string& title, WindowProc proc) override;
    void destroyWindow(Hwnd window) override;
    MessageResult defWindowProc(Hwnd window, std::uint32_t message, std::uintptr_t wParam,
                                std::intptr_t lParam) override;
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
    PreviousProc setWindowProc(Hwnd window, WindowProc proc) override;
    void restoreWindowProc(Hwnd window, PreviousProc previous) override;
    MessageResult callWindowProc(PreviousProc previous, Hwnd window, std::uint32_t message,
                                 std::uintptr_t wParam, std::intptr_t lParam) override;
    int popupMenu(Hwnd owner, const std::vector<PopupItem>& items, int defaultItem) override;
    std::int32_t loadIcon(int resourceId) override;
    void messageBeep() override;
    bool exitWindowsEx(std::uint32_t flags, std::uint32_t reserved) override;
    bool setTimer(Hwnd window, std::uintptr_t id, std::uint32_t milliseconds) override;
    void killTimer(Hwnd window, std::uintptr_t id) override;
    bool allowMessageFromLowerIntegrity(Hwnd window, std::uint32_t message) override;
    void runMessageLoop() override;
    void quit() override;
};

class Win32Kernel32 : public Kernel32 {
  public:
    std::uint32_t getPrivateProfileString(const std::string& section, const std::string& key,
                                          const std::string& defaultValue, char* buffer, std::uint32_t size,
                                          const std::string& path) override;
    std::uint32_t getPrivateProfileSection(const std::string& section, char* buffer, std::uint32_t size,
                                           const std::string& path) override;
    std::uint32_t getPrivateProfileSectionNames(char* buffer, std::uint32_t size,
                                                const std::string& path) override;
    std::string executableFolder() override;
    bool startProgram(const std::string& commandLine, int showCommand) override;
    bool setSystemPowerState(bool suspend, bool force) override;
    std::intptr_t createMutex(const std::string& name, bool& alreadyExists) override;
    void closeHandle(std::intptr_t handle) override;
};

class Win32Advapi32 : public Advapi32 {
  public:
    std::intptr_t openProcessToken(std::uint32_t desiredAccess) override;
    bool lookupPrivilegeValue(const std::string& systemName, const std::string& name, Luid& luid) override;
    bool adjustTokenPrivileges(std::intptr_t token, bool disableAll, const Luid& luid,
                               std::uint32_t attributes, std::uint32_t previousStateLength) override;
    void closeHandle(std::intptr_t handle) override;
};

class Win32Shell32 : public Shell32 {
  public:
    std::intptr_t shellExecute(Hwnd owner, const std::string& verb, const std::string& file,
                               const std::string& parameters, const std::string& directory,
                               int showCommand) override;
    bool shellNotifyIcon(std::uint32_t message, const NotifyIconData& data) override;
    std::uint32_t notifyIconDataV1Size() const override;
};

class Win32Winmm : public Winmm {
  public:
    std::uint32_t mciSendString(const std::string& command) override;
};

// SendInput, and the foreground window's program.
class Win32Input : public Input {
  public:
    std::uint32_t sendKeys(const std::vector<KeyEvent>& events) override;
    std::string foregroundProgram() override;
};

// XBMC.dll, loaded by name at the first call. While it cannot be loaded, every call fails.
class Win32HidLibrary : public HidLibrary {
  public:
    ~Win32HidLibrary() override;
    std::optional<std::int16_t> Connect(std::int32_t hwnd) override;
    std::optional<std::int16_t> Disconnect() override;
    std::optional<std::int32_t> GetHandle(std::int32_t vendorId, std::int32_t productId) override;
    std::optional<std::int32_t> GetVendorID(std::int32_t handle) override;
    std::optional<std::int32_t> GetProductID(std::int32_t handle) override;
    std::optional<std::int16_t> SetReadNotify(std::int32_t handle, std::int16_t enable) override;
    std::optional<std::int16_t> Read(std::int32_t handle, std::uint8_t* buffer17) override;

  private:
    void* function(const char* name);
    void* module_ = nullptr;
};

} // namespace platform
