#include "producer_share_memory.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <string>

#include "console_line.h"
#include "registry.h"
#include "scoped_fd.h"
#include "intrinsics_print.h"
#include "segment_lock.h"
#include "shm_paths.h"

namespace {

// Attempts to place a fresh segment under the name while other producers
// race for it; each lost race either ends in a refusal or removes a stale
// object, so a few are plenty.
constexpr int kPlacementAttempts = 8;

std::string errorText(int error) { return std::strerror(error); }

const char* kindOf(mode_t mode) {
    if (S_ISDIR(mode)) {
        return "a directory";
    }
    if (S_ISFIFO(mode)) {
        return "a FIFO";
    }
    if (S_ISLNK(mode)) {
        return "a symbolic link";
    }
    if (S_ISSOCK(mode)) {
        return "a socket";
    }
    return "a device";
}

bool sameObject(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Deals with whatever stands at the segment's name when a fresh segment
// could not be linked there. Returns when the name may be free now (a stale
// segment of this user was removed, or the object vanished); throws the
// refusal otherwise. Producers only ever remove a segment whose flock they
// hold and whose name they have checked after taking it, so a live
// producer's segment is never removed, whatever the interleaving.
void clearStaleSegment(const std::string& path) {
    struct stat named {};
    if (lstat(path.c_str(), &named) != 0) {
        if (errno == ENOENT) {
            return;
        }
        throw std::runtime_error("Error: cannot examine " + path + ": " + errorText(errno) + "; not starting.");
    }
    if (!S_ISREG(named.st_mode)) {
        throw std::runtime_error("Error: " + path + " is " + kindOf(named.st_mode) +
                                 ", not a shared-memory segment; not starting. Remove it by hand.");
    }
    if (named.st_uid != geteuid()) {
        throw std::runtime_error("Error: " + path + " belongs to user " + std::to_string(named.st_uid) +
                                 ", not to this producer's user " + std::to_string(geteuid()) +
                                 "; not using or removing it.");
    }
    ScopedFd fd(aboveStandardDescriptors(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)));
    if (fd.get() < 0) {
        if (errno == ENOENT || errno == ELOOP) {
            return;  // replaced meanwhile: look again
        }
        throw std::runtime_error("Error: cannot open " + path + " to check it: " + errorText(errno) +
                                 "; not starting.");
    }
    struct stat opened {};
    if (fstat(fd.get(), &opened) != 0 || !sameObject(opened, named)) {
        return;
    }
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            throw std::runtime_error("Error: another producer is publishing on " + path +
                                     "; not starting a second one.");
        }
        throw std::runtime_error("Error: cannot lock " + path + ": " + errorText(errno) + "; not starting.");
    }
    // Stale: its producer is gone. Readers that still map it finish their
    // copies from it; the memory goes with the last mapping.
    if (lstat(path.c_str(), &named) == 0 && sameObject(named, opened) && unlink(path.c_str()) != 0 &&
        errno != ENOENT) {
        throw std::runtime_error("Error: cannot remove the stale segment " + path + ": " + errorText(errno) +
                                 "; not starting.");
    }
}

struct StreamTarget {
    pthread_mutex_t* mutex;
    std::uint8_t* data;
    std::uint32_t* size;
    std::int64_t* steadyTimeUs;
    std::int64_t* systemTimeUs;
    std::size_t capacity;
    ConsumerSlot* slots;
    sem_t* const* handles;
    const char* streamName;
    const char* postFailure;
};

StreamTarget colorTarget(SharedData* data, sem_t* const* handles) {
    RgbFrame& f = data->rgbFrame;
    return {&data->rgbMutex.handle, f.data,     &f.size, &f.steadyTimeUs, &f.systemTimeUs, sizeof f.data,
            data->colorConsumers,   handles,    "colour", "Failed to post color semaphore. Error: "};
}

StreamTarget depthTarget(SharedData* data, sem_t* const* handles) {
    DepthFrame& f = data->depthFrame;
    return {&data->depthMutex.handle, f.data,  &f.size, &f.steadyTimeUs, &f.systemTimeUs, sizeof f.data,
            data->depthConsumers,     handles, "depth", "Failed to post depth semaphore. Error: "};
}

