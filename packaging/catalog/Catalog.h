// Driver catalogs (.cat): a PKCS#7 SignedData whose content is a certificate trust list (CTL) with one member
// per file of a driver package, and name/value attributes (OS, OSAttr, HWID1, ...) that Windows' driver
// signing checks compare with the system. Written here without the platform's catalog functions (the build
// machine has none, and Wine's writers are stubs), read back with the same care.
//
// The catalog is a version 1 catalog: each member is tagged by its SHA-1 digest (upper-case hex, UTF-16LE)
// and carries the file's Authenticode indirect data (for a PE image, the image's Authenticode digest; for a
// flat file such as the INF, the SHA-1 of the whole file). Every Windows from 7 on reads it.
#pragma once

#include "Der.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace catalog {

namespace oids {
inline constexpr const char* SignedData = "1.2.840.113549.1.7.2";
inline constexpr const char* TrustList = "1.3.6.1.4.1.311.10.1";
inline constexpr const char* CatalogList = "1.3.6.1.4.1.311.12.1.1";
inline constexpr const char* CatalogListMember = "1.3.6.1.4.1.311.12.1.2";
inline constexpr const char* CatalogNameValue = "1.3.6.1.4.1.311.12.2.1";
inline constexpr const char* CatalogMemberInfo = "1.3.6.1.4.1.311.12.2.2";
inline constexpr const char* SpcIndirectData = "1.3.6.1.4.1.311.2.1.4";
inline constexpr const char* SpcPeImageData = "1.3.6.1.4.1.311.2.1.15";
inline constexpr const char* SpcCabData = "1.3.6.1.4.1.311.2.1.25";
inline constexpr const char* Sha1 = "1.3.14.3.2.26";
inline constexpr const char* Sha256 = "2.16.840.1.101.3.4.2.1";
} // namespace oids

// A digest function (SHA-1 here), given by the caller: OpenSSL on the build machine, CryptoAPI on Windows.
using Digest = std::function<Bytes(ByteView)>;

enum class MemberKind { PeImage, Flat };

// The parts of an SpcIndirectDataContent that a catalog member is checked by.
struct IndirectData {
    std::string dataType;        // SpcPeImageData for an image, SpcCabData for a flat file
    std::string digestAlgorithm; // object identifier
    Bytes digest;
};

IndirectData readIndirectData(ByteView spcIndirectDataContent);
// The SpcIndirectDataContent inside what `osslsigncode extract-data` writes (a ContentInfo of SignedData).
Bytes indirectDataFromExtract(ByteView extractOutput);
// The SpcIndirectDataContent of a file hashed whole, from its SHA-1.
Bytes flatIndirectData(ByteView sha1);

struct Member {
    std::string file; // the file's name in the package
    MemberKind kind = MemberKind::Flat;
    Bytes indirectData; // SpcIndirectDataContent, with a SHA-1 digest
};

struct Attribute {
    std::string name;
    std::string value;
    bool operator==(const Attribute&) const = default;
};

// The trust list (DER) of a version 1 catalog: members ordered by tag, the attributes in the order given,
// `thisUpdate` as its time (seconds since 1970, UTC). Its identifier is made from the contents with `sha1`,
// so the same inputs give the same bytes. Throws FormatError for a member without a SHA-1 digest, two
// members of one digest, or no member at all.
Bytes buildTrustList(const std::vector<Member>& members, const std::vector<Attribute>& attributes,
                     std::int64_t thisUpdate, const Digest& sha1);

// The catalog without a signature (no certificates, no signer infos), for a signing tool to sign.
Bytes unsignedCatalog(ByteView trustList);

struct ReadMember {
    std::string tag;  // upper-case hex of the digest
    std::string file; // the "File" attribute
    std::string kind; // "pe", "flat", or the subject interface package's GUID when it is neither
    std::string dataType;
    std::string digestAlgorithm;
    Bytes digest;
};

struct ReadSigner {
    std::string digestAlgorithm;    // object identifier
    std::string signatureAlgorithm; // object identifier
    Bytes issuer;                   // the issuer's Name, DER
    Bytes serialNumber;             // the INTEGER's value bytes
};

struct CatalogContents {
    std::vector<ReadMember> members;
    std::vector<Attribute> attributes; // in the order stored
    std::vector<ReadSigner> signers;
    std::vector<Bytes> certificates; // DER, in the order stored
    Bytes trustList;                 // the CTL, DER
    std::string thisUpdate;          // as stored (UTCTime text)

    const ReadMember* memberByFile(std::string_view file) const;
    const std::string* attribute(std::string_view name) const;
};

// Reads a catalog; nothing and a message in `error` when the bytes are not such a catalog (also when a
// member's tag and digest differ, or the trust list is wrapped in an OCTET STRING as CMS writers do).
std::optional<CatalogContents> readCatalog(ByteView data, std::string& error);

} // namespace catalog
