// Writing whole files, with the error that stopped it.
#pragma once

#include <cstddef>
#include <string>

namespace frameshare {

// Owns one descriptor opened for writing.
class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // exclusive: fail when the file exists. False with error() set on failure.
    bool open(const std::string& path, bool exclusive);
    bool write(const void* data, std::size_t size);
    bool write(const std::string& text) { return write(text.data(), text.size()); }
    // Cuts the file back to its first `size` bytes, say to drop a partly
    // written line.
    void truncate(std::size_t size);
    std::size_t written() const { return written_; }
    // Closing reports errors a delayed write may only show here.
    bool close();
    // "cannot write PATH: No space left on device"
    std::string error() const;

private:
    int fd_ = -1;
    int errno_ = 0;
    std::size_t written_ = 0;
    std::string path_;
};

// Writes the bytes to a new or truncated file; on failure removes what it
// wrote and returns the error line.
bool writeWholeFile(const std::string& path, const void* data, std::size_t size, std::string* error);

}  // namespace frameshare
