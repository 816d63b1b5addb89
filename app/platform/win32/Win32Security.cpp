// The security port for real: who may change a file, read from its security descriptor and its folder's, and
// the user's data protection (CryptProtectData).
#include "platform/win32/Win32SettingsPorts.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <wincrypt.h>

#include <memory>
#include <vector>

namespace platform {

namespace {

// Rights with which someone may change what a file says: write or append to it, delete it (to put another in
// its place), or change its access list or owner (and then anything).
constexpr DWORD FileChangeRights =
    FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
// Rights on a folder with which someone may replace a file in it.
constexpr DWORD FolderChangeRights = FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER | GENERIC_ALL;

// Extra entropy: a blob protected here is opened only by this program's call, not by any program of the user
// that calls CryptUnprotectData without it.
constexpr char Entropy[] = "Tavrelmond Config.ini password";

struct LocalDeleter {
    void operator()(void* memory) const { LocalFree(memory); }
};

// A SID buffer from its text form.
std::vector<BYTE> SidFromText(const char* text) {
    PSID sid = nullptr;
    if (!ConvertStringSidToSidA(text, &sid)) {
        return {};
    }
    std::unique_ptr<void, LocalDeleter> owned(sid);
    const DWORD length = GetLengthSid(sid);
    const auto* bytes = static_cast<const BYTE*>(sid);
    return std::vector<BYTE>(bytes, bytes + length);
}

std::vector<BYTE> CurrentUserSid() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return {};
    }
    DWORD length = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &length);
    std::vector<BYTE> buffer(length);
    std::vector<BYTE> sid;
    if (length > 0 && GetTokenInformation(token, TokenUser, buffer.data(), length, &length)) {
        const auto* user = reinterpret_cast<const TOKEN_USER*>(buffer.data());
        const auto* bytes = static_cast<const BYTE*>(user->User.Sid);
        sid.assign(bytes, bytes + GetLengthSid(user->User.Sid));
    }
    CloseHandle(token);
    return sid;
}

std::string SidName(PSID sid) {
    char name[256] = {};
    char domain[256] = {};
    DWORD nameLength = sizeof name;
    DWORD domainLength = sizeof domain;
    SID_NAME_USE use{};
    if (LookupAccountSidA(nullptr, sid, name, &nameLength, domain, &domainLength, &use)) {
        return domainLength > 0 && domain[0] != '\0' ? std::string(domain) + "\\" + name : std::string(name);
    }
    char* text = nullptr;
    if (ConvertSidToStringSidA(sid, &text)) {
        std::unique_ptr<void, LocalDeleter> owned(text);
        return text;
    }
    return "an unknown account";
}

// The accounts that may change the program's files without making them anyone else's: the system, the
// administrators, the installer service, and the user running the program.
class Trusted {
  public:
    Trusted() {
        for (const char* text :
             {"S-1-5-18", "S-1-5-32-544", "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"}) {
            sids_.push_back(SidFromText(text));
        }
        sids_.push_back(CurrentUserSid());
        creatorOwner_ = SidFromText("S-1-3-0");
        ownerRights_ = SidFromText("S-1-3-4");
    }
    bool contains(PSID sid) const {
        for (const auto& trusted : sids_) {
            if (!trusted.empty() && EqualSid(sid, const_cast<BYTE*>(trusted.data()))) {
                return true;
            }
        }
        return false;
    }
    // CREATOR OWNER and OWNER RIGHTS stand for the owner.
    bool isOwnerAlias(PSID sid) const {
        return (!creatorOwner_.empty() && EqualSid(sid, const_cast<BYTE*>(creatorOwner_.data()))) ||
               (!ownerRights_.empty() && EqualSid(sid, const_cast<BYTE*>(ownerRights_.data())));
    }

  private:
    std::vector<std::vector<BYTE>> sids_;
    std::vector<BYTE> creatorOwner_;
    std::vector<BYTE> ownerRights_;
};

