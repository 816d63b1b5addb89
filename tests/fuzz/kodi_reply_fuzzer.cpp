// libFuzzer target: Kodi's answers as a hostile or broken server could send them. The input is fed to the
// HTTP reply reader in pieces whose sizes come from the input itself, the connection's end is reported, and
// a body (or, when the reply cannot be read, the raw input) goes to the JSON-RPC answer reader. Nothing may
// crash, overrun or leak, and a complete reply's body stays within its bound.
#include "kodi/HttpReply.h"
#include "kodi/JsonReply.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    // The first byte picks the piece size (1 to 256 bytes), as a network would cut the stream.
    const std::size_t piece = static_cast<std::size_t>(data[0]) + 1;
    const char* text = reinterpret_cast<const char*>(data + 1);
    const std::size_t length = size - 1;

    kodi::HttpReply reply;
    for (std::size_t at = 0; at < length && reply.state() == kodi::HttpReply::State::Incomplete;
         at += piece) {
        reply.feed(text + at, length - at < piece ? length - at : piece);
    }
    reply.endOfStream();
    if (reply.state() == kodi::HttpReply::State::Complete) {
        if (reply.body().size() > kodi::HttpReply::MaxBody) {
            std::abort();
        }
        kodi::ReadJsonRpcAnswer(reply.body());
    } else {
        kodi::ReadJsonRpcAnswer(std::string_view(text, length));
    }
    return 0;
}
