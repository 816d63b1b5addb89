// libFuzzer target: a Config.ini as a user, an editor or a broken disk could leave it, read for its key maps.
// The input is the file: its section names and every [Buttons...] section are read through our own profile
// reader into buffers of every small size and into the program's growing buffer, the key maps are built from
// them, and each line's value is parsed and described. Nothing may crash, overrun or leak, and no button
// gets more keys than a line may hold.
#include "KeyMap.h"
#include "platform/posix/ProfileReader.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// The profile reads of the program, over our own reader; nothing else is asked of it here.
class ReaderOnly : public platform::Kernel32 {
  public:
    std::uint32_t getPrivateProfileString(const std::string& section, const std::string& key,
                                          const std::string& defaultValue, char* buffer, std::uint32_t size,
                                          const std::string& path) override {
        return platform::posix::getPrivateProfileString(section.c_str(), key.c_str(), defaultValue.c_str(),
                                                        buffer, size, path);
    }
    std::uint32_t getPrivateProfileSection(const std::string& section, char* buffer, std::uint32_t size,
                                           const std::string& path) override {
        return platform::posix::getPrivateProfileSection(section.c_str(), buffer, size, path);
    }
    std::uint32_t getPrivateProfileSectionNames(char* buffer, std::uint32_t size,
                                                const std::string& path) override {
        return platform::posix::getPrivateProfileSectionNames(buffer, size, path);
    }
    std::string executableFolder() override { return "."; }
    bool startProgram(const std::string&, int) override { return false; }
    bool setSystemPowerState(bool, bool) override { return false; }
    std::intptr_t createMutex(const std::string&, bool& alreadyExists) override {
        alreadyExists = false;
        return 0;
    }
    void closeHandle(std::intptr_t) override {}
};

const std::string& FilePath() {
    static const std::string path = "/tmp/key_map_fuzzer." + std::to_string(getpid()) + ".ini";
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string& path = FilePath();
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return 0;
    }
    std::fwrite(data, 1, size, file);
    std::fclose(file);

    // Small buffers: nothing written past them.
    for (std::uint32_t small = 0; small < 24; ++small) {
        std::vector<char> buffer(small + 1, '#');
        platform::posix::getPrivateProfileSectionNames(buffer.data(), small, path);
        if (buffer[small] != '#') {
            std::abort();
        }
        platform::posix::getPrivateProfileSection("Buttons", buffer.data(), small, path);
        if (buffer[small] != '#') {
            std::abort();
        }
    }

    ReaderOnly kernel32;
    const KeyMaps maps = KeyMaps::Read(kernel32, {path, path});
    for (std::size_t button = 0; button < KeyboardButtonMap.size(); ++button) {
        for (const char* program : {"", "vlc.exe", "VLC.EXE"}) {
            if (maps.Keys(button, program).size() > MaxKeysPerButton) {
                std::abort();
            }
            KeyEventsFor(maps.Keys(button, program));
        }
    }
    maps.Describe();
    maps.TipText();

    // The whole input as one value.
    const ParsedKeys parsed = ParseKeys(std::string_view(reinterpret_cast<const char*>(data), size));
    if (parsed.keys.size() > MaxKeysPerButton || (!parsed.error.empty() && !parsed.keys.empty())) {
        std::abort();
    }
    DescribeKeys(parsed.keys);
    std::remove(path.c_str());
    return 0;
}
