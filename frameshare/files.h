// Writing whole files, with the error that stopped it. Frames are camera
// images: files are created 0640 (less the umask), never through a symlink
// and never over an existing file.
#pragma once

#include <fcntl.h>

#include <cstddef>
#include <string>

#include "scoped_fd.h"

namespace frameshare {

// Owns one descriptor opened for writing.
class OutputFile {
public:
    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Creates `name` in the directory `dirFd` (AT_FDCWD: the working one); it
    // must not exist, not even as a symlink. `shown` names it in errors.
    // False with error() set on failure.
    bool create(int dirFd, const std::string& name, const std::string& shown);
    bool write(const void* data, std::size_t size);
    bool write(const std::string& text) { return write(text.data(), text.size()); }
    // Cuts the file back to its first `size` bytes, say to drop a partly
    // written line.
    void truncate(std::size_t size);
    std::size_t written() const { return written_; }
    // Closing reports errors a delayed write may only show here; the
    // destructor closes without a word.
    bool close();
    // "cannot write PATH: No space left on device"
    std::string error() const;
    int errorNumber() const { return errno_; }

private:
    ScopedFd fd_;
    int errno_ = 0;
    std::size_t written_ = 0;
    std::string path_;
};

// Writes the bytes to a new file `name` in `dirFd`; on failure removes what it
// wrote and returns the error line.
bool writeNewFile(int dirFd, const std::string& name, const std::string& shown, const void* data, std::size_t size,
                  std::string* error);

// Writes the bytes to a new file beside `path` and renames it over `path`:
// whatever `path` was (a symlink, another user's file) is replaced, never
// written through, and a reader never sees half an image.
bool replaceFile(const std::string& path, const void* data, std::size_t size, std::string* error);

}  // namespace frameshare

namespace frameshare {

// save's checks on an existing FILE: a regular file (or a symlink to one, or
// a dangling one: replaced, not followed) may be replaced; a device, FIFO,
// socket or directory, or a symlink to one, is refused. False with the
// error line.
bool replaceableTarget(const std::string& path, std::string* error);

// Opens the directory `path` for record, creating its last component when
// missing (*created tells). Every component is opened without following a
// symlink it does not trust: one owned by another user (neither the caller
// nor root) in a directory someone else can write. Refuses the path when a
// directory above the one opened is writable by every user without the
// sticky bit. Returns the descriptor, or none with the error line.
ScopedFd openRecordDirectory(const std::string& path, bool* created, std::string* error);

}  // namespace frameshare
