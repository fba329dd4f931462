#include "files.h"

#include <unistd.h>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <deque>
#include <memory>
#include <vector>
#include <cstdio>
#include <cstring>
#include <random>
#include <utility>

namespace frameshare {

bool OutputFile::create(int dirFd, const std::string& name, const std::string& shown) {
    path_ = shown;
    fd_.reset(::openat(dirFd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640));
    errno_ = fd_.valid() ? 0 : errno;
    return fd_.valid();
}

bool OutputFile::write(const void* data, std::size_t size) {
    const char* bytes = static_cast<const char*>(data);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = retryOnEintr([&] { return ::write(fd_.get(), bytes + done, size - done); });
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
    if (fd_.valid() && ::ftruncate(fd_.get(), static_cast<off_t>(size)) == 0) {
        written_ = size;
    }
}

bool OutputFile::close() {
    // Closed here rather than by the owner, to see close's result. EINTR
    // leaves the descriptor closed on Linux: retrying could close another
    // thread's new one.
    const int fd = fd_.release();
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

namespace frameshare {

namespace {

// A directory on the way to record's, owned here.
struct OpenDirectory {
    ScopedFd fd;
    struct stat info;
    std::string path;
};

std::deque<std::string> components(const std::string& path) {
    std::deque<std::string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        const std::string part = path.substr(start, end - start);
        if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    return parts;
}

// Someone other than the caller can add, remove or rename names in it.
bool othersCanWrite(const struct stat& dir) {
    return dir.st_uid != ::geteuid() || (dir.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

std::string joined(const std::string& dir, const std::string& name) {
    return dir == "/" ? "/" + name : dir + "/" + name;
}

}  // namespace

bool replaceableTarget(const std::string& path, std::string* error) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        return true;  // nothing there yet, or the rename will tell why not
    }
    if (S_ISLNK(info.st_mode) && ::stat(path.c_str(), &info) != 0) {
        return true;  // a dangling symlink: replaced like any name
    }
    if (S_ISREG(info.st_mode)) {
        return true;
    }
    *error = "cannot write " + path + ": not a regular file (a device, FIFO, socket or directory); not replaced";
    return false;
}

ScopedFd openRecordDirectory(const std::string& path, bool* created, std::string* error) {
    *created = false;
    std::string absolute = path;
    if (path.empty() || path[0] != '/') {
        // getcwd allocates with malloc; freed even when the join throws.
        const std::unique_ptr<char, void (*)(void*)> cwd(::getcwd(nullptr, 0), std::free);
        if (!cwd) {
            *error = std::string("cannot find the working directory: ") + std::strerror(errno);
            return ScopedFd();
        }
        absolute = std::string(cwd.get()) + "/" + path;
    }
    std::vector<OpenDirectory> chain;
    struct stat rootInfo {};
    ScopedFd root(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!root.valid() || ::fstat(root.get(), &rootInfo) != 0) {
        *error = std::string("cannot open /: ") + std::strerror(errno);
        return ScopedFd();
    }
    chain.push_back({std::move(root), rootInfo, "/"});
    std::deque<std::string> todo = components(absolute);
    int links = 0;
    while (!todo.empty()) {
        const std::string name = todo.front();
        todo.pop_front();
        if (name == "..") {
            if (chain.size() > 1) {
                chain.pop_back();
            }
            continue;
        }
        const OpenDirectory& parent = chain.back();
        const std::string here = joined(parent.path, name);
        struct stat info {};
        if (::fstatat(parent.fd.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT && todo.empty() && !*created) {
                if (::mkdirat(parent.fd.get(), name.c_str(), 0750) == 0) {
                    *created = true;
                } else if (errno != EEXIST) {
                    *error = "cannot create " + path + ": " + std::strerror(errno);
                    return ScopedFd();
                }
                todo.push_front(name);  // open what is there now, whoever made it
                continue;
            }
            *error = "cannot open " + path + ": " + std::strerror(errno);
            return ScopedFd();
        }
        if (S_ISLNK(info.st_mode)) {
            if (info.st_uid != ::geteuid() && info.st_uid != 0 && othersCanWrite(parent.info)) {
                *error = path + ": the symlink " + here +
                         " belongs to another user in a directory others can write; not followed";
                return ScopedFd();
            }
            std::vector<char> target(static_cast<std::size_t>(PATH_MAX) + 1);
            const ssize_t length = ::readlinkat(parent.fd.get(), name.c_str(), target.data(), target.size() - 1);
            if (length < 0 || ++links > 40) {
                *error = "cannot open " + path + ": " + std::strerror(length < 0 ? errno : ELOOP);
                return ScopedFd();
            }
            const std::string to(target.data(), static_cast<std::size_t>(length));
            if (!to.empty() && to[0] == '/') {
                while (chain.size() > 1) {
                    chain.pop_back();
                }
            }
            std::deque<std::string> more = components(to);
            todo.insert(todo.begin(), more.begin(), more.end());
            continue;
        }
        ScopedFd fd(S_ISDIR(info.st_mode)
                        ? ::openat(parent.fd.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)
                        : -1);
        struct stat opened {};
        if (!fd.valid() || ::fstat(fd.get(), &opened) != 0 || opened.st_ino != info.st_ino ||
            opened.st_dev != info.st_dev) {
            *error = !fd.valid() && !S_ISDIR(info.st_mode) ? path + " is not a directory"
                                                            : "cannot open " + path + ": " + std::strerror(errno);
            return ScopedFd();
        }
        chain.push_back({std::move(fd), opened, here});
    }
    // Whoever can rename entries in a directory above could move another
    // directory, or a link, into the place of this one.
    for (std::size_t i = 0; i + 1 < chain.size(); ++i) {
        const struct stat& above = chain[i].info;
        if ((above.st_mode & S_IWOTH) != 0 && (above.st_mode & S_ISVTX) == 0) {
            *error = path + " lies in " + chain[i].path +
                     ", which every user can write (no sticky bit); record into a directory of your own";
            return ScopedFd();
        }
    }
    return std::move(chain.back().fd);
}

}  // namespace frameshare
