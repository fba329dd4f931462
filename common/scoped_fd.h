// Owns one file descriptor and closes it on every way out of a scope.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

// Moves a descriptor the caller just opened to 3 or above (close-on-exec).
// A process started with standard output or error closed hands out 1 or 2
// first; a console line written there would land in the object. Returns the
// descriptor to use, or -1 with errno set (the original is closed then).
inline int aboveStandardDescriptors(int fd) noexcept {
    if (fd < 0 || fd > STDERR_FILENO) {
        return fd;
    }
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const int error = errno;
    ::close(fd);
    errno = error;
    return moved;
}

class ScopedFd {
public:
    explicit ScopedFd(int fd) noexcept : fd_(fd) {}
    ~ScopedFd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    ScopedFd(const ScopedFd&) = delete;
    ScopedFd& operator=(const ScopedFd&) = delete;

    int get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }
    // Hands the descriptor to a longer-lived owner.
    int release() noexcept {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};
