// Whether an object found at the segment's name may be read. Every reader
// (the library, frameshare) asks this one function before it maps or reads
// anything.
//
// Anyone can create a name in /dev/shm while no producer runs. What matters
// is who can write the object: whoever can could plant frames in it or
// truncate it under a reader's mapping (SIGBUS). Reading by others is no
// forgery risk, so the rule is about writers only:
// - a regular file, never a directory, FIFO, socket or device;
// - not writable by every user (S_IWOTH);
// - owned by root, a system account (the service's user) or the caller's
//   own user. A group shared with some other ordinary user is no reason to
//   trust that user's object.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

// Accounts below this id are system accounts.
constexpr uid_t kFirstOrdinaryUid = 1000;

// Why the object is not to be trusted, or nullptr when it is.
inline const char* segmentDistrust(const struct stat& object, uid_t caller = geteuid()) noexcept {
    if (!S_ISREG(object.st_mode)) {
        return "the segment is not a regular file";
    }
    if ((object.st_mode & S_IWOTH) != 0) {
        return "the segment is writable by every user";
    }
    if (object.st_uid != 0 && object.st_uid >= kFirstOrdinaryUid && object.st_uid != caller) {
        return "the segment belongs to another ordinary user";
    }
    return nullptr;
}
