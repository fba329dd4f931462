#include "console_line.h"
#include "scoped_fd.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <ctime>

namespace {

// A write to a pipe without reader raises SIGPIPE in this thread. Blocked
// here, it stays pending and is taken back, unless one was pending already
// (then it is the caller's, and standard signals do not queue). A signal
// can only be pending before the write if the caller blocks SIGPIPE itself.
void writeWithoutSigpipe(int fd, const char* text, std::size_t length) noexcept {
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    sigset_t previous;
    if (pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous) != 0) {
        return;
    }
    const bool callerBlocks = sigismember(&previous, SIGPIPE) == 1;
    bool alreadyPending = false;
    if (callerBlocks) {
        sigset_t pending;
        sigemptyset(&pending);
        alreadyPending = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
    }
    const ssize_t written = retryOnEintr([&] { return write(fd, text, length); });
    if (written < 0 && errno == EPIPE && !alreadyPending) {
        const timespec noWait{0, 0};
        retryOnEintr([&] { return sigtimedwait(&pipeSignal, nullptr, &noWait); });
    }
    if (!callerBlocks) {
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
}

}  // namespace

void writeConsoleLine(int fd, const char* format, ...) noexcept {
    const int savedErrno = errno;
    char line[512];
    va_list arguments;
    va_start(arguments, format);
    const int length = std::vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    if (length > 0) {
        const std::size_t bytes =
            static_cast<std::size_t>(length) < sizeof line ? static_cast<std::size_t>(length) : sizeof line - 1;
        // A zero timeout: a pipe nobody drains loses the line, it never
        // holds up the call. Lines are far below PIPE_BUF, so a writable
        // pipe takes one whole without blocking. The descriptor's flags are
        // shared with the caller and stay as they are.
        pollfd target{fd, POLLOUT, 0};
        if (poll(&target, 1, 0) == 1 && (target.revents & (POLLERR | POLLHUP | POLLNVAL)) == 0 &&
            (target.revents & POLLOUT) != 0) {
            writeWithoutSigpipe(fd, line, bytes);
        }
    }
    errno = savedErrno;
}
