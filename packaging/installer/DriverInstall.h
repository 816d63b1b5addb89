// What qelmdrv.exe does, platform-free: install the receiver's WinUSB package (an INF that binds Microsoft's
// WinUSB driver to the receiver's interface 0) with a catalog signed on this PC, and remove it again; remove
// the qelmrc kernel driver's packages. The steps and their order live here, the Windows calls behind
// DriverSystem (WinDriverSystem.cpp), so that every failure path is tested on the host with a stand-in.
//
// Install (`installWinUsb`):
//   1. A package installed before (recorded) is removed first: its driver package and its certificate.
//   2. A new RSA key in a key container of our own, and a self-signed certificate for it: code signing only,
//      named for the receiver and the program, valid for five years.
//   3. The catalog (the INF's SHA-1 as its member; OS, OSAttr and HWID attributes), signed with that key;
//      then the key is deleted, so nothing else can ever be signed with the certificate.
//   4. The certificate's thumbprint is recorded, the bare certificate added to the local machine's Root and
//      TrustedPublisher stores, the package added to the driver store (its published name recorded too) and
//      installed on the receiver when it is plugged in; otherwise Windows installs it at the next plug-in.
// A failure at any step undoes the steps before it: no trusted certificate stays without its package, no key
// stays at all, and the record names only what is there.
//
// Remove (`removeWinUsb`): the recorded certificate (from both stores) and then the recorded package, and a
// key left by an interrupted install; nothing else.
#pragma once

#include "Catalog.h"
#include "CatalogSignature.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace installer {

using catalog::Bytes;
using catalog::ByteView;

// Exit codes of qelmdrv.exe (the setup reads them). 0, 259 and 3010 are successes, as with pnputil. No
// failure uses 3 or 194, which is what 259 and 3010 look like where only the low byte is kept (a Linux parent
// of a program run by Wine).
enum ExitCode : int {
    Done = 0,
    Usage = 1,
    Unsupported = 2,   // older than Windows 8, or a 32-bit program on 64-bit Windows
    PackageFiles = 4,  // the INF is missing or unreadable, or the catalog cannot be written
    SigningFailed = 5, // the key, the certificate or the signature could not be made, or the key not deleted
    TrustFailed = 6,   // the certificate stores or the record refused
    DriverFailed = 7,  // Windows refused to take the package or to install it on the receiver
    RemoveFailed = 8,  // something recorded could not be removed (it stays recorded: try again)
    NotAdministrator = 9, // not run elevated
    Staged = 259,         // the package is in the driver store; Windows installs it at the next plug-in
    RestartNeeded = 3010, // installed or removed; a restart completes it
};

// What an install leaves behind, so that a removal (or the next install) finds it. Kept by the platform
// (the registry on Windows); empty fields mean nothing of that kind is installed.
struct Record {
    std::string thumbprint;   // SHA-1 of the certificate, upper-case hex
    std::string publishedInf; // the package's name in the driver store, e.g. oem12.inf
    bool empty() const { return thumbprint.empty() && publishedInf.empty(); }
};

struct CertificateRequest {
    std::string subject;    // an X.500 name, e.g. CN="...", O=...
    std::int64_t notBefore; // seconds since 1970, UTC
    std::int64_t notAfter;
    std::string keyUsageOid; // the one extended key usage
};

enum class DeviceInstall { Installed, RestartNeeded, NoDevice, Failed };

// The platform's side. Every call that can fail returns false or nothing and leaves its reason for
// lastError(), in words.
class DriverSystem {
  public:
    virtual ~DriverSystem() = default;

    virtual std::string lastError() = 0;
    virtual std::int64_t now() = 0; // seconds since 1970, UTC
    virtual bool is64Bit() = 0;     // the architecture the package is installed for
    virtual bool isAdministrator() = 0;
    virtual bool runsUnderWow64() = 0; // a 32-bit program on 64-bit Windows: it may not install drivers
    // Major and minor version of Windows, as the system reports it whatever the program's manifest says.
    virtual std::pair<unsigned, unsigned> windowsVersion() = 0;

    virtual std::optional<Bytes> readFile(const std::string& path) = 0;
    virtual bool writeFile(const std::string& path, ByteView data) = 0;
    virtual void removeFile(const std::string& path) = 0;
    virtual Bytes sha1(ByteView data) = 0;

    // A new signing key in our own key container (one left from an interrupted run is replaced).
    virtual bool createSigningKey() = 0;
    // The self-signed certificate of that key, DER; empty on failure.
    virtual Bytes createCertificate(const CertificateRequest& request) = 0;
    // Signs with that key.
    virtual catalog::CatalogSigner& signer() = 0;
    // Deletes the key container; true when it is gone afterwards (also when there was none).
    virtual bool deleteSigningKey() = 0;
    virtual bool signingKeyExists() = 0;

    // Adds the certificate to LocalMachine Root and TrustedPublisher.
    virtual bool trustCertificate(ByteView certificate) = 0;
    // Removes the certificate of that thumbprint from both stores; true when it is in neither afterwards.
    virtual bool untrustCertificate(const std::string& thumbprint) = 0;
    // The stores among Root and TrustedPublisher that hold the certificate of that thumbprint.
    virtual std::vector<std::string> storesHolding(const std::string& thumbprint) = 0;

    // Adds the package to the driver store; its published name, or nothing.
    virtual std::optional<std::string> stagePackage(const std::string& infPath) = 0;
    // Installs the package on the present devices of the hardware ID.
    virtual DeviceInstall installOnDevices(const std::string& hardwareId, const std::string& infPath) = 0;
    // Removes a published package from the driver store (and from the devices that use it); true when it is
    // gone afterwards (also when it was not there). restartNeeded is set when Windows asks for one.
    virtual bool uninstallPackage(const std::string& publishedInf, bool& restartNeeded) = 0;
    // Published names of the packages whose INF was first called originalName.
    virtual std::vector<std::string> publishedPackagesOf(const std::string& originalName) = 0;
    virtual bool packagePublished(const std::string& publishedInf) = 0;

    virtual Record readRecord() = 0;
    virtual bool writeRecord(const Record& record) = 0;
};

// The package's files and names.
inline constexpr const char* PackageInf = "qelmusb.inf";
inline constexpr const char* PackageCatalog = "qelmusb.cat";
inline constexpr const char* KernelDriverInf = "qelmrc.inf";
inline constexpr const char* CodeSigningOid = "1.3.6.1.5.5.7.3.3";
inline constexpr const char* CertificateSubject =
    "CN=Xbox DVD remote receiver - WinUSB package signed on this PC by Tavrelmond, O=Tavrelmond";
inline constexpr std::int64_t CertificateYears = 5;

struct Outcome {
    int code = Done;
    std::vector<std::string> lines; // what was done, or why not, for the user
};

// The catalog's attributes for the package: Windows 8 and later of the given architecture, and the
// receiver's interface-0 hardware ID (lower case, as catalogs list them).
std::vector<catalog::Attribute> winUsbCatalogAttributes(bool is64Bit);

Outcome installWinUsb(DriverSystem& system, const std::string& packageFolder);
Outcome removeWinUsb(DriverSystem& system);
Outcome removeKernelDriver(DriverSystem& system);
// What is installed: the record, and whether the package, the certificate and a key are there.
Outcome status(DriverSystem& system);

} // namespace installer
