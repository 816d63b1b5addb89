// The Windows pieces both device sources share: device interfaces of a class, reader threads, handle
// notifications.
#include "WindowsPort.h"

#include <setupapi.h>

#include <cstddef>
#include <cstring>

namespace hidlib::win {

std::vector<std::string> interfacePaths(const GUID& interfaceClass) {
    std::vector<std::string> paths;
    HDEVINFO set =
        SetupDiGetClassDevsA(&interfaceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        return paths;
    }
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD index = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &interfaceClass, index, &data); ++index) {
        DWORD size = 0;
        SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &size, nullptr);
        if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
            continue;
        }
        std::vector<std::uint8_t> storage(size);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (SetupDiGetDeviceInterfaceDetailA(set, &data, detail, size, nullptr, nullptr)) {
            // The path ends at its NUL within the buffer SetupDi filled.
            const std::size_t room = size - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
            const char* path = detail->DevicePath;
            paths.emplace_back(path, strnlen(path, room));
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return paths;
}

PortServices::~PortServices() {
    for (auto& [id, reader] : readers_) {
        if (reader->thread.joinable()) {
            reader->thread.detach();
        }
    }
}

bool PortServices::startReader(ReaderId id, ReaderBody body) {
    auto reader = std::make_unique<Reader>();
    reader->generation = nextGeneration_++;
    reader->stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (reader->stopEvent == nullptr) {
        return false;
    }
    reader->thread =
        std::thread([window = window_, key = sourceKey(source_, id), generation = reader->generation,
                     stop = reader->stopEvent, body = std::move(body)] {
            if (body(stop)) {
                PostMessageA(window, kReaderFailed, key, static_cast<LPARAM>(generation));
            }
        });
    readers_[id] = std::move(reader);
    return true;
}

void PortServices::stopReader(ReaderId id) {
    const auto found = readers_.find(id);
    if (found == readers_.end()) {
        return;
    }
    Reader& reader = *found->second;
    SetEvent(reader.stopEvent);
    if (reader.thread.joinable()) {
        reader.thread.join();
    }
    CloseHandle(reader.stopEvent);
    readers_.erase(found);
}

bool PortServices::currentReader(ReaderId id, std::uint32_t generation) const {
    const auto found = readers_.find(id);
    return found != readers_.end() && found->second->generation == generation;
}

WatchId PortServices::watch(HANDLE file) {
    DEV_BROADCAST_HANDLE filter{};
    filter.dbch_size = sizeof filter;
    filter.dbch_devicetype = DBT_DEVTYP_HANDLE;
    filter.dbch_handle = file;
    HDEVNOTIFY notify = RegisterDeviceNotificationA(window_, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    if (notify == nullptr) {
        return 0;
    }
    const WatchId watch = nextWatch_++;
    watches_[watch] = {notify, file};
    return watch;
}

void PortServices::unwatch(WatchId watch) {
    const auto found = watches_.find(watch);
    if (found != watches_.end()) {
        UnregisterDeviceNotification(found->second.notify);
        watches_.erase(found);
    }
}

WatchId PortServices::watchFor(const DEV_BROADCAST_HANDLE& notice) const {
    for (const auto& [watch, entry] : watches_) {
        if (notice.dbch_hdevnotify != nullptr && notice.dbch_hdevnotify == entry.notify) {
            return watch;
        }
    }
    for (const auto& [watch, entry] : watches_) {
        if (notice.dbch_handle == entry.file) {
            return watch;
        }
    }
    return 0;
}

} // namespace hidlib::win
