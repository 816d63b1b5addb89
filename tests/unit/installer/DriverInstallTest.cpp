// qelmdrv's steps over a stand-in system: what an install leaves (package, certificate in both stores,
// record, a readable signed catalog, no key), a second install replacing the first, removal of what is
// recorded and nothing else, and a failure at every step leaving no half-installed state.
#include "DriverInstall.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <fstream>
#include <iterator>
#include <map>
#include <set>

namespace {

using namespace installer;
using catalog::hexUpper;

Bytes digest(const EVP_MD* md, ByteView data) {
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned size = 0;
    EVP_Digest(data.data(), data.size(), out.data(), &size, md, nullptr);
    out.resize(size);
    return out;
}

Bytes testCertificate() {
    std::ifstream in(std::string(CATALOG_TEST_DATA) + "/test-signer.der", std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Where an operation of the stand-in fails (one at a time).
enum class Fail {
    Nothing,
    ReadInf,
    CreateKey,
    CreateCertificate,
    Sign,
    DeleteKey,
    WriteCatalog,
    WriteRecord,      // the record of a new certificate
    TrustedPublisher, // Root takes the certificate, TrustedPublisher refuses it
    Stage,
    InstallOnDevice,
    Uninstall,
    Untrust,
};

const char* const PackageFolder = "C:\\Program Files\\Tavrelmond\\winusb";
const std::string InfPath = std::string(PackageFolder) + "\\qelmusb.inf";
const std::string CatalogPath = std::string(PackageFolder) + "\\qelmusb.cat";
const std::string InfText = "[Version]\r\nSignature=\"$WINDOWS NT$\"\r\nCatalogFile=qelmusb.cat\r\n";

class FakeSystem : public DriverSystem, public catalog::CatalogSigner {
  public:
    FakeSystem() { files[InfPath] = Bytes(InfText.begin(), InfText.end()); }

    // -- the state a test looks at --------------------------------------------------------------------
    std::map<std::string, Bytes> files;
    bool keyExists = false;
    std::map<std::string, std::set<std::string>> stores{{"Root", {}}, {"TrustedPublisher", {}}};
    std::map<std::string, Bytes> driverStore;        // published name -> INF
    std::map<std::string, std::string> originalName; // published name -> INF name it came as
    std::string deviceDriver;                        // the package the receiver uses
    bool devicePresent = true;
    bool restartAfterInstall = false;
    Record record;
    Fail fail = Fail::Nothing;
    bool admin = true, wow64 = false;
    std::pair<unsigned, unsigned> version{10, 0};
    int certificatesMade = 0;
    Bytes lastCertificate;

    std::set<std::string> trustedAnywhere() const {
        std::set<std::string> all = stores.at("Root");
        all.insert(stores.at("TrustedPublisher").begin(), stores.at("TrustedPublisher").end());
        return all;
    }
    std::string publish(const std::string& name, const std::string& original) {
        driverStore[name] = Bytes(InfText.begin(), InfText.end());
        originalName[name] = original;
        return name;
    }

    // -- DriverSystem ---------------------------------------------------------------------------------
    std::string lastError() override { return "refused by the test"; }
    std::int64_t now() override { return 1765180800; }
    bool is64Bit() override { return true; }
    bool isAdministrator() override { return admin; }
    bool runsUnderWow64() override { return wow64; }
    std::pair<unsigned, unsigned> windowsVersion() override { return version; }

    std::optional<Bytes> readFile(const std::string& path) override {
        if (fail == Fail::ReadInf || !files.count(path)) {
            return std::nullopt;
        }
        return files[path];
    }
    bool writeFile(const std::string& path, ByteView data) override {
        if (fail == Fail::WriteCatalog) {
            return false;
        }
        files[path].assign(data.begin(), data.end());
        return true;
    }
    void removeFile(const std::string& path) override { files.erase(path); }
    Bytes sha1(ByteView data) override { return digest(EVP_sha1(), data); }

    bool createSigningKey() override {
        if (fail == Fail::CreateKey) {
            return false;
        }
        keyExists = true;
        return true;
    }
    Bytes createCertificate(const CertificateRequest& request) override {
        if (fail == Fail::CreateCertificate || !keyExists) {
            return {};
        }
        lastRequest = request;
        // Each certificate differs from the one before (a byte of its signature), as new ones do.
        lastCertificate = testCertificate();
        lastCertificate.back() = static_cast<std::uint8_t>(lastCertificate.back() + ++certificatesMade);
        return lastCertificate;
    }
    catalog::CatalogSigner& signer() override { return *this; }
    bool deleteSigningKey() override {
        if (fail == Fail::DeleteKey && keyExists && signedSomething) {
            return false;
        }
        keyExists = false;
        return true;
    }
    bool signingKeyExists() override { return keyExists; }

    bool trustCertificate(ByteView certificate) override {
        const std::string thumbprint = hexUpper(sha1(certificate));
        stores["Root"].insert(thumbprint);
        if (fail == Fail::TrustedPublisher) {
            return false;
        }
        stores["TrustedPublisher"].insert(thumbprint);
        return true;
    }
    bool untrustCertificate(const std::string& thumbprint) override {
        if (fail == Fail::Untrust) {
            return false;
        }
        for (auto& [name, held] : stores) {
            held.erase(thumbprint);
        }
        return true;
    }
    std::vector<std::string> storesHolding(const std::string& thumbprint) override {
        std::vector<std::string> out;
        for (const auto& [name, held] : stores) {
            if (held.count(thumbprint)) {
                out.push_back(name);
            }
        }
        return out;
    }

    std::optional<std::string> stagePackage(const std::string& infPath) override {
        if (fail == Fail::Stage || !files.count(infPath) || !files.count(CatalogPath)) {
            return std::nullopt;
        }
        return publish("oem" + std::to_string(nextPublished++) + ".inf", PackageInf);
    }
    DeviceInstall installOnDevices(const std::string& hardwareId, const std::string&) override {
        lastHardwareId = hardwareId;
        if (!devicePresent) {
            return DeviceInstall::NoDevice;
        }
        if (fail == Fail::InstallOnDevice) {
            return DeviceInstall::Failed;
        }
        deviceDriver = record.publishedInf;
        return restartAfterInstall ? DeviceInstall::RestartNeeded : DeviceInstall::Installed;
    }
    bool uninstallPackage(const std::string& publishedInf, bool& restartNeeded) override {
        if (fail == Fail::Uninstall || uninstallRefused) {
            return false;
        }
        driverStore.erase(publishedInf);
        if (deviceDriver == publishedInf) {
            deviceDriver.clear();
            restartNeeded = restartNeeded || restartAfterInstall;
        }
        return true;
    }
    std::vector<std::string> publishedPackagesOf(const std::string& original) override {
        std::vector<std::string> out;
        for (const auto& [name, from] : originalName) {
            if (from == original && driverStore.count(name)) {
                out.push_back(name);
            }
        }
        return out;
    }
    bool packagePublished(const std::string& publishedInf) override {
        return driverStore.count(publishedInf) > 0;
    }

    Record readRecord() override { return record; }
    bool writeRecord(const Record& r) override {
        if (fail == Fail::WriteRecord && !r.thumbprint.empty() && !stores["Root"].count(r.thumbprint)) {
            return false;
        }
        record = r;
        return true;
    }

    // -- CatalogSigner -------------------------------------------------------------------------------
    Bytes sha256(ByteView data) override { return digest(EVP_sha256(), data); }
    Bytes signSha256(ByteView) override {
        if (fail == Fail::Sign || !keyExists) {
            return {};
        }
        signedSomething = true;
        return Bytes(256, 0x5A);
    }

    CertificateRequest lastRequest{};
    std::string lastHardwareId;
    bool signedSomething = false;
    int nextPublished = 7;
    bool uninstallRefused = false; // besides `fail`: the driver store keeps every package
};

// No half-installed state: no key; a trusted certificate only with its package and the record of both; the
// record names only what is there.
void expectConsistent(const FakeSystem& s, const std::string& context, bool keyMayStay = false) {
    SCOPED_TRACE(context);
    if (!keyMayStay) {
        EXPECT_FALSE(s.keyExists) << "a signing key is left";
    }
    const auto trusted = s.trustedAnywhere();
    if (!trusted.empty()) {
        EXPECT_EQ(trusted, std::set<std::string>{s.record.thumbprint})
            << "a certificate trusted without its record";
        EXPECT_TRUE(s.driverStore.count(s.record.publishedInf))
            << "a trusted certificate without its package";
    }
    if (!s.record.thumbprint.empty()) {
        EXPECT_TRUE(s.stores.at("Root").count(s.record.thumbprint) &&
                    s.stores.at("TrustedPublisher").count(s.record.thumbprint))
            << "the record names a certificate that is not trusted";
    }
    if (!s.record.publishedInf.empty()) {
        EXPECT_TRUE(s.driverStore.count(s.record.publishedInf))
            << "the record names a package that is not there";
    }
}

TEST(Install, WithTheReceiverPluggedIn) {
    FakeSystem s;
    const Outcome out = installWinUsb(s, PackageFolder);
    ASSERT_EQ(out.code, Done) << out.lines.back();
    expectConsistent(s, "installed");
    EXPECT_EQ(s.record.thumbprint, hexUpper(s.sha1(s.lastCertificate)));
    EXPECT_EQ(s.deviceDriver, s.record.publishedInf);
    EXPECT_EQ(s.driverStore.size(), 1u);
    EXPECT_EQ(s.lastHardwareId, "USB\\VID_045E&PID_0284&MI_00");
    // The certificate: code signing only, five years from a day ago, a name that says what it is for.
    EXPECT_EQ(s.lastRequest.keyUsageOid, "1.3.6.1.5.5.7.3.3");
    EXPECT_EQ(s.lastRequest.notBefore, s.now() - 86400);
    EXPECT_EQ(s.lastRequest.notAfter - s.now(), 5 * 365 * 86400);
    EXPECT_NE(std::string(s.lastRequest.subject).find("Xbox DVD remote receiver"), std::string::npos);
    EXPECT_NE(std::string(s.lastRequest.subject).find("Tavrelmond"), std::string::npos);
    // The catalog beside the INF: the INF's SHA-1 as its member, the package's attributes, our certificate.
    std::string error;
    const auto cat = catalog::readCatalog(s.files.at(CatalogPath), error);
    ASSERT_TRUE(cat) << error;
    ASSERT_EQ(cat->members.size(), 1u);
    EXPECT_EQ(cat->members[0].file, "qelmusb.inf");
    EXPECT_EQ(cat->members[0].tag, hexUpper(s.sha1(s.files.at(InfPath))));
    EXPECT_EQ(cat->attributes, winUsbCatalogAttributes(true));
    EXPECT_EQ(cat->certificates, std::vector<Bytes>{s.lastCertificate});
    ASSERT_EQ(cat->signers.size(), 1u);
    EXPECT_EQ(cat->signers[0].digestAlgorithm, catalog::oids::Sha256);
}

TEST(Install, ExitCodeSaysWhatHappened) {
    const struct {
        const char* what;
        bool present;
        bool restart;
        int code;
        const char* says;
    } rows[] = {
        {"plugged in", true, false, Done, "Installed the driver for the plugged-in receiver"},
        {"not plugged in", false, false, Staged, "Windows uses the driver when it is"},
        {"restart asked for", true, true, RestartNeeded, "restart Windows"},
    };
    for (const auto& row : rows) {
        FakeSystem s;
        s.devicePresent = row.present;
        s.restartAfterInstall = row.restart;
        const Outcome out = installWinUsb(s, PackageFolder);
        EXPECT_EQ(out.code, row.code) << row.what;
        EXPECT_NE(out.lines.back().find(row.says), std::string::npos) << row.what << ": " << out.lines.back();
        EXPECT_EQ(s.driverStore.size(), 1u) << row.what;
        expectConsistent(s, row.what);
    }
}

TEST(Install, CatalogNamesWindows8AndLaterOfItsArchitecture) {
    const auto x64 = winUsbCatalogAttributes(true);
    const auto x86 = winUsbCatalogAttributes(false);
    EXPECT_EQ(x64[0], (catalog::Attribute{"OS", "8X64,_v63_X64,_v100_X64"}));
    EXPECT_EQ(x86[0], (catalog::Attribute{"OS", "8X86,_v63,_v100"}));
    for (const auto& attributes : {x64, x86}) {
        EXPECT_EQ(attributes[1], (catalog::Attribute{"OSAttr", "2:6.2,2:6.3,2:10.0"}));
        EXPECT_EQ(attributes[2], (catalog::Attribute{"HWID1", "usb\\vid_045e&pid_0284&mi_00"}));
    }
}

TEST(Install, SecondInstallReplacesTheFirst) {
    FakeSystem s;
    ASSERT_EQ(installWinUsb(s, PackageFolder).code, Done);
    const Record first = s.record;
    const Outcome out = installWinUsb(s, PackageFolder);
    ASSERT_EQ(out.code, Done) << out.lines.back();
    expectConsistent(s, "after the second install");
    EXPECT_NE(s.record.thumbprint, first.thumbprint);
    EXPECT_EQ(s.trustedAnywhere(), std::set<std::string>{s.record.thumbprint})
        << "the first certificate stays trusted";
    EXPECT_FALSE(s.driverStore.count(first.publishedInf)) << "the first package stays";
    EXPECT_EQ(s.driverStore.size(), 1u);
    EXPECT_EQ(s.deviceDriver, s.record.publishedInf);
}

TEST(Install, FailureAtAnyStepLeavesNoHalfInstalledState) {
    const struct {
        Fail at;
        int code;
    } rows[] = {
        {Fail::ReadInf, PackageFiles},
        {Fail::CreateKey, SigningFailed},
        {Fail::CreateCertificate, SigningFailed},
        {Fail::Sign, SigningFailed},
        {Fail::DeleteKey, SigningFailed},
        {Fail::WriteCatalog, PackageFiles},
        {Fail::WriteRecord, TrustFailed},
        {Fail::TrustedPublisher, TrustFailed},
        {Fail::Stage, DriverFailed},
        {Fail::InstallOnDevice, DriverFailed},
    };
    for (const bool withEarlierInstall : {false, true}) {
        for (const auto& row : rows) {
            const std::string what = "step " + std::to_string(static_cast<int>(row.at)) +
                                     (withEarlierInstall ? " over an earlier install" : "");
            FakeSystem s;
            const std::string foreign = s.publish("oem1.inf", "printer.inf");
            s.stores["Root"].insert("0123456789ABCDEF0123456789ABCDEF01234567");
            if (withEarlierInstall) {
                ASSERT_EQ(installWinUsb(s, PackageFolder).code, Done);
            }
            const Record earlier = s.record;
            s.fail = row.at;
            const Outcome out = installWinUsb(s, PackageFolder);
            EXPECT_EQ(out.code, row.code) << what;
            EXPECT_NE(out.lines.back().find("refused by the test"), std::string::npos)
                << what << ": the message gives the reason: " << out.lines.back();
            s.stores["Root"].erase("0123456789ABCDEF0123456789ABCDEF01234567");
            // A key the system refuses to delete stays (untrusted); everything else holds for every step.
            expectConsistent(s, what, row.at == Fail::DeleteKey);
            if (row.at == Fail::ReadInf) {
                // Nothing was touched: an earlier install stays as it was.
                EXPECT_EQ(s.record.thumbprint, earlier.thumbprint) << what;
                EXPECT_EQ(s.driverStore.size(), withEarlierInstall ? 2u : 1u) << what;
                continue;
            }
            EXPECT_TRUE(s.trustedAnywhere().empty()) << what;
            EXPECT_TRUE(s.record.empty()) << what;
            EXPECT_EQ(s.driverStore.size(), 1u) << what << ": only the foreign package stays";
            EXPECT_TRUE(s.driverStore.count(foreign)) << what;
            EXPECT_FALSE(s.files.count(CatalogPath)) << what << ": the catalog of a failed install stays";
        }
    }
}

TEST(Install, WhatARollbackCannotTakeOutStaysRecordedForTheRemoval) {
    FakeSystem s;
    s.fail = Fail::InstallOnDevice;
    s.uninstallRefused = true;
    const Outcome out = installWinUsb(s, PackageFolder);
    EXPECT_EQ(out.code, DriverFailed);
    expectConsistent(s, "rollback without the package's removal");
    ASSERT_EQ(s.driverStore.size(), 1u);
    EXPECT_EQ(s.record.publishedInf, s.driverStore.begin()->first)
        << "the package left behind is not recorded";
    EXPECT_TRUE(s.record.thumbprint.empty());
    s.fail = Fail::Nothing;
    s.uninstallRefused = false;
    EXPECT_EQ(removeWinUsb(s).code, Done);
    EXPECT_TRUE(s.driverStore.empty());
    EXPECT_TRUE(s.record.empty());
}

TEST(Install, RefusedWhereItCannotWork) {
    const struct {
        const char* what;
        bool admin, wow64;
        std::pair<unsigned, unsigned> version;
        int code;
    } rows[] = {
        {"not elevated", false, false, {10, 0}, NotAdministrator},
        {"32-bit program on 64-bit Windows", true, true, {10, 0}, Unsupported},
        {"Windows 7", true, false, {6, 1}, Unsupported},
        {"Vista", true, false, {6, 0}, Unsupported},
    };
    for (const auto& row : rows) {
        FakeSystem s;
        s.admin = row.admin;
        s.wow64 = row.wow64;
        s.version = row.version;
        EXPECT_EQ(installWinUsb(s, PackageFolder).code, row.code) << row.what;
        EXPECT_EQ(s.certificatesMade, 0) << row.what;
        EXPECT_TRUE(s.driverStore.empty()) << row.what;
    }
    FakeSystem windows8;
    windows8.version = {6, 2};
    EXPECT_EQ(installWinUsb(windows8, PackageFolder).code, Done);
}

TEST(Remove, TakesWhatIsRecordedAndNothingElse) {
    FakeSystem s;
    const std::string foreign = s.publish("oem1.inf", "printer.inf");
    const std::string kernel = s.publish("oem2.inf", "qelmrc.inf");
    s.stores["Root"].insert("0123456789ABCDEF0123456789ABCDEF01234567");
    ASSERT_EQ(installWinUsb(s, PackageFolder).code, Done);
    const Outcome out = removeWinUsb(s);
    EXPECT_EQ(out.code, Done) << out.lines.back();
    EXPECT_TRUE(s.record.empty());
    EXPECT_EQ(s.trustedAnywhere(), std::set<std::string>{"0123456789ABCDEF0123456789ABCDEF01234567"});
    EXPECT_EQ(s.driverStore.size(), 2u);
    EXPECT_TRUE(s.driverStore.count(foreign) && s.driverStore.count(kernel));
    EXPECT_TRUE(s.deviceDriver.empty());
    EXPECT_FALSE(s.keyExists);

    const Outcome again = removeWinUsb(s);
    EXPECT_EQ(again.code, Done);
    EXPECT_EQ(again.lines.front(), "No WinUSB package is installed.");
}

TEST(Remove, AFailureKeepsTheRecordSoThatRemovalCanBeTriedAgain) {
    for (const Fail at : {Fail::Uninstall, Fail::Untrust}) {
        FakeSystem s;
        ASSERT_EQ(installWinUsb(s, PackageFolder).code, Done);
        const Record installed = s.record;
        s.fail = at;
        EXPECT_EQ(removeWinUsb(s).code, RemoveFailed);
        expectConsistent(s, "failed removal");
        // The certificate goes first: a package that stays is recorded, a certificate that stays too.
        EXPECT_EQ(s.record.publishedInf, installed.publishedInf);
        EXPECT_EQ(s.record.thumbprint, at == Fail::Untrust ? installed.thumbprint : "");
        s.fail = Fail::Nothing;
        EXPECT_EQ(removeWinUsb(s).code, Done);
        EXPECT_TRUE(s.record.empty());
        EXPECT_TRUE(s.trustedAnywhere().empty());
        EXPECT_TRUE(s.driverStore.empty());
    }
}

TEST(Remove, DeletesAKeyLeftByAnInterruptedInstallAndPassesOnARestart) {
    FakeSystem s;
    ASSERT_EQ(installWinUsb(s, PackageFolder).code, Done);
    s.keyExists = true;
    s.restartAfterInstall = true;
    const Outcome out = removeWinUsb(s);
    EXPECT_EQ(out.code, RestartNeeded);
    EXPECT_FALSE(s.keyExists);
    FakeSystem notAdmin;
    notAdmin.admin = false;
    EXPECT_EQ(removeWinUsb(notAdmin).code, NotAdministrator);
}

TEST(RemoveKernelDriver, RemovesEveryQelmrcPackageOnly) {
    FakeSystem s;
    s.publish("oem3.inf", "qelmrc.inf");
    s.publish("oem4.inf", "QELMRC.inf");
    s.publish("oem5.inf", "printer.inf");
    // Original names compare without case on Windows; the stand-in keeps them as given, so one is found.
    Outcome out = removeKernelDriver(s);
    EXPECT_EQ(out.code, Done);
    EXPECT_EQ(s.driverStore.count("oem3.inf"), 0u);
    EXPECT_EQ(s.driverStore.count("oem5.inf"), 1u);
    s.publish("oem6.inf", "qelmrc.inf");
    s.fail = Fail::Uninstall;
    out = removeKernelDriver(s);
    EXPECT_EQ(out.code, RemoveFailed);
    EXPECT_NE(out.lines.back().find("oem6.inf"), std::string::npos);
    s.fail = Fail::Nothing;
    s.driverStore.erase("oem6.inf");
    EXPECT_EQ(removeKernelDriver(s).lines.front(), "No qelmrc driver package is installed.");
}

TEST(Status, SaysWhatIsThere) {
    FakeSystem s;
    ASSERT_EQ(installWinUsb(s, PackageFolder).code, Done);
    const Outcome out = status(s);
    ASSERT_GE(out.lines.size(), 3u);
    EXPECT_EQ(out.lines[0], "package: " + s.record.publishedInf + " (in the driver store)");
    EXPECT_EQ(out.lines[1], "certificate: " + s.record.thumbprint + " in Root, TrustedPublisher");
    EXPECT_EQ(out.lines[2], "signing key: none");
}

} // namespace
