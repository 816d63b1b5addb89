#include "WinDriverSystem.h"

#include <newdev.h>
#include <setupapi.h>

#include <algorithm>
#include <cstdio>

namespace installer {

namespace {

constexpr const wchar_t* TrustStores[] = {L"Root", L"TrustedPublisher"};
constexpr DWORD CertEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

Bytes fromHex(const std::string& hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

SYSTEMTIME systemTime(std::int64_t unixSeconds) {
    const ULONGLONG ticks = static_cast<ULONGLONG>(unixSeconds) * 10000000ULL + 116444736000000000ULL;
    FILETIME ft{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    SYSTEMTIME st{};
    FileTimeToSystemTime(&ft, &st);
    return st;
}

std::wstring infFolder() {
    wchar_t windows[MAX_PATH];
    const UINT n = GetWindowsDirectoryW(windows, MAX_PATH);
    return std::wstring(windows, n < MAX_PATH ? n : 0) + L"\\INF\\";
}

// An encoded certificate extension, kept alive with its bytes.
struct Extension {
    std::string oid;
    Bytes value;
    bool critical = false;
};

bool encode(LPCSTR type, const void* info, Bytes& out) {
    DWORD size = 0;
    if (!CryptEncodeObject(X509_ASN_ENCODING, type, info, nullptr, &size)) {
        return false;
    }
    out.resize(size);
    if (!CryptEncodeObject(X509_ASN_ENCODING, type, info, out.data(), &size)) {
        return false;
    }
    out.resize(size);
    return true;
}

class Store {
  public:
    explicit Store(const wchar_t* name)
        : handle_(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, name)) {}
    ~Store() {
        if (handle_ != nullptr) {
            CertCloseStore(handle_, 0);
        }
    }
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;
    HCERTSTORE get() const { return handle_; }

  private:
    HCERTSTORE handle_;
};

PCCERT_CONTEXT findByThumbprint(HCERTSTORE store, Bytes& hash) {
    CRYPT_HASH_BLOB blob{static_cast<DWORD>(hash.size()), hash.data()};
    return CertFindCertificateInStore(store, CertEncoding, 0, CERT_FIND_SHA1_HASH, &blob, nullptr);
}

using DiUninstallDriverFn = BOOL(WINAPI*)(HWND, LPCWSTR, DWORD, PBOOL);

} // namespace

std::wstring widen(const std::string& utf8) {
    if (utf8.empty()) {
        return {};
    }
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
}

std::string narrow(const std::wstring& wide) {
    if (wide.empty()) {
        return {};
    }
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n, nullptr,
                        nullptr);
    return out;
}

WinDriverSystem::WinDriverSystem() {
    CryptAcquireContextW(&hashProvider_, nullptr, MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, CRYPT_VERIFYCONTEXT);
    // Run by a silent setup: a SetupAPI question (an untrusted publisher, a missing file) fails the call
    // instead of waiting for an answer nobody gives.
    SetupSetNonInteractiveMode(TRUE);
}

WinDriverSystem::~WinDriverSystem() {
    releaseKey();
    if (hashProvider_ != 0) {
        CryptReleaseContext(hashProvider_, 0);
    }
}

bool WinDriverSystem::failed(DWORD code, const char* what) {
    wchar_t* text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string message = text != nullptr ? narrow(text) : std::string();
    LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' ' ||
                                message.back() == '.')) {
        message.pop_back();
    }
    char number[32];
    std::snprintf(number, sizeof number, "error 0x%08lX", static_cast<unsigned long>(code));
    lastError_ = (what != nullptr ? std::string(what) + ": " : std::string()) +
                 (message.empty() ? std::string(number) : message + " (" + number + ")");
    return false;
}

std::string WinDriverSystem::lastError() {
    return lastError_;
}

std::int64_t WinDriverSystem::now() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    const ULONGLONG ticks = (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return static_cast<std::int64_t>((ticks - 116444736000000000ULL) / 10000000ULL);
}

