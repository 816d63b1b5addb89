// Signing a catalog's trust list: the PKCS#7 SignedData around it with one signer (SHA-256, RSA), the
// signer's certificate, and the signed attributes an Authenticode signature carries. Encoded here because
// the platform's message encoder cannot be relied on to place a trust list as a catalog needs it (directly,
// not in an OCTET STRING); only the digest and the RSA signature come from the platform, through
// CatalogSigner: OpenSSL on the build machine, CryptoAPI in the install program.
#pragma once

#include "Der.h"

#include <string>
#include <vector>

namespace catalog {

class CatalogSigner {
  public:
    virtual ~CatalogSigner() = default;
    virtual Bytes sha256(ByteView data) = 0;
    // The RSA (PKCS#1 v1.5) signature of data's SHA-256 digest, most significant byte first. Empty when
    // the key refuses.
    virtual Bytes signSha256(ByteView data) = 0;
};

// What a certificate says that signing and its checks need.
struct CertificateFacts {
    Bytes serialNumber; // the INTEGER, DER
    Bytes issuer;       // Name, DER
    Bytes subject;      // Name, DER
    std::string subjectCommonName;
    std::string notBefore, notAfter; // as stored (UTCTime or GeneralizedTime text)
    std::vector<std::string> extendedKeyUsages;
    bool selfIssued = false;
};

// Throws FormatError when the bytes are not an X.509 certificate.
CertificateFacts readCertificate(ByteView certificate);

// The signed catalog: trustList as content, certificate as the only certificate, one signer. Throws
// FormatError for a certificate that cannot be read or a signer that refuses.
Bytes signedCatalog(ByteView trustList, ByteView certificate, CatalogSigner& signer);

} // namespace catalog
