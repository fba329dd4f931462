#include "consumer_share_memory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "console_line.h"
#include "intrinsics_print.h"
#include "registry.h"
#include "scoped_fd.h"
#include "segment_copy.h"
#include "segment_lock.h"
#include "segment_trust.h"
#include "shm_paths.h"

namespace {

// Copies a frame record out under its mutex: the header fields and the
// announced payload, the size bounded by the capacity. If the mutex cannot
// be held the copy is an empty frame rather than possibly torn bytes.
template <typename Frame>
void copyFrameOut(pthread_mutex_t* mutex, Frame& source, Frame* destination) {
    constexpr std::size_t kHeaderOffset = offsetof(Frame, size);
    constexpr std::size_t kHeaderLength = sizeof(Frame) - kHeaderOffset;
    const std::uint32_t hint = frameSizeHint(&source.size, sizeof source.data);
    prefaultForRead(source.data, hint);
    prefaultForWrite(destination->data, hint);
    warmTranslations(source.data, destination->data, hint);
    SegmentLock lock(mutex, headerOf(source), kRecordLockBound);
    if (lock.held()) {
        const std::size_t length = std::min<std::size_t>(source.size, sizeof source.data);
        std::memcpy(destination->data, source.data, length);
        std::memcpy(reinterpret_cast<unsigned char*>(destination) + kHeaderOffset,
                    reinterpret_cast<const unsigned char*>(&source) + kHeaderOffset, kHeaderLength);
    } else {
        destination->size = 0;
        destination->steadyTimeUs = 0;
        destination->systemTimeUs = 0;
    }
}

template <typename Record>
Record copyRecordOut(pthread_mutex_t* mutex, const Record& source, FrameHeaderRef frame = {}) {
    Record copy;
    std::memset(&copy, 0, sizeof copy);
    SegmentLock lock(mutex, frame, kRecordLockBound);
    if (lock.held()) {
        std::memcpy(&copy, &source, sizeof copy);
    }
    return copy;
}

// Bounded: a mutex held by a stopped process, or one this reader does not
// use, must not hold up the reading of the others.
void checkMutex(pthread_mutex_t* mutex, FrameHeaderRef frame, const char* name) {
    const LockOutcome outcome = lockSegmentMutex(mutex, kVerifyLockBound);
    if (outcome == LockOutcome::Failed || outcome == LockOutcome::TimedOut) {
        writeConsoleLine(STDERR_FILENO, "Warning: Failed to lock %s mutex during initialization.\n", name);
        return;
    }
    if (outcome == LockOutcome::RecoveredFromDeadOwner) {
        frame.empty();
    }
    if (pthread_mutex_unlock(mutex) != 0) {
        writeConsoleLine(STDERR_FILENO, "Warning: Failed to unlock %s mutex during initialization.\n", name);
    }
}

// Registration waits for consumerMutex no longer than a copy waits for its
// record's: a process stopped while holding it must not freeze a caller.
void requireHeld(const RegistryLock& lock) {
    if (lock.outcome() == LockOutcome::TimedOut) {
        throw std::runtime_error("Registry is busy; try again.");
    }
    if (!lock.held()) {
        throw std::runtime_error("Registry lock is unusable.");
    }
}

// Returns the cause, for callers that tell failures apart.
int warnMapFailure(int error) {
    writeConsoleLine(STDERR_FILENO, "Warning: Failed to map shared memory. Error: %s\n", std::strerror(error));
    return error;
}

struct RegistryKind {
    ConsumerSlot* slots;
    const char* prefix;
    sem_t** handle;
    bool announce;
};

}  // namespace

timespec getTimeout(int seconds) {
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += static_cast<std::int64_t>(seconds);
    return deadline;
}

ConsumerSharedMemory::ConsumerSharedMemory()
    : sharedData(nullptr),
      pid(getpid()),
      semDepth(nullptr),
      semColor(nullptr),
      rgbBuffer(nullptr),
      depthBuffer(nullptr),
      segmentGroup(static_cast<gid_t>(-1)) {}

ConsumerSharedMemory::~ConsumerSharedMemory() { cleanup(); }

int ConsumerSharedMemory::mapSegment(bool& openFailed) {
    openFailed = false;
    // No symbolic link is followed (glibc adds O_NOFOLLOW too). Kept above
    // the standard descriptors: a line for a caller that closed 1 or 2 must
    // never land in the segment.
    ScopedFd fd;
    struct stat info;
    if (const int error = openTrustedSegment(O_RDWR, fd, info)) {
        if (!fd.valid()) {
            writeConsoleLine(STDERR_FILENO, "Warning: Failed to open shared memory. Error: %s\n", std::strerror(error));
            openFailed = true;
            return error;
        }
        return warnMapFailure(error);
    }
    ScopedMapping mapping(mmap(nullptr, sizeof(SharedData), PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0),
                          sizeof(SharedData));
    if (!mapping.valid()) {
        return warnMapFailure(errno);
    }
    segmentGroup = info.st_gid;
    segmentMapping_ = std::move(mapping);
    sharedData = segmentMapping_.as<SharedData>();
    init(sharedData);
    return 0;
}

