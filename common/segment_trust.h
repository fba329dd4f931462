// Whether the object at the segment's name may be mapped by a reader. Every
// reader library applies this one check to what it opened, before mapping.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

// Anyone can create a name in /dev/shm. An object that others may write
// could carry fake frames, or be truncated under a reader's mapping (SIGBUS);
// the producer's segment is a regular file, 0660. Root opens any object, so
// for root the owner must be root or a system account (the service's user).
// Anyone else opens a 0660 object only as its owner or a member of its
// group: that group is the trust boundary.
constexpr uid_t kFirstOrdinaryUid = 1000;

inline bool trustedSegment(const struct stat& info) noexcept {
    if (!S_ISREG(info.st_mode) || (info.st_mode & 0007) != 0) {
        return false;
    }
    return geteuid() != 0 || info.st_uid < kFirstOrdinaryUid;
}
