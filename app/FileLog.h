// The program's log file: %LOCALAPPDATA%\Tavrelmond\Tavrelmond.log, one line per Write, each after its time
// (UTC). Bounded: once the file would pass Bound, it becomes the one older file (Tavrelmond.1.log, replacing
// the one before) and a new file begins, so the two never hold much more than twice Bound. Safe to write from
// any thread. A text given to Hide (the password) never reaches the file: it is written as "***".
#pragma once

#include "Log.h"
#include "platform/Files.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// The folder of the log: %LOCALAPPDATA%\Tavrelmond; empty where the platform has no such folder.
std::string LogFolder(platform::Files& files);

class FileLog final : public Log {
  public:
    using Clock = std::function<std::chrono::system_clock::time_point()>;
    static constexpr std::uint64_t Bound = 1024 * 1024;

    // The log in `folder` (created at the first line).
    FileLog(platform::Files& files, std::string folder, std::uint64_t bound = Bound,
            Clock clock = std::chrono::system_clock::now);

    void Write(std::string_view line) override;
    void Hide(std::string_view secret) override;

    const std::string& Path() const { return path_; }
    const std::string& OlderPath() const { return olderPath_; }

    // "2024-05-01 10:34:56Z": a time as the log writes it.
    static std::string TimeText(std::chrono::system_clock::time_point time);

  private:
    platform::Files& files_;
    std::string folder_;
    std::string path_;
    std::string olderPath_;
    std::uint64_t bound_;
    Clock clock_;
    std::mutex mutex_;
    std::optional<std::uint64_t> size_; // the file's size, once known
    bool folderMade_ = false;
    std::vector<std::string> secrets_;
};
