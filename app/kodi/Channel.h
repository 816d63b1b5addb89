// A channel to Kodi, as the Kodi worker drives it: the EventServer or the JSON-RPC channel, configured once
// with the settings and then handed one button (or one notification) at a time. Every call but Cancel runs on
// the worker's thread; each returns within the channel's bounded waits.
#pragma once

#include "KodiButtonMap.h"
#include "kodi/Kodi.h"

#include <string>

namespace kodi {

// The title of every notification on Kodi's screen.
inline constexpr const char* NotificationTitle = "Tavrelmond";

// A notification on Kodi's screen: one line of text, shown with Kodi's warning picture where warning is set
// (JSON-RPC; the EventServer shows none).
struct Notification {
    std::string message;
    bool warning = false;
    bool operator==(const Notification&) const = default;
};

class Channel {
  public:
    virtual ~Channel() = default;
    // The settings: where Kodi is and how to log in. A channel that was talking to another Kodi closes first.
    virtual void Configure(const ChannelSettings& settings) = 0;
    virtual Outcome Press(const KodiButtonRow& button) = 0;
    virtual Outcome Notify(const Notification& notification) = 0;
    // From any thread: cuts a wait in progress short (the program is ending).
    virtual void Cancel() {}
    // Says goodbye where the protocol has it and closes the socket or connection.
    virtual void Close() = 0;
};

} // namespace kodi
