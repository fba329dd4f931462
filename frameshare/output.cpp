#include "output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <mutex>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#include <sanitizer/common_interface_defs.h>
#endif

namespace frameshare {
namespace {

int outputFd = STDOUT_FILENO;
int errorFd = STDERR_FILENO;
std::mutex outputMutex;

bool writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

void takeOverStandardStreams() {
    const int privateOut = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    const int privateErr = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    const int nullFd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (nullFd >= 0) {
        ::dup2(nullFd, STDOUT_FILENO);
        ::dup2(nullFd, STDERR_FILENO);
        if (nullFd != STDOUT_FILENO && nullFd != STDERR_FILENO) {
            ::close(nullFd);
        }
    }
    // Without a standard stream to begin with, the tool's lines are dropped too.
    outputFd = privateOut >= 0 ? privateOut : STDOUT_FILENO;
    errorFd = privateErr >= 0 ? privateErr : STDERR_FILENO;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // Sanitizer reports keep going where standard error really goes.
    __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<std::intptr_t>(errorFd)));
#endif
}

bool writeOut(const std::string& text) {
    std::lock_guard<std::mutex> lock(outputMutex);
    return writeAll(outputFd, text);
}

bool outputIsTerminal() { return ::isatty(outputFd) == 1; }

void writeError(const std::string& line) {
    std::lock_guard<std::mutex> lock(outputMutex);
    writeAll(errorFd, line + "\n");
}

sigset_t blockStopSignals() {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    return stopSignals;
}

}  // namespace frameshare