void ConsumerSharedMemory::initialize() {
    bool openFailed = false;
    const int error = mapSegment(openFailed);
    if (openFailed) {
        errno = error;
        throw std::runtime_error("Quit initialize");
    }
    if (error != 0) {
        errno = error;
        return;
    }
    std::free(rgbBuffer);  // an earlier initialize's copies
    std::free(depthBuffer);
    rgbBuffer = static_cast<RgbFrame*>(std::malloc(sizeof(RgbFrame)));
    depthBuffer = static_cast<DepthFrame*>(std::malloc(sizeof(DepthFrame)));
    if (rgbBuffer == nullptr || depthBuffer == nullptr) {
        // Without both private copies there is nothing to read into: give
        // everything back and stay unmapped.
        writeConsoleLine(STDERR_FILENO, "Warning: Failed to allocate frame buffers. Error: %s\n",
                         std::strerror(ENOMEM));
        std::free(rgbBuffer);
        std::free(depthBuffer);
        rgbBuffer = nullptr;
        depthBuffer = nullptr;
        segmentMapping_.reset();
        sharedData = nullptr;
        errno = ENOMEM;
        return;
    }
    writeConsoleLine(STDOUT_FILENO, "Consumer successfully initialized and mapped shared memory.\n");
}

int ConsumerSharedMemory::attach() {
    bool openFailed = false;
    const int error = mapSegment(openFailed);
    if (error == 0) {
        writeConsoleLine(STDOUT_FILENO, "Consumer successfully initialized and mapped shared memory.\n");
    }
    return error;
}

void ConsumerSharedMemory::init(SharedData* data) {
    if (data == nullptr) {
        writeConsoleLine(STDERR_FILENO, "Warning: Invalid shared data pointer provided.\n");
        return;
    }
    checkMutex(&data->rgbMutex.handle, headerOf(data->rgbFrame), "rgb");
    checkMutex(&data->depthMutex.handle, headerOf(data->depthFrame), "depth");
    checkMutex(&data->imuFrameMutex.handle, {}, "imu frame");
    writeConsoleLine(STDOUT_FILENO, "Consumer successfully initialized and verified existing mutexes.\n");
}

const RgbFrame* ConsumerSharedMemory::getRGBFrame() const {
    if (semColor != nullptr) {
        const timespec deadline = getTimeout(1);
        if (sem_timedwait(semColor, &deadline) == -1) {
            const int error = errno;
            writeConsoleLine(STDERR_FILENO, "[SEM_COLOR] Waiting for semColor timed out.Error: %s\n",
                             std::strerror(error));
        }
    }
    if (sharedData != nullptr && rgbBuffer != nullptr) {
        copyFrameOut(&sharedData->rgbMutex.handle, sharedData->rgbFrame, rgbBuffer);
    }
    return rgbBuffer;
}

const DepthFrame* ConsumerSharedMemory::getDepthFrame() const {
    if (semDepth != nullptr) {
        sem_wait(semDepth);
    }
    if (sharedData != nullptr && depthBuffer != nullptr) {
        copyFrameOut(&sharedData->depthMutex.handle, sharedData->depthFrame, depthBuffer);
    }
    return depthBuffer;
}

IMUData ConsumerSharedMemory::getIMUData() const {
    if (sharedData == nullptr) {
        return IMUData{};
    }
    return copyRecordOut(&sharedData->imuFrameMutex.handle, sharedData->imuData);
}

CameraIntrinsic ConsumerSharedMemory::getRgbIntrinsic() const {
    if (sharedData == nullptr) {
        return CameraIntrinsic{};
    }
    return copyRecordOut(&sharedData->rgbMutex.handle, sharedData->rgbIntrinsic, headerOf(sharedData->rgbFrame));
}

CameraIntrinsic ConsumerSharedMemory::getDepthIntrinsic() const {
    if (sharedData == nullptr) {
        return CameraIntrinsic{};
    }
    return copyRecordOut(&sharedData->depthMutex.handle, sharedData->depthIntrinsic, headerOf(sharedData->depthFrame));
}

void ConsumerSharedMemory::printCameraIntrinsics() const {
    if (sharedData == nullptr) {
        writeConsoleLine(STDERR_FILENO, "Shared memory not initialized.\n");
        return;
    }
    char text[INTRINSICS_TEXT_SIZE];
    formatCameraIntrinsics(getRgbIntrinsic(), getDepthIntrinsic(), text);
    writeConsoleLine(STDOUT_FILENO, "%s", text);
}

namespace {

// A semaphore is created with the process's umask applied and its own
// group; the producer may run as another user of the segment's group, so it
// gets owner-and-group access and that group. The owner stays. Not fatal: a
// consumer outside that group keeps its own group, and the producer cannot
// post it (its waits then time out, as for a producer that stopped).
void shareWithSegmentGroup(const std::string& name, gid_t group) {
    const std::string path = semaphorePath(name);
    ScopedFd fd(aboveStandardDescriptors(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC)));
    struct stat info;
    int error = 0;
    if (!fd.valid() || fstat(fd.get(), &info) != 0) {
        error = errno;
    } else {
        if (fchmod(fd.get(), 0660) != 0) {
            error = errno;
        }
        if (group != static_cast<gid_t>(-1) && info.st_gid != group &&
            fchown(fd.get(), static_cast<uid_t>(-1), group) != 0) {
            error = errno;
        }
    }
    if (error != 0) {
        writeConsoleLine(STDERR_FILENO, "Warning: Failed to share semaphore %s with the segment's group. Error: %s\n",
                         name.c_str(), std::strerror(error));
    }
}

