#include "Catalog.h"

#include <algorithm>
#include <cctype>
#include <set>

namespace catalog {

namespace {

using namespace der;

// Subject interface packages that check a member: PE images, and flat files hashed whole.
constexpr const char* SipPeImage = "{C689AAB8-8E78-11D0-8C47-00C04FC295EE}";
constexpr const char* SipFlat = "{DE351A42-8E59-11D0-8C47-00C04FC295EE}";
constexpr std::int64_t MemberInfoVersion = 512;
// Name/value attributes: name and value are text, the value UTF-16LE; the attribute is signed.
constexpr std::int64_t NameValueFlags = 0x10010001;

// A name/value attribute's value: UTF-16LE with its terminating NUL.
Bytes utf16z(std::string_view value) {
    Bytes out = utf16le(value);
    out.push_back(0);
    out.push_back(0);
    return out;
}

Bytes nameValue(const std::string& name, const std::string& value) {
    return sequence({bmpString(name), integer(NameValueFlags), octets(utf16z(value))});
}

Bytes attribute(const char* type, const Bytes& value) {
    return sequence({oid(type), setOf({value})});
}

std::string memberTag(const IndirectData& data) {
    return hexUpper(data.digest);
}

Bytes encodeMember(const Member& m, const std::string& tag) {
    const char* sip = m.kind == MemberKind::PeImage ? SipPeImage : SipFlat;
    return sequence(
        {octets(utf16le(tag)),
         setOf({attribute(oids::CatalogNameValue, nameValue("File", m.file)),
                attribute(oids::CatalogMemberInfo, sequence({bmpString(sip), integer(MemberInfoVersion)})),
                attribute(oids::SpcIndirectData, m.indirectData)})});
}

struct NameValue {
    std::string name;
    std::int64_t flags = 0;
    std::string value;
};

NameValue readNameValue(const Node& node) {
    const auto fields = children(expect(node, Sequence, "name/value"));
    if (fields.size() != 3) {
        throw FormatError("a name/value attribute has three fields");
    }
    NameValue nv{readBmpString(fields[0]), readInteger(fields[1]),
                 fromUtf16le(expect(fields[2], OctetString, "attribute value").content)};
    while (!nv.value.empty() && nv.value.back() == '\0') {
        nv.value.pop_back();
    }
    return nv;
}

// The SignedData of a ContentInfo, checked to be one.
std::vector<Node> signedDataFields(const Node& top) {
    const auto info = children(expect(top, Sequence, "ContentInfo"));
    if (info.size() != 2 || readOid(info[0]) != oids::SignedData) {
        throw FormatError("not a PKCS#7 SignedData");
    }
    const auto wrapper = children(expect(info[1], context(0), "SignedData wrapper"));
    if (wrapper.size() != 1) {
        throw FormatError("SignedData wrapper holds more than the SignedData");
    }
    auto fields = children(expect(wrapper[0], Sequence, "SignedData"));
    if (fields.size() < 4) {
        throw FormatError("SignedData too short");
    }
    readInteger(fields[0]);
    expect(fields[1], Set, "digest algorithms");
    expect(fields[2], Sequence, "encapsulated content");
    expect(fields.back(), Set, "signer infos");
    return fields;
}

ReadSigner readSigner(const Node& node) {
    const auto f = children(expect(node, Sequence, "signer info"));
    if (f.size() < 5) {
        throw FormatError("signer info too short");
    }
    std::size_t i = 0;
    readInteger(f[i++]);
    const auto issuerSerial = children(expect(f[i++], Sequence, "issuer and serial number"));
    if (issuerSerial.size() != 2) {
        throw FormatError("issuer and serial number has two fields");
    }
    ReadSigner s;
    s.issuer.assign(expect(issuerSerial[0], Sequence, "issuer").whole.begin(), issuerSerial[0].whole.end());
    s.serialNumber.assign(expect(issuerSerial[1], Integer, "serial number").content.begin(),
                          issuerSerial[1].content.end());
    s.digestAlgorithm = readOid(children(expect(f[i++], Sequence, "digest algorithm")).at(0));
    if (i < f.size() && f[i].tag == context(0)) {
        ++i; // signed attributes
    }
    if (i >= f.size()) {
        throw FormatError("signer info without its signature");
    }
    s.signatureAlgorithm = readOid(children(expect(f[i++], Sequence, "signature algorithm")).at(0));
    if (i >= f.size()) {
        throw FormatError("signer info without its signature");
    }
    expect(f[i], OctetString, "signature");
    return s;
}

ReadMember readMember(const Node& entry) {
    const auto fields = children(expect(entry, Sequence, "member"));
    if (fields.size() != 2) {
        throw FormatError("a member has a tag and its attributes");
    }
    ReadMember m;
    m.tag = fromUtf16le(expect(fields[0], OctetString, "member tag").content);
    bool hasDigest = false;
    for (const Node& attr : children(expect(fields[1], Set, "member attributes"))) {
        const auto parts = children(expect(attr, Sequence, "attribute"));
        if (parts.size() != 2) {
            throw FormatError("an attribute has a type and its values");
        }
        const auto values = children(expect(parts[1], Set, "attribute values"));
        if (values.size() != 1) {
            throw FormatError("a member attribute has one value");
        }
        const std::string type = readOid(parts[0]);
        if (type == oids::CatalogNameValue) {
            const NameValue nv = readNameValue(values[0]);
            if (nv.name == "File") {
                m.file = nv.value;
            }
        } else if (type == oids::CatalogMemberInfo) {
            const auto info = children(expect(values[0], Sequence, "member info"));
            if (info.empty()) {
                throw FormatError("member info without its subject GUID");
            }
            const std::string guid = readBmpString(info[0]);
            m.kind = guid == SipPeImage ? "pe" : guid == SipFlat ? "flat" : guid;
        } else if (type == oids::SpcIndirectData) {
            const IndirectData data = readIndirectData(values[0].whole);
            m.dataType = data.dataType;
            m.digestAlgorithm = data.digestAlgorithm;
            m.digest = data.digest;
            hasDigest = true;
        }
    }
    if (!hasDigest || hexUpper(m.digest) != m.tag) {
        throw FormatError("member " + m.tag + ": its tag and its digest differ");
    }
    return m;
}

void readTrustList(const Node& ctl, CatalogContents& out) {
    const auto fields = children(expect(ctl, Sequence, "CTL"));
    std::size_t i = 0;
    auto at = [&fields, &i](const char* what) -> const Node& {
        if (i >= fields.size()) {
            throw FormatError(std::string("CTL ends before its ") + what);
        }
        return fields[i];
    };
    if (at("usage").tag == Integer) {
        readInteger(fields[i++]); // version
    }
    const auto usage = children(expect(at("usage"), Sequence, "subject usage"));
    ++i;
    if (usage.empty() || readOid(usage[0]) != oids::CatalogList) {
        throw FormatError("the trust list is not a catalog list");
    }
    if (at("time").tag == OctetString) {
        ++i; // list identifier
    }
    if (at("time").tag == Integer) {
        ++i; // sequence number
    }
    const Node& thisUpdate = at("time");
    if (thisUpdate.tag != UtcTime && thisUpdate.tag != GeneralizedTime) {
        throw FormatError("the trust list has no time");
    }
    out.thisUpdate.assign(thisUpdate.content.begin(), thisUpdate.content.end());
    ++i;
    if (at("subject algorithm").tag == UtcTime || at("subject algorithm").tag == GeneralizedTime) {
        ++i; // next update
    }
    const auto algorithm = children(expect(at("subject algorithm"), Sequence, "subject algorithm"));
    ++i;
    if (algorithm.empty() || readOid(algorithm[0]) != oids::CatalogListMember) {
        throw FormatError("not a version 1 catalog");
    }
    if (i < fields.size() && fields[i].tag == Sequence) {
        std::set<std::string> tags;
        for (const Node& entry : children(fields[i])) {
            out.members.push_back(readMember(entry));
            if (!tags.insert(out.members.back().tag).second) {
                throw FormatError("member " + out.members.back().tag + " is listed twice");
            }
        }
        ++i;
    }
    if (i < fields.size() && fields[i].tag == context(0)) {
        const auto wrapped = children(fields[i]);
        if (wrapped.size() != 1) {
            throw FormatError("extensions wrapper holds more than the extensions");
        }
        for (const Node& ext : children(expect(wrapped[0], Sequence, "extensions"))) {
            const auto parts = children(expect(ext, Sequence, "extension"));
            if (parts.size() < 2) {
                throw FormatError("an extension has a type and a value");
            }
            if (readOid(parts[0]) == oids::CatalogNameValue) {
                const NameValue nv =
                    readNameValue(parseWhole(expect(parts.back(), OctetString, "extension value").content));
                out.attributes.push_back({nv.name, nv.value});
            }
        }
        ++i;
    }
    if (i != fields.size()) {
        throw FormatError("unexpected fields at the end of the trust list");
    }
}

} // namespace

IndirectData readIndirectData(ByteView spcIndirectDataContent) {
    const Node top = parseWhole(spcIndirectDataContent);
    const auto fields = children(expect(top, Sequence, "SpcIndirectDataContent"));
    if (fields.size() != 2) {
        throw FormatError("SpcIndirectDataContent has two fields");
    }
    const auto data = children(expect(fields[0], Sequence, "SpcAttributeTypeAndOptionalValue"));
    const auto digestInfo = children(expect(fields[1], Sequence, "DigestInfo"));
    if (data.empty() || digestInfo.size() != 2) {
        throw FormatError("SpcIndirectDataContent too short");
    }
    const auto algorithm = children(expect(digestInfo[0], Sequence, "digest algorithm"));
    if (algorithm.empty()) {
        throw FormatError("digest algorithm without its identifier");
    }
    IndirectData out;
    out.dataType = readOid(data[0]);
    out.digestAlgorithm = readOid(algorithm[0]);
    const Node& digest = expect(digestInfo[1], OctetString, "digest");
    out.digest.assign(digest.content.begin(), digest.content.end());
    return out;
}

Bytes indirectDataFromExtract(ByteView extractOutput) {
    const auto fields = signedDataFields(parseWhole(extractOutput));
    const auto inner = children(fields[2]);
    if (inner.size() != 2 || readOid(inner[0]) != oids::SpcIndirectData) {
        throw FormatError("extract-data output holds no SpcIndirectDataContent");
    }
    const auto wrapped = children(expect(inner[1], context(0), "content wrapper"));
    if (wrapped.size() != 1) {
        throw FormatError("content wrapper holds more than the content");
    }
    const Node& indirect = expect(wrapped[0], Sequence, "SpcIndirectDataContent");
    readIndirectData(indirect.whole);
    return Bytes(indirect.whole.begin(), indirect.whole.end());
}

Bytes flatIndirectData(ByteView sha1) {
    if (sha1.size() != 20) {
        throw FormatError("a SHA-1 digest has 20 bytes");
    }
    // SpcLink [2] SpcString [0] (BMPString, implicit): the placeholder file name these members carry.
    const Bytes name = bmpString("<<<Obsolete>>>");
    const Bytes link = tlv(context(2), tlv(context(0, false), ByteView(name).subspan(2)));
    return sequence(
        {sequence({oid(oids::SpcCabData), link}), sequence({algorithm(oids::Sha1), octets(sha1)})});
}

Bytes buildTrustList(const std::vector<Member>& members, const std::vector<Attribute>& attributes,
                     std::int64_t thisUpdate, const Digest& sha1) {
    if (members.empty()) {
        throw FormatError("a catalog needs at least one member");
    }
    std::vector<std::pair<std::string, Bytes>> entries;
    for (const Member& m : members) {
        const IndirectData data = readIndirectData(m.indirectData);
        if (data.digestAlgorithm != oids::Sha1 || data.digest.size() != 20) {
            throw FormatError(m.file + ": a version 1 catalog needs a SHA-1 digest");
        }
        if (m.file.empty()) {
            throw FormatError("a member needs its file name");
        }
        const std::string tag = memberTag(data);
        entries.emplace_back(tag, encodeMember(m, tag));
    }
    std::sort(entries.begin(), entries.end());
    for (std::size_t i = 1; i < entries.size(); ++i) {
        if (entries[i].first == entries[i - 1].first) {
            throw FormatError("two members have the same digest " + entries[i].first);
        }
    }
    std::vector<Bytes> encoded;
    encoded.reserve(entries.size());
    for (auto& e : entries) {
        encoded.push_back(std::move(e.second));
    }
    const Bytes subjects = sequence(encoded);
    std::vector<Bytes> extensionList;
    extensionList.reserve(attributes.size());
    for (const Attribute& a : attributes) {
        extensionList.push_back(sequence({oid(oids::CatalogNameValue), octets(nameValue(a.name, a.value))}));
    }
    const Bytes extensions = sequence(extensionList);
    // A list identifier that depends only on the contents.
    Bytes identifier = sha1(join({subjects, extensions}));
    if (identifier.size() < 16) {
        throw FormatError("the digest for the list identifier is too short");
    }
    identifier.resize(16);
    std::vector<Bytes> ctl{sequence({oid(oids::CatalogList)}), octets(identifier), utcTime(thisUpdate),
                           sequence({oid(oids::CatalogListMember), null()}), subjects};
    if (!attributes.empty()) {
        ctl.push_back(explicitTag(0, extensions));
    }
    return sequence(ctl);
}

Bytes unsignedCatalog(ByteView trustList) {
    // The CTL is the encapsulated content itself ([0] EXPLICIT CTL), not wrapped in an OCTET STRING.
    const Bytes contentInfo = sequence({oid(oids::TrustList), explicitTag(0, trustList)});
    const Bytes signedData = sequence({integer(1), setOf({algorithm(oids::Sha1)}), contentInfo, setOf({})});
    return sequence({oid(oids::SignedData), explicitTag(0, signedData)});
}

const ReadMember* CatalogContents::memberByFile(std::string_view file) const {
    for (const ReadMember& m : members) {
        if (m.file.size() == file.size() &&
            std::equal(m.file.begin(), m.file.end(), file.begin(), [](char a, char b) {
                return std::tolower(static_cast<unsigned char>(a)) ==
                       std::tolower(static_cast<unsigned char>(b));
            })) {
            return &m;
        }
    }
    return nullptr;
}

const std::string* CatalogContents::attribute(std::string_view name) const {
    for (const Attribute& a : attributes) {
        if (a.name == name) {
            return &a.value;
        }
    }
    return nullptr;
}

std::optional<CatalogContents> readCatalog(ByteView data, std::string& error) {
    try {
        CatalogContents out;
        const auto fields = signedDataFields(parseWhole(data));
        const auto inner = children(fields[2]);
        if (inner.empty() || readOid(inner[0]) != oids::TrustList) {
            throw FormatError("the content is not a certificate trust list");
        }
        if (inner.size() != 2) {
            throw FormatError("the catalog holds no trust list");
        }
        const auto wrapped = children(expect(inner[1], context(0), "content wrapper"));
        if (wrapped.size() != 1) {
            throw FormatError("content wrapper holds more than the content");
        }
        if (wrapped[0].tag == OctetString) {
            throw FormatError("the trust list is wrapped in an OCTET STRING");
        }
        out.trustList.assign(wrapped[0].whole.begin(), wrapped[0].whole.end());
        readTrustList(wrapped[0], out);
        for (std::size_t i = 3; i + 1 < fields.size(); ++i) {
            if (fields[i].tag == context(0)) {
                for (const Node& cert : children(fields[i])) {
                    out.certificates.emplace_back(expect(cert, Sequence, "certificate").whole.begin(),
                                                  cert.whole.end());
                }
            } else if (fields[i].tag != context(1)) {
                throw FormatError("unexpected field in the SignedData");
            }
        }
        for (const Node& signer : children(fields.back())) {
            out.signers.push_back(readSigner(signer));
        }
        return out;
    } catch (const FormatError& e) {
        error = e.what();
    } catch (const std::out_of_range&) {
        error = "a structure is shorter than expected";
    }
    return std::nullopt;
}

} // namespace catalog
