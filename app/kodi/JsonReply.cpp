#include "kodi/JsonReply.h"

namespace kodi {

namespace {

constexpr int MaxDepth = 64;

bool startsNumber(char c) {
    return c == '-' || (c >= '0' && c <= '9');
}

class Reader {
  public:
    explicit Reader(std::string_view text) : p_(text.data()), end_(text.data() + text.size()) {}

    void blanks() {
        while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\r' || *p_ == '\n')) {
            ++p_;
        }
    }
    bool atEnd() {
        blanks();
        return p_ == end_;
    }
    bool take(char c) {
        blanks();
        if (p_ < end_ && *p_ == c) {
            ++p_;
            return true;
        }
        return false;
    }
    char peek() {
        blanks();
        return p_ < end_ ? *p_ : '\0';
    }

    // A string; escapes are checked, and \u escapes kept as '?' (the program compares only plain text).
    bool string(std::string* out) {
        if (!take('"')) {
            return false;
        }
        while (p_ < end_) {
            const char c = *p_++;
            if (c == '"') {
                return true;
            }
            if (static_cast<unsigned char>(c) < 0x20) {
                return false;
            }
            if (c != '\\') {
                if (out != nullptr) {
                    out->push_back(c);
                }
                continue;
            }
            if (p_ == end_) {
                return false;
            }
            // The escapes of one character, and what each stands for.
            static constexpr std::string_view Escapes = "\"\\/bfnrt";
            static constexpr std::string_view Meanings = "\"\\/\b\f\n\r\t";
            const char e = *p_++;
            char plain = '?';
            if (const std::size_t at = Escapes.find(e); at != std::string_view::npos) {
                plain = Meanings[at];
            } else if (e == 'u') {
                for (int i = 0; i < 4; ++i) {
                    if (p_ == end_ || !isHex(*p_++)) {
                        return false;
                    }
                }
            } else {
                return false;
            }
            if (out != nullptr) {
                out->push_back(plain);
            }
        }
        return false;
    }

    // A number; integer is set when it has no fraction or exponent and fits 64 bits.
    bool number(bool& integer, std::int64_t& value) {
        blanks();
        const char* start = p_;
        const bool negative = p_ < end_ && *p_ == '-';
        if (negative) {
            ++p_;
        }
        if (p_ == end_ || !isDigit(*p_)) {
            return false;
        }
        integer = true;
        std::uint64_t magnitude = 0;
        if (*p_ == '0') {
            ++p_;
        } else {
            while (p_ < end_ && isDigit(*p_)) {
                const auto digit = static_cast<std::uint64_t>(*p_++ - '0');
                if (magnitude > (UINT64_MAX - digit) / 10) {
                    integer = false;
                } else {
                    magnitude = magnitude * 10 + digit;
                }
            }
        }
        if (p_ < end_ && *p_ == '.') {
            ++p_;
            integer = false;
            if (!digits()) {
                return false;
            }
        }
        if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
            ++p_;
            integer = false;
            if (p_ < end_ && (*p_ == '+' || *p_ == '-')) {
                ++p_;
            }
            if (!digits()) {
                return false;
            }
        }
        if (integer && magnitude > static_cast<std::uint64_t>(INT64_MAX) + (negative ? 1 : 0)) {
            integer = false;
        }
        if (integer) {
            value =
                negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
        }
        return p_ > start;
    }

    bool literal(std::string_view word) {
        blanks();
        if (static_cast<std::size_t>(end_ - p_) < word.size() || std::string_view(p_, word.size()) != word) {
            return false;
        }
        p_ += word.size();
        return true;
    }

    // Any value, skipped.
    bool value(int depth) {
        if (depth > MaxDepth) {
            return false;
        }
        switch (peek()) {
        case '{':
            return object(depth, [this, depth](const std::string&) { return value(depth + 1); });
        case '[':
            take('[');
            if (take(']')) {
                return true;
            }
            do {
                if (!value(depth + 1)) {
                    return false;
                }
            } while (take(','));
            return take(']');
        case '"':
            return string(nullptr);
        case 't':
            return literal("true");
        case 'f':
            return literal("false");
        case 'n':
            return literal("null");
        default: {
            bool integer = false;
            std::int64_t ignored = 0;
            return number(integer, ignored);
        }
        }
    }

    // An object; member(key) reads the member's value.
    template <typename Member> bool object(int depth, Member member) {
        if (depth > MaxDepth || !take('{')) {
            return false;
        }
        if (take('}')) {
            return true;
        }
        do {
            std::string key;
            if (!string(&key) || !take(':') || !member(key)) {
                return false;
            }
        } while (take(','));
        return take('}');
    }

  private:
    static bool isDigit(char c) { return c >= '0' && c <= '9'; }
    static bool isHex(char c) { return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
    bool digits() {
        if (p_ == end_ || !isDigit(*p_)) {
            return false;
        }
        while (p_ < end_ && isDigit(*p_)) {
            ++p_;
        }
        return true;
    }

    const char* p_;
    const char* end_;
};

} // namespace

JsonRpcAnswer ReadJsonRpcAnswer(std::string_view text) {
    JsonRpcAnswer answer;
    Reader r(text);
    const bool ok = r.object(0, [&](const std::string& key) {
        if (key == "id" && startsNumber(r.peek())) {
            bool integer = false;
            std::int64_t value = 0;
            if (!r.number(integer, value)) {
                return false;
            }
            answer.hasId = integer;
            answer.id = value;
            return true;
        }
        if (key == "result") {
            answer.hasResult = true;
            if (r.peek() == '"') {
                return r.string(&answer.resultText);
            }
            return r.value(1);
        }
        if (key == "error") {
            answer.hasError = true;
            if (r.peek() != '{') {
                return r.value(1);
            }
            return r.object(1, [&](const std::string& member) {
                if (member == "code" && startsNumber(r.peek())) {
                    bool integer = false;
                    std::int64_t value = 0;
                    if (!r.number(integer, value)) {
                        return false;
                    }
                    answer.hasErrorCode = integer;
                    answer.errorCode = value;
                    return true;
                }
                return r.value(2);
            });
        }
        return r.value(1);
    });
    answer.valid = ok && r.atEnd();
    return answer;
}

} // namespace kodi
