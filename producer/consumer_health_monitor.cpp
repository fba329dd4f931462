// The producer's half of the registry protocol: discovers registered
// consumers, watches whether they take their posts and retires those that
// stop. Slots are written by any process that maps the segment, so their
// process ids and the files at their semaphores' names are checked before
// the producer maps anything.
#include <fcntl.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <string>

#include "console_line.h"
#include "producer_share_memory.h"
#include "registry.h"
#include "scoped_fd.h"
#include "shm_paths.h"

namespace {

// A consumer is retired on the pass that finds its post pending for the
// 30th time in a row.
constexpr std::uint64_t kMaxMissedChecks = 29;
// Warnings about one slot that keeps failing the same way.
constexpr std::chrono::seconds kSlotWarningInterval(10);

enum class Stream { Color, Depth };

const char* tagOf(Stream stream) { return stream == Stream::Color ? "[SEM_COLOR] " : "[SEM_DEPTH] "; }

// The monitor's lines are written after the registry mutex is released
// (`lines`), so a console that takes no output never holds up registrations.
void reportOpened(Stream stream, std::uint32_t pid, sem_t* handle, ConsoleLines& lines) {
    if (stream == Stream::Color) {
        ConsoleLine(STDOUT_FILENO, &lines) << "[SEM_COLOR] Info: New consumer with PID " << pid << " is online "
                                           << static_cast<void*>(handle) << '\n';
    } else {
        ConsoleLine(STDOUT_FILENO, &lines) << "[SEM_DEPTH] info: New consumer with PID " << pid << "is online \n";
    }
}

void reportOpenFailure(Stream stream, std::uint32_t pid, int error, ConsoleLines& lines) {
    const char* text = stream == Stream::Color
                           ? "[SEM_COLOR] Warning:Failed to open existing semaphore for consumer with PID "
                           : "[SEM_DEPTH] Warning: Failed to open existing semaphore for consumer with PID ";
    ConsoleLine(STDERR_FILENO, &lines) << text << pid << ". Error: " << std::strerror(error) << '\n';
}

void reportRetired(Stream stream, unsigned index, std::uint32_t pid, ConsoleLines& lines) {
    if (stream == Stream::Color) {
        ConsoleLine(STDOUT_FILENO, &lines) << "[SEM_COLOR] Info: Consumer " << index << " with PID " << pid
                                           << " is considered offline due to excessive unresponsiveness.\n";
    } else {
        ConsoleLine(STDOUT_FILENO, &lines) << "[SEM_DEPTH] Consumer " << index
                                           << " is considered offline due to excessive unresponsiveness.\n";
    }
}

// No process has this id in this process's PID namespace. A consumer in
// another one (a container sharing /dev/shm) gave its own namespace's id, so
// this is only a hint: it speeds up retiring a slot that never showed it
// takes its posts, and never retires one that does.
bool processGone(std::int32_t pid) { return pid <= 0 || (kill(pid, 0) != 0 && errno == ESRCH); }

// Why the object behind an open O_PATH descriptor is not the semaphore the
// consumer `pid` made; empty when it is. A file of root or of the
// producer's own user can do the producer no harm its owner could not do
// anyway. Otherwise it must be the process's user's; when /proc cannot tell
// (the process is in another PID namespace, or /proc is hidden or absent),
// a regular file of a semaphore's size is taken: its maker could only have
// written the slot as a member of the segment's group, who can truncate
// the segment itself.
std::string whyNotItsSemaphore(const struct stat& object, std::int32_t pid) {
    if (S_ISLNK(object.st_mode)) {
        return "it is a symbolic link";
    }
    if (!S_ISREG(object.st_mode)) {
        return "it is not a regular file";
    }
    if (object.st_size != static_cast<off_t>(sizeof(sem_t))) {
        return "its size is " + std::to_string(object.st_size) + " bytes, not " + std::to_string(sizeof(sem_t));
    }
    if (object.st_uid == 0 || object.st_uid == geteuid()) {
        return "";
    }
    struct stat process {};
    if (stat(("/proc/" + std::to_string(pid)).c_str(), &process) != 0) {
        return "";
    }
    if (object.st_uid != process.st_uid) {
        return "it belongs to user " + std::to_string(object.st_uid) + ", the process to user " +
               std::to_string(process.st_uid);
    }
    return "";
}

// Opens the semaphore of a registered consumer after checking what stands
// at its name: anything but the consumer's own semaphore file is never
// mapped (an empty file, mapped, kills the producer with SIGBUS on the first
// sample). The O_PATH descriptor pins what was checked. sem_open then opens
// the name again; in between only the file's owner (the consumer's own
// user: /dev/shm is sticky) or root can put something else there, and that
// user can truncate its own semaphore at any time anyway, so the window
// gives nobody a power they lack.
// A failure is reported (rate-limited) only when `warn`.
sem_t* openCheckedSemaphore(Stream stream, std::int32_t pid, const std::string& name, bool warn,
                            RateLimitedWarning& warning, ConsoleLines& lines) {
    const auto upid = static_cast<std::uint32_t>(pid);
    const ScopedFd fd(aboveStandardDescriptors(open(semaphorePath(name).c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC)));
    if (!fd.valid()) {
        const int error = errno;
        if (warn && warning.due(kSlotWarningInterval)) {
            reportOpenFailure(stream, upid, error, lines);
        }
        return SEM_FAILED;
    }
    struct stat object {};
    std::string reason =
        fstat(fd.get(), &object) != 0 ? std::string("it cannot be examined") : whyNotItsSemaphore(object, pid);
    sem_t* handle = SEM_FAILED;
    if (reason.empty()) {
        handle = sem_open(name.c_str(), O_RDWR);
        if (handle == SEM_FAILED) {
            const int error = errno;
            if (warn && warning.due(kSlotWarningInterval)) {
                reportOpenFailure(stream, upid, error, lines);
            }
        }
    } else if (warn && warning.due(kSlotWarningInterval)) {
        ConsoleLine(STDERR_FILENO, &lines) << tagOf(stream) << "Warning: " << semaphorePath(name)
                                           << " is not the semaphore of consumer with PID " << upid << ": " << reason
                                           << "; not opening it.\n";
    }
    return handle;
}

void retire(Stream stream, unsigned index, ConsumerSlot& slot, sem_t*& handle, const std::string& name,
            bool removeName, RateLimitedWarning& warning, ConsoleLines& lines) {
    if (handle != nullptr) {
        sem_close(handle);
    }
    if (removeName) {
        sem_unlink(name.c_str());
    }
    reportRetired(stream, index, static_cast<std::uint32_t>(slot.pid), lines);
    slot.occupied = 0;
    slot.pid = 0;
    slot.missedChecks = 0;
    handle = nullptr;
    warning.reset();
}

void checkSlot(Stream stream, unsigned index, ConsumerSlot& slot, sem_t*& handle, PostHistory& history,
               RateLimitedWarning& warning, ConsoleLines& lines) {
    if (slot.occupied == 0) {
        return;
    }
    const char* prefix = stream == Stream::Color ? SEM_COLOR : SEM_DEPTH;
    const std::int32_t pid = slot.pid;
    const std::string name = consumerSemaphoreName(prefix, static_cast<std::uint32_t>(pid));
    if (pid <= 0) {
        // No registration writes such an id: nothing at its name is a
        // consumer's to remove.
        retire(stream, index, slot, handle, name, false, warning, lines);
        return;
    }
    if (handle == nullptr) {
        // Opened even when the id names no process here: a consumer in
        // another PID namespace looks just like that.
        const bool gone = processGone(pid);
        sem_t* opened = openCheckedSemaphore(stream, pid, name, !gone, warning, lines);
        if (opened == SEM_FAILED) {
            // A consumer makes its semaphore before it gives its process id,
            // so this is no consumer starting up: a live process that is not
            // one, or not of this group, would otherwise hold the slot for
            // good. What stands at the name is not the producer's to remove.
            ++slot.missedChecks;
            if (slot.missedChecks > kMaxMissedChecks || gone) {
                retire(stream, index, slot, handle, name, false, warning, lines);
            }
            return;
        }
        handle = opened;
        history = PostHistory::None;
        warning.reset();
        reportOpened(stream, static_cast<std::uint32_t>(pid), opened, lines);
        return;  // sampled from the next pass on
    }

    int value = 0;
    bool pending = true;  // an unreadable value counts as not taken
    if (sem_getvalue(handle, &value) == 0 && value <= 0) {
        pending = false;
        slot.missedChecks = 0;
        if (history == PostHistory::Posted) {
            history = PostHistory::Taken;
        }
        if (stream == Stream::Depth) {
            ConsoleLine(STDOUT_FILENO, &lines) << "[SEM_DEPTH] info: consumer with PID "
                                               << static_cast<std::uint32_t>(pid) << "is online \n";
        }
    } else {
        ++slot.missedChecks;
    }
    // A consumer that has taken a post is retired only by the count: it may
    // live in another PID namespace, where its id means nothing here.
    if (slot.missedChecks > kMaxMissedChecks ||
        (pending && history != PostHistory::Taken && processGone(pid))) {
        retire(stream, index, slot, handle, name, true, warning, lines);
    }
}

}  // namespace

// The registry wait is bounded: a monitor stuck behind a stopped process
// would also hold up the producer's shutdown, which waits for it.
void ProducerSharedMemory::checkConsumerHealth() {
    if (sharedData == nullptr) {
        return;
    }
    ConsoleLines lines;  // written once the lock below is released
    RegistryLock lock(sharedData, 2 * framePeriod());
    if (!takeLock(lock.outcome(), RegistryInMonitor)) {
        return;
    }
    for (unsigned i = 0; i < MAX_CONSUMERS; ++i) {
        checkSlot(Stream::Color, i, sharedData->colorConsumers[i], semColor[i], colorPosts_[i],
                  colorSlotWarnings_[i], lines);
        checkSlot(Stream::Depth, i, sharedData->depthConsumers[i], semDepth[i], depthPosts_[i],
                  depthSlotWarnings_[i], lines);
    }
}