// The mutex and what is lost without it, for the producer's lock reports.
struct LockUseText {
    const char* mutex;
    const char* dropped;      // "...; <n> <dropped> since the last warning."
    const char* unusable;     // what stops while the mutex stays unusable
};

constexpr LockUseText kLockUseTexts[] = {
    {"rgbMutex", "colour updates dropped", "colour frames are not published"},
    {"depthMutex", "depth updates dropped", "depth frames are not published"},
    {"imuFrameMutex", "inertial updates dropped", "inertial records are not published"},
    {"consumerMutex", "frames not posted to consumers", "consumers are not posted"},
    {"consumerMutex", "health checks skipped", "consumers are not checked"},
};

}  // namespace

ProducerSharedMemory::ProducerSharedMemory() : sharedData(nullptr), semDepth{}, semColor{} {}

ProducerSharedMemory::~ProducerSharedMemory() { cleanup(); }

void ProducerSharedMemory::setFramePeriod(std::chrono::microseconds period) {
    framePeriodUs_.store(period.count());
}

std::chrono::microseconds ProducerSharedMemory::framePeriod() const {
    const std::int64_t period = framePeriodUs_.load();
    return std::chrono::microseconds(period > 0 ? period : 33333);
}

namespace {

// A new segment file before it has the segment's name. Preferably unnamed
// (O_TMPFILE, linked through /proc/self/fd); without /proc, or on a file
// system without O_TMPFILE, under a unique temporary name (O_EXCL), removed
// again once the segment is linked or the set-up fails.
class NewSegmentFile {
public:
    NewSegmentFile() {
        fd_.reset(aboveStandardDescriptors(open(SHM_DIRECTORY, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600)));
        if (fd_.valid() && reachableThroughProc()) {
            return;
        }
        std::string pattern = std::string(SHM_DIRECTORY) + "/." + SHM_NAME + ".XXXXXX";
        fd_.reset(aboveStandardDescriptors(mkostemp(pattern.data(), O_CLOEXEC)));
        if (!fd_.valid()) {
            perror("mkostemp");
            throw std::runtime_error("Failed to open shared memory.");
        }
        temporaryPath_ = pattern;
    }
    ~NewSegmentFile() {
        if (!temporaryPath_.empty()) {
            unlink(temporaryPath_.c_str());
        }
    }
    NewSegmentFile(const NewSegmentFile&) = delete;
    NewSegmentFile& operator=(const NewSegmentFile&) = delete;

    int fd() const { return fd_.get(); }
    // Links the file to `path`, never replacing anything (EEXIST then).
    // Returns 0 or the errno of the failure.
    int linkTo(const std::string& path) {
        const std::string source = temporaryPath_.empty() ? procPath() : temporaryPath_;
        const int flags = temporaryPath_.empty() ? AT_SYMLINK_FOLLOW : 0;
        if (linkat(AT_FDCWD, source.c_str(), AT_FDCWD, path.c_str(), flags) != 0) {
            return errno;
        }
        if (!temporaryPath_.empty()) {
            unlink(temporaryPath_.c_str());
            temporaryPath_.clear();
        }
        return 0;
    }
    int release() { return fd_.release(); }

private:
    std::string procPath() const { return "/proc/self/fd/" + std::to_string(fd_.get()); }
    bool reachableThroughProc() const {
        struct stat viaProc {};
        struct stat own {};
        return stat(procPath().c_str(), &viaProc) == 0 && fstat(fd_.get(), &own) == 0 && sameObject(viaProc, own);
    }

    ScopedFd fd_;
    std::string temporaryPath_;
};

}  // namespace

