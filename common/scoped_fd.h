// Owners for a file descriptor and a memory mapping, each closed or unmapped
// on every way out of a scope, and the one retry loop for calls cut short by
// a signal.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <utility>

// Calls `call` again for as long as it fails with EINTR; returns its last
// result. For calls that report failure as -1 with errno set.
template <class F>
auto retryOnEintr(F call) -> decltype(call()) {
    decltype(call()) result;
    do {
        result = call();
    } while (result == -1 && errno == EINTR);
    return result;
}

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
    ScopedFd() noexcept = default;
    explicit ScopedFd(int fd) noexcept : fd_(fd) {}
    ~ScopedFd() { reset(); }
    ScopedFd(const ScopedFd&) = delete;
    ScopedFd& operator=(const ScopedFd&) = delete;
    ScopedFd(ScopedFd&& other) noexcept : fd_(other.release()) {}
    ScopedFd& operator=(ScopedFd&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }

    int get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }
    // Closes the descriptor held so far and takes `fd` instead.
    void reset(int fd = -1) noexcept {
        if (fd_ >= 0 && fd_ != fd) {
            ::close(fd_);
        }
        fd_ = fd;
    }
    // Hands the descriptor to a longer-lived owner.
    int release() noexcept {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_ = -1;
};

// Owns one mmap(2) region. An empty owner holds nullptr, never MAP_FAILED.
class ScopedMapping {
public:
    ScopedMapping() noexcept = default;
    // Takes the result of mmap as it is: MAP_FAILED leaves the owner empty.
    ScopedMapping(void* address, std::size_t length) noexcept { reset(address, length); }
    ~ScopedMapping() { reset(); }
    ScopedMapping(const ScopedMapping&) = delete;
    ScopedMapping& operator=(const ScopedMapping&) = delete;
    ScopedMapping(ScopedMapping&& other) noexcept
        : address_(std::exchange(other.address_, nullptr)), length_(std::exchange(other.length_, 0)) {}
    ScopedMapping& operator=(ScopedMapping&& other) noexcept {
        if (this != &other) {
            reset();
            address_ = std::exchange(other.address_, nullptr);
            length_ = std::exchange(other.length_, 0);
        }
        return *this;
    }

    void* get() const noexcept { return address_; }
    template <class T>
    T* as() const noexcept {
        return static_cast<T*>(address_);
    }
    std::size_t length() const noexcept { return length_; }
    bool valid() const noexcept { return address_ != nullptr; }
    // Unmaps the region held so far and takes `address` instead.
    void reset(void* address = nullptr, std::size_t length = 0) noexcept {
        if (address_ != nullptr && address_ != address) {
            ::munmap(address_, length_);
        }
        if (address == MAP_FAILED || address == nullptr) {
            address_ = nullptr;
            length_ = 0;
        } else {
            address_ = address;
            length_ = length;
        }
    }
    // Unmaps now and returns munmap's result, for an owner that reports a
    // failure; empty afterwards either way.
    int unmap() noexcept {
        const int result = address_ != nullptr ? ::munmap(address_, length_) : 0;
        address_ = nullptr;
        length_ = 0;
        return result;
    }
    // Hands the region to a longer-lived owner, which unmaps it.
    void* release() noexcept {
        length_ = 0;
        return std::exchange(address_, nullptr);
    }

private:
    void* address_ = nullptr;
    std::size_t length_ = 0;
};
