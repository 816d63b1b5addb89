// newerimport: imports GetSystemTimePreciseAsFileTime (Windows 8) and GetCurrentProcessorNumberEx (Windows 7,
// but not in the kept list), nothing else of note. The minimum-Windows check must fail it for both.
#include <windows.h>

int main() {
    FILETIME now{};
    GetSystemTimePreciseAsFileTime(&now);
    PROCESSOR_NUMBER processor{};
    GetCurrentProcessorNumberEx(&processor);
    return static_cast<int>((now.dwLowDateTime ^ processor.Number) & 1);
}
