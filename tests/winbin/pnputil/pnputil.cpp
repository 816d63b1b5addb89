// A stand-in for Windows' pnputil.exe, for the setup's tests under Wine (which has none). It appends its
// command line to the file named by QELM_PNPUTIL_LOG, and ends with the exit code in QELM_PNPUTIL_EXIT (0
// when unset): 0, 259 (no device took the package) and 3010 (a restart completes it) are pnputil's successes,
// any other a failure. On a success, "/add-driver INF" (and the older "-a INF") adds the package to the
// driver store with SetupCopyOEMInf, as pnputil does; a failure adds nothing.
#include <windows.h>
#include <setupapi.h>

#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <string>

namespace {

std::wstring environment(const wchar_t* name) {
    wchar_t value[1024] = {};
    const DWORD n = GetEnvironmentVariableW(name, value, 1024);
    return n > 0 && n < 1024 ? std::wstring(value, n) : std::wstring();
}

void log(const std::wstring& line) {
    const std::wstring path = environment(L"QELM_PNPUTIL_LOG");
    if (path.empty()) {
        return;
    }
    const int n = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, text.data(), n, nullptr, nullptr);
    text.back() = '\n';
    const HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        CloseHandle(file);
    }
}

bool sameText(const wchar_t* a, const wchar_t* b) {
    return _wcsicmp(a, b) == 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    std::wstring line;
    for (int i = 1; i < argc; ++i) {
        line += (i > 1 ? L" " : L"") + std::wstring(argv[i]);
    }
    log(line);
    const std::wstring configured = environment(L"QELM_PNPUTIL_EXIT");
    const int code = configured.empty() ? 0 : _wtoi(configured.c_str());
    const bool success = code == 0 || code == 259 || code == 3010;
    for (int i = 1; success && i + 1 < argc; ++i) {
        if (sameText(argv[i], L"/add-driver") || sameText(argv[i], L"-a")) {
            wchar_t published[MAX_PATH];
            if (SetupCopyOEMInfW(argv[i + 1], nullptr, SPOST_PATH, 0, published, MAX_PATH, nullptr,
                                 nullptr)) {
                std::wprintf(L"Driver package added successfully.\nPublished Name: %ls\n",
                             std::wcsrchr(published, L'\\') ? std::wcsrchr(published, L'\\') + 1 : published);
            } else {
                std::wprintf(L"Adding the driver package failed: 0x%08lX\n", GetLastError());
                return 1;
            }
        }
    }
    return code;
}
