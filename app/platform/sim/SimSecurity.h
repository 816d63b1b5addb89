// The security port for host tests: the rights of each file as the test scripts them, and a stand-in for the
// platform's data protection that hides the bytes and binds them to a user name, so that a test can show that
// a protected secret is not in clear text, comes back for its user, and for no other.
#pragma once

#include "platform/Security.h"

#include <map>
#include <vector>

namespace sim {

class SimSecurity : public platform::Security {
  public:
    // Rights by path; a path not named here is Trusted.
    std::map<std::string, platform::FileWriters> writers;
    // The user the program runs as: protect binds to it, unprotect accepts only its own blobs.
    std::string user = "alice";
    // Whether protect fails (no profile loaded, say).
    bool protectFails = false;
    std::vector<std::string> checked; // paths asked about, in order

    platform::FileWriters fileWriters(const std::string& path) override;
    std::optional<std::string> protect(std::string_view data) override;
    std::optional<std::string> unprotect(std::string_view blob) override;
};

} // namespace sim
