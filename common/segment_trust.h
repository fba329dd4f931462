// Whether an object found at the segment's name may be read. Every reader
// (both libraries, frameshare) opens the segment through openTrustedSegment,
// which asks this before anything is mapped or read.
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

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>

#include "scoped_fd.h"
#include "shared_data.h"

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
    if (object.st_uid >= kFirstOrdinaryUid && object.st_uid != caller) {
        return "the segment belongs to another ordinary user";
    }
    return nullptr;
}

// Opens the object at the segment's name (O_RDONLY or O_RDWR), never through
// a symbolic link, on a descriptor above the standard ones, and checks it: a
// trusted object of the layout's exact size. Mapping a shorter one would
// succeed, and the first read past its end would raise SIGBUS.
// Returns 0, or the errno of the failure: the open's own (then `fd` stays
// empty), EPERM for an object not to be trusted, EINVAL for the wrong size;
// `why` then says which in words.
inline int openTrustedSegment(int accessMode, ScopedFd& fd, struct stat& info, const char** why = nullptr) noexcept {
    fd.reset(aboveStandardDescriptors(shm_open(SHM_NAME, accessMode | O_NOFOLLOW | O_CLOEXEC, 0)));
    if (!fd.valid()) {
        return errno;
    }
    if (fstat(fd.get(), &info) != 0) {
        return errno;
    }
    if (const char* reason = segmentDistrust(info)) {
        if (why != nullptr) {
            *why = reason;
        }
        return EPERM;
    }
    if (info.st_size != static_cast<off_t>(sizeof(SharedData))) {
        if (why != nullptr) {
            *why = "the segment has the wrong size";
        }
        return EINVAL;
    }
    return 0;
}
