#include "registry_view.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>  // shm_open
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "segment_trust.h"

namespace frameshare {
namespace {

// The segment's fixed layout (docs/design.md, "The segment"): its total size, and the
// two tables of ten 16-byte slots near its end, depth first. A slot is one
// byte "occupied" (non-zero = taken), three reserved, a 32-bit pid at 4 and
// a 64-bit missedChecks at 8, little-endian.
constexpr const char* kSegmentName = "/tavora_camera_sensor_";
constexpr std::size_t kSegmentSize = 10368656;
constexpr std::size_t kDepthTableOffset = 10368336;
constexpr std::size_t kColorTableOffset = 10368496;
constexpr int kSlots = 10;
constexpr std::size_t kSlotSize = 16;
static_assert(kColorTableOffset + kSlots * kSlotSize == kSegmentSize, "the colour table ends the segment");
static_assert(kDepthTableOffset + kSlots * kSlotSize == kColorTableOffset, "the depth table precedes it");

bool processExists(std::int32_t pid) {
    if (pid <= 0) {  // 0 and negatives would address process groups
        return false;
    }
    return ::kill(pid, 0) == 0 || errno == EPERM;
}

std::vector<RegistrySlot> parseTable(const unsigned char* table) {
    std::vector<RegistrySlot> slots;
    for (int i = 0; i < kSlots; ++i) {
        const unsigned char* raw = table + static_cast<std::size_t>(i) * kSlotSize;
        RegistrySlot slot;
        slot.index = i;
        slot.occupied = raw[0] != 0;
        std::memcpy(&slot.pid, raw + 4, sizeof slot.pid);
        std::memcpy(&slot.missedChecks, raw + 8, sizeof slot.missedChecks);
        slot.alive = slot.occupied && processExists(slot.pid);
        slots.push_back(slot);
    }
    return slots;
}

}  // namespace

RegistrySnapshot readRegistry() {
    RegistrySnapshot snapshot;
    const int fd = ::shm_open(kSegmentName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC, 0);
    if (fd < 0) {
        snapshot.problem = errno == ENOENT ? "no segment" : std::strerror(errno);
        return snapshot;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        snapshot.problem = std::strerror(errno);
        ::close(fd);
        return snapshot;
    }
    if (const char* reason = segmentDistrust(info)) {
        ::close(fd);
        snapshot.problem = reason;
        return snapshot;
    }
    if (info.st_size != static_cast<off_t>(kSegmentSize)) {
        ::close(fd);
        snapshot.problem = "the segment has the wrong size";
        return snapshot;
    }
    // pread rather than a mapping: a segment truncated meanwhile gives a short
    // read here, where a mapping would raise SIGBUS. One read of both tables,
    // so parsing works on bytes that no longer change under it.
    unsigned char tables[2 * kSlots * kSlotSize];
    ssize_t got;
    do {
        got = ::pread(fd, tables, sizeof tables, static_cast<off_t>(kDepthTableOffset));
    } while (got < 0 && errno == EINTR);
    const int readError = errno;
    ::close(fd);
    if (got != static_cast<ssize_t>(sizeof tables)) {
        snapshot.problem = got < 0 ? std::strerror(readError) : "the segment shrank while it was read";
        return snapshot;
    }
    snapshot.depth = parseTable(tables);
    snapshot.color = parseTable(tables + kSlots * kSlotSize);
    snapshot.read = true;
    return snapshot;
}

}  // namespace frameshare
