// The program's diagnostic log: one line per thing worth knowing afterwards (start and end, settings read or
// changed, the receiver and the media center coming and going, a failed send and why, a system action, a
// line of Config.ini that was not understood). Never a password. The form writes to a log that keeps nothing
// until the program gives it a real one (a bounded file in the user's local application data).
#pragma once

#include <string_view>

class Log {
  public:
    virtual ~Log() = default;
    // One line, without its line end.
    virtual void Write(std::string_view line) = 0;
    // A text that must never reach the log (the password): a log that keeps lines writes it as "***".
    virtual void Hide(std::string_view /*secret*/) {}
};

// A log that keeps nothing.
class NullLog final : public Log {
  public:
    void Write(std::string_view) override {}
};
