#include "kodi/HttpReply.h"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace kodi {

namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) {
        s.remove_suffix(1);
    }
    return s;
}

bool equalNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// Whether a comma-separated header value holds the token (case-insensitive).
bool hasToken(std::string_view value, std::string_view token) {
    while (!value.empty()) {
        const std::size_t comma = value.find(',');
        if (equalNoCase(trim(value.substr(0, comma)), token)) {
            return true;
        }
        if (comma == std::string_view::npos) {
            break;
        }
        value.remove_prefix(comma + 1);
    }
    return false;
}

// Decimal digits only; false past limit.
bool parseDecimal(std::string_view text, std::size_t limit, std::size_t& value) {
    if (text.empty()) {
        return false;
    }
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<std::size_t>(c - '0');
        if (value > limit) {
            return false;
        }
    }
    return true;
}

} // namespace

HttpReply::State HttpReply::feed(const char* data, std::size_t size) {
    if (size > 0) {
        started_ = true;
    }
    if (state_ != State::Incomplete) {
        if (size > 0) {
            keepAlive_ = false;
        }
        return state_;
    }
    buffer_.append(data, size);
    return advance();
}

HttpReply::State HttpReply::endOfStream() {
    keepAlive_ = false;
    if (state_ == State::Incomplete) {
        state_ = phase_ == Phase::UntilClose ? State::Complete : State::Bad;
    }
    return state_;
}

bool HttpReply::parseHead(const std::string& head) {
    std::string_view rest(head);
    std::size_t end = rest.find("\r\n");
    const std::string_view statusLine = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 2);

    // "HTTP/1.x SSS reason"
    if (statusLine.size() < 12 || statusLine.substr(0, 7) != "HTTP/1." || statusLine[8] != ' ' ||
        (statusLine.size() > 12 && statusLine[12] != ' ')) {
        return false;
    }
    const bool http11 = statusLine[7] == '1';
    std::size_t status = 0;
    if (!parseDecimal(statusLine.substr(9, 3), 999, status) || status < 100) {
        return false;
    }
    status_ = static_cast<int>(status);

    bool chunked = false;
    bool haveLength = false;
    std::size_t length = 0;
    bool close = !http11;
    while (!rest.empty()) {
        end = rest.find("\r\n");
        const std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 2);
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) {
            return false;
        }
        const std::string_view name = line.substr(0, colon);
        const std::string_view value = trim(line.substr(colon + 1));
        if (equalNoCase(name, "Content-Length")) {
            std::size_t n = 0;
            if (!parseDecimal(value, MaxBody + 1, n) || (haveLength && n != length)) {
                return false;
            }
            haveLength = true;
            length = n;
        } else if (equalNoCase(name, "Transfer-Encoding")) {
            chunked = hasToken(value, "chunked");
            if (!chunked) {
                return false; // a coding this reader cannot undo
            }
        } else if (equalNoCase(name, "Connection")) {
            if (hasToken(value, "close")) {
                close = true;
            } else if (hasToken(value, "keep-alive")) {
                close = false;
            }
        }
    }

    keepAlive_ = !close;
    if (status_ < 200) {
        return true; // interim: the real reply follows
    }
    if (status_ == 204 || status_ == 304) {
        phase_ = Phase::Length;
        remaining_ = 0;
    } else if (chunked) {
        phase_ = Phase::ChunkSize;
    } else if (haveLength) {
        if (length > MaxBody) {
            return false;
        }
        phase_ = Phase::Length;
        remaining_ = length;
    } else {
        phase_ = Phase::UntilClose;
        keepAlive_ = false;
    }
    return true;
}

HttpReply::State HttpReply::advance() {
    std::size_t pos = 0;
    State result = State::Incomplete;
    for (;;) {
        const std::size_t available = buffer_.size() - pos;
        if (phase_ == Phase::Head) {
            const std::size_t end = buffer_.find("\r\n\r\n", pos);
            if (end == std::string::npos) {
                if (available > MaxHead) {
                    return bad();
                }
                break;
            }
            if (end - pos > MaxHead || !parseHead(buffer_.substr(pos, end - pos))) {
                return bad();
            }
            pos = end + 4;
            if (status_ < 200) {
                continue; // phase stays Head
            }
        } else if (phase_ == Phase::Length) {
            const std::size_t take = std::min(available, remaining_);
            body_.append(buffer_, pos, take);
            pos += take;
            remaining_ -= take;
            if (remaining_ > 0) {
                break;
            }
            result = State::Complete;
            break;
        } else if (phase_ == Phase::ChunkSize || phase_ == Phase::Trailer) {
            const std::size_t end = buffer_.find("\r\n", pos);
            if (end == std::string::npos) {
                if (available > MaxHead) {
                    return bad();
                }
                break;
            }
            const std::string_view line(buffer_.data() + pos, end - pos);
            pos = end + 2;
            if (phase_ == Phase::Trailer) {
                trailerBytes_ += line.size() + 2;
                if (trailerBytes_ > MaxHead) {
                    return bad();
                }
                if (line.empty()) {
                    result = State::Complete;
                    break;
                }
                continue;
            }
            const std::string_view digits = trim(line.substr(0, line.find(';')));
            if (digits.empty() || digits.size() > 8) {
                return bad();
            }
            std::size_t size = 0;
            for (char c : digits) {
                const int v =
                    std::isxdigit(static_cast<unsigned char>(c))
                        ? (std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (c | 0x20) - 'a' + 10)
                        : -1;
                if (v < 0) {
                    return bad();
                }
                size = size * 16 + static_cast<std::size_t>(v);
            }
            if (size == 0) {
                phase_ = Phase::Trailer;
            } else if (size > MaxBody - body_.size()) { // never wraps: the body is within MaxBody
                return bad();
            } else {
                remaining_ = size;
                phase_ = Phase::ChunkData;
            }
        } else if (phase_ == Phase::ChunkData) {
            if (available < remaining_ + 2) {
                break;
            }
            body_.append(buffer_, pos, remaining_);
            pos += remaining_;
            if (buffer_.compare(pos, 2, "\r\n") != 0) {
                return bad();
            }
            pos += 2;
            phase_ = Phase::ChunkSize;
        } else { // UntilClose
            if (available > MaxBody - body_.size()) {
                return bad();
            }
            body_.append(buffer_, pos, available);
            pos += available;
            break;
        }
    }
    buffer_.erase(0, pos);
    if (result == State::Complete) {
        if (!buffer_.empty()) {
            keepAlive_ = false; // something follows that no request asked for
        }
        buffer_.clear();
        state_ = State::Complete;
    }
    return state_;
}

} // namespace kodi
