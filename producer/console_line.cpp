#include "console_line.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <mutex>

#include "scoped_fd.h"

namespace {

// Long enough for a terminal or a reader that drains now and then, short
// enough that a pipe nobody drains costs the capture a frame or so per line.
constexpr std::chrono::milliseconds kConsoleWait{50};

// One writer at a time: a poll that found room is not undone by another
// thread's write before this one's.
std::mutex g_consoleMutex;

}  // namespace

void writeConsoleLine(int fd, const std::string& text) noexcept { writeConsoleLine(fd, text, kConsoleWait); }

void writeConsoleLine(int fd, const std::string& text, std::chrono::milliseconds wait) noexcept {
    const int savedErrno = errno;
    std::lock_guard<std::mutex> lock(g_consoleMutex);
    const auto deadline = std::chrono::steady_clock::now() + wait;
    const char* next = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const auto remaining =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd target{fd, POLLOUT, 0};
        const int ready = poll(&target, 1, remaining.count() > 0 ? static_cast<int>(remaining.count()) : 0);
        if (ready < 0 && errno == EINTR) {
            continue;  // waits again for what is left of the deadline
        }
        if (ready != 1 || (target.revents & POLLOUT) == 0 || (target.revents & (POLLERR | POLLNVAL)) != 0) {
            break;  // no room in time, or no reader (SIGPIPE is ignored: EPIPE)
        }
        const ssize_t written = retryOnEintr([&] { return write(fd, next, left); });
        if (written <= 0) {
            break;
        }
        next += written;
        left -= static_cast<std::size_t>(written);
    }
    errno = savedErrno;
}

ConsoleLines::~ConsoleLines() {
    for (const auto& line : lines_) {
        writeConsoleLine(line.first, line.second);
    }
}

void ConsoleLines::add(int fd, std::string text) {
    try {
        lines_.emplace_back(fd, std::move(text));
    } catch (...) {
        // Out of memory: the line is lost, the caller goes on.
    }
}

ConsoleLine::~ConsoleLine() {
    try {
        if (later_ != nullptr) {
            later_->add(fd_, text_.str());
        } else {
            writeConsoleLine(fd_, text_.str());
        }
    } catch (...) {
    }
}
