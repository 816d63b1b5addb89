#include "FileLog.h"

#include <cstdio>

std::string LogFolder(platform::Files& files) {
    const std::string local = files.knownFolder(platform::KnownFolder::LocalAppData);
    return local.empty() ? std::string() : local + "\\Tavrelmond";
}

FileLog::FileLog(platform::Files& files, std::string folder, std::uint64_t bound, Clock clock)
    : files_(files), folder_(std::move(folder)), path_(folder_ + "\\Tavrelmond.log"),
      olderPath_(folder_ + "\\Tavrelmond.1.log"), bound_(bound), clock_(std::move(clock)) {}

std::string FileLog::TimeText(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    const auto seconds = floor<std::chrono::seconds>(time);
    const auto days = floor<std::chrono::days>(seconds);
    const year_month_day date(days);
    const hh_mm_ss clock(seconds - days);
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u %02d:%02d:%02dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                  static_cast<int>(clock.seconds().count()));
    return text;
}

void FileLog::Hide(std::string_view secret) {
    if (secret.empty()) {
        return;
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    secrets_.emplace_back(secret);
}

void FileLog::Write(std::string_view line) {
    std::string text = TimeText(clock_()) + " " + std::string(line);
    // One call, one line: a line end inside would make a line of its own.
    for (char& c : text) {
        if (c == '\r' || c == '\n' || c == '\0') {
            c = ' ';
        }
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    for (const std::string& secret : secrets_) {
        for (std::size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at + 3)) {
            text.replace(at, secret.size(), "***");
        }
    }
    text += "\r\n";
    if (!folderMade_) {
        folderMade_ = files_.createFolder(folder_);
    }
    if (!size_) {
        size_ = files_.size(path_).value_or(0);
    }
    if (*size_ > 0 && *size_ + text.size() > bound_) {
        if (files_.moveReplacing(path_, olderPath_)) {
            size_ = 0;
        } else if (*size_ >= 2 * bound_) {
            return; // the file cannot be turned (held open elsewhere): the bound holds, the line is lost
        }
    }
    if (files_.append(path_, text)) {
        *size_ += text.size();
    }
}
