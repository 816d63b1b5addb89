// DriverSystem on Windows: CryptoAPI (a machine key container of our own, CertCreateSelfSignCertificate,
// CryptSignHash), the local machine's certificate stores, SetupAPI and newdev for the driver store, and the
// registry for the record (HKLM\SOFTWARE\Tavrelmond\WinUSB).
#pragma once

#include "DriverInstall.h"

#include <windows.h>
#include <wincrypt.h>

namespace installer {

class WinDriverSystem : public DriverSystem, public catalog::CatalogSigner {
  public:
    WinDriverSystem();
    ~WinDriverSystem() override;
    WinDriverSystem(const WinDriverSystem&) = delete;
    WinDriverSystem& operator=(const WinDriverSystem&) = delete;

    std::string lastError() override;
    std::int64_t now() override;
    bool is64Bit() override;
    bool isAdministrator() override;
    bool runsUnderWow64() override;
    std::pair<unsigned, unsigned> windowsVersion() override;

    std::optional<Bytes> readFile(const std::string& path) override;
    bool writeFile(const std::string& path, ByteView data) override;
    void removeFile(const std::string& path) override;
    Bytes sha1(ByteView data) override;

    bool createSigningKey() override;
    Bytes createCertificate(const CertificateRequest& request) override;
    catalog::CatalogSigner& signer() override { return *this; }
    bool deleteSigningKey() override;
    bool signingKeyExists() override;

    bool trustCertificate(ByteView certificate) override;
    bool untrustCertificate(const std::string& thumbprint) override;
    std::vector<std::string> storesHolding(const std::string& thumbprint) override;

    std::optional<std::string> stagePackage(const std::string& infPath) override;
    DeviceInstall installOnDevices(const std::string& hardwareId, const std::string& infPath) override;
    bool uninstallPackage(const std::string& publishedInf, bool& restartNeeded) override;
    std::vector<std::string> publishedPackagesOf(const std::string& originalName) override;
    bool packagePublished(const std::string& publishedInf) override;

    Record readRecord() override;
    bool writeRecord(const Record& record) override;

    // CatalogSigner
    Bytes sha256(ByteView data) override;
    Bytes signSha256(ByteView data) override;

  private:
    bool failed(DWORD code, const char* what = nullptr);
    Bytes digest(ALG_ID algorithm, ByteView data);
    void releaseKey();
    bool devicePresent(const std::string& hardwareId);

    HCRYPTPROV hashProvider_ = 0; // a verify-only context for digests
    HCRYPTPROV key_ = 0;          // our key container, while signing
    std::string lastError_;
};

// The key container's name (machine key set, Microsoft Enhanced RSA and AES provider).
inline constexpr const wchar_t* SigningKeyContainer = L"Tavrelmond WinUSB package signing key";
// Where the record is kept, under HKEY_LOCAL_MACHINE.
inline constexpr const wchar_t* RecordKey = L"SOFTWARE\\Tavrelmond\\WinUSB";

std::wstring widen(const std::string& utf8);
std::string narrow(const std::wstring& wide);

} // namespace installer
