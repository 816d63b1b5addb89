// cryptprobe: the platform's own view of what the driver packaging writes, for the tests under Wine.
//
//   cryptprobe catalog FILE        reads FILE with the platform's catalog reader (CryptCATOpen,
//                                  CryptCATEnumerateMember, CryptCATEnumerateAttr, CryptCATEnumerateCatAttr):
//                                    member TAG sip=GUID algorithm=OID digest=HEX
//                                    member-attribute TAG NAME=VALUE
//                                    attribute NAME=VALUE
//   cryptprobe key CONTAINER       whether the machine key container can be opened: "key present" or
//                                  "key none 0x80090016" (and the error of any other refusal)
//   cryptprobe stores THUMBPRINT   the local machine's stores among Root and TrustedPublisher holding it:
//                                    store NAME
// Exit status 0 when it could look, 1 when it could not (the line "error ..." says why).
#include <windows.h>
#include <objbase.h>
#include <wincrypt.h>
#include <mscat.h>
#include <mssip.h>

#include <cstdio>
#include <string>

namespace {

std::string narrow(const wchar_t* wide, int length = -1) {
    if (wide == nullptr) {
        return {};
    }
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide, length, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, length, out.data(), n, nullptr, nullptr);
    if (length == -1 && !out.empty()) {
        out.pop_back(); // the terminating NUL
    }
    return out;
}

std::string hex(const BYTE* data, DWORD size) {
    std::string out;
    char two[3];
    for (DWORD i = 0; i < size; ++i) {
        std::snprintf(two, sizeof two, "%02X", data[i]);
        out += two;
    }
    return out;
}

std::string guid(const GUID& g) {
    wchar_t text[64] = {};
    StringFromGUID2(g, text, 64);
    return narrow(text);
}

// An attribute's value: UTF-16 text without its terminating NUL.
std::string attributeValue(const CRYPTCATATTRIBUTE* a) {
    std::wstring text(reinterpret_cast<const wchar_t*>(a->pbValue), a->cbValue / sizeof(wchar_t));
    while (!text.empty() && text.back() == L'\0') {
        text.pop_back();
    }
    return narrow(text.c_str());
}

int catalog(wchar_t* path) {
    const HANDLE cat = CryptCATOpen(path, CRYPTCAT_OPEN_EXISTING, 0, 0, 0);
    if (cat == INVALID_HANDLE_VALUE || cat == nullptr) {
        std::printf("error CryptCATOpen 0x%08lX\n", GetLastError());
        return 1;
    }
    for (CRYPTCATMEMBER* m = CryptCATEnumerateMember(cat, nullptr); m != nullptr;
         m = CryptCATEnumerateMember(cat, m)) {
        const std::string tag = narrow(m->pwszReferenceTag);
        std::string algorithm, digest;
        if (m->pIndirectData != nullptr) {
            algorithm =
                m->pIndirectData->DigestAlgorithm.pszObjId ? m->pIndirectData->DigestAlgorithm.pszObjId : "";
            digest = hex(m->pIndirectData->Digest.pbData, m->pIndirectData->Digest.cbData);
        }
        std::printf("member %s sip=%s algorithm=%s digest=%s\n", tag.c_str(), guid(m->gSubjectType).c_str(),
                    algorithm.c_str(), digest.c_str());
        for (CRYPTCATATTRIBUTE* a = CryptCATEnumerateAttr(cat, m, nullptr); a != nullptr;
             a = CryptCATEnumerateAttr(cat, m, a)) {
            std::printf("member-attribute %s %s=%s\n", tag.c_str(), narrow(a->pwszReferenceTag).c_str(),
                        attributeValue(a).c_str());
        }
    }
    for (CRYPTCATATTRIBUTE* a = CryptCATEnumerateCatAttr(cat, nullptr); a != nullptr;
         a = CryptCATEnumerateCatAttr(cat, a)) {
        std::printf("attribute %s=%s\n", narrow(a->pwszReferenceTag).c_str(), attributeValue(a).c_str());
    }
    CryptCATClose(cat);
    return 0;
}

int key(const wchar_t* container) {
    HCRYPTPROV provider = 0;
    if (CryptAcquireContextW(&provider, container, MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES,
                             CRYPT_MACHINE_KEYSET | CRYPT_SILENT)) {
        CryptReleaseContext(provider, 0);
        std::printf("key present\n");
    } else {
        std::printf("key none 0x%08lX\n", GetLastError());
    }
    return 0;
}

int stores(const wchar_t* thumbprint) {
    BYTE hash[20];
    if (wcslen(thumbprint) != 40) {
        std::printf("error a thumbprint has 40 hex digits\n");
        return 1;
    }
    for (int i = 0; i < 20; ++i) {
        hash[i] = static_cast<BYTE>(std::wcstoul(std::wstring(thumbprint + 2 * i, 2).c_str(), nullptr, 16));
    }
    CRYPT_HASH_BLOB blob{20, hash};
    for (const wchar_t* name : {L"Root", L"TrustedPublisher"}) {
        const HCERTSTORE store = CertOpenStore(
            CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_READONLY_FLAG, name);
        if (store == nullptr) {
            std::printf("error CertOpenStore %s 0x%08lX\n", narrow(name).c_str(), GetLastError());
            return 1;
        }
        if (const PCCERT_CONTEXT cert = CertFindCertificateInStore(
                store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH, &blob, nullptr)) {
            std::printf("store %s\n", narrow(name).c_str());
            CertFreeCertificateContext(cert);
        }
        CertCloseStore(store, 0);
    }
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (argc == 3 && command == L"catalog") {
        return catalog(argv[2]);
    }
    if (argc == 3 && command == L"key") {
        return key(argv[2]);
    }
    if (argc == 3 && command == L"stores") {
        return stores(argv[2]);
    }
    std::printf("error usage: cryptprobe catalog FILE | key CONTAINER | stores THUMBPRINT\n");
    return 1;
}
