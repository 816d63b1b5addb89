// The virtual backend of XBMC.dll, for Wine tests and the demo; never shipped.
//
// Connect opens a TCP connection to 127.0.0.1 on the port named by the environment variable
// QELM_VIRTUAL_HID_PORT and greets the feeder. One thread then reads the feeder's lines (see PROTOCOL.md),
// applies them to the core and answers each. When the feeder goes away, its devices are reported removed.
#include "Backend.h"
#include "hidlib/LineProtocol.h"

#include <winsock2.h>

#include <windows.h>

#include <cstdlib>
#include <string>
#include <thread>

namespace hidlib::win {

namespace {

constexpr char kPortVariable[] = "QELM_VIRTUAL_HID_PORT";

// The port from the environment: decimal, 1 to 65535; 0 when missing or malformed.
unsigned short configuredPort() {
    char text[16] = {};
    const DWORD length = GetEnvironmentVariableA(kPortVariable, text, sizeof text);
    if (length == 0 || length >= sizeof text) {
        return 0;
    }
    unsigned long value = 0;
    for (DWORD i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9' || value > 65535) {
            return 0;
        }
        value = value * 10 + static_cast<unsigned long>(text[i] - '0');
    }
    return value >= 1 && value <= 65535 ? static_cast<unsigned short>(value) : 0;
}

class VirtualBackend final : public Backend {
  public:
    // Reached with the thread still running only when the process ends while connected; it is gone by then.
    ~VirtualBackend() override {
        if (thread_.joinable()) {
            thread_.detach();
        }
    }
    bool start(Core& core) override;
    void stop() override;

  private:
    void run();
    bool sendLine(const std::string& line);

    Core* core_ = nullptr;
    SOCKET socket_ = INVALID_SOCKET;
    WSAEVENT socketEvent_ = WSA_INVALID_EVENT;
    HANDLE stopEvent_ = nullptr;
    std::thread thread_;
};

bool VirtualBackend::start(Core& core) {
    core_ = &core;
    const unsigned short port = configuredPort();
    if (port == 0) {
        return false;
    }
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) {
        return false;
    }
    socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::string hello = std::string(wire::kHello) + "\n";
    // The greeting goes out while the socket still blocks; afterwards it is event-driven and non-blocking.
    bool ok =
        socket_ != INVALID_SOCKET &&
        connect(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        send(socket_, hello.data(), static_cast<int>(hello.size()), 0) == static_cast<int>(hello.size());
    if (ok) {
        socketEvent_ = WSACreateEvent();
        stopEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        ok = socketEvent_ != WSA_INVALID_EVENT && stopEvent_ != nullptr &&
             WSAEventSelect(socket_, socketEvent_, FD_READ | FD_CLOSE) == 0;
    }
    if (ok) {
        thread_ = std::thread([this] { run(); });
        return true;
    }
    if (socket_ != INVALID_SOCKET) {
        closesocket(socket_);
        socket_ = INVALID_SOCKET;
    }
    if (socketEvent_ != WSA_INVALID_EVENT) {
        WSACloseEvent(socketEvent_);
        socketEvent_ = WSA_INVALID_EVENT;
    }
    if (stopEvent_ != nullptr) {
        CloseHandle(stopEvent_);
        stopEvent_ = nullptr;
    }
    WSACleanup();
    return false;
}

void VirtualBackend::stop() {
    if (!thread_.joinable()) {
        return;
    }
    SetEvent(stopEvent_);
    thread_.join();
    closesocket(socket_);
    socket_ = INVALID_SOCKET;
    WSACloseEvent(socketEvent_);
    socketEvent_ = WSA_INVALID_EVENT;
    CloseHandle(stopEvent_);
    stopEvent_ = nullptr;
    WSACleanup();
}

// Sends one reply line. The socket is non-blocking: a full send buffer is waited out, unless stop is asked
// for.
bool VirtualBackend::sendLine(const std::string& line) {
    const std::string text = line + "\n";
    std::size_t sent = 0;
    while (sent < text.size()) {
        const int n = send(socket_, text.data() + sent, static_cast<int>(text.size() - sent), 0);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK) {
            return false;
        }
        if (WaitForSingleObject(stopEvent_, 0) == WAIT_OBJECT_0) {
            return false;
        }
        fd_set writable;
        FD_ZERO(&writable);
        FD_SET(socket_, &writable);
        timeval wait{0, 100000};
        select(0, nullptr, &writable, nullptr, &wait);
    }
    return true;
}

void VirtualBackend::run() {
    wire::Session session(*core_);
    wire::LineSplitter splitter;
    bool open = true;
    const wire::LineSplitter::Sink onLine = [&](std::string_view line, bool tooLong) {
        const std::string reply = tooLong ? wire::Session::tooLong() : session.apply(line);
        if (!reply.empty() && !sendLine(reply)) {
            open = false;
        }
    };
    while (open) {
        HANDLE waits[2] = {stopEvent_, socketEvent_};
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) {
            break; // stop asked for
        }
        WSANETWORKEVENTS events;
        WSAEnumNetworkEvents(socket_, socketEvent_, &events);
        // Take everything there is; FD_CLOSE may come with the last lines still unread.
        for (;;) {
            char chunk[4096];
            const int n = recv(socket_, chunk, sizeof chunk, 0);
            if (n > 0) {
                splitter.feed(std::string_view(chunk, static_cast<std::size_t>(n)), onLine);
                continue;
            }
            if (n == 0 || WSAGetLastError() != WSAEWOULDBLOCK) {
                open = false;
            }
            break;
        }
    }
    // A feeder that went away takes its devices with it. After Disconnect the core posts nothing any more.
    session.end();
}

} // namespace

Backend& backend() {
    static VirtualBackend instance;
    return instance;
}

} // namespace hidlib::win