// Who besides the trusted may change the object through its owner or its access list; Unknown when its
// security cannot be read.
FileWriters Writers(const std::string& path, DWORD changeRights, const Trusted& trusted) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT,
                              OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr, &dacl,
                              nullptr, &descriptor) != ERROR_SUCCESS) {
        return {FileWriters::Kind::Unknown, {}};
    }
    std::unique_ptr<void, LocalDeleter> owned(descriptor);
    const bool ownerTrusted = owner != nullptr && trusted.contains(owner);
    if (owner != nullptr && !ownerTrusted) {
        return {FileWriters::Kind::Others, SidName(owner)}; // an owner may always change the access list
    }
    if (dacl == nullptr) {
        return {FileWriters::Kind::Others, "Everyone (no access list)"};
    }
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(dacl, i, &ace)) {
            return {FileWriters::Kind::Unknown, {}};
        }
        const auto* header = static_cast<const ACE_HEADER*>(ace);
        if ((header->AceFlags & INHERIT_ONLY_ACE) != 0) {
            continue; // for what is made in the folder, not for the object itself
        }
        if (header->AceType == ACCESS_DENIED_ACE_TYPE || header->AceType == ACCESS_DENIED_CALLBACK_ACE_TYPE ||
            header->AceType == ACCESS_DENIED_OBJECT_ACE_TYPE || header->AceType == SYSTEM_AUDIT_ACE_TYPE) {
            continue; // a denial only narrows (and is not counted on here)
        }
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE &&
            header->AceType != ACCESS_ALLOWED_CALLBACK_ACE_TYPE) {
            // An allowing entry of another form: its account is not read, so count it when it may change.
            const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
            if ((allowed->Mask & changeRights) != 0) {
                return {FileWriters::Kind::Others, "an entry of its access list"};
            }
            continue;
        }
        const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
        if ((allowed->Mask & changeRights) == 0) {
            continue;
        }
        PSID sid = const_cast<DWORD*>(&allowed->SidStart);
        if (trusted.contains(sid) || (trusted.isOwnerAlias(sid) && ownerTrusted)) {
            continue;
        }
        return {FileWriters::Kind::Others, SidName(sid)};
    }
    return {FileWriters::Kind::Trusted, {}};
}

} // namespace

FileWriters Win32Security::fileWriters(const std::string& path) {
    const Trusted trusted;
    FileWriters file = Writers(path, FileChangeRights, trusted);
    if (file.kind != FileWriters::Kind::Trusted) {
        return file;
    }
    const std::size_t slash = path.find_last_of("\\/");
    if (slash == std::string::npos) {
        return file;
    }
    FileWriters folder = Writers(path.substr(0, slash), FolderChangeRights, trusted);
    if (folder.kind == FileWriters::Kind::Others) {
        folder.who += " (in its folder)";
    }
    return folder;
}

std::optional<std::string> Win32Security::protect(std::string_view data) {
    DATA_BLOB in{static_cast<DWORD>(data.size()), reinterpret_cast<BYTE*>(const_cast<char*>(data.data()))};
    DATA_BLOB entropy{sizeof Entropy - 1, reinterpret_cast<BYTE*>(const_cast<char*>(Entropy))};
    DATA_BLOB out{};
    if (!CryptProtectData(&in, L"Tavrelmond", &entropy, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out)) {
        return std::nullopt;
    }
    std::unique_ptr<void, LocalDeleter> owned(out.pbData);
    return std::string(reinterpret_cast<const char*>(out.pbData), out.cbData);
}

std::optional<std::string> Win32Security::unprotect(std::string_view blob) {
    DATA_BLOB in{static_cast<DWORD>(blob.size()), reinterpret_cast<BYTE*>(const_cast<char*>(blob.data()))};
    DATA_BLOB entropy{sizeof Entropy - 1, reinterpret_cast<BYTE*>(const_cast<char*>(Entropy))};
    DATA_BLOB out{};
    if (!CryptUnprotectData(&in, nullptr, &entropy, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out)) {
        return std::nullopt;
    }
    std::unique_ptr<void, LocalDeleter> owned(out.pbData);
    return std::string(reinterpret_cast<const char*>(out.pbData), out.cbData);
}

} // namespace platform
