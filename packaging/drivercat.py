#!/usr/bin/env python3
"""Builds the driver package's catalog (qelmrc.cat) and reads one back.

A catalog is a PKCS#7 SignedData whose content is a certificate trust list (CTL) with one member per file of
the package. This tool writes it unsigned (no signer infos); osslsigncode then signs it. No Debian package
makes catalogs, so the DER is written here by hand, with the standard library only.

    drivercat.py make --out qelmrc.cat --os _v100_X64 --osattr 2:10.0 --hwid 'usb\\vid_045e&pid_0284' \\
                      --pe qelmrc.sys=sys-data.der --flat qelmrc.inf
    drivercat.py list qelmrc.cat

--pe takes the file name and the output of `osslsigncode extract-data -h sha1` for that file: its
SpcIndirectDataContent (Authenticode digest of the image) goes into the member as it is. --flat files are
hashed here (SHA-1 of the whole file). The catalog is a version 1 catalog: members are tagged by the
SHA-1 digest as upper-case hex, in UTF-16LE.

`check` tells whether files hashed whole (the INF) are listed with their current digest. `list` prints one
line per member (tag, file name, kind, digest) and the catalog's attributes. Both check what they read: a
file that is not such a catalog is reported as an error, never half read.

Why Python and not C++: the catalog is made on the build machine, next to osslsigncode and openssl, never
on Windows; the standard library has the hashes, and a short script is easier to audit than a program.
"""

import argparse
import datetime
import hashlib
import os
import sys

# Object identifiers.
OID_SIGNED_DATA = "1.2.840.113549.1.7.2"
OID_CTL = "1.3.6.1.4.1.311.10.1"
OID_CATALOG_LIST = "1.3.6.1.4.1.311.12.1.1"
OID_CATALOG_LIST_MEMBER = "1.3.6.1.4.1.311.12.1.2"
OID_CAT_NAMEVALUE = "1.3.6.1.4.1.311.12.2.1"
OID_CAT_MEMBERINFO = "1.3.6.1.4.1.311.12.2.2"
OID_SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
OID_SPC_PE_IMAGE_DATA = "1.3.6.1.4.1.311.2.1.15"
OID_SPC_CAB_DATA = "1.3.6.1.4.1.311.2.1.25"
OID_SHA1 = "1.3.14.3.2.26"
OID_SHA256 = "2.16.840.1.101.3.4.2.1"

# Subject interface packages that check a member: PE images, and flat files hashed whole.
SIP_PE = "{C689AAB8-8E78-11D0-8C47-00C04FC295EE}"
SIP_FLAT = "{DE351A42-8E59-11D0-8C47-00C04FC295EE}"
MEMBERINFO_CERT_VERSION = 512

# Name/value attributes: name and value are text (UTF-16LE), the attribute is signed.
ATTR_FLAGS = 0x10010001

# ASN.1 tags.
BOOLEAN, INTEGER, BIT_STRING, OCTET_STRING, NULL, OID = 0x01, 0x02, 0x03, 0x04, 0x05, 0x06
BMP_STRING, UTC_TIME, SEQUENCE, SET = 0x1E, 0x17, 0x30, 0x31


class CatalogError(Exception):
    pass


# -- DER writing -------------------------------------------------------------------------------------------
def der_length(n):
    if n < 0x80:
        return bytes([n])
    body = n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([0x80 | len(body)]) + body


def tlv(tag, content):
    return bytes([tag]) + der_length(len(content)) + content


def seq(*items):
    return tlv(SEQUENCE, b"".join(items))


def set_of(*items):
    # DER orders the elements of a SET OF by their encodings.
    return tlv(SET, b"".join(sorted(items)))


def context(n, content, constructed=True):
    return tlv((0xA0 if constructed else 0x80) | n, content)


