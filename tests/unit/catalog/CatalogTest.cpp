// The catalog builder: DER primitives against openssl's encodings, the trust list against catalogs the
// earlier Python generator wrote (stored in data/), the reader against what is not such a catalog, and the
// signed catalog's structure. osslsigncode's verdict on signed catalogs is in
// tests/packaging/drivercat_test.py.
#include "Catalog.h"
#include "CatalogSignature.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

namespace {

using namespace catalog;

Bytes fromHex(std::string_view hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    }
    return out;
}

Bytes readData(const std::string& name) {
    std::ifstream in(std::string(CATALOG_TEST_DATA) + "/" + name, std::ios::binary);
    EXPECT_TRUE(in.good()) << name;
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes sha(const EVP_MD* md, ByteView data) {
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned size = 0;
    EVP_Digest(data.data(), data.size(), out.data(), &size, md, nullptr);
    out.resize(size);
    return out;
}

Bytes sha1(ByteView data) {
    return sha(EVP_sha1(), data);
}

// The trust list node inside a catalog (for tests that look at its fields).
der::Node trustListNode(ByteView catalogBytes) {
    const auto top = der::children(der::parseWhole(catalogBytes));
    const auto signedData = der::children(der::children(top.at(1)).at(0));
    return der::children(der::children(signedData.at(2)).at(1)).at(0);
}

TEST(Der, PrimitivesEncodeAsOpensslDoes) {
    struct Row {
        const char* what;
        Bytes ours;
        const char* openssl; // openssl asn1parse -genstr ... | xxd -p
    };
    const Row rows[] = {
        {"OID SpcIndirectData", der::oid("1.3.6.1.4.1.311.2.1.4"), "060a2b060104018237020104"},
        {"OID SHA-256", der::oid("2.16.840.1.101.3.4.2.1"), "0609608648016503040201"},
        {"OID 2.999.3", der::oid("2.999.3"), "0603883703"},
        {"INTEGER 0", der::integer(0), "020100"},
        {"INTEGER 127", der::integer(127), "02017f"},
        {"INTEGER 128", der::integer(128), "02020080"},
        {"INTEGER 512", der::integer(512), "02020200"},
        {"INTEGER 0x10010001", der::integer(0x10010001), "020410010001"},
        {"INTEGER -1", der::integer(-1), "0201ff"},
        {"INTEGER -128", der::integer(-128), "020180"},
        {"INTEGER -129", der::integer(-129), "0202ff7f"},
        {"unsigned 00 00 80", der::unsignedInteger(fromHex("000080")), "02020080"},
        {"unsigned 7f", der::unsignedInteger(fromHex("7f")), "02017f"},
        {"BMPSTRING File", der::bmpString("File"), "1e0800460069006c0065"},
        {"UTCTIME 2025-12-08 08:00", der::utcTime(1765180800), "170d3235313230383038303030305a"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(hexUpper(row.ours), hexUpper(fromHex(row.openssl))) << row.what;
    }
}

TEST(Der, TimesAcrossTheUtcTimeRange) {
    const struct {
        std::int64_t seconds;
        const char* text;
    } rows[] = {{0, "700101000000Z"},
                {951782400, "000229000000Z"},   // a leap day of a century year
                {2524607999, "491231235959Z"},  // the last second a UTCTime holds
                {-631152000, "500101000000Z"}}; // the first
    for (const auto& row : rows) {
        const Bytes t = der::utcTime(row.seconds);
        EXPECT_EQ(std::string(t.begin() + 2, t.end()), row.text) << row.seconds;
    }
    EXPECT_THROW(der::utcTime(2524608000), FormatError);
    EXPECT_THROW(der::utcTime(-631152001), FormatError);
}

TEST(Der, LengthsWriteAndReadBack) {
    const struct {
        std::size_t n;
        const char* hex;
    } rows[] = {{0, "00"},      {0x7F, "7f"},      {0x80, "8180"},
                {0xFF, "81ff"}, {0x100, "820100"}, {0x10000, "83010000"}};
    for (const auto& row : rows) {
        EXPECT_EQ(hexUpper(der::length(row.n)), hexUpper(fromHex(row.hex))) << row.n;
        const Bytes element = der::octets(Bytes(row.n, 0xAB));
        const der::Node node = der::parseWhole(element);
        EXPECT_EQ(node.content.size(), row.n);
        EXPECT_EQ(node.whole.size(), element.size());
    }
}

TEST(Der, SetOfIsSortedAndSequenceKeepsOrder) {
    EXPECT_EQ(hexUpper(der::setOf({fromHex("020105"), fromHex("020101")})), "3106020101020105");
    EXPECT_EQ(hexUpper(der::sequence({fromHex("020105"), fromHex("020101")})), "3006020105020101");
}

TEST(Der, TextConversions) {
    EXPECT_EQ(hexUpper(der::utf16le("A\xC3\xA9\xF0\x9F\x8E\xAE")),
              "4100E9003CD8AEDF"); // A, e acute, a game pad
    EXPECT_EQ(der::fromUtf16le(der::utf16le("Gr\xC3\xBC\xC3\x9F"
                                            "e \xF0\x9F\x8E\xAE")),
              "Gr\xC3\xBC\xC3\x9F"
              "e \xF0\x9F\x8E\xAE");
    for (const char* bad : {"\xC3", "\x80", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80"}) {
        EXPECT_THROW(der::utf16le(bad), FormatError)
            << hexUpper(ByteView(reinterpret_cast<const std::uint8_t*>(bad), std::strlen(bad)));
    }
    EXPECT_THROW(der::fromUtf16le(fromHex("00D8")), FormatError); // a lone high surrogate
    EXPECT_THROW(der::fromUtf16le(fromHex("41")), FormatError);
    EXPECT_THROW(der::bmpString("\xF0\x9F\x8E\xAE"), FormatError);
}

TEST(Der, ReaderRefusesWhatIsNotStrictDer) {
    const struct {
        const char* what;
        const char* hex;
    } rows[] = {
        {"empty", ""},
        {"tag alone", "30"},
        {"indefinite length", "308000000000"},
        {"length past the end", "300500"},
        {"five length bytes", "30850000000001"},
        {"multi-byte tag", "1f8101"},
        {"data after the element", "30000000"},
    };
    for (const auto& row : rows) {
        EXPECT_THROW(der::parseWhole(fromHex(row.hex)), FormatError) << row.what;
    }
}

struct Sample {
    const char* file;
    std::int64_t time;
    std::vector<Attribute> attributes;
    bool withImage;
};

const Sample Samples[] = {
    {"python-qelmrc-x64.cat",
     1765180800,
     {{"OS", "_v100_X64"},
      {"OSAttr", "2:10.0"},
      {"HWID1", "usb\\vid_045e&pid_0284"},
      {"HWID2", "usb\\vid_045e&pid_0284&mi_00"}},
     true},
    {"python-flat-x86.cat",
     1700000000,
     {{"OS", "8X86,_v63,_v100"}, {"OSAttr", "2:6.2,2:6.3,2:10.0"}, {"HWID1", "usb\\vid_045e&pid_0284&mi_00"}},
     false},
};

std::vector<Member> sampleMembers(const Sample& s) {
    std::vector<Member> members{
        {"qelmrc.inf", MemberKind::Flat, flatIndirectData(sha1(readData("qelmrc.inf")))}};
    if (s.withImage) {
        members.push_back(
            {"qelmrc.sys", MemberKind::PeImage, indirectDataFromExtract(readData("qelmrc-sys-extract.der"))});
    }
    return members;
}

TEST(Catalog, SameBytesAsTheEarlierGeneratorButTheListIdentifier) {
    for (const Sample& s : Samples) {
        SCOPED_TRACE(s.file);
        const Bytes theirs = readData(s.file);
        Bytes ours = unsignedCatalog(buildTrustList(sampleMembers(s), s.attributes, s.time, sha1));
        ASSERT_EQ(ours.size(), theirs.size());
        // The identifier (the trust list's OCTET STRING) was made from a Python repr there; here it is a
        // digest of the encoded contents. Everything else must be the same, byte for byte.
        const auto theirFields = der::children(trustListNode(theirs));
        const auto ourFields = der::children(trustListNode(ours));
        ASSERT_EQ(ourFields.at(1).tag, der::OctetString);
        ASSERT_EQ(ourFields.at(1).content.size(), 16u);
        const std::size_t at = static_cast<std::size_t>(ourFields[1].content.data() - ours.data());
        EXPECT_EQ(static_cast<std::size_t>(theirFields[1].content.data() - theirs.data()), at);
        std::copy(theirFields[1].content.begin(), theirFields[1].content.end(),
                  ours.begin() + static_cast<std::ptrdiff_t>(at));
        EXPECT_EQ(hexUpper(ours), hexUpper(theirs));
    }
}

TEST(Catalog, ReadsBackMembersAndAttributes) {
    for (const Sample& s : Samples) {
        SCOPED_TRACE(s.file);
        std::string error;
        const auto c = readCatalog(readData(s.file), error);
        ASSERT_TRUE(c) << error;
        EXPECT_EQ(c->attributes, s.attributes);
        EXPECT_TRUE(c->signers.empty());
        EXPECT_TRUE(c->certificates.empty());
        const ReadMember* inf = c->memberByFile("QELMRC.INF");
        ASSERT_NE(inf, nullptr);
        EXPECT_EQ(inf->tag, hexUpper(sha1(readData("qelmrc.inf"))));
        EXPECT_EQ(inf->kind, "flat");
        EXPECT_EQ(inf->dataType, oids::SpcCabData);
        EXPECT_EQ(inf->digestAlgorithm, oids::Sha1);
        const ReadMember* image = c->memberByFile("qelmrc.sys");
        ASSERT_EQ(image != nullptr, s.withImage);
        if (image != nullptr) {
            EXPECT_EQ(image->kind, "pe");
            EXPECT_EQ(image->dataType, oids::SpcPeImageData);
            EXPECT_EQ(
                image->tag,
                hexUpper(
                    readIndirectData(indirectDataFromExtract(readData("qelmrc-sys-extract.der"))).digest));
        }
    }
}

TEST(Catalog, SameInputsSameBytesAndTheTimeCounts) {
    const Sample& s = Samples[0];
    const Bytes a = buildTrustList(sampleMembers(s), s.attributes, s.time, sha1);
    EXPECT_EQ(a, buildTrustList(sampleMembers(s), s.attributes, s.time, sha1));
    EXPECT_NE(a, buildTrustList(sampleMembers(s), s.attributes, s.time + 86400, sha1));
    auto other = s.attributes;
    other[0].value = "_v100_X64,_v63_X64";
    const Bytes b = buildTrustList(sampleMembers(s), other, s.time, sha1);
    const der::Node idA = der::children(der::parseWhole(a)).at(1);
    const der::Node idB = der::children(der::parseWhole(b)).at(1);
    EXPECT_FALSE(std::equal(idA.content.begin(), idA.content.end(), idB.content.begin(), idB.content.end()))
        << "the identifier follows the attributes";
}

TEST(Catalog, BuilderRefusesWhatCannotBeAVersion1Catalog) {
    const Bytes inf = readData("qelmrc.inf");
    const Member flat{"qelmrc.inf", MemberKind::Flat, flatIndirectData(sha1(inf))};
    // An indirect data with a SHA-256 digest: the flat layout with another algorithm and 32 bytes.
    const Bytes sha256Indirect =
        der::sequence({der::sequence({der::oid(oids::SpcCabData)}),
                       der::sequence({der::algorithm(oids::Sha256), der::octets(sha(EVP_sha256(), inf))})});
    const struct {
        const char* what;
        std::vector<Member> members;
    } rows[] = {
        {"no member", {}},
        {"a SHA-256 digest", {{"x.sys", MemberKind::PeImage, sha256Indirect}}},
        {"the same file twice", {flat, {"copy.inf", MemberKind::Flat, flat.indirectData}}},
        {"a member without a name", {{"", MemberKind::Flat, flat.indirectData}}},
        {"indirect data that is no DER", {{"x.inf", MemberKind::Flat, inf}}},
    };
    for (const auto& row : rows) {
        EXPECT_THROW(buildTrustList(row.members, {{"OS", "_v100"}}, 1700000000, sha1), FormatError)
            << row.what;
    }
    EXPECT_THROW(indirectDataFromExtract(inf), FormatError);
    EXPECT_THROW(flatIndirectData(Bytes(19)), FormatError);
}

// A signer that signs nothing for real: the structure is checked here, the signature by osslsigncode.
class FakeSigner : public CatalogSigner {
  public:
    Bytes sha256(ByteView data) override { return sha(EVP_sha256(), data); }
    Bytes signSha256(ByteView data) override {
        signedData.assign(data.begin(), data.end());
        return refuse ? Bytes() : Bytes(256, 0x5A);
    }
    Bytes signedData;
    bool refuse = false;
};

TEST(Signature, SignedCatalogCarriesCertificateSignerAndDigest) {
    const Sample& s = Samples[1];
    const Bytes list = buildTrustList(sampleMembers(s), s.attributes, s.time, sha1);
    const Bytes cert = readData("test-signer.der");
    FakeSigner signer;
    const Bytes signedCat = signedCatalog(list, cert, signer);
    std::string error;
    const auto c = readCatalog(signedCat, error);
    ASSERT_TRUE(c) << error;
    EXPECT_EQ(c->trustList, list);
    ASSERT_EQ(c->certificates.size(), 1u);
    EXPECT_EQ(c->certificates[0], cert);
    ASSERT_EQ(c->signers.size(), 1u);
    EXPECT_EQ(c->signers[0].digestAlgorithm, oids::Sha256);
    const CertificateFacts facts = readCertificate(cert);
    EXPECT_EQ(c->signers[0].issuer, facts.issuer);
    EXPECT_EQ(hexUpper(c->signers[0].serialNumber), hexUpper(der::parseWhole(facts.serialNumber).content));
    // What was signed: the attributes as a SET OF, the message digest over the trust list's value octets.
    const der::Node attributes = der::parseWhole(signer.signedData);
    ASSERT_EQ(attributes.tag, der::Set);
    const Bytes expectedDigest = der::octets(sha(EVP_sha256(), der::parseWhole(list).content));
    const std::string signedHex = hexUpper(signer.signedData);
    EXPECT_NE(signedHex.find(hexUpper(expectedDigest)), std::string::npos);
    EXPECT_NE(signedHex.find(hexUpper(der::oid(oids::TrustList))), std::string::npos) << "content type";
    EXPECT_NE(hexUpper(signedCat).find(hexUpper(attributes.content)), std::string::npos);
    signer.refuse = true;
    EXPECT_THROW(signedCatalog(list, cert, signer), FormatError);
    EXPECT_THROW(signedCatalog(list, readData("qelmrc.inf"), signer), FormatError);
}

TEST(Signature, CertificateFacts) {
    const CertificateFacts facts = readCertificate(readData("test-signer.der"));
    EXPECT_EQ(facts.subjectCommonName, "Tavrelmond test signer");
    EXPECT_TRUE(facts.selfIssued);
    EXPECT_EQ(facts.extendedKeyUsages, std::vector<std::string>{"1.3.6.1.5.5.7.3.3"});
    EXPECT_EQ(facts.notBefore.size(), 13u);
}

TEST(Reader, RefusesATrustListWrappedInAnOctetString) {
    // What `openssl cms -sign` writes: the trust list inside an OCTET STRING.
    std::string error;
    const Bytes list = readCatalog(readData("python-flat-x86.cat"), error)->trustList;
    const Bytes wrapped = der::sequence(
        {der::oid(oids::SignedData),
         der::explicitTag(0, der::sequence({der::integer(1), der::setOf({der::algorithm(oids::Sha1)}),
                                            der::sequence({der::oid(oids::TrustList),
                                                           der::explicitTag(0, der::octets(list))}),
                                            der::setOf({})}))});
    EXPECT_FALSE(readCatalog(wrapped, error));
    EXPECT_NE(error.find("OCTET STRING"), std::string::npos) << error;
}

TEST(Reader, SurvivesEveryTruncationAndCorruption) {
    FakeSigner signer;
    const Sample& s = Samples[0];
    const Bytes signedCat = signedCatalog(buildTrustList(sampleMembers(s), s.attributes, s.time, sha1),
                                          readData("test-signer.der"), signer);
    for (const Bytes& data : {readData(s.file), signedCat}) {
        std::string error;
        std::size_t refused = 0, tried = 0;
        for (std::size_t n = 0; n < data.size(); n += 3) {
            ++tried;
            refused += !readCatalog(ByteView(data).first(n), error);
        }
        EXPECT_EQ(refused, tried) << "every truncation is refused";
        for (std::size_t n = 0; n < data.size(); ++n) {
            Bytes broken = data;
            broken[n] ^= 0xFF;
            readCatalog(broken, error); // refused or read, never past the bytes (ASan watches)
        }
        Bytes longer = data;
        longer.push_back(0);
        EXPECT_FALSE(readCatalog(longer, error));
        EXPECT_TRUE(readCatalog(data, error)) << "the intact catalog still reads: " << error;
    }
}

TEST(Reader, RefusesAMemberWhoseTagIsNotItsDigest) {
    Bytes data = readData("python-flat-x86.cat");
    const Bytes tag = der::utf16le(hexUpper(sha1(readData("qelmrc.inf"))));
    const auto at = std::search(data.begin(), data.end(), tag.begin(), tag.end());
    ASSERT_NE(at, data.end());
    *at = '0' == *at ? '1' : '0';
    std::string error;
    EXPECT_FALSE(readCatalog(data, error));
    EXPECT_NE(error.find("differ"), std::string::npos) << error;
}

} // namespace
