#include "access.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace frameshare {

bool isLoopbackAddress(const std::string& address) {
    in_addr v4{};
    if (inet_pton(AF_INET, address.c_str(), &v4) == 1) {
        return (ntohl(v4.s_addr) >> 24) == 127;
    }
    in6_addr v6{};
    if (inet_pton(AF_INET6, address.c_str(), &v6) == 1) {
        if (IN6_IS_ADDR_LOOPBACK(&v6)) {
            return true;
        }
        return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
    }
    return false;
}

bool isLoopbackHost(const std::string& hostHeader) {
    std::string host = hostHeader;
    if (!host.empty() && host.front() == '[') {
        const std::size_t close = host.find(']');
        if (close == std::string::npos || (close + 1 != host.size() && host[close + 1] != ':')) {
            return false;
        }
        return isLoopbackAddress(host.substr(1, close - 1));
    }
    if (const std::size_t colon = host.find(':'); colon != std::string::npos) {
        host.resize(colon);
    }
    std::transform(host.begin(), host.end(), host.begin(), [](unsigned char c) { return std::tolower(c); });
    if (!host.empty() && host.back() == '.') {
        host.pop_back();
    }
    const std::string suffix = ".localhost";
    return host == "localhost" ||
           (host.size() > suffix.size() && host.compare(host.size() - suffix.size(), suffix.size(), suffix) == 0) ||
           isLoopbackAddress(host);
}

bool Credentials::load(const std::string& path, std::string* error) {
    std::ifstream file(path);
    if (!file) {
        *error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    entries_.clear();
    std::string line;
    int number = 0;
    while (std::getline(file, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty() || line[0] == '#') {
            continue;
        }
        const std::size_t colon = line.find(':');
        if (colon == 0 || colon == std::string::npos || colon + 1 == line.size()) {
            *error = path + " line " + std::to_string(number) + ": expected user:password";
            return false;
        }
        entries_.push_back(line);
    }
    if (entries_.empty()) {
        *error = path + " holds no user:password line";
        return false;
    }
    return true;
}

std::vector<std::pair<std::string, std::string>> Credentials::users() const {
    std::vector<std::pair<std::string, std::string>> users;
    for (const std::string& entry : entries_) {
        const std::size_t colon = entry.find(':');  // the password may hold colons
        users.emplace_back(entry.substr(0, colon), entry.substr(colon + 1));
    }
    return users;
}

bool Credentials::accepts(const std::string& user, const std::string& password) const {
    const std::string given = user + ":" + password;
    bool any = false;
    for (const std::string& entry : entries_) {
        // Every byte of the entry is compared; a given string of another
        // length differs through the length term.
        unsigned difference = given.size() == entry.size() ? 0u : 1u;
        for (std::size_t i = 0; i < entry.size(); ++i) {
            const unsigned char other = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
            difference |= static_cast<unsigned char>(entry[i]) ^ other;
        }
        any |= difference == 0;
    }
    return any;
}

std::string escapeForLog(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte >= 0x7f || byte == '\\') {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace frameshare