def integer(value):
    body = value.to_bytes(max(1, (value.bit_length() + 8) // 8), "big", signed=True)
    return tlv(INTEGER, body)


def octets(data):
    return tlv(OCTET_STRING, data)


def bmp(text):
    return tlv(BMP_STRING, text.encode("utf-16-be"))


def oid(dotted):
    parts = [int(p) for p in dotted.split(".")]
    body = bytearray([40 * parts[0] + parts[1]])
    for p in parts[2:]:
        chunk = [p & 0x7F]
        p >>= 7
        while p:
            chunk.append(0x80 | (p & 0x7F))
            p >>= 7
        body += bytes(reversed(chunk))
    return tlv(OID, bytes(body))


def utc_time(when):
    return tlv(UTC_TIME, when.strftime("%y%m%d%H%M%SZ").encode("ascii"))


def utf16z(text):
    """A name/value attribute's value: UTF-16LE with its terminating NUL."""
    return (text + "\0").encode("utf-16-le")


def name_value(name, value):
    return seq(bmp(name), integer(ATTR_FLAGS), octets(utf16z(value)))


def attribute(type_oid, value):
    return seq(oid(type_oid), set_of(value))


# -- DER reading -------------------------------------------------------------------------------------------
class Node:
    def __init__(self, tag, content, raw):
        self.tag, self.content, self.raw = tag, content, raw

    def children(self):
        if not self.tag & 0x20:
            raise CatalogError(f"tag 0x{self.tag:02x} is not constructed")
        return parse_all(self.content)

    def expect(self, tag, what):
        if self.tag != tag:
            raise CatalogError(f"{what}: tag 0x{self.tag:02x}, expected 0x{tag:02x}")
        return self


def parse_one(data, pos=0):
    """One TLV at `pos`: (Node, position after it). Only definite DER lengths are accepted."""
    if pos + 2 > len(data):
        raise CatalogError("truncated element")
    tag = data[pos]
    if tag & 0x1F == 0x1F:
        raise CatalogError("multi-byte tags are not used in a catalog")
    first = data[pos + 1]
    pos += 2
    if first < 0x80:
        length = first
    else:
        count = first & 0x7F
        if count == 0 or count > 4 or pos + count > len(data):
            raise CatalogError("bad length")
        length = int.from_bytes(data[pos:pos + count], "big")
        pos += count
    if length > len(data) - pos:
        raise CatalogError("element runs past the end of its container")
    start = pos - 2 - (0 if first < 0x80 else first & 0x7F)
    return Node(tag, data[pos:pos + length], data[start:pos + length]), pos + length


def parse_all(data):
    nodes, pos = [], 0
    while pos < len(data):
        node, pos = parse_one(data, pos)
        nodes.append(node)
    return nodes


def read_oid(node):
    body = node.expect(OID, "object identifier").content
    if not body:
        raise CatalogError("empty object identifier")
    parts = [str(min(body[0] // 40, 2)), str(body[0] - 40 * min(body[0] // 40, 2))]
    value = 0
    for b in body[1:]:
        value = (value << 7) | (b & 0x7F)
        if not b & 0x80:
            parts.append(str(value))
            value = 0
    return ".".join(parts)


def read_int(node):
    return int.from_bytes(node.expect(INTEGER, "integer").content, "big", signed=True)


def read_name_value(node):
    tag, flags, value = node.expect(SEQUENCE, "name/value").children()
    name = tag.expect(BMP_STRING, "attribute name").content.decode("utf-16-be")
    text = value.expect(OCTET_STRING, "attribute value").content.decode("utf-16-le").rstrip("\0")
    return name, read_int(flags), text


# -- Authenticode indirect data ----------------------------------------------------------------------------
def indirect_data_from_extract(der):
    """The SpcIndirectDataContent inside osslsigncode's extract-data output (a ContentInfo of SignedData)."""
    top, _ = parse_one(der)
    content_type, body = top.expect(SEQUENCE, "extract-data output").children()[:2]
    if read_oid(content_type) != OID_SIGNED_DATA:
        raise CatalogError("extract-data output is not a SignedData")
    signed = body.children()[0].expect(SEQUENCE, "SignedData")
    inner = signed.children()[2].expect(SEQUENCE, "encapsulated content")
    inner_type, inner_body = inner.children()[:2]
    if read_oid(inner_type) != OID_SPC_INDIRECT_DATA:
        raise CatalogError("extract-data output holds no SpcIndirectDataContent")
    indirect = inner_body.children()[0].expect(SEQUENCE, "SpcIndirectDataContent")
    return indirect.raw


def indirect_digest(indirect_raw):
    """(data type OID, digest algorithm OID, digest) of an SpcIndirectDataContent."""
    indirect, _ = parse_one(indirect_raw)
    data, digest_info = indirect.expect(SEQUENCE, "SpcIndirectDataContent").children()[:2]
    data_type = read_oid(data.children()[0])
    algorithm, digest = digest_info.expect(SEQUENCE, "DigestInfo").children()[:2]
    return data_type, read_oid(algorithm.children()[0]), digest.expect(OCTET_STRING, "digest").content


def flat_indirect_data(digest):
    """SpcIndirectDataContent for a file hashed whole: SpcLink to the obsolete file name, SHA-1 digest."""
    obsolete_link = context(2, context(0, "<<<Obsolete>>>".encode("utf-16-be"), constructed=False))
    return seq(seq(oid(OID_SPC_CAB_DATA), obsolete_link),
               seq(seq(oid(OID_SHA1), tlv(NULL, b"")), octets(digest)))


# -- the catalog -------------------------------------------------------------------------------------------
class Member:
    def __init__(self, name, kind, indirect_raw):
        data_type, algorithm, digest = indirect_digest(indirect_raw)
        if algorithm != OID_SHA1 or len(digest) != 20:
            raise CatalogError(f"{name}: a version 1 catalog needs a SHA-1 digest (extract-data -h sha1)")
        self.name, self.kind, self.indirect, self.digest = name, kind, indirect_raw, digest
        self.data_type = data_type

    @property
    def tag(self):
        return self.digest.hex().upper()

    def encode(self):
        sip = SIP_PE if self.kind == "pe" else SIP_FLAT
        attributes = set_of(
            attribute(OID_CAT_NAMEVALUE, name_value("File", self.name)),
            attribute(OID_CAT_MEMBERINFO, seq(bmp(sip), integer(MEMBERINFO_CERT_VERSION))),
            attribute(OID_SPC_INDIRECT_DATA, self.indirect))
        return seq(octets(self.tag.encode("utf-16-le")), attributes)


def build_catalog(members, attributes, when):
    """The unsigned catalog: ContentInfo { SignedData { CTL as content, no certificates, no signers } }."""
    entries = sorted(members, key=lambda m: m.tag)
    tags = [m.tag for m in entries]
    if len(set(tags)) != len(tags):
        raise CatalogError("two members have the same digest")
    # A list identifier that depends only on the contents, so the same inputs give the same catalog.
    identifier = hashlib.sha1("".join(tags).encode("ascii") + repr(attributes).encode("utf-8")).digest()[:16]
    extensions = seq(*[seq(oid(OID_CAT_NAMEVALUE), octets(name_value(n, v))) for n, v in attributes])
    ctl = seq(seq(oid(OID_CATALOG_LIST)),
              octets(identifier),
              utc_time(when),
              seq(oid(OID_CATALOG_LIST_MEMBER), tlv(NULL, b"")),
              seq(*[m.encode() for m in entries]),
              context(0, extensions))
    # The CTL is the encapsulated content itself ([0] EXPLICIT CTL), not wrapped in an OCTET STRING.
    content_info = seq(oid(OID_CTL), context(0, ctl))
    signed_data = seq(integer(1), set_of(seq(oid(OID_SHA1), tlv(NULL, b""))), content_info, set_of())
    return seq(oid(OID_SIGNED_DATA), context(0, signed_data))


def read_catalog(der):
    """{'members': [{tag, file, kind, type, algorithm, digest}], 'attributes': {name: value}, 'signers': n}."""
    top, end = parse_one(der)
    if end != len(der):
        raise CatalogError("data after the catalog")
    content_type, body = top.expect(SEQUENCE, "ContentInfo").children()[:2]
    if read_oid(content_type) != OID_SIGNED_DATA:
        raise CatalogError("not a PKCS#7 SignedData")
    signed = body.expect(0xA0, "SignedData wrapper").children()[0].expect(SEQUENCE, "SignedData").children()
    inner_type, inner_body = signed[2].expect(SEQUENCE, "encapsulated content").children()[:2]
    if read_oid(inner_type) != OID_CTL:
        raise CatalogError("the content is not a certificate trust list")
    ctl = inner_body.expect(0xA0, "content wrapper").children()[0]
    if ctl.tag == OCTET_STRING:
        raise CatalogError("the trust list is wrapped in an OCTET STRING")
    fields = ctl.expect(SEQUENCE, "CTL").children()
    if read_oid(fields[0].children()[0]) != OID_CATALOG_LIST:
        raise CatalogError("the trust list is not a catalog list")
    subject_algorithm = next(f for f in fields if f.tag == SEQUENCE and f.children()
                             and f.children()[0].tag == OID and read_oid(f.children()[0]) != OID_CATALOG_LIST)
    if read_oid(subject_algorithm.children()[0]) != OID_CATALOG_LIST_MEMBER:
        raise CatalogError("not a version 1 catalog")
    result = {"members": [], "attributes": {}, "signers": len(signed[-1].expect(SET, "signer infos").children())}
    entries = fields[fields.index(subject_algorithm) + 1] if fields.index(subject_algorithm) + 1 < len(fields) else None
    if entries is not None and entries.tag == SEQUENCE:
        for entry in entries.children():
            tag_node, attrs = entry.expect(SEQUENCE, "member").children()[:2]
            member = {"tag": tag_node.expect(OCTET_STRING, "member tag").content.decode("utf-16-le")}
            for attr in attrs.expect(SET, "member attributes").children():
                attr_type, values = attr.expect(SEQUENCE, "attribute").children()
                value = values.expect(SET, "attribute values").children()[0]
                kind = read_oid(attr_type)
                if kind == OID_CAT_NAMEVALUE:
                    name, _, text = read_name_value(value)
                    if name == "File":
                        member["file"] = text
                elif kind == OID_CAT_MEMBERINFO:
                    guid = value.children()[0].expect(BMP_STRING, "subject GUID").content.decode("utf-16-be")
                    member["kind"] = {SIP_PE: "pe", SIP_FLAT: "flat"}.get(guid, guid)
                elif kind == OID_SPC_INDIRECT_DATA:
                    data_type, algorithm, digest = indirect_digest(value.raw)
                    member.update(type=data_type, algorithm=algorithm, digest=digest.hex().upper())
            if member.get("digest") != member["tag"]:
                raise CatalogError(f"member {member['tag']}: its tag and its digest differ")
            result["members"].append(member)
    last = fields[-1]
    if last.tag == 0xA0:
        for ext in last.children()[0].children():
            ext_fields = ext.expect(SEQUENCE, "extension").children()
            if read_oid(ext_fields[0]) == OID_CAT_NAMEVALUE:
                value, _ = parse_one(ext_fields[-1].expect(OCTET_STRING, "extension value").content)
                name, _, text = read_name_value(value)
                result["attributes"][name] = text
    return result


# -- command line ------------------------------------------------------------------------------------------
def build_time():
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    if epoch:
        return datetime.datetime.fromtimestamp(int(epoch), datetime.timezone.utc)
    return datetime.datetime.now(datetime.timezone.utc)


def make(args):
    members = []
    for item in args.pe:
        name, _, data_file = item.partition("=")
        if not data_file:
            raise CatalogError(f"--pe {item}: expected NAME=extract-data-output")
        with open(data_file, "rb") as f:
            members.append(Member(name, "pe", indirect_data_from_extract(f.read())))
    for path in args.flat:
        with open(path, "rb") as f:
            digest = hashlib.sha1(f.read()).digest()
        members.append(Member(os.path.basename(path), "flat", flat_indirect_data(digest)))
    if not members:
        raise CatalogError("a catalog needs at least one member")
    attributes = [("OS", args.os)] + ([("OSAttr", args.osattr)] if args.osattr else [])
    attributes += [(f"HWID{i + 1}", h) for i, h in enumerate(args.hwid)]
    der = build_catalog(members, attributes, build_time())
    with open(args.out, "wb") as f:
        f.write(der)
    for m in sorted(members, key=lambda m: m.tag):
        print(f"{m.tag} {m.name} ({m.kind})")


def show(args):
    with open(args.catalog, "rb") as f:
        catalog = read_catalog(f.read())
    for m in catalog["members"]:
        print(f"member {m['tag']} file={m.get('file', '?')} kind={m.get('kind', '?')} type={m.get('type', '?')}")
    for name, value in catalog["attributes"].items():
        print(f"attribute {name}={value}")
    print(f"signers {catalog['signers']}")


def check(args):
    """Each --flat file's SHA-1 must be a member of the catalog, under the file's own name."""
    with open(args.catalog, "rb") as f:
        members = {m["tag"]: m for m in read_catalog(f.read())["members"]}
    failed = 0
    for path in args.flat:
        with open(path, "rb") as f:
            tag = hashlib.sha1(f.read()).hexdigest().upper()
        member = members.get(tag)
        if member is None or member.get("file", "").lower() != os.path.basename(path).lower():
            print(f"{path}: not in the catalog (SHA-1 {tag})")
            failed += 1
        else:
            print(f"{path}: listed (SHA-1 {tag})")
    if failed:
        raise CatalogError(f"{failed} file(s) do not match the catalog")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("make", help="write an unsigned catalog")
    p.add_argument("--out", required=True)
    p.add_argument("--os", required=True, help="the OS attribute, e.g. _v100_X64")
    p.add_argument("--osattr", help="the Windows versions the package is signed for, platform:major.minor, "
                   "e.g. 2:6.1,2:10.0 (the attribute Windows' driver-signing check compares with its version)")
    p.add_argument("--hwid", action="append", default=[], help="a hardware ID (HWID1, HWID2, ...)")
    p.add_argument("--pe", action="append", default=[], help="NAME=file written by osslsigncode extract-data")
    p.add_argument("--flat", action="append", default=[], help="a file hashed whole (the INF)")
    p.set_defaults(run=make)
    p = sub.add_parser("list", help="print a catalog's members and attributes")
    p.add_argument("catalog")
    p.set_defaults(run=show)
    p = sub.add_parser("check", help="check that files hashed whole are listed with their digest")
    p.add_argument("catalog")
    p.add_argument("--flat", action="append", default=[], required=True)
    p.set_defaults(run=check)
    args = parser.parse_args(argv)
    try:
        args.run(args)
    except (CatalogError, IndexError, UnicodeDecodeError, StopIteration, ValueError) as e:
        print(f"drivercat: {e or type(e).__name__}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
