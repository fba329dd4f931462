// Who may ask serve for frames, and how a request is written to the log.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace frameshare {

// A numeric loopback address (127.0.0.0/8, ::1, ::ffff:127.x.y.z).
bool isLoopbackAddress(const std::string& address);

// A Host header naming this machine's loopback: localhost (or a name under
// it), a loopback address, with or without a port. A browser sends the name
// it resolved, so a page from elsewhere that rebinds its own name to
// 127.0.0.1 still sends its own name and is turned away.
bool isLoopbackHost(const std::string& hostHeader);

// user:password lines; blank lines and lines starting with # are skipped.
class Credentials {
public:
    // False with the reason in *error.
    bool load(const std::string& path, std::string* error);
    bool empty() const { return entries_.empty(); }
    // Compares with every entry, each in time independent of where they
    // differ, so timing tells nothing about a password.
    bool accepts(const std::string& user, const std::string& password) const;
    // Each user and password, for a server that checks them itself.
    std::vector<std::pair<std::string, std::string>> users() const;

private:
    std::vector<std::string> entries_;
};

// Control characters, backslashes and bytes beyond ASCII as \xNN, so no
// request can forge a log line or drive a terminal.
std::string escapeForLog(const std::string& text);

}  // namespace frameshare
