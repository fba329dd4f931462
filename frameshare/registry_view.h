// A read-only look at the segment's two consumer registry tables, which the
// public frame call does not report. Reads them at the segment's documented
// offsets from a read-only descriptor and takes no lock: the result is a
// snapshot for display, and every value in it is untrusted.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace frameshare {

struct RegistrySlot {
    int index = 0;
    bool occupied = false;
    std::int32_t pid = 0;
    bool alive = false;  // a process with that id exists
    std::uint64_t missedChecks = 0;
};

struct RegistrySnapshot {
    bool read = false;
    std::string problem;  // why it could not be read, when !read
    std::vector<RegistrySlot> color;
    std::vector<RegistrySlot> depth;
};

RegistrySnapshot readRegistry();

}  // namespace frameshare