// The segment is built complete and locked before anyone can see it: it is
// created without its name, locked, given its mode, space and mutexes, and
// only then linked to the name. link(2) never replaces anything, so a
// producer that finds no name creates nothing there that another could
// take for stale, and two producers racing for the name cannot both win.
void ProducerSharedMemory::initialize() {
    const std::string path = segmentPath();
    NewSegmentFile file;
    const int fd = file.fd();
    // Never locked by anyone else: nobody else can reach it yet (a
    // temporary name is this user's, in a sticky directory).
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        throw std::runtime_error("Error: cannot lock the new segment: " + errorText(errno) + ".");
    }
    // Owner and group read and write whatever the umask; others nothing.
    if (fchmod(fd, 0660) != 0) {
        throw std::runtime_error("Error: cannot set the new segment's mode: " + errorText(errno) + ".");
    }
    // Reserved now, so a full /dev/shm is an error here, not a SIGBUS on
    // the first write to a page that cannot be backed.
    const int reserveError = posix_fallocate(fd, 0, sizeof(SharedData));
    if (reserveError != 0) {
        throw std::runtime_error("Error: cannot reserve " + std::to_string(sizeof(SharedData)) + " bytes in " +
                                 SHM_DIRECTORY + " for the segment: " + errorText(reserveError) + ".");
    }
    ScopedMapping mapping(mmap(nullptr, sizeof(SharedData), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0),
                          sizeof(SharedData));
    if (!mapping.valid()) {
        perror("mmap");
        throw std::runtime_error("Failed to map shared memory.");
    }
    init(mapping.as<SharedData>());
    for (int attempt = 0;; ++attempt) {
        const int error = file.linkTo(path);
        if (error == 0) {
            break;
        }
        if (error != EEXIST) {
            throw std::runtime_error("Error: cannot name the segment " + path + ": " + errorText(error) + ".");
        }
        if (attempt + 1 == kPlacementAttempts) {
            throw std::runtime_error("Error: " + path + " keeps changing; not starting.");
        }
        clearStaleSegment(path);
    }
    // From here cleanup() unmaps and closes.
    segmentMapping_ = std::move(mapping);
    sharedData = segmentMapping_.as<SharedData>();
    segmentFd_.reset(file.release());
}

void ProducerSharedMemory::init(SharedData* data) {
    if (data == nullptr) {
        throw std::invalid_argument("Invalid shared data pointer");
    }
    pthread_mutexattr_t attributes;
    if (pthread_mutexattr_init(&attributes) != 0) {
        throw std::runtime_error("Failed to initialize mutex attributes");
    }
    // Robust as well as process-shared: a reader killed mid-copy must not
    // leave a mutex locked forever.
    if (pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED) != 0 ||
        pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST) != 0) {
        pthread_mutexattr_destroy(&attributes);
        throw std::runtime_error("Failed to set mutex attributes to process-shared");
    }
    pthread_mutex_t* const mutexes[] = {&data->rgbMutex.handle, &data->depthMutex.handle,
                                        &data->consumerMutex.handle, &data->imuFrameMutex.handle};
    for (pthread_mutex_t* mutex : mutexes) {
        if (pthread_mutex_init(mutex, &attributes) != 0) {
            pthread_mutexattr_destroy(&attributes);
            throw std::runtime_error("Failed to initialize one or more mutexes");
        }
    }
    if (pthread_mutexattr_destroy(&attributes) != 0) {
        throw std::runtime_error("Failed to destroy mutex attributes");
    }
    std::memset(&data->rgbFrame, 0, sizeof data->rgbFrame);
    std::memset(&data->depthFrame, 0, sizeof data->depthFrame);
    std::memset(&data->imuData, 0, sizeof data->imuData);
    std::memset(&data->rgbIntrinsic, 0, sizeof data->rgbIntrinsic);
    std::memset(&data->depthIntrinsic, 0, sizeof data->depthIntrinsic);
    std::memset(data->depthConsumers, 0, sizeof data->depthConsumers);
    std::memset(data->colorConsumers, 0, sizeof data->colorConsumers);
}

void ProducerSharedMemory::removeName() const {
    // Only while the name is still this segment: the lock is still held, so
    // no other producer can have replaced it with a live one unless someone
    // removed it by hand.
    struct stat named {};
    struct stat own {};
    if (segmentFd_.valid() && lstat(segmentPath().c_str(), &named) == 0 && fstat(segmentFd_.get(), &own) == 0 &&
        sameObject(named, own)) {
        shm_unlink(SHM_NAME);
    }
}