// Any user can create a name in /dev/shm, and its sticky bit keeps this
// consumer from removing another user's file: a name taken ahead of it
// makes registration fail. Says whose file stands in the way.
void reportUncreatableSemaphore(const std::string& name, int error) {
    const std::string path = semaphorePath(name);
    struct stat info;
    if (error == EEXIST && lstat(path.c_str(), &info) == 0) {
        writeConsoleLine(STDERR_FILENO,
                         "Warning: %s already exists and belongs to user %lu; only that user or root can remove it.\n",
                         path.c_str(), static_cast<unsigned long>(info.st_uid));
    } else {
        writeConsoleLine(STDERR_FILENO, "Warning: Cannot create %s. Error: %s\n", path.c_str(), std::strerror(error));
    }
}

std::uint8_t registerConsumer(SharedData* data, pid_t pid, gid_t group, const RegistryKind& kind) {
    // A second registration of the same kind keeps the slot it already has.
    if (*kind.handle != nullptr) {
        RegistryLock lock(data, kRecordLockBound);
        requireHeld(lock);
        for (int i = 0; i < MAX_CONSUMERS; ++i) {
            if (kind.slots[i].occupied != 0 && kind.slots[i].pid == pid) {
                return static_cast<std::uint8_t>(i);
            }
        }
    }
    RegistryLock lock(data, kRecordLockBound);
    requireHeld(lock);
    int chosen = -1;
    for (int i = 0; i < MAX_CONSUMERS; ++i) {
        if (kind.slots[i].occupied == 0) {
            chosen = i;
            break;
        }
    }
    if (chosen < 0) {
        throw std::runtime_error("No available slots for new consumers.");
    }
    ConsumerSlot& slot = kind.slots[chosen];
    slot.occupied = 1;
    const std::string name = consumerSemaphoreName(kind.prefix, pid);
    sem_unlink(name.c_str());
    sem_t* handle = sem_open(name.c_str(), O_CREAT | O_EXCL, 0660, 0);
    if (handle == SEM_FAILED) {
        slot.occupied = 0;
        reportUncreatableSemaphore(name, errno);
        throw std::runtime_error("Failed to create semaphore for consumer.");
    }
    shareWithSegmentGroup(name, group);
    if (*kind.handle != nullptr) {
        // The slot this object held was retired by the producer: drop the
        // old handle rather than leak it.
        sem_close(*kind.handle);
    }
    *kind.handle = handle;
    slot.pid = pid;
    if (kind.announce) {
        writeConsoleLine(STDOUT_FILENO, "occupied:%ld pid:%d\r\n", static_cast<long>(chosen), pid);
    }
    return static_cast<std::uint8_t>(chosen);
}

}  // namespace

std::uint8_t ConsumerSharedMemory::registerConsumerRGB() {
    if (sharedData == nullptr) {
        writeConsoleLine(STDERR_FILENO, "Shared memory not initialized.\n");
        return 0;
    }
    return registerConsumer(sharedData, pid, segmentGroup, {sharedData->colorConsumers, SEM_COLOR, &semColor, true});
}

std::uint8_t ConsumerSharedMemory::registerConsumerDepth() {
    if (sharedData == nullptr) {
        writeConsoleLine(STDERR_FILENO, "Shared memory not initialized.\n");
        return 0;
    }
    return registerConsumer(sharedData, pid, segmentGroup, {sharedData->depthConsumers, SEM_DEPTH, &semDepth, false});
}

void ConsumerSharedMemory::cleanup() {
    if (segmentMapping_.valid() && segmentMapping_.unmap() == -1) {
        writeConsoleLine(STDERR_FILENO, "Warning: Failed to unmap shared memory. Error: %s\n", std::strerror(errno));
    }
    sharedData = nullptr;
    std::free(rgbBuffer);
    rgbBuffer = nullptr;
    std::free(depthBuffer);
    depthBuffer = nullptr;
    if (semDepth != nullptr) {
        if (sem_close(semDepth) == -1) {
            writeConsoleLine(STDERR_FILENO, "Warning: Failed to close depth semaphore. Error: %s\n",
                             std::strerror(errno));
        }
        semDepth = nullptr;
    }
    if (semColor != nullptr) {
        if (sem_close(semColor) == -1) {
            writeConsoleLine(STDERR_FILENO, "Warning: Failed to close color semaphore. Error: %s\n",
                             std::strerror(errno));
        }
        semColor = nullptr;
    }
    writeConsoleLine(STDOUT_FILENO, "Consumer successfully cleaned up resources.\n");
}
