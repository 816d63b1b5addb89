// The files port for real: the user's folders (SHGetFolderPath), whole text files, appends and renames, and
// the Unicode profile reader (GetPrivateProfileStringW).
#include "platform/win32/Win32SettingsPorts.h"
#include "platform/win32/WideText.h"

#include <windows.h>
#include <shlobj.h>

#include <vector>

namespace platform {

namespace {

bool WriteWhole(const std::string& path, std::string_view bytes, DWORD disposition, DWORD access) {
    HANDLE file = CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    const bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                    written == bytes.size();
    CloseHandle(file);
    return ok;
}

} // namespace

std::string Win32Files::knownFolder(KnownFolder folder) {
    char path[MAX_PATH] = {};
    const int id = folder == KnownFolder::RoamingAppData ? CSIDL_APPDATA : CSIDL_LOCAL_APPDATA;
    if (FAILED(SHGetFolderPathA(nullptr, id, nullptr, SHGFP_TYPE_CURRENT, path))) {
        return {};
    }
    return path;
}

bool Win32Files::createFolder(const std::string& path) {
    SHCreateDirectoryExA(nullptr, path.c_str(), nullptr);
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool Win32Files::exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::optional<std::string> Win32Files::readText(const std::string& path) {
    HANDLE file =
        CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    std::string bytes;
    char chunk[4096];
    DWORD got = 0;
    bool failed = false;
    for (;;) {
        if (!ReadFile(file, chunk, sizeof chunk, &got, nullptr)) {
            failed = true;
            break;
        }
        if (got == 0) {
            break;
        }
        bytes.append(chunk, got);
    }
    CloseHandle(file);
    if (failed) {
        return std::nullopt;
    }
    const std::string_view view(bytes);
    if (view.starts_with("\xEF\xBB\xBF")) {
        return std::string(view.substr(3));
    }
    if (view.starts_with("\xFF\xFE") || view.starts_with("\xFE\xFF")) {
        const bool bigEndian = view[0] == '\xFE';
        std::wstring wide;
        for (std::size_t i = 2; i + 1 < view.size(); i += 2) {
            const auto b0 = static_cast<unsigned char>(view[i]);
            const auto b1 = static_cast<unsigned char>(view[i + 1]);
            wide.push_back(static_cast<wchar_t>(bigEndian ? (b0 << 8 | b1) : (b1 << 8 | b0)));
        }
        return Utf8(wide);
    }
    return Utf8(Widen(view, CP_ACP));
}

bool Win32Files::replaceText(const std::string& path, std::string_view utf8) {
    const std::wstring wide = Widen(utf8, CP_UTF8);
    std::string bytes("\xFF\xFE");
    for (wchar_t c : wide) {
        bytes.push_back(static_cast<char>(c & 0xFF));
        bytes.push_back(static_cast<char>((c >> 8) & 0xFF));
    }
    const std::string next = path + ".new";
    if (!WriteWhole(next, bytes, CREATE_ALWAYS, GENERIC_WRITE)) {
        DeleteFileA(next.c_str());
        return false;
    }
    if (!MoveFileExA(next.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileA(next.c_str());
        return false;
    }
    return true;
}

bool Win32Files::append(const std::string& path, std::string_view bytes) {
    return WriteWhole(path, bytes, OPEN_ALWAYS, FILE_APPEND_DATA);
}

std::optional<std::uint64_t> Win32Files::size(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
}

bool Win32Files::moveReplacing(const std::string& from, const std::string& to) {
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
}

std::optional<std::string> Win32Files::readProfileString(const std::string& section, const std::string& key,
                                                         const std::string& path) {
    // A default no file holds tells a missing key from an empty value.
    static const wchar_t Missing[] = L"\x01missing\x01";
    const std::wstring wideSection = Widen(section, CP_ACP);
    const std::wstring wideKey = Widen(key, CP_ACP);
    const std::wstring widePath = Widen(path, CP_ACP);
    std::vector<wchar_t> buffer(1024);
    for (;;) {
        const DWORD n = GetPrivateProfileStringW(wideSection.c_str(), wideKey.c_str(), Missing, buffer.data(),
                                                 static_cast<DWORD>(buffer.size()), widePath.c_str());
        if (n + 1 < buffer.size() || buffer.size() >= 65536) {
            const std::wstring_view value(buffer.data(), n);
            if (value == Missing) {
                return std::nullopt;
            }
            return Utf8(value);
        }
        buffer.resize(buffer.size() * 4);
    }
}

} // namespace platform
