#include "files.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>

namespace frameshare {

OutputFile::~OutputFile() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool OutputFile::create(int dirFd, const std::string& name, const std::string& shown) {
    path_ = shown;
    fd_ = ::openat(dirFd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640);
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

bool writeNewFile(int dirFd, const std::string& name, const std::string& shown, const void* data, std::size_t size,
                  std::string* error) {
    OutputFile file;
    if (!file.create(dirFd, name, shown)) {
        *error = file.error();
        return false;
    }
    if (file.write(data, size) && file.close()) {
        return true;
    }
    *error = file.error();
    file.close();
    ::unlinkat(dirFd, name.c_str(), 0);  // a partial image is worse than none
    return false;
}

bool replaceFile(const std::string& path, const void* data, std::size_t size, std::string* error) {
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, ".%08x", static_cast<unsigned>(random()));
        const std::string temp = dir + "." + base + suffix;
        OutputFile file;
        if (!file.create(AT_FDCWD, temp, path)) {
            if (file.errorNumber() == EEXIST) {
                continue;
            }
            *error = file.error();
            return false;
        }
        if (!file.write(data, size) || !file.close()) {
            *error = file.error();
            file.close();
            ::unlink(temp.c_str());
            return false;
        }
        if (::rename(temp.c_str(), path.c_str()) != 0) {
            *error = "cannot write " + path + ": " + std::strerror(errno);
            ::unlink(temp.c_str());
            return false;
        }
        return true;
    }
    *error = "cannot write " + path + ": " + std::strerror(EEXIST);
    return false;
}

}  // namespace frameshare
