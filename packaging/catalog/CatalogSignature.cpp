#include "CatalogSignature.h"

#include "Catalog.h"

namespace catalog {

namespace {

using namespace der;

constexpr const char* ContentTypeAttribute = "1.2.840.113549.1.9.3";
constexpr const char* MessageDigestAttribute = "1.2.840.113549.1.9.4";
constexpr const char* SpcSpOpusInfo = "1.3.6.1.4.1.311.2.1.12";
constexpr const char* SpcStatementType = "1.3.6.1.4.1.311.2.1.11";
constexpr const char* IndividualCodeSigning = "1.3.6.1.4.1.311.2.1.21";
constexpr const char* RsaEncryption = "1.2.840.113549.1.1.1";
constexpr const char* CommonName = "2.5.4.3";
constexpr const char* ExtendedKeyUsage = "2.5.29.37";

Bytes signedAttribute(const char* type, const Bytes& value) {
    return sequence({oid(type), setOf({value})});
}

std::string nameText(const Node& value) {
    switch (value.tag) {
    case BmpString:
        return readBmpString(value);
    case Utf8String:
    case PrintableString:
    case 0x16: // IA5String
        return std::string(value.content.begin(), value.content.end());
    default:
        throw FormatError("a name in an unexpected string type");
    }
}

} // namespace

CertificateFacts readCertificate(ByteView certificate) {
    const auto cert = children(expect(parseWhole(certificate), Sequence, "certificate"));
    if (cert.size() != 3) {
        throw FormatError("a certificate has three fields");
    }
    const auto tbs = children(expect(cert[0], Sequence, "to-be-signed certificate"));
    std::size_t i = 0;
    if (!tbs.empty() && tbs[0].tag == context(0)) {
        ++i; // version
    }
    if (tbs.size() < i + 6) {
        throw FormatError("certificate too short");
    }
    CertificateFacts facts;
    facts.serialNumber.assign(expect(tbs[i], Integer, "serial number").whole.begin(), tbs[i].whole.end());
    ++i;
    expect(tbs[i++], Sequence, "signature algorithm");
    facts.issuer.assign(expect(tbs[i], Sequence, "issuer").whole.begin(), tbs[i].whole.end());
    ++i;
    const auto validity = children(expect(tbs[i++], Sequence, "validity"));
    if (validity.size() != 2) {
        throw FormatError("validity has two times");
    }
    facts.notBefore.assign(validity[0].content.begin(), validity[0].content.end());
    facts.notAfter.assign(validity[1].content.begin(), validity[1].content.end());
    const Node& subject = expect(tbs[i++], Sequence, "subject");
    facts.subject.assign(subject.whole.begin(), subject.whole.end());
    facts.selfIssued = facts.subject == facts.issuer;
    for (const Node& rdn : children(subject)) {
        for (const Node& ava : children(expect(rdn, Set, "relative distinguished name"))) {
            const auto parts = children(expect(ava, Sequence, "attribute and value"));
            if (parts.size() == 2 && readOid(parts[0]) == CommonName) {
                facts.subjectCommonName = nameText(parts[1]);
            }
        }
    }
    expect(tbs[i++], Sequence, "public key");
    for (; i < tbs.size(); ++i) {
        if (tbs[i].tag != context(3)) {
            continue;
        }
        const auto wrapped = children(tbs[i]);
        if (wrapped.size() != 1) {
            throw FormatError("extensions wrapper holds more than the extensions");
        }
        for (const Node& ext : children(expect(wrapped[0], Sequence, "extensions"))) {
            const auto parts = children(expect(ext, Sequence, "extension"));
            if (parts.size() < 2) {
                throw FormatError("an extension has a type and a value");
            }
            if (readOid(parts[0]) == ExtendedKeyUsage) {
                const Node usages = parseWhole(expect(parts.back(), OctetString, "extension value").content);
                for (const Node& usage : children(expect(usages, Sequence, "key usages"))) {
                    facts.extendedKeyUsages.push_back(readOid(usage));
                }
            }
        }
    }
    return facts;
}

Bytes signedCatalog(ByteView trustList, ByteView certificate, CatalogSigner& signer) {
    const CertificateFacts facts = readCertificate(certificate);
    // The digest covers the content's value octets: the trust list without its own tag and length.
    const Node ctl = expect(parseWhole(trustList), Sequence, "trust list");
    const Bytes digest = signer.sha256(ctl.content);
    if (digest.size() != 32) {
        throw FormatError("the SHA-256 digest of the trust list could not be made");
    }
    const Bytes attributes = setOf({
        signedAttribute(ContentTypeAttribute, oid(oids::TrustList)),
        signedAttribute(MessageDigestAttribute, octets(digest)),
        signedAttribute(SpcSpOpusInfo, sequence({})),
        signedAttribute(SpcStatementType, sequence({oid(IndividualCodeSigning)})),
    });
    // The signature is over the attributes as a SET OF; in the signer info they stand as [0] IMPLICIT.
    const Bytes signature = signer.signSha256(attributes);
    if (signature.empty()) {
        throw FormatError("the key did not sign");
    }
    const Node attributeSet = parseWhole(attributes);
    const Bytes signerInfo =
        sequence({integer(1), sequence({facts.issuer, facts.serialNumber}), algorithm(oids::Sha256),
                  tlv(context(0), attributeSet.content), algorithm(RsaEncryption), octets(signature)});
    const Bytes contentInfo = sequence({oid(oids::TrustList), explicitTag(0, trustList)});
    const Bytes signedData = sequence({integer(1), setOf({algorithm(oids::Sha256)}), contentInfo,
                                       tlv(context(0), certificate), setOf({signerInfo})});
    return sequence({oid(oids::SignedData), explicitTag(0, signedData)});
}

} // namespace catalog
