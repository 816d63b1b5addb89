#include "Conversions.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string>

namespace {

std::string_view Trim(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && blank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

std::optional<double> RadixValue(std::string_view digits, int radix) {
    if (digits.empty() || digits.size() > 16) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (char c : digits) {
        int d;
        if (c >= '0' && c <= '9') {
            d = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            d = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            d = c - 'A' + 10;
        } else {
            return std::nullopt;
        }
        if (d >= radix) {
            return std::nullopt;
        }
        value = value * static_cast<std::uint64_t>(radix) + static_cast<std::uint64_t>(d);
    }
    return static_cast<double>(value);
}

} // namespace

std::optional<double> TextToDouble(std::string_view text) {
    text = Trim(text);
    if (text.size() > 2 && text[0] == '&') {
        if (text[1] == 'H' || text[1] == 'h') {
            return RadixValue(text.substr(2), 16);
        }
        if (text[1] == 'O' || text[1] == 'o') {
            return RadixValue(text.substr(2), 8);
        }
        return std::nullopt;
    }
    // Decimal only: sign, digits, optional fraction, optional exponent. strtod alone would also take
    // hexadecimal floats, "inf" and "nan", which are not numbers here.
    std::size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        ++i;
    }
    std::size_t digits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        ++i;
        ++digits;
    }
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            ++i;
            ++digits;
        }
    }
    if (digits == 0) {
        return std::nullopt;
    }
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        std::size_t j = i + 1;
        if (j < text.size() && (text[j] == '+' || text[j] == '-')) {
            ++j;
        }
        std::size_t expDigits = 0;
        while (j < text.size() && text[j] >= '0' && text[j] <= '9') {
            ++j;
            ++expDigits;
        }
        if (expDigits == 0) {
            return std::nullopt;
        }
        i = j;
    }
    if (i != text.size()) {
        return std::nullopt;
    }
    const std::string copy(text);
    errno = 0;
    const double value = std::strtod(copy.c_str(), nullptr);
    if (errno == ERANGE && std::isinf(value)) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::int32_t> TextToLong(std::string_view text) {
    const auto value = TextToDouble(text);
    if (!value) {
        return std::nullopt;
    }
    const double rounded = std::nearbyint(*value); // the default rounding mode rounds halves to even
    if (rounded < -2147483648.0 || rounded > 2147483647.0) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(rounded);
}
