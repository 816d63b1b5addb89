#include "DriverInstall.h"

#include "hidlib/WinUsbInterface.h"

#include <algorithm>
#include <cctype>

namespace installer {

namespace {

constexpr std::int64_t Day = 86400;

std::string joinPath(const std::string& folder, const char* name) {
    if (folder.empty() || folder.back() == '\\' || folder.back() == '/') {
        return folder + name;
    }
    return folder + "\\" + name;
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// Removes what a record names: the certificate first, so that whatever fails after it, no certificate stays
// trusted for a package that is gone; then the package. The record keeps what could not be removed.
bool removeRecorded(DriverSystem& system, Record& record, Outcome& out, bool& restartNeeded) {
    if (!record.thumbprint.empty()) {
        if (!system.untrustCertificate(record.thumbprint)) {
            out.lines.push_back("Could not remove the certificate " + record.thumbprint +
                                " from the Root and TrustedPublisher stores: " + system.lastError());
            return false;
        }
        out.lines.push_back("Removed the certificate " + record.thumbprint +
                            " from the Root and TrustedPublisher stores.");
        record.thumbprint.clear();
    }
    bool removed = true;
    if (!record.publishedInf.empty()) {
        if (system.uninstallPackage(record.publishedInf, restartNeeded)) {
            out.lines.push_back("Removed the driver package " + record.publishedInf + ".");
            record.publishedInf.clear();
        } else {
            out.lines.push_back("Could not remove the driver package " + record.publishedInf + ": " +
                                system.lastError());
            removed = false;
        }
    }
    if (!system.writeRecord(record)) {
        out.lines.push_back("Could not update the record of the installed package: " + system.lastError());
        return false;
    }
    return removed;
}

Outcome fail(Outcome out, int code, std::string line) {
    out.code = code;
    out.lines.push_back(std::move(line));
    return out;
}

// Administrator rights and the program's own architecture, which every command needs.
std::optional<Outcome> refuseHere(DriverSystem& system) {
    if (system.runsUnderWow64()) {
        return fail({}, Unsupported,
                    "This is the 32-bit qelmdrv.exe; 64-bit Windows takes drivers from the 64-bit one only "
                    "(TavrelmondSetup-x64.exe).");
    }
    if (!system.isAdministrator()) {
        return fail({}, NotAdministrator, "Run qelmdrv.exe as administrator (the setup does).");
    }
    return std::nullopt;
}

// Undoes an install from the step it reached: package, trust, record, catalog file, key.
struct Rollback {
    DriverSystem& system;
    std::string catalogPath;
    std::string thumbprint;
    std::string publishedInf;
    bool trusted = false;
    bool recorded = false;

    void run(Outcome& out) {
        bool restart = false;
        Record left; // what could not be taken out stays recorded, for a later removal
        if (trusted && !system.untrustCertificate(thumbprint)) {
            out.lines.push_back("Could not take the certificate " + thumbprint +
                                " back out of the stores: " + system.lastError());
            left.thumbprint = thumbprint;
        }
        if (!publishedInf.empty() && !system.uninstallPackage(publishedInf, restart)) {
            out.lines.push_back("Could not take the driver package " + publishedInf +
                                " back out: " + system.lastError());
            left.publishedInf = publishedInf;
        }
        if (recorded) {
            system.writeRecord(left);
        }
        if (!catalogPath.empty()) {
            system.removeFile(catalogPath);
        }
        system.deleteSigningKey();
    }
};

} // namespace

std::vector<catalog::Attribute> winUsbCatalogAttributes(bool is64Bit) {
    return {{"OS", is64Bit ? "8X64,_v63_X64,_v100_X64" : "8X86,_v63,_v100"},
            {"OSAttr", "2:6.2,2:6.3,2:10.0"},
            {"HWID1", lower(QELM_RECEIVER_INTERFACE0_HARDWARE_ID)}};
}

Outcome installWinUsb(DriverSystem& system, const std::string& packageFolder) {
    if (auto refused = refuseHere(system)) {
        return *refused;
    }
    Outcome out;
    const auto [major, minor] = system.windowsVersion();
    if (major < 6 || (major == 6 && minor < 2)) {
        return fail(out, Unsupported,
                    "The WinUSB package needs Windows 8 or later; on Windows 7 install the qelmrc driver.");
    }
    const std::string infPath = joinPath(packageFolder, PackageInf);
    const std::optional<Bytes> inf = system.readFile(infPath);
    if (!inf || inf->empty()) {
        return fail(out, PackageFiles,
                    "Cannot read the package's INF " + infPath + ": " + system.lastError());
    }

    // 1. What an earlier install left.
    Record previous = system.readRecord();
    bool restart = false;
    if (!previous.empty()) {
        out.lines.push_back("Replacing the WinUSB package installed before.");
        if (!removeRecorded(system, previous, out, restart)) {
            out.code = RemoveFailed;
            return out;
        }
    }
    // A catalog left beside the INF was signed for a package that is gone now.
    const std::string catalogPath = joinPath(packageFolder, PackageCatalog);
    system.removeFile(catalogPath);
    Rollback undo{system, {}, {}, {}};

    // 2. Key and certificate.
    if (!system.deleteSigningKey() || !system.createSigningKey()) {
        undo.run(out);
        return fail(out, SigningFailed, "Could not make a signing key: " + system.lastError());
    }
    const std::int64_t now = system.now();
    const Bytes certificate = system.createCertificate(
        {CertificateSubject, now - Day, now + CertificateYears * 365 * Day, CodeSigningOid});
    if (certificate.empty()) {
        undo.run(out);
        return fail(out, SigningFailed, "Could not make the signing certificate: " + system.lastError());
    }
    undo.thumbprint = catalog::hexUpper(system.sha1(certificate));

    // 3. The catalog, signed; then the key goes.
    Bytes signedCatalog;
    try {
        const catalog::Member member{PackageInf, catalog::MemberKind::Flat,
                                     catalog::flatIndirectData(system.sha1(*inf))};
        const Bytes list = catalog::buildTrustList({member}, winUsbCatalogAttributes(system.is64Bit()), now,
                                                   [&system](ByteView data) { return system.sha1(data); });
        signedCatalog = catalog::signedCatalog(list, certificate, system.signer());
    } catch (const catalog::FormatError& e) {
        undo.run(out);
        return fail(out, SigningFailed,
                    std::string("Could not sign the catalog: ") + e.what() + " " + system.lastError());
    }
    if (!system.deleteSigningKey() || system.signingKeyExists()) {
        undo.run(out);
        return fail(out, SigningFailed, "Could not delete the signing key: " + system.lastError());
    }
    out.lines.push_back("Signed the catalog with a new certificate (thumbprint " + undo.thumbprint +
                        "); its private key is deleted.");
    if (!system.writeFile(catalogPath, signedCatalog)) {
        undo.run(out);
        return fail(out, PackageFiles, "Cannot write the catalog " + catalogPath + ": " + system.lastError());
    }
    undo.catalogPath = catalogPath;

    // 4. Record, trust, driver store, device.
    if (!system.writeRecord({undo.thumbprint, {}})) {
        undo.run(out);
        return fail(out, TrustFailed, "Could not record the certificate: " + system.lastError());
    }
    undo.recorded = true;
    undo.trusted = true; // a partly added certificate is taken out again as well
    if (!system.trustCertificate(certificate)) {
        const std::string reason = system.lastError();
        undo.run(out);
        return fail(out, TrustFailed,
                    "Could not add the certificate to the Root and TrustedPublisher stores: " + reason);
    }
    const std::optional<std::string> published = system.stagePackage(infPath);
    if (!published) {
        const std::string reason = system.lastError();
        undo.run(out);
        return fail(out, DriverFailed, "Windows did not take the driver package: " + reason);
    }
    undo.publishedInf = *published;
    if (!system.writeRecord({undo.thumbprint, *published})) {
        const std::string reason = system.lastError();
        undo.run(out);
        return fail(out, TrustFailed, "Could not record the driver package: " + reason);
    }
    out.lines.push_back("Added the driver package to the driver store as " + *published + ".");
    switch (system.installOnDevices(QELM_RECEIVER_INTERFACE0_HARDWARE_ID, infPath)) {
    case DeviceInstall::Installed:
        out.lines.push_back("Installed the driver for the plugged-in receiver.");
        out.code = restart ? RestartNeeded : Done;
        break;
    case DeviceInstall::RestartNeeded:
        out.lines.push_back("Installed the driver for the plugged-in receiver; restart Windows to finish.");
        out.code = RestartNeeded;
        break;
    case DeviceInstall::NoDevice:
        out.lines.push_back("The receiver is not plugged in: Windows uses the driver when it is.");
        out.code = restart ? RestartNeeded : Staged;
        break;
    case DeviceInstall::Failed: {
        const std::string reason = system.lastError();
        undo.run(out);
        return fail(out, DriverFailed, "Could not install the driver for the receiver: " + reason);
    }
    }
    return out;
}

Outcome removeWinUsb(DriverSystem& system) {
    if (auto refused = refuseHere(system)) {
        return *refused;
    }
    Outcome out;
    Record record = system.readRecord();
    bool restart = false;
    if (record.empty()) {
        out.lines.push_back("No WinUSB package is installed.");
    } else if (!removeRecorded(system, record, out, restart)) {
        out.code = RemoveFailed;
        return out;
    }
    if (system.signingKeyExists()) {
        if (!system.deleteSigningKey()) {
            return fail(out, RemoveFailed,
                        "Could not delete a signing key left behind: " + system.lastError());
        }
        out.lines.push_back("Deleted a signing key left by an interrupted install.");
    }
    out.code = restart ? RestartNeeded : Done;
    return out;
}

Outcome removeKernelDriver(DriverSystem& system) {
    if (auto refused = refuseHere(system)) {
        return *refused;
    }
    Outcome out;
    bool restart = false;
    const std::vector<std::string> packages = system.publishedPackagesOf(KernelDriverInf);
    if (packages.empty()) {
        out.lines.push_back("No qelmrc driver package is installed.");
    }
    for (const std::string& published : packages) {
        if (!system.uninstallPackage(published, restart)) {
            out.lines.push_back("Could not remove the qelmrc driver package " + published + ": " +
                                system.lastError());
            out.code = RemoveFailed;
        } else {
            out.lines.push_back("Removed the qelmrc driver package " + published + ".");
        }
    }
    if (out.code == Done && restart) {
        out.code = RestartNeeded;
    }
    return out;
}

Outcome status(DriverSystem& system) {
    Outcome out;
    const Record record = system.readRecord();
    if (record.publishedInf.empty()) {
        out.lines.push_back("package: none recorded");
    } else {
        out.lines.push_back("package: " + record.publishedInf +
                            (system.packagePublished(record.publishedInf)
                                 ? " (in the driver store)"
                                 : " (recorded, not in the driver store)"));
    }
    if (record.thumbprint.empty()) {
        out.lines.push_back("certificate: none recorded");
    } else {
        std::string stores;
        for (const std::string& store : system.storesHolding(record.thumbprint)) {
            stores += (stores.empty() ? " in " : ", ") + store;
        }
        out.lines.push_back("certificate: " + record.thumbprint +
                            (stores.empty() ? " (in no store)" : stores));
    }
    out.lines.push_back(std::string("signing key: ") + (system.signingKeyExists() ? "present" : "none"));
    for (const std::string& published : system.publishedPackagesOf(KernelDriverInf)) {
        out.lines.push_back("qelmrc package: " + published);
    }
    return out;
}

} // namespace installer