void ProducerSharedMemory::cleanup() {
    // The mutexes are left intact, not destroyed: readers that mapped the
    // segment before its name goes may still be copying under them, and
    // destroying a mutex another process holds leaves that holder unable to
    // unlock it and every later locker waiting forever. The memory goes away
    // with the last mapping.
    segmentMapping_.reset();
    sharedData = nullptr;
    if (segmentFd_.valid()) {
        removeName();
        segmentFd_.reset();
    }
    for (int i = 0; i < MAX_CONSUMERS; ++i) {
        if (semDepth[i] != nullptr) {
            ConsoleLine(STDOUT_FILENO) << "semdepth:" << i << "\r\n";
        }
        if (semColor[i] != nullptr) {
            ConsoleLine(STDOUT_FILENO) << "semColorBuff:" << i << "\r\n";
        }
    }
}

bool ProducerSharedMemory::takeLock(LockOutcome outcome, LockUse use, ConsoleLines* later) {
    if (outcome == LockOutcome::Acquired || outcome == LockOutcome::RecoveredFromDeadOwner) {
        return true;
    }
    LockReport& report = lockReports_[use];
    const LockUseText& text = kLockUseTexts[use];
    if (outcome == LockOutcome::Failed) {
        if (!report.unusableReported) {
            report.unusableReported = true;
            if (use == RgbUse || use == DepthUse) {
                frameMutexUnusable_.store(true);
                if (void (*handler)() = unusableHandler_.load()) {
                    handler();
                }
            }
            ConsoleLine(STDERR_FILENO, later) << "Error: " << text.mutex << " in the segment is not a usable mutex; "
                                              << text.unusable << " while it stays so.\n";
        }
        return false;
    }
    ++report.timeoutsSinceWarning;
    if (report.timeout.due(std::chrono::seconds(1))) {
        ConsoleLine(STDERR_FILENO, later) << "Warning: " << text.mutex << " held by another process for too long; "
                                          << report.timeoutsSinceWarning << " " << text.dropped
                                          << " since the last warning.\n";
        report.timeoutsSinceWarning = 0;
    }
    return false;
}

// Posts every known consumer of the stream whose previous post was taken.
// Runs under the frame mutex and, inside it, the registry mutex, so the
// health monitor can never close a handle while it is being posted. The
// registry wait is short: readers of the frame queue behind it.
void ProducerSharedMemory::postConsumers(bool colour, ConsoleLines& lines) {
    const StreamTarget target =
        colour ? colorTarget(sharedData, semColor) : depthTarget(sharedData, semDepth);
    PostHistory* history = colour ? colorPosts_ : depthPosts_;
    RegistryLock registryLock(sharedData, framePeriod());
    if (!takeLock(registryLock.outcome(), RegistryInPublish, &lines)) {
        return;
    }
    for (int i = 0; i < MAX_CONSUMERS; ++i) {
        sem_t* handle = target.handles[i];
        if (target.slots[i].occupied == 0 || handle == nullptr) {
            continue;
        }
        int value = 0;
        // An unreadable value counts as "not 0": no post.
        if (sem_getvalue(handle, &value) != 0 || value != 0) {
            continue;
        }
        target.slots[i].missedChecks = 0;
        // Value 0 after a post of ours: the consumer took it.
        history[i] = history[i] == PostHistory::None ? PostHistory::Posted : PostHistory::Taken;
        if (sem_post(handle) == -1) {
            ConsoleLine(STDERR_FILENO, &lines) << target.postFailure << std::strerror(errno) << '\n';
        }
    }
}

// Waits for the frame mutex about two frame periods at most: a process that
// stopped or died while holding it costs dropped frames, never the capture.
void ProducerSharedMemory::publish(bool colour, const void* payload, unsigned int length,
                                   unsigned long steadyTimeUs, unsigned long systemTimeUs) {
    const StreamTarget target =
        colour ? colorTarget(sharedData, semColor) : depthTarget(sharedData, semDepth);
    if (length > target.capacity) {
        ConsoleLine(STDERR_FILENO) << "Error: " << target.streamName << " frame of " << length << " bytes exceeds the "
                                   << target.capacity << "-byte capacity; frame not published.\n";
        return;
    }
    // Lines from under the frame mutex wait until it is released: readers
    // queue behind it.
    ConsoleLines lines;
    SegmentLock frameLock(target.mutex, {target.size, target.steadyTimeUs, target.systemTimeUs}, 2 * framePeriod());
    if (!takeLock(frameLock.outcome(), colour ? RgbUse : DepthUse)) {
        return;
    }
    std::memcpy(target.data, payload, length);
    *target.size = length;
    // Both clocks travel bit for bit between the unsigned arguments and the
    // signed fields.
    std::memcpy(target.steadyTimeUs, &steadyTimeUs, sizeof *target.steadyTimeUs);
    std::memcpy(target.systemTimeUs, &systemTimeUs, sizeof *target.systemTimeUs);
    postConsumers(colour, lines);
}

