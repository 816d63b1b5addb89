#include "StatusText.h"

#include "KeyboardButtonMap.h"
#include "kodi/Kodi.h"

namespace {

bool KodiMode(const std::string& mode) {
    return mode == kodi::ModeEventServer || mode == kodi::ModeJsonRpc;
}

} // namespace

std::string KodiTarget(const std::string& mode, const std::string& address, const std::string& port) {
    const bool local = address.empty() || address == "127.0.0.1" || address == "localhost";
    const std::uint16_t defaultPort =
        mode == kodi::ModeJsonRpc ? kodi::DefaultWebServerPort : kodi::DefaultEventServerPort;
    const std::string portText = port.empty() ? std::to_string(defaultPort) : port;
    if (local && port.empty()) {
        return "Kodi on this PC";
    }
    return "Kodi at " + (address.empty() ? std::string(kodi::DefaultHost) : address) + ":" + portText;
}

StatusLines ComposeStatus(const StatusInput& in) {
    std::string first;
    std::string caption;
    if (!in.problems.empty()) {
        first = "Config.ini: " + in.problems.front().text;
        caption = first;
    } else if (KodiMode(in.mode)) {
        const std::string target = KodiTarget(in.mode, in.address, in.port);
        switch (in.press) {
        case StatusInput::Press::Failed:
            first = in.pressError;
            break;
        case StatusInput::Press::Reached:
            // A datagram carries no answer: over the EventServer a press is known to be sent, no more.
            first =
                target + (in.mode == kodi::ModeEventServer ? ": last press sent" : ": last press reached it");
            break;
        case StatusInput::Press::None:
            first = target;
            break;
        }
        caption = first;
    } else if (in.mode == ModeKeyboard) {
        first = in.modeLine.empty() ? "Keys to the window in front" : in.modeLine;
        caption = in.xbmcCaption; // the media-center check's status, as in XBMC's modes
    } else {
        first = in.mode == "true" ? "Keys to XBMC's window"
                                  : "XBMC's web server at " + in.address + ":" + in.port;
        caption = in.xbmcCaption;
    }
    std::string tip = first;
    if (!in.notice.empty()) {
        tip += "\n" + in.notice;
    }
    tip += in.receiver ? "\nReceiver ready" : "\nNo receiver";
    return {caption, tip};
}
