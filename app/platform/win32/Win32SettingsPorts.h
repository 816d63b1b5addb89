// The real Windows adapters of the settings' ports: files and folders, file rights and data protection, and
// the settings window (a dialog from the program's resources).
#pragma once

#include "platform/Files.h"
#include "platform/Security.h"
#include "platform/SettingsWindow.h"

namespace platform {

class Win32Files : public Files {
  public:
    std::string knownFolder(KnownFolder folder) override;
    bool createFolder(const std::string& path) override;
    bool exists(const std::string& path) override;
    std::optional<std::string> readText(const std::string& path) override;
    bool replaceText(const std::string& path, std::string_view utf8) override;
    bool append(const std::string& path, std::string_view bytes) override;
    std::optional<std::uint64_t> size(const std::string& path) override;
    bool moveReplacing(const std::string& from, const std::string& to) override;
    std::optional<std::string> readProfileString(const std::string& section, const std::string& key,
                                                 const std::string& path) override;
};

class Win32Security : public Security {
  public:
    FileWriters fileWriters(const std::string& path) override;
    std::optional<std::string> protect(std::string_view data) override;
    std::optional<std::string> unprotect(std::string_view blob) override;
};

class Win32SettingsWindow : public SettingsWindow {
  public:
    void run(Hwnd owner, const SettingsView& view, SettingsWindowEvents& events) override;
    void show(const SettingsView& view) override;
    SettingsEntries entries() override;
    void focus(SettingsControl control) override;
    void close() override;
    void bringToFront() override;

    // For the dialog procedure.
    void* dialog_ = nullptr;
    SettingsWindowEvents* events_ = nullptr;
    SettingsView initial_;
    bool listFilled_ = false;
};

} // namespace platform
