// The producer's console lines. A terminal or pipe that takes no more output
// costs the line, never the process: each line waits a short bound for room,
// then is dropped. Lines are written with write(2), bypassing the streams,
// so nothing is left buffered for exit to block on.
#pragma once

#include <chrono>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

// Writes text to fd, waiting at most about kConsoleWait for room; what does
// not fit by then is dropped. Lines of all threads go out whole, one at a
// time.
void writeConsoleLine(int fd, const std::string& text) noexcept;
// The same with a wait of the caller's choosing.
void writeConsoleLine(int fd, const std::string& text, std::chrono::milliseconds wait) noexcept;

// Lines held back while a lock readers wait for is held; written, in the
// order given, when it goes. Declared before the lock, it goes after it.
class ConsoleLines {
public:
    ConsoleLines() = default;
    ~ConsoleLines();
    ConsoleLines(const ConsoleLines&) = delete;
    ConsoleLines& operator=(const ConsoleLines&) = delete;
    void add(int fd, std::string text);

private:
    std::vector<std::pair<int, std::string>> lines_;
};

// One line built like a stream: `ConsoleLine(STDOUT_FILENO) << a << b << '\n';`
// goes out when the statement ends, or into `later` when one is given.
class ConsoleLine {
public:
    explicit ConsoleLine(int fd, ConsoleLines* later = nullptr) : fd_(fd), later_(later) {}
    ~ConsoleLine();
    ConsoleLine(const ConsoleLine&) = delete;
    ConsoleLine& operator=(const ConsoleLine&) = delete;

    template <typename T>
    ConsoleLine& operator<<(const T& value) {
        text_ << value;
        return *this;
    }

private:
    int fd_;
    ConsoleLines* later_;
    std::ostringstream text_;
};
