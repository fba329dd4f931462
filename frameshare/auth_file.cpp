#include "auth_file.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace frameshare {

Credentials readAuthFile(const std::string& path) {
    std::ifstream file(path);
    if (!file) {
        throw std::runtime_error("cannot read " + path + ": " + std::strerror(errno));
    }
    Credentials credentials;
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty() || line[0] == '#') {
            continue;
        }
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos || colon == 0 || colon + 1 == line.size()) {
            // The line itself may hold a password: never echo it.
            throw std::runtime_error(path + ", line " + std::to_string(number) +
                                     ": expected user:password with neither empty");
        }
        credentials.emplace_back(line.substr(0, colon), line.substr(colon + 1));
    }
    if (file.bad()) {
        throw std::runtime_error("cannot read " + path);
    }
    if (credentials.empty()) {
        throw std::runtime_error(path + " names no user: add user:password lines");
    }
    return credentials;
}

}  // namespace frameshare
