#include "output.h"

#include <unistd.h>

#include <mutex>

#include "scoped_fd.h"

namespace frameshare {
namespace {

std::mutex outputMutex;

bool writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = retryOnEintr([&] { return ::write(fd, text.data() + done, text.size() - done); });
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

bool writeOut(const std::string& text) {
    std::lock_guard<std::mutex> lock(outputMutex);
    return writeAll(STDOUT_FILENO, text);
}

bool outputIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }

void writeError(const std::string& line) {
    std::lock_guard<std::mutex> lock(outputMutex);
    writeAll(STDERR_FILENO, line + "\n");
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
