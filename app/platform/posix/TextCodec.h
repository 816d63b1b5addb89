// Text conversions for the host's adapters: UTF-16 and the ANSI code page (Windows-1252 here) to and from
// UTF-8, as the platform's MultiByteToWideChar and WideCharToMultiByte do them for the program's files.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform::posix {

// UTF-16 bytes (no byte-order mark) to UTF-8; a lone surrogate becomes U+FFFD.
std::string utf16ToUtf8(std::string_view bytes, bool bigEndian);
// UTF-8 to UTF-16 little-endian bytes; an invalid sequence becomes U+FFFD.
std::string utf8ToUtf16le(std::string_view utf8);
// Windows-1252 to UTF-8 (the five bytes it leaves undefined map to the C1 controls, as the platform's does).
std::string ansiToUtf8(std::string_view ansi);
// A file's bytes as UTF-8, by its byte-order mark (UTF-16 either way, UTF-8), else as Windows-1252.
std::string decodeText(std::string_view bytes);
// A whole file's bytes; nothing when it cannot be read. Backslashes in the path are read as '/'.
std::optional<std::string> readFileBytes(const std::string& path);

} // namespace platform::posix
