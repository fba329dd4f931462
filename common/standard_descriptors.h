// Standard descriptors 0, 1 and 2 held open for the whole run.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "scoped_fd.h"

// A process started with a standard descriptor closed would hand the next
// object it opens (the segment, a semaphore, a socket, a file) the lowest
// free number, and console lines would then be written into that object.
// Opens each closed one on /dev/null: stdin read-only, stdout and stderr
// write-only. Call once, before any thread exists.
inline void openClosedStandardDescriptors() noexcept {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            // The lowest free descriptor: this one, as those below are open.
            ScopedFd nullFd(::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY));
            if (nullFd.get() == fd) {
                nullFd.release();  // the standard stream owns it from now on
            }
        }
    }
}
