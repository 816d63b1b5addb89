// Distinguished Encoding Rules, as far as driver catalogs and their signatures need them: writing the few
// ASN.1 types they are made of, and a bounded reader that never reads past what it was given. Platform-free;
// used by the catalog tool on the build machine and by the install program on Windows.
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace catalog {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

// Thrown by the reader (and by writers given values they cannot encode); readCatalog and the tools turn it
// into an error message, never into a half-read result.
class FormatError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

namespace der {

enum Tag : std::uint8_t {
    Boolean = 0x01,
    Integer = 0x02,
    BitString = 0x03,
    OctetString = 0x04,
    Null = 0x05,
    ObjectId = 0x06,
    Utf8String = 0x0C,
    PrintableString = 0x13,
    UtcTime = 0x17,
    GeneralizedTime = 0x18,
    BmpString = 0x1E,
    Sequence = 0x30,
    Set = 0x31,
};

// [n] context-specific tag, constructed (EXPLICIT or IMPLICIT over a constructed type) or primitive.
constexpr std::uint8_t context(unsigned n, bool constructed = true) {
    return static_cast<std::uint8_t>((constructed ? 0xA0 : 0x80) | n);
}

// -- writing ---------------------------------------------------------------------------------------------
Bytes length(std::size_t n);
Bytes tlv(std::uint8_t tag, ByteView content);
Bytes sequence(const std::vector<Bytes>& items);
// SET OF: DER orders the elements by their encodings.
Bytes setOf(std::vector<Bytes> items);
Bytes explicitTag(unsigned n, ByteView inner);
Bytes integer(std::int64_t value);
// A non-negative integer given as big-endian bytes (a serial number, an RSA modulus): a leading zero is
// added where the top bit is set, leading zeros beyond that are dropped.
Bytes unsignedInteger(ByteView bigEndian);
Bytes octets(ByteView data);
Bytes null();
Bytes oid(std::string_view dotted);
// BMPString from UTF-8 text (characters of the Basic Multilingual Plane only).
Bytes bmpString(std::string_view utf8);
// UTCTime YYMMDDHHMMSSZ of a time in seconds since 1970 (UTC), years 1950 to 2049.
Bytes utcTime(std::int64_t unixSeconds);
// An AlgorithmIdentifier with NULL parameters.
Bytes algorithm(std::string_view dotted);

// -- reading ---------------------------------------------------------------------------------------------
struct Node {
    std::uint8_t tag = 0;
    ByteView content; // the value's bytes
    ByteView whole;   // tag, length and value
};

// The element at data[pos]; pos moves past it. Definite lengths only, at most four length bytes, never
// past the end of data.
Node parse(ByteView data, std::size_t& pos);
// The one element that data holds; anything after it is an error.
Node parseWhole(ByteView data);
// The elements inside a constructed node.
std::vector<Node> children(const Node& node);
// Throws unless the node has the tag; `what` names it in the message.
const Node& expect(const Node& node, std::uint8_t tag, const char* what);
std::string readOid(const Node& node);
std::int64_t readInteger(const Node& node);
// UTF-8 text of a BMPString.
std::string readBmpString(const Node& node);

// UTF-16LE of UTF-8 text, and back (the catalog's tags and name/value attributes are stored so).
Bytes utf16le(std::string_view utf8);
std::string fromUtf16le(ByteView data);

} // namespace der

// Concatenation of byte strings.
Bytes join(const std::vector<Bytes>& parts);
std::string hexUpper(ByteView data);

} // namespace catalog