bool WinDriverSystem::is64Bit() {
    return sizeof(void*) == 8;
}

bool WinDriverSystem::isAdministrator() {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0,
                                  0, &administrators)) {
        return false;
    }
    BOOL member = FALSE;
    if (!CheckTokenMembership(nullptr, administrators, &member)) {
        member = FALSE;
    }
    FreeSid(administrators);
    return member != FALSE;
}

bool WinDriverSystem::runsUnderWow64() {
    BOOL wow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

std::pair<unsigned, unsigned> WinDriverSystem::windowsVersion() {
    // RtlGetVersion tells the truth; GetVersionEx answers what the manifest declares.
    using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof info;
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    const auto get = ntdll != nullptr ? reinterpret_cast<RtlGetVersionFn>(
                                            reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")))
                                      : nullptr;
    if (get == nullptr || get(&info) != 0) {
        return {0, 0};
    }
    return {info.dwMajorVersion, info.dwMinorVersion};
}

std::optional<Bytes> WinDriverSystem::readFile(const std::string& path) {
    const HANDLE file = CreateFileW(widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        failed(GetLastError());
        return std::nullopt;
    }
    LARGE_INTEGER size{};
    std::optional<Bytes> out;
    if (!GetFileSizeEx(file, &size) || size.QuadPart > (16 << 20)) {
        failed(size.QuadPart > (16 << 20) ? ERROR_FILE_TOO_LARGE : GetLastError());
    } else {
        Bytes data(static_cast<std::size_t>(size.QuadPart));
        DWORD read = 0;
        if (data.empty() || (ReadFile(file, data.data(), static_cast<DWORD>(data.size()), &read, nullptr) &&
                             read == data.size())) {
            out = std::move(data);
        } else {
            failed(GetLastError());
        }
    }
    CloseHandle(file);
    return out;
}

bool WinDriverSystem::writeFile(const std::string& path, ByteView data) {
    const HANDLE file = CreateFileW(widen(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return failed(GetLastError());
    }
    DWORD written = 0;
    const bool ok = WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &written, nullptr) &&
                    written == data.size();
    const DWORD code = GetLastError();
    CloseHandle(file);
    if (!ok) {
        DeleteFileW(widen(path).c_str());
        return failed(code);
    }
    return true;
}

void WinDriverSystem::removeFile(const std::string& path) {
    DeleteFileW(widen(path).c_str());
}

Bytes WinDriverSystem::digest(ALG_ID algorithm, ByteView data) {
    HCRYPTHASH hash = 0;
    Bytes out;
    if (hashProvider_ == 0 || !CryptCreateHash(hashProvider_, algorithm, 0, 0, &hash)) {
        failed(GetLastError(), "hashing");
        return out;
    }
    DWORD size = 0, sizeLength = sizeof size;
    if (CryptHashData(hash, data.data(), static_cast<DWORD>(data.size()), 0) &&
        CryptGetHashParam(hash, HP_HASHSIZE, reinterpret_cast<BYTE*>(&size), &sizeLength, 0)) {
        out.resize(size);
        if (!CryptGetHashParam(hash, HP_HASHVAL, out.data(), &size, 0)) {
            out.clear();
        }
    }
    if (out.empty()) {
        failed(GetLastError(), "hashing");
    }
    CryptDestroyHash(hash);
    return out;
}

Bytes WinDriverSystem::sha1(ByteView data) {
    return digest(CALG_SHA1, data);
}

Bytes WinDriverSystem::sha256(ByteView data) {
    return digest(CALG_SHA_256, data);
}

void WinDriverSystem::releaseKey() {
    if (key_ != 0) {
        CryptReleaseContext(key_, 0);
        key_ = 0;
    }
}

bool WinDriverSystem::createSigningKey() {
    releaseKey();
    if (!CryptAcquireContextW(&key_, SigningKeyContainer, MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES,
                              CRYPT_MACHINE_KEYSET | CRYPT_NEWKEYSET | CRYPT_SILENT)) {
        key_ = 0;
        return failed(GetLastError(), "key container");
    }
    // 2048-bit RSA, not exportable: the key never leaves the container, which is deleted after signing.
    HCRYPTKEY key = 0;
    if (!CryptGenKey(key_, AT_SIGNATURE, 2048u << 16, &key)) {
        return failed(GetLastError(), "key");
    }
    CryptDestroyKey(key);
    return true;
}

Bytes WinDriverSystem::createCertificate(const CertificateRequest& request) {
    const std::wstring subject = widen(request.subject);
    DWORD nameSize = 0;
    if (!CertStrToNameW(X509_ASN_ENCODING, subject.c_str(), CERT_X500_NAME_STR, nullptr, nullptr, &nameSize,
                        nullptr)) {
        failed(GetLastError(), "certificate subject");
        return {};
    }
    Bytes name(nameSize);
    if (!CertStrToNameW(X509_ASN_ENCODING, subject.c_str(), CERT_X500_NAME_STR, nullptr, name.data(),
                        &nameSize, nullptr)) {
        failed(GetLastError(), "certificate subject");
        return {};
    }
    CERT_NAME_BLOB nameBlob{nameSize, name.data()};

    // Extended key usage: code signing only; key usage: digital signatures only (critical).
    std::string usageOid = request.keyUsageOid;
    LPSTR usages[] = {usageOid.data()};
    CERT_ENHKEY_USAGE enhanced{1, usages};
    BYTE keyUsageBits = CERT_DIGITAL_SIGNATURE_KEY_USAGE;
    CRYPT_BIT_BLOB keyUsage{1, &keyUsageBits, 7};
    Bytes enhancedDer, keyUsageDer;
    if (!encode(X509_ENHANCED_KEY_USAGE, &enhanced, enhancedDer) ||
        !encode(X509_KEY_USAGE, &keyUsage, keyUsageDer)) {
        failed(GetLastError(), "certificate extensions");
        return {};
    }
    char enhancedOid[] = szOID_ENHANCED_KEY_USAGE;
    char keyUsageOid[] = szOID_KEY_USAGE;
    CERT_EXTENSION extensions[] = {
        {enhancedOid, FALSE, {static_cast<DWORD>(enhancedDer.size()), enhancedDer.data()}},
        {keyUsageOid, TRUE, {static_cast<DWORD>(keyUsageDer.size()), keyUsageDer.data()}},
    };
    CERT_EXTENSIONS extensionList{2, extensions};

    std::wstring container = SigningKeyContainer;
    std::wstring provider = MS_ENH_RSA_AES_PROV_W;
    CRYPT_KEY_PROV_INFO keyInfo{container.data(), provider.data(), PROV_RSA_AES, CRYPT_MACHINE_KEYSET, 0,
                                nullptr,          AT_SIGNATURE};
    char signatureOid[] = szOID_RSA_SHA256RSA;
    CRYPT_ALGORITHM_IDENTIFIER signature{signatureOid, {0, nullptr}};
    SYSTEMTIME start = systemTime(request.notBefore);
    SYSTEMTIME end = systemTime(request.notAfter);
    const PCCERT_CONTEXT cert =
        CertCreateSelfSignCertificate(key_, &nameBlob, 0, &keyInfo, &signature, &start, &end, &extensionList);
    if (cert == nullptr) {
        failed(GetLastError(), "certificate");
        return {};
    }
    Bytes der(cert->pbCertEncoded, cert->pbCertEncoded + cert->cbCertEncoded);
    CertFreeCertificateContext(cert);
    return der;
}

Bytes WinDriverSystem::signSha256(ByteView data) {
    HCRYPTHASH hash = 0;
    Bytes signature;
    if (key_ == 0 || !CryptCreateHash(key_, CALG_SHA_256, 0, 0, &hash)) {
        failed(key_ == 0 ? static_cast<DWORD>(NTE_BAD_KEY) : GetLastError(), "signing");
        return signature;
    }
    DWORD size = 0;
    if (CryptHashData(hash, data.data(), static_cast<DWORD>(data.size()), 0) &&
        CryptSignHashW(hash, AT_SIGNATURE, nullptr, 0, nullptr, &size)) {
        signature.resize(size);
        if (CryptSignHashW(hash, AT_SIGNATURE, nullptr, 0, signature.data(), &size)) {
            signature.resize(size);
            // CryptoAPI gives the signature least significant byte first.
            std::reverse(signature.begin(), signature.end());
        } else {
            signature.clear();
        }
    }
    if (signature.empty()) {
        failed(GetLastError(), "signing");
    }
    CryptDestroyHash(hash);
    return signature;
}

bool WinDriverSystem::deleteSigningKey() {
    releaseKey();
    HCRYPTPROV gone = 0;
    if (!CryptAcquireContextW(&gone, SigningKeyContainer, MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES,
                              CRYPT_MACHINE_KEYSET | CRYPT_DELETEKEYSET | CRYPT_SILENT)) {
        const DWORD code = GetLastError();
        if (code != static_cast<DWORD>(NTE_BAD_KEYSET)) {
            return failed(code, "deleting the key container");
        }
    }
    return !signingKeyExists() || failed(static_cast<DWORD>(NTE_EXISTS), "deleting the key container");
}

bool WinDriverSystem::signingKeyExists() {
    if (key_ != 0) {
        return true;
    }
    HCRYPTPROV probe = 0;
    if (CryptAcquireContextW(&probe, SigningKeyContainer, MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES,
                             CRYPT_MACHINE_KEYSET | CRYPT_SILENT)) {
        CryptReleaseContext(probe, 0);
        return true;
    }
    // Only "no such key set" says it is gone; any other refusal may hide one.
    return GetLastError() != static_cast<DWORD>(NTE_BAD_KEYSET);
}

bool WinDriverSystem::trustCertificate(ByteView certificate) {
    for (const wchar_t* name : TrustStores) {
        const Store store(name);
        if (store.get() == nullptr) {
            return failed(GetLastError(), narrow(name).c_str());
        }
        if (!CertAddEncodedCertificateToStore(store.get(), CertEncoding, certificate.data(),
                                              static_cast<DWORD>(certificate.size()),
                                              CERT_STORE_ADD_REPLACE_EXISTING, nullptr) ||
            !CertControlStore(store.get(), 0, CERT_STORE_CTRL_COMMIT, nullptr)) {
            return failed(GetLastError(), narrow(name).c_str());
        }
    }
    return true;
}

bool WinDriverSystem::untrustCertificate(const std::string& thumbprint) {
    Bytes hash = fromHex(thumbprint);
    bool ok = true;
    for (const wchar_t* name : TrustStores) {
        const Store store(name);
        if (store.get() == nullptr) {
            ok = failed(GetLastError(), narrow(name).c_str());
            continue;
        }
        while (const PCCERT_CONTEXT cert = findByThumbprint(store.get(), hash)) {
            // CertDeleteCertificateFromStore frees the context, also when it fails.
            if (!CertDeleteCertificateFromStore(cert)) {
                ok = failed(GetLastError(), narrow(name).c_str());
                break;
            }
        }
        // Written through now: Wine keeps the deletion in memory until the last context of the store is
        // gone, which a found-and-deleted context can delay past the program's end.
        if (!CertControlStore(store.get(), 0, CERT_STORE_CTRL_COMMIT, nullptr)) {
            ok = failed(GetLastError(), narrow(name).c_str());
        }
    }
    return ok && storesHolding(thumbprint).empty();
}

std::vector<std::string> WinDriverSystem::storesHolding(const std::string& thumbprint) {
    Bytes hash = fromHex(thumbprint);
    std::vector<std::string> out;
    for (const wchar_t* name : TrustStores) {
        const Store store(name);
        if (store.get() == nullptr) {
            continue;
        }
        if (const PCCERT_CONTEXT cert = findByThumbprint(store.get(), hash)) {
            CertFreeCertificateContext(cert);
            out.push_back(narrow(name));
        }
    }
    return out;
}

std::optional<std::string> WinDriverSystem::stagePackage(const std::string& infPath) {
    wchar_t destination[MAX_PATH];
    wchar_t* component = nullptr;
    if (!SetupCopyOEMInfW(widen(infPath).c_str(), nullptr, SPOST_PATH, 0, destination, MAX_PATH, nullptr,
                          &component) ||
        component == nullptr) {
        failed(GetLastError());
        return std::nullopt;
    }
    return narrow(component);
}

// Whether a device with that hardware ID is present now.
bool WinDriverSystem::devicePresent(const std::string& hardwareId) {
    const HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) {
        return false;
    }
    const std::wstring wanted = widen(hardwareId);
    bool found = false;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD i = 0; !found && SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        wchar_t ids[2048] = {};
        if (!SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, nullptr,
                                               reinterpret_cast<BYTE*>(ids), sizeof ids - 2 * sizeof(wchar_t),
                                               nullptr)) {
            continue;
        }
        for (const wchar_t* id = ids; *id != L'\0'; id += wcslen(id) + 1) {
            if (CompareStringOrdinal(id, -1, wanted.c_str(), -1, TRUE) == CSTR_EQUAL) {
                found = true;
                break;
            }
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return found;
}

DeviceInstall WinDriverSystem::installOnDevices(const std::string& hardwareId, const std::string& infPath) {
    // Looked for first: Windows answers ERROR_NO_SUCH_DEVINST when no device matches, but Wine's
    // UpdateDriverForPlugAndPlayDevices succeeds then, and also for devices that are not present.
    if (!devicePresent(hardwareId)) {
        return DeviceInstall::NoDevice;
    }
    BOOL reboot = FALSE;
    if (UpdateDriverForPlugAndPlayDevicesW(nullptr, widen(hardwareId).c_str(), widen(infPath).c_str(),
                                           INSTALLFLAG_FORCE | INSTALLFLAG_NONINTERACTIVE, &reboot)) {
        return reboot ? DeviceInstall::RestartNeeded : DeviceInstall::Installed;
    }
    const DWORD code = GetLastError();
    if (code == ERROR_NO_SUCH_DEVINST) {
        return DeviceInstall::NoDevice;
    }
    failed(code);
    return DeviceInstall::Failed;
}

bool WinDriverSystem::packagePublished(const std::string& publishedInf) {
    if (publishedInf.empty() || publishedInf.find_first_of("\\/") != std::string::npos) {
        return false;
    }
    return GetFileAttributesW((infFolder() + widen(publishedInf)).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool WinDriverSystem::uninstallPackage(const std::string& publishedInf, bool& restartNeeded) {
    if (!packagePublished(publishedInf)) {
        return true;
    }
    // DiUninstallDriver (Windows 10 version 1703 and later) also moves the devices that use the package to
    // their next best driver; before it, the package is taken out of the store even while a device uses it.
    const HMODULE newdev = GetModuleHandleW(L"newdev.dll");
    const auto diUninstall = newdev != nullptr
                                 ? reinterpret_cast<DiUninstallDriverFn>(
                                       reinterpret_cast<void*>(GetProcAddress(newdev, "DiUninstallDriverW")))
                                 : nullptr;
    DWORD code = ERROR_SUCCESS;
    if (diUninstall != nullptr) {
        BOOL reboot = FALSE;
        if (diUninstall(nullptr, (infFolder() + widen(publishedInf)).c_str(), 0, &reboot)) {
            restartNeeded = restartNeeded || reboot;
        } else {
            code = GetLastError();
        }
    }
    // Without DiUninstallDriver, or where it refused the published INF's path: the package is taken out of
    // the store by its published name.
    if ((diUninstall == nullptr || code != ERROR_SUCCESS) &&
        !SetupUninstallOEMInfW(widen(publishedInf).c_str(), SUOI_FORCEDELETE, nullptr)) {
        return failed(code != ERROR_SUCCESS ? code : GetLastError());
    }
    return !packagePublished(publishedInf) || failed(ERROR_FILE_EXISTS, publishedInf.c_str());
}

std::vector<std::string> WinDriverSystem::publishedPackagesOf(const std::string& originalName) {
    std::vector<std::string> out;
    const std::wstring folder = infFolder();
    // Windows publishes a package as oemNN.inf; Wine under the INF's own name while that is free.
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((folder + L"oem*.inf").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            names.push_back(found.cFileName);
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    if (GetFileAttributesW((folder + widen(originalName)).c_str()) != INVALID_FILE_ATTRIBUTES) {
        names.push_back(widen(originalName));
    }
    for (const std::wstring& published : names) {
        const std::wstring path = folder + published;
        DWORD size = 0;
        if (!SetupGetInfInformationW(path.c_str(), INFINFO_INF_NAME_IS_ABSOLUTE, nullptr, 0, &size) ||
            size == 0) {
            continue;
        }
        std::vector<BYTE> buffer(size);
        auto* info = reinterpret_cast<SP_INF_INFORMATION*>(buffer.data());
        SP_ORIGINAL_FILE_INFO_W original{};
        original.cbSize = sizeof original;
        if (SetupGetInfInformationW(path.c_str(), INFINFO_INF_NAME_IS_ABSOLUTE, info, size, nullptr) &&
            SetupQueryInfOriginalFileInformationW(info, 0, nullptr, &original)) {
            std::wstring name = original.OriginalInfName;
            const std::size_t slash = name.find_last_of(L"\\/");
            if (slash != std::wstring::npos) {
                name.erase(0, slash + 1);
            }
            if (CompareStringOrdinal(name.c_str(), -1, widen(originalName).c_str(), -1, TRUE) == CSTR_EQUAL) {
                out.push_back(narrow(published));
            }
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

Record WinDriverSystem::readRecord() {
    Record record;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, RecordKey, 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) {
        return record;
    }
    auto value = [key](const wchar_t* name) {
        wchar_t text[MAX_PATH] = {};
        DWORD size = sizeof text - sizeof(wchar_t), type = 0;
        if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &size) !=
                ERROR_SUCCESS ||
            type != REG_SZ) {
            return std::string();
        }
        return narrow(text);
    };
    record.thumbprint = value(L"CertificateThumbprint");
    record.publishedInf = value(L"PublishedInf");
    RegCloseKey(key);
    return record;
}

bool WinDriverSystem::writeRecord(const Record& record) {
    if (record.empty()) {
        const LONG status = RegDeleteKeyExW(HKEY_LOCAL_MACHINE, RecordKey, KEY_WOW64_64KEY, 0);
        if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
            return failed(static_cast<DWORD>(status), "record");
        }
        // The program's key too, when nothing else is kept there.
        HKEY parent = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tavrelmond", 0, KEY_READ | KEY_WOW64_64KEY,
                          &parent) == ERROR_SUCCESS) {
            DWORD subkeys = 0, values = 0;
            const bool empty =
                RegQueryInfoKeyW(parent, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values,
                                 nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
                subkeys == 0 && values == 0;
            RegCloseKey(parent);
            if (empty) {
                RegDeleteKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tavrelmond", KEY_WOW64_64KEY, 0);
            }
        }
        return true;
    }
    HKEY key = nullptr;
    LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, RecordKey, 0, nullptr, 0, KEY_WRITE | KEY_WOW64_64KEY,
                                  nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) {
        return failed(static_cast<DWORD>(status), "record");
    }
    for (const auto& [name, text] : {std::pair{L"CertificateThumbprint", record.thumbprint},
                                     std::pair{L"PublishedInf", record.publishedInf}}) {
        const std::wstring wide = widen(text);
        status = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(wide.c_str()),
                                static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t)));
        if (status != ERROR_SUCCESS) {
            break;
        }
    }
    RegCloseKey(key);
    return status == ERROR_SUCCESS || failed(static_cast<DWORD>(status), "record");
}

} // namespace installer
