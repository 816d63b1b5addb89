// The virtual backend's line protocol. Every input is checked before use: unknown words, bad numbers, too
// many bytes and overlong lines are answered with an error and change nothing.
#include "hidlib/LineProtocol.h"

#include <cstdio>

namespace hidlib::wire {

namespace {

std::vector<std::string_view> splitWords(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) {
            ++i;
        }
        const std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') {
            ++i;
        }
        if (i > start) {
            words.push_back(line.substr(start, i - start));
        }
    }
    return words;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// A device number: decimal, 1 to kMaxDeviceId, no sign.
std::optional<std::uint32_t> parseDevice(std::string_view word) {
    if (word.empty() || word.size() > 6) {
        return std::nullopt;
    }
    std::uint32_t value = 0;
    for (char c : word) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
    }
    if (value == 0 || value > kMaxDeviceId) {
        return std::nullopt;
    }
    return value;
}

// A USB ID: 1 to 4 hexadecimal digits, with or without "0x".
std::optional<std::uint16_t> parseId(std::string_view word) {
    if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
        word.remove_prefix(2);
    }
    if (word.empty() || word.size() > 4) {
        return std::nullopt;
    }
    unsigned value = 0;
    for (char c : word) {
        const int digit = hexDigit(c);
        if (digit < 0) {
            return std::nullopt;
        }
        value = value * 16 + static_cast<unsigned>(digit);
    }
    return static_cast<std::uint16_t>(value);
}

// Report bytes: a word of one or two hex digits is one byte; a longer word is read two digits a byte and must
// have an even length.
bool appendBytes(std::string_view word, std::vector<std::uint8_t>& bytes) {
    if (word.size() > 2 && word.size() % 2 != 0) {
        return false;
    }
    const std::size_t step = word.size() <= 2 ? word.size() : 2;
    for (std::size_t i = 0; i < word.size(); i += step) {
        unsigned value = 0;
        for (std::size_t k = i; k < i + step; ++k) {
            const int digit = hexDigit(word[k]);
            if (digit < 0) {
                return false;
            }
            value = value * 16 + static_cast<unsigned>(digit);
        }
        if (bytes.size() == kMaxReportBytes) {
            return false;
        }
        bytes.push_back(static_cast<std::uint8_t>(value));
    }
    return true;
}

Parsed fail(std::string text) {
    return Parsed{std::nullopt, std::move(text)};
}

} // namespace

Parsed parseLine(std::string_view line) {
    const auto words = splitWords(line);
    if (words.empty() || words[0][0] == '#') {
        return {};
    }
    Command command;
    const std::string_view verb = words[0];
    if (verb == "attach") {
        if (words.size() != 4) {
            return fail("usage: attach DEVICE VID PID");
        }
        const auto device = parseDevice(words[1]);
        const auto vendorId = parseId(words[2]);
        const auto productId = parseId(words[3]);
        if (!device) {
            return fail("bad device number");
        }
        if (!vendorId || !productId) {
            return fail("bad vendor or product ID");
        }
        command.kind = Command::Kind::Attach;
        command.device = *device;
        command.vendorId = *vendorId;
        command.productId = *productId;
    } else if (verb == "remove") {
        if (words.size() != 2) {
            return fail("usage: remove DEVICE");
        }
        const auto device = parseDevice(words[1]);
        if (!device) {
            return fail("bad device number");
        }
        command.kind = Command::Kind::Remove;
        command.device = *device;
    } else if (verb == "change") {
        if (words.size() != 1) {
            return fail("usage: change");
        }
        command.kind = Command::Kind::Change;
    } else if (verb == "report") {
        if (words.size() < 3) {
            return fail("usage: report DEVICE BYTE...");
        }
        const auto device = parseDevice(words[1]);
        if (!device) {
            return fail("bad device number");
        }
        command.kind = Command::Kind::Report;
        command.device = *device;
        for (std::size_t i = 2; i < words.size(); ++i) {
            if (!appendBytes(words[i], command.bytes)) {
                return fail(command.bytes.size() == kMaxReportBytes ? "report too long" : "bad report bytes");
            }
        }
    } else {
        return fail("unknown command");
    }
    return Parsed{std::move(command), {}};
}

std::string formatAttach(std::uint32_t device, std::uint16_t vendorId, std::uint16_t productId) {
    char text[64];
    std::snprintf(text, sizeof text, "attach %u %04X %04X", static_cast<unsigned>(device),
                  static_cast<unsigned>(vendorId), static_cast<unsigned>(productId));
    return text;
}

std::string formatRemove(std::uint32_t device) {
    return "remove " + std::to_string(device);
}

std::string formatChange() {
    return "change";
}

std::string formatReport(std::uint32_t device, std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string line = "report " + std::to_string(device);
    for (std::uint8_t byte : bytes) {
        line += ' ';
        line += kDigits[byte >> 4];
        line += kDigits[byte & 0x0F];
    }
    return line;
}

void LineSplitter::feed(std::string_view chunk, const Sink& sink) {
    for (char c : chunk) {
        if (c == '\n') {
            std::string_view line(pending_);
            if (!line.empty() && line.back() == '\r') {
                line.remove_suffix(1);
            }
            if (skipping_ || line.size() > kMaxLineLength) {
                sink({}, true);
            } else {
                sink(line, false);
            }
            pending_.clear();
            skipping_ = false;
        } else if (!skipping_) {
            // One more than the limit is kept, for a CR at the limit; beyond that the line is dropped.
            if (pending_.size() > kMaxLineLength) {
                pending_.clear();
                skipping_ = true;
            } else {
                pending_ += c;
            }
        }
    }
}

std::string Session::tooLong() {
    return "error line too long";
}

std::string Session::apply(std::string_view line) {
    Parsed parsed = parseLine(line);
    if (!parsed.error.empty()) {
        return "error " + parsed.error;
    }
    if (!parsed.command) {
        return {};
    }
    const Command& command = *parsed.command;
    switch (command.kind) {
    case Command::Kind::Attach: {
        if (handles_.contains(command.device)) {
            return "error device already attached";
        }
        const std::int32_t handle = core_.attach(command.vendorId, command.productId);
        if (handle == 0) {
            return "error no free handle";
        }
        handles_[command.device] = handle;
        return "ok " + std::to_string(handle);
    }
    case Command::Kind::Remove: {
        const auto found = handles_.find(command.device);
        if (found == handles_.end()) {
            return "error unknown device";
        }
        core_.remove(found->second);
        handles_.erase(found);
        return "ok";
    }
    case Command::Kind::Change:
        core_.change();
        return "ok";
    case Command::Kind::Report: {
        const auto found = handles_.find(command.device);
        if (found == handles_.end()) {
            return "error unknown device";
        }
        switch (core_.report(found->second, command.bytes)) {
        case ReportResult::Queued:
            return "ok";
        case ReportResult::Held:
            return "ok held";
        case ReportResult::Duplicate:
            return "ok duplicate";
        case ReportResult::Unknown:
        case ReportResult::Empty:
            break;
        }
        return "error report not taken";
    }
    }
    return "error unknown command";
}

void Session::end() {
    if (handles_.empty()) {
        return;
    }
    for (const auto& [device, handle] : handles_) {
        core_.remove(handle);
    }
    handles_.clear();
    core_.change();
}

} // namespace hidlib::wire
