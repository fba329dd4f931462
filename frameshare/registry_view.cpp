#include "registry_view.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>  // shm_open
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "scoped_fd.h"
#include "segment_trust.h"
#include "shared_data.h"

namespace frameshare {
namespace {

// The layout is the one both deliverables compile (docs/design.md, "The
// segment"): two registry tables of MAX_CONSUMERS slots near its end, depth
// first, read here with one pread rather than through a mapping.
constexpr std::size_t kDepthTableOffset = offsetof(SharedData, depthConsumers);
static_assert(offsetof(SharedData, colorConsumers) == kDepthTableOffset + sizeof SharedData::depthConsumers,
              "one read takes both tables: the colour table follows the depth table");
struct RegistryTables {
    ConsumerSlot depth[MAX_CONSUMERS];
    ConsumerSlot color[MAX_CONSUMERS];
};
static_assert(sizeof(RegistryTables) == sizeof SharedData::depthConsumers + sizeof SharedData::colorConsumers,
              "the tables are read as they lie, without padding");

bool processExists(std::int32_t pid) {
    if (pid <= 0) {  // 0 and negatives would address process groups
        return false;
    }
    return ::kill(pid, 0) == 0 || errno == EPERM;
}

// Any byte pattern is a valid ConsumerSlot (occupied is a byte, not a bool),
// so a slot another process scribbled over is still read safely.
std::vector<RegistrySlot> parseTable(const ConsumerSlot (&table)[MAX_CONSUMERS]) {
    std::vector<RegistrySlot> slots;
    for (int i = 0; i < MAX_CONSUMERS; ++i) {
        RegistrySlot slot;
        slot.index = i;
        slot.occupied = table[i].occupied != 0;
        slot.pid = table[i].pid;
        slot.missedChecks = table[i].missedChecks;
        slot.alive = slot.occupied && processExists(slot.pid);
        slots.push_back(slot);
    }
    return slots;
}

}  // namespace

RegistrySnapshot readRegistry() {
    RegistrySnapshot snapshot;
    ScopedFd fd;
    struct stat info {};
    const char* why = nullptr;
    if (const int error = openTrustedSegment(O_RDONLY, fd, info, &why)) {
        snapshot.problem = why != nullptr ? why : error == ENOENT ? "no segment" : std::strerror(error);
        return snapshot;
    }
    // pread rather than a mapping: a segment truncated meanwhile gives a short
    // read here, where a mapping would raise SIGBUS. One read of both tables,
    // so parsing works on bytes that no longer change under it.
    RegistryTables tables;
    const ssize_t got =
        retryOnEintr([&] { return ::pread(fd.get(), &tables, sizeof tables, static_cast<off_t>(kDepthTableOffset)); });
    if (got != static_cast<ssize_t>(sizeof tables)) {
        snapshot.problem = got < 0 ? std::strerror(errno) : "the segment shrank while it was read";
        return snapshot;
    }
    snapshot.depth = parseTable(tables.depth);
    snapshot.color = parseTable(tables.color);
    snapshot.read = true;
    return snapshot;
}

}  // namespace frameshare
