// argslog: a stand-in for a system tool that a setup runs (put in place of icacls.exe under Wine): it appends
// its whole command line, as UTF-8, and a line end to the file named by QELM_ARGS_LOG, and exits with
// QELM_ARGS_EXIT (0 when not set). Nothing else.
#include <windows.h>

#include <cstdlib>
#include <string>

int main() {
    wchar_t path[MAX_PATH] = {};
    if (GetEnvironmentVariableW(L"QELM_ARGS_LOG", path, MAX_PATH) == 0) {
        return 2;
    }
    const wchar_t* line = GetCommandLineW();
    const int n = WideCharToMultiByte(CP_UTF8, 0, line, -1, nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(n > 0 ? n : 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, line, -1, text.data(), n, nullptr, nullptr);
    text.resize(text.size() - 1); // the terminating zero
    text += "\r\n";
    HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 2;
    }
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
    wchar_t code[16] = {};
    if (GetEnvironmentVariableW(L"QELM_ARGS_EXIT", code, 16) > 0) {
        return static_cast<int>(std::wcstol(code, nullptr, 10));
    }
    return 0;
}
