// drivercat: makes a driver package's catalog on the build machine and reads one back (scripts/sign-driver.sh
// calls it; osslsigncode signs what `make` writes).
//
//   drivercat make --out qelmrc.cat --os _v100_X64 --osattr 2:10.0 --hwid 'usb\vid_045e&pid_0284'
//                  --pe qelmrc.sys=sys-data.der --flat qelmrc.inf
//   drivercat list qelmrc.cat
//   drivercat check qelmrc.cat --flat qelmrc.inf
//   drivercat sign --cert cert.pem --key key.pem --in unsigned.cat --out signed.cat
//
// make: --pe takes the file's name and the output of `osslsigncode extract-data -h sha1` for it (its
// Authenticode digest goes into the member as it is); --flat files are hashed whole (SHA-1). The catalog is
// written unsigned. Its time is SOURCE_DATE_EPOCH when set, so a build can be repeated byte for byte.
// list: one line per member, attribute, certificate and signer. check: every --flat file is a member under
// its own name with its current digest. sign: signs with a PEM key as the install program signs on Windows
// (the release signs with osslsigncode). A file that is not such a catalog is an error, never half read.
#include "Catalog.h"
#include "CatalogSignature.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

using catalog::Bytes;
using catalog::ByteView;
using catalog::FormatError;

class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw FormatError("cannot read " + path);
    }
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, ByteView data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    if (!out.flush()) {
        throw FormatError("cannot write " + path);
    }
}

std::string baseName(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

Bytes digest(const EVP_MD* md, ByteView data) {
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int size = 0;
    if (EVP_Digest(data.data(), data.size(), out.data(), &size, md, nullptr) != 1) {
        throw FormatError("OpenSSL could not hash");
    }
    out.resize(size);
    return out;
}

Bytes sha1(ByteView data) {
    return digest(EVP_sha1(), data);
}

// Signs with a PEM key through OpenSSL.
class PemSigner : public catalog::CatalogSigner {
  public:
    explicit PemSigner(const std::string& keyPath) {
        std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(keyPath.c_str(), "rb"), std::fclose);
        if (!f) {
            throw FormatError("cannot read " + keyPath);
        }
        key_.reset(PEM_read_PrivateKey(f.get(), nullptr, nullptr, nullptr));
        if (!key_) {
            throw FormatError(keyPath + ": not a PEM private key (unencrypted)");
        }
    }
    Bytes sha256(ByteView data) override { return digest(EVP_sha256(), data); }
    Bytes signSha256(ByteView data) override {
        std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
        std::size_t size = 0;
        if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key_.get()) != 1 ||
            EVP_DigestSign(ctx.get(), nullptr, &size, data.data(), data.size()) != 1) {
            return {};
        }
        Bytes out(size);
        if (EVP_DigestSign(ctx.get(), out.data(), &size, data.data(), data.size()) != 1) {
            return {};
        }
        out.resize(size);
        return out;
    }

  private:
    std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)> key_{nullptr, EVP_PKEY_free};
};

Bytes certificateDer(const std::string& pemPath) {
    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(pemPath.c_str(), "rb"), std::fclose);
    if (!f) {
        throw FormatError("cannot read " + pemPath);
    }
    std::unique_ptr<X509, void (*)(X509*)> cert(PEM_read_X509(f.get(), nullptr, nullptr, nullptr), X509_free);
    if (!cert) {
        throw FormatError(pemPath + ": not a PEM certificate");
    }
    unsigned char* der = nullptr;
    const int size = i2d_X509(cert.get(), &der);
    if (size <= 0) {
        throw FormatError(pemPath + ": cannot encode the certificate");
    }
    Bytes out(der, der + size);
    OPENSSL_free(der);
    return out;
}

catalog::CatalogContents read(const std::string& path) {
    std::string error;
    auto contents = catalog::readCatalog(readFile(path), error);
    if (!contents) {
        throw FormatError(path + ": " + error);
    }
    return *contents;
}

std::int64_t buildTime() {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): read once, and the tool has no other thread.
    if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH"); epoch && *epoch) {
        char* end = nullptr;
        const long long value = std::strtoll(epoch, &end, 10);
        if (*end != '\0' || value < 0) {
            throw UsageError("SOURCE_DATE_EPOCH is not a number of seconds");
        }
        return value;
    }
    return static_cast<std::int64_t>(std::time(nullptr));
}

// Options of a command: --name value pairs (repeatable) and the positional arguments.
struct Options {
    std::vector<std::pair<std::string, std::string>> named;
    std::vector<std::string> positional;

    std::vector<std::string> all(const std::string& name) const {
        std::vector<std::string> out;
        for (const auto& [n, v] : named) {
            if (n == name) {
                out.push_back(v);
            }
        }
        return out;
    }
    std::string one(const std::string& name, bool required = true) const {
        const auto values = all(name);
        if (values.size() > 1 || (required && values.empty())) {
            throw UsageError(name + " is needed once");
        }
        return values.empty() ? std::string() : values[0];
    }
};

