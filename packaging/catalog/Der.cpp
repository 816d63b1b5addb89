#include "Der.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

namespace catalog {

Bytes join(const std::vector<Bytes>& parts) {
    Bytes out;
    for (const Bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

std::string hexUpper(ByteView data) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(data.size() * 2);
    for (std::uint8_t b : data) {
        out += digits[b >> 4];
        out += digits[b & 0x0F];
    }
    return out;
}

namespace der {

namespace {

// Code points of UTF-8 text; malformed text is an error, not replaced.
std::vector<char32_t> codePoints(std::string_view utf8) {
    std::vector<char32_t> out;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        const int extra = lead < 0x80             ? 0
                          : (lead & 0xE0) == 0xC0 ? 1
                          : (lead & 0xF0) == 0xE0 ? 2
                          : (lead & 0xF8) == 0xF0 ? 3
                                                  : -1;
        if (extra < 0 || utf8.size() - i <= static_cast<std::size_t>(extra)) {
            throw FormatError("text is not UTF-8");
        }
        char32_t c = extra == 0 ? lead : lead & (0x3F >> extra);
        for (int k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(utf8[i + k]);
            if ((next & 0xC0) != 0x80) {
                throw FormatError("text is not UTF-8");
            }
            c = (c << 6) | (next & 0x3F);
        }
        static const char32_t smallest[] = {0, 0x80, 0x800, 0x10000};
        if (c < smallest[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            throw FormatError("text is not UTF-8");
        }
        out.push_back(c);
        i += static_cast<std::size_t>(extra) + 1;
    }
    return out;
}

void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Year, month and day of a day count since 1970-01-01 (proleptic Gregorian calendar).
void civilFromDays(std::int64_t days, int& year, unsigned& month, unsigned& day) {
    days += 719468; // from 0000-03-01
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const auto dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned shiftedMonth = (5 * dayOfYear + 2) / 153; // 0 is March
    day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
    month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
    year = static_cast<int>(yearOfEra + era * 400 + (month <= 2 ? 1 : 0));
}

} // namespace

Bytes length(std::size_t n) {
    if (n < 0x80) {
        return {static_cast<std::uint8_t>(n)};
    }
    Bytes body;
    for (std::size_t v = n; v != 0; v >>= 8) {
        body.insert(body.begin(), static_cast<std::uint8_t>(v & 0xFF));
    }
    body.insert(body.begin(), static_cast<std::uint8_t>(0x80 | body.size()));
    return body;
}

Bytes tlv(std::uint8_t tag, ByteView content) {
    Bytes out{tag};
    const Bytes len = length(content.size());
    out.insert(out.end(), len.begin(), len.end());
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

Bytes sequence(const std::vector<Bytes>& items) {
    return tlv(Sequence, join(items));
}

Bytes setOf(std::vector<Bytes> items) {
    // Compared byte by byte (gcc 12 warns wrongly about the memcmp the default comparison becomes).
    std::sort(items.begin(), items.end(), [](const Bytes& a, const Bytes& b) {
        return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                            [](std::uint8_t x, std::uint8_t y) { return x < y; });
    });
    return tlv(Set, join(items));
}

Bytes explicitTag(unsigned n, ByteView inner) {
    return tlv(context(n), inner);
}

Bytes integer(std::int64_t value) {
    Bytes body;
    // Two's complement, big-endian, as short as the sign allows.
    for (int shift = 56; shift >= 0; shift -= 8) {
        body.push_back(static_cast<std::uint8_t>((static_cast<std::uint64_t>(value) >> shift) & 0xFF));
    }
    std::size_t skip = 0;
    while (skip + 1 < body.size() && ((body[skip] == 0x00 && !(body[skip + 1] & 0x80)) ||
                                      (body[skip] == 0xFF && (body[skip + 1] & 0x80)))) {
        ++skip;
    }
    return tlv(Integer, ByteView(body).subspan(skip));
}

Bytes unsignedInteger(ByteView bigEndian) {
    std::size_t skip = 0;
    while (skip + 1 < bigEndian.size() && bigEndian[skip] == 0) {
        ++skip;
    }
    Bytes body(bigEndian.begin() + static_cast<std::ptrdiff_t>(skip), bigEndian.end());
    if (body.empty() || (body[0] & 0x80)) {
        body.insert(body.begin(), 0x00);
    }
    return tlv(Integer, body);
}

Bytes octets(ByteView data) {
    return tlv(OctetString, data);
}

Bytes null() {
    return {Null, 0x00};
}

Bytes oid(std::string_view dotted) {
    std::vector<std::uint64_t> arcs;
    for (std::size_t pos = 0; pos <= dotted.size();) {
        const std::size_t dot = std::min(dotted.find('.', pos), dotted.size());
        std::uint64_t arc = 0;
        const auto [end, ec] = std::from_chars(dotted.data() + pos, dotted.data() + dot, arc);
        if (ec != std::errc() || end != dotted.data() + dot || dot == pos) {
            throw FormatError("bad object identifier " + std::string(dotted));
        }
        arcs.push_back(arc);
        pos = dot + 1;
    }
    if (arcs.size() < 2 || arcs[0] > 2 || (arcs[0] < 2 && arcs[1] >= 40)) {
        throw FormatError("bad object identifier " + std::string(dotted));
    }
    Bytes body;
    auto base128 = [&body](std::uint64_t value) {
        Bytes chunk{static_cast<std::uint8_t>(value & 0x7F)};
        for (value >>= 7; value != 0; value >>= 7) {
            chunk.insert(chunk.begin(), static_cast<std::uint8_t>(0x80 | (value & 0x7F)));
        }
        body.insert(body.end(), chunk.begin(), chunk.end());
    };
    base128(40 * arcs[0] + arcs[1]);
    for (std::size_t i = 2; i < arcs.size(); ++i) {
        base128(arcs[i]);
    }
    return tlv(ObjectId, body);
}

Bytes bmpString(std::string_view utf8) {
    Bytes body;
    for (char32_t c : codePoints(utf8)) {
        if (c > 0xFFFF) {
            throw FormatError("a BMPString holds no characters past U+FFFF");
        }
        body.push_back(static_cast<std::uint8_t>(c >> 8));
        body.push_back(static_cast<std::uint8_t>(c & 0xFF));
    }
    return tlv(BmpString, body);
}

Bytes utcTime(std::int64_t unixSeconds) {
    const std::int64_t days = (unixSeconds >= 0 ? unixSeconds : unixSeconds - 86399) / 86400;
    const std::int64_t secondOfDay = unixSeconds - days * 86400;
    int year = 0;
    unsigned month = 0, day = 0;
    civilFromDays(days, year, month, day);
    if (year < 1950 || year > 2049) {
        throw FormatError("a UTCTime holds the years 1950 to 2049 only");
    }
    char text[32];
    std::snprintf(text, sizeof text, "%02d%02u%02u%02d%02d%02dZ", year % 100, month, day,
                  static_cast<int>(secondOfDay / 3600), static_cast<int>(secondOfDay / 60 % 60),
                  static_cast<int>(secondOfDay % 60));
    const std::string_view s(text);
    return tlv(UtcTime, ByteView(reinterpret_cast<const std::uint8_t*>(s.data()), s.size()));
}

Bytes algorithm(std::string_view dotted) {
    return sequence({oid(dotted), null()});
}

Node parse(ByteView data, std::size_t& pos) {
    if (pos > data.size() || data.size() - pos < 2) {
        throw FormatError("truncated element");
    }
    const std::size_t start = pos;
    Node node;
    node.tag = data[pos];
    if ((node.tag & 0x1F) == 0x1F) {
        throw FormatError("multi-byte tags are not used here");
    }
    const std::uint8_t first = data[pos + 1];
    pos += 2;
    std::size_t len = first;
    if (first == 0x80) {
        throw FormatError("indefinite lengths are not DER");
    }
    if (first > 0x80) {
        const std::size_t count = first & 0x7F;
        if (count > 4 || data.size() - pos < count) {
            throw FormatError("bad length");
        }
        len = 0;
        for (std::size_t i = 0; i < count; ++i) {
            len = (len << 8) | data[pos + i];
        }
        pos += count;
    }
    if (len > data.size() - pos) {
        throw FormatError("element runs past the end of its container");
    }
    node.content = data.subspan(pos, len);
    node.whole = data.subspan(start, pos + len - start);
    pos += len;
    return node;
}

Node parseWhole(ByteView data) {
    std::size_t pos = 0;
    Node node = parse(data, pos);
    if (pos != data.size()) {
        throw FormatError("data after the element");
    }
    return node;
}

std::vector<Node> children(const Node& node) {
    if (!(node.tag & 0x20)) {
        throw FormatError("a primitive element has no elements inside");
    }
    std::vector<Node> out;
    for (std::size_t pos = 0; pos < node.content.size();) {
        out.push_back(parse(node.content, pos));
    }
    return out;
}

const Node& expect(const Node& node, std::uint8_t tag, const char* what) {
    if (node.tag != tag) {
        char text[64];
        std::snprintf(text, sizeof text, ": tag 0x%02x, expected 0x%02x", node.tag, tag);
        throw FormatError(std::string(what) + text);
    }
    return node;
}

std::string readOid(const Node& node) {
    expect(node, ObjectId, "object identifier");
    if (node.content.empty() || (node.content.back() & 0x80)) {
        throw FormatError("bad object identifier");
    }
    std::string out;
    std::uint64_t value = 0;
    bool firstArc = true;
    for (std::uint8_t b : node.content) {
        if (value > (UINT64_MAX >> 7)) {
            throw FormatError("object identifier arc too large");
        }
        value = (value << 7) | (b & 0x7F);
        if (b & 0x80) {
            continue;
        }
        if (firstArc) {
            const std::uint64_t top = std::min<std::uint64_t>(value / 40, 2);
            out += std::to_string(top);
            out += '.';
            out += std::to_string(value - 40 * top);
            firstArc = false;
        } else {
            out += '.';
            out += std::to_string(value);
        }
        value = 0;
    }
    return out;
}

std::int64_t readInteger(const Node& node) {
    expect(node, Integer, "integer");
    if (node.content.empty() || node.content.size() > 8) {
        throw FormatError("integer of an unexpected size");
    }
    std::int64_t value = (node.content[0] & 0x80) ? -1 : 0;
    for (std::uint8_t b : node.content) {
        value = static_cast<std::int64_t>((static_cast<std::uint64_t>(value) << 8) | b);
    }
    return value;
}

std::string readBmpString(const Node& node) {
    expect(node, BmpString, "BMPString");
    if (node.content.size() % 2) {
        throw FormatError("BMPString of an odd length");
    }
    std::string out;
    for (std::size_t i = 0; i < node.content.size(); i += 2) {
        const char32_t c = static_cast<char32_t>(node.content[i] << 8 | node.content[i + 1]);
        if (c >= 0xD800 && c <= 0xDFFF) {
            throw FormatError("BMPString holds a surrogate");
        }
        appendUtf8(out, c);
    }
    return out;
}

Bytes utf16le(std::string_view utf8) {
    Bytes out;
    auto unit = [&out](char32_t u) {
        out.push_back(static_cast<std::uint8_t>(u & 0xFF));
        out.push_back(static_cast<std::uint8_t>(u >> 8));
    };
    for (char32_t c : codePoints(utf8)) {
        if (c >= 0x10000) {
            unit(0xD800 + ((c - 0x10000) >> 10));
            unit(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            unit(c);
        }
    }
    return out;
}

std::string fromUtf16le(ByteView data) {
    if (data.size() % 2) {
        throw FormatError("UTF-16 text of an odd length");
    }
    std::string out;
    for (std::size_t i = 0; i < data.size(); i += 2) {
        char32_t c = static_cast<char32_t>(data[i] | data[i + 1] << 8);
        if (c >= 0xD800 && c <= 0xDBFF && i + 3 < data.size()) {
            const char32_t low = static_cast<char32_t>(data[i + 2] | data[i + 3] << 8);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            }
        }
        if (c >= 0xD800 && c <= 0xDFFF) {
            throw FormatError("UTF-16 text holds a lone surrogate");
        }
        appendUtf8(out, c);
    }
    return out;
}

} // namespace der
} // namespace catalog
