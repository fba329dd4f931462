// Users and passwords for a server's Basic authentication: one
// "user:password" line each (the password may hold colons); empty lines and
// lines starting with # are skipped.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace frameshare {

using Credentials = std::vector<std::pair<std::string, std::string>>;

// Throws std::runtime_error naming the file (and the line) when it cannot be
// read, holds a line that is no user:password, or names nobody.
Credentials readAuthFile(const std::string& path);

}  // namespace frameshare
