#include "files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace frameshare {

OutputFile::~OutputFile() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool OutputFile::open(const std::string& path, bool exclusive) {
    path_ = path;
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (exclusive ? O_EXCL : O_TRUNC);
    fd_ = ::open(path.c_str(), flags, 0644);
    errno_ = fd_ < 0 ? errno : 0;
    return fd_ >= 0;
}

bool OutputFile::write(const void* data, std::size_t size) {
    const char* bytes = static_cast<const char*>(data);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd_, bytes + done, size - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            errno_ = n < 0 ? errno : EIO;
            return false;
        }
        done += static_cast<std::size_t>(n);
        written_ += static_cast<std::size_t>(n);
    }
    return true;
}

void OutputFile::truncate(std::size_t size) {
    if (fd_ >= 0 && ::ftruncate(fd_, static_cast<off_t>(size)) == 0) {
        written_ = size;
    }
}

bool OutputFile::close() {
    const int fd = fd_;
    fd_ = -1;
    if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) {
        errno_ = errno;
        return false;
    }
    return true;
}

std::string OutputFile::error() const { return "cannot write " + path_ + ": " + std::strerror(errno_); }

bool writeWholeFile(const std::string& path, const void* data, std::size_t size, std::string* error) {
    OutputFile file;
    if (!file.open(path, false)) {
        *error = file.error();
        return false;
    }
    if (file.write(data, size) && file.close()) {
        return true;
    }
    *error = file.error();
    file.close();
    ::unlink(path.c_str());  // a partial image is worse than none
    return false;
}

}  // namespace frameshare