template <typename Record>
void ProducerSharedMemory::copyRecordIn(LockUse use, pthread_mutex_t* mutex, Record& destination,
                                        const Record& source, FrameHeaderRef frame) {
    SegmentLock lock(mutex, frame, 2 * framePeriod());
    if (takeLock(lock.outcome(), use)) {
        std::memcpy(&destination, &source, sizeof destination);
    }
}

void ProducerSharedMemory::updateRGBFrame(const void* payload, unsigned int length, unsigned long steadyTimeUs,
                                          unsigned long systemTimeUs) {
    if (sharedData != nullptr) {
        publish(true, payload, length, steadyTimeUs, systemTimeUs);
    }
}

void ProducerSharedMemory::updateDepthFrame(const void* payload, unsigned int length, unsigned long steadyTimeUs,
                                            unsigned long systemTimeUs) {
    if (sharedData != nullptr) {
        publish(false, payload, length, steadyTimeUs, systemTimeUs);
    }
}

void ProducerSharedMemory::updateRGBFrame(const RgbFrame& frame) {
    if (sharedData != nullptr) {
        copyRecordIn(RgbUse, &sharedData->rgbMutex.handle, sharedData->rgbFrame, frame, headerOf(sharedData->rgbFrame));
    }
}

void ProducerSharedMemory::updateDepthFrame(const DepthFrame& frame) {
    if (sharedData != nullptr) {
        copyRecordIn(DepthUse, &sharedData->depthMutex.handle, sharedData->depthFrame, frame,
                     headerOf(sharedData->depthFrame));
    }
}

void ProducerSharedMemory::updateIMU(const IMUData& imu) {
    if (sharedData != nullptr) {
        copyRecordIn(ImuUse, &sharedData->imuFrameMutex.handle, sharedData->imuData, imu);
    }
}

void ProducerSharedMemory::setRgbIntrinsic(const CameraIntrinsic& intrinsic) {
    if (sharedData != nullptr) {
        copyRecordIn(RgbUse, &sharedData->rgbMutex.handle, sharedData->rgbIntrinsic, intrinsic,
                     headerOf(sharedData->rgbFrame));
    }
}

void ProducerSharedMemory::setDepthIntrinsic(const CameraIntrinsic& intrinsic) {
    if (sharedData != nullptr) {
        copyRecordIn(DepthUse, &sharedData->depthMutex.handle, sharedData->depthIntrinsic, intrinsic,
                     headerOf(sharedData->depthFrame));
    }
}

namespace {

// A mutex that cannot be taken in time leaves the copy zero.
CameraIntrinsic copyIntrinsicOut(pthread_mutex_t* mutex, const CameraIntrinsic& source, FrameHeaderRef frame,
                                 std::chrono::microseconds timeout) {
    CameraIntrinsic copy{};
    SegmentLock lock(mutex, frame, timeout);
    if (lock.held()) {
        copy = source;
    }
    return copy;
}

}  // namespace

void ProducerSharedMemory::printCameraIntrinsics() const {
    if (sharedData == nullptr) {
        std::cerr << "Shared memory not initialized." << std::endl;
        return;
    }
    const auto timeout = 2 * framePeriod();
    const CameraIntrinsic rgb = copyIntrinsicOut(&sharedData->rgbMutex.handle, sharedData->rgbIntrinsic,
                                                 headerOf(sharedData->rgbFrame), timeout);
    const CameraIntrinsic depth = copyIntrinsicOut(&sharedData->depthMutex.handle, sharedData->depthIntrinsic,
                                                   headerOf(sharedData->depthFrame), timeout);
    char text[INTRINSICS_TEXT_SIZE];
    formatCameraIntrinsics(rgb, depth, text);
    std::cout << text << std::flush;
}