Options parse(int argc, char** argv, const std::vector<std::string>& known) {
    Options o;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--", 0) == 0) {
            if (std::find(known.begin(), known.end(), arg) == known.end() || i + 1 >= argc) {
                throw UsageError("unknown option or missing value: " + arg);
            }
            o.named.emplace_back(arg, argv[++i]);
        } else {
            o.positional.push_back(arg);
        }
    }
    return o;
}

int make(const Options& o) {
    std::vector<catalog::Member> members;
    for (const std::string& item : o.all("--pe")) {
        const std::size_t eq = item.find('=');
        if (eq == std::string::npos || eq == 0 || eq + 1 == item.size()) {
            throw UsageError("--pe " + item + ": expected NAME=extract-data-output");
        }
        members.push_back({item.substr(0, eq), catalog::MemberKind::PeImage,
                           catalog::indirectDataFromExtract(readFile(item.substr(eq + 1)))});
    }
    for (const std::string& path : o.all("--flat")) {
        members.push_back(
            {baseName(path), catalog::MemberKind::Flat, catalog::flatIndirectData(sha1(readFile(path)))});
    }
    std::vector<catalog::Attribute> attributes{{"OS", o.one("--os")}};
    if (const std::string osattr = o.one("--osattr", false); !osattr.empty()) {
        attributes.push_back({"OSAttr", osattr});
    }
    int n = 0;
    for (const std::string& hwid : o.all("--hwid")) {
        attributes.push_back({"HWID" + std::to_string(++n), hwid});
    }
    const Bytes list = catalog::buildTrustList(members, attributes, buildTime(), sha1);
    writeFile(o.one("--out"), catalog::unsignedCatalog(list));
    for (const catalog::ReadMember& m : read(o.one("--out")).members) {
        std::cout << m.tag << " " << m.file << " (" << m.kind << ")\n";
    }
    return 0;
}

int list(const Options& o) {
    if (o.positional.size() != 1) {
        throw UsageError("list takes one catalog");
    }
    const catalog::CatalogContents c = read(o.positional[0]);
    for (const catalog::ReadMember& m : c.members) {
        std::cout << "member " << m.tag << " file=" << m.file << " kind=" << m.kind << " type=" << m.dataType
                  << " algorithm=" << m.digestAlgorithm << "\n";
    }
    for (const catalog::Attribute& a : c.attributes) {
        std::cout << "attribute " << a.name << "=" << a.value << "\n";
    }
    for (const Bytes& cert : c.certificates) {
        const catalog::CertificateFacts facts = catalog::readCertificate(cert);
        std::cout << "certificate " << facts.subjectCommonName << "\n";
    }
    for (const catalog::ReadSigner& s : c.signers) {
        std::cout << "signer digest=" << s.digestAlgorithm << " signature=" << s.signatureAlgorithm << "\n";
    }
    std::cout << "time " << c.thisUpdate << "\nsigners " << c.signers.size() << "\n";
    return 0;
}

int check(const Options& o) {
    if (o.positional.size() != 1 || o.all("--flat").empty()) {
        throw UsageError("check takes one catalog and --flat files");
    }
    const catalog::CatalogContents c = read(o.positional[0]);
    int failed = 0;
    for (const std::string& path : o.all("--flat")) {
        const std::string tag = catalog::hexUpper(sha1(readFile(path)));
        const catalog::ReadMember* m = c.memberByFile(baseName(path));
        if (m == nullptr || m->tag != tag) {
            std::cout << path << ": not in the catalog (SHA-1 " << tag << ")\n";
            ++failed;
        } else {
            std::cout << path << ": listed (SHA-1 " << tag << ")\n";
        }
    }
    if (failed) {
        throw FormatError(std::to_string(failed) + " file(s) do not match the catalog");
    }
    return 0;
}

int sign(const Options& o) {
    const catalog::CatalogContents c = read(o.one("--in"));
    PemSigner signer(o.one("--key"));
    writeFile(o.one("--out"), catalog::signedCatalog(c.trustList, certificateDer(o.one("--cert")), signer));
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    try {
        if (command == "make") {
            return make(parse(argc, argv, {"--out", "--os", "--osattr", "--hwid", "--pe", "--flat"}));
        }
        if (command == "list") {
            return list(parse(argc, argv, {}));
        }
        if (command == "check") {
            return check(parse(argc, argv, {"--flat"}));
        }
        if (command == "sign") {
            return sign(parse(argc, argv, {"--cert", "--key", "--in", "--out"}));
        }
        throw UsageError("commands: make, list, check, sign");
    } catch (const UsageError& e) {
        std::cerr << "drivercat: " << e.what() << "\n";
        return 2;
    } catch (const FormatError& e) {
        std::cerr << "drivercat: " << e.what() << "\n";
        return 1;
    }
}
