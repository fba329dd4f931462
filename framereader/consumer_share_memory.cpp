#include "consumer_share_memory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <stdexcept>

#include "registry.h"
#include "scoped_fd.h"
#include "intrinsics_print.h"
#include "segment_lock.h"

namespace {

constexpr std::size_t kPageSize = 4096;

// Faults in every page of a region before a mutex is taken, so the copy
// under the mutex does not pay for page faults (on a virtual machine with
// shadow paging, each costs far more than the copy of the page itself).
void touchPagesForRead(const void* region, std::size_t length) {
    const auto* bytes = static_cast<const volatile unsigned char*>(region);
    for (std::size_t offset = 0; offset < length; offset += kPageSize) {
        (void)bytes[offset];
    }
    (void)bytes[length - 1];
}

void touchPagesForWrite(void* region, std::size_t length) {
    auto* bytes = static_cast<volatile unsigned char*>(region);
    for (std::size_t offset = 0; offset < length; offset += kPageSize) {
        bytes[offset] = 0;
    }
    bytes[length - 1] = 0;
}

// Copies a whole frame record out under its mutex. If the mutex cannot be
// held the copy is an empty frame rather than possibly torn bytes.
template <typename Frame>
void copyFrameOut(pthread_mutex_t* mutex, Frame& source, Frame* destination) {
    touchPagesForRead(&source, sizeof(Frame));
    touchPagesForWrite(destination, sizeof(Frame));
    SegmentLock lock(mutex, &source.size);
    if (lock.held()) {
        std::memcpy(destination, &source, sizeof(Frame));
    } else {
        destination->size = 0;
        destination->steadyTimeUs = 0;
        destination->systemTimeUs = 0;
    }
}

template <typename Record>
Record copyRecordOut(pthread_mutex_t* mutex, const Record& source, std::uint32_t* frameSize = nullptr) {
    Record copy;
    std::memset(&copy, 0, sizeof copy);
    SegmentLock lock(mutex, frameSize);
    if (lock.held()) {
        std::memcpy(&copy, &source, sizeof copy);
    }
    return copy;
}

void checkMutex(pthread_mutex_t* mutex, std::uint32_t* frameSize, const char* name) {
    const LockOutcome outcome = lockSegmentMutex(mutex);
    if (outcome == LockOutcome::Failed) {
        std::cerr << "Warning: Failed to lock " << name << " mutex during initialization." << std::endl;
        return;
    }
    if (outcome == LockOutcome::RecoveredFromDeadOwner && frameSize != nullptr) {
        *frameSize = 0;
    }
    if (pthread_mutex_unlock(mutex) != 0) {
        std::cerr << "Warning: Failed to unlock " << name << " mutex during initialization." << std::endl;
    }
}

// Leaves errno at the cause, for callers that tell failures apart.
void warnMapFailure(int error) {
    std::cerr << "Warning: Failed to map shared memory. Error: " << std::strerror(error) << std::endl;
    errno = error;
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
      depthBuffer(nullptr) {}

ConsumerSharedMemory::~ConsumerSharedMemory() { cleanup(); }

void ConsumerSharedMemory::initialize() {
    ScopedFd fd(shm_open(SHM_NAME, O_RDWR, 0666));
    if (!fd.valid()) {
        const int error = errno;
        std::cerr << "Warning: Failed to open shared memory. Error: " << std::strerror(error) << std::endl;
        errno = error;
        throw std::runtime_error("Quit initialize");
    }
    // Mapping an object shorter than the layout would succeed, and the first
    // read past its end would kill this process with SIGBUS.
    struct stat info;
    if (fstat(fd.get(), &info) != 0) {
        warnMapFailure(errno);
        return;
    }
    if (info.st_size != static_cast<off_t>(sizeof(SharedData))) {
        warnMapFailure(EINVAL);
        return;
    }
    void* mapping = mmap(nullptr, sizeof(SharedData), PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
    if (mapping == MAP_FAILED) {
        warnMapFailure(errno);
        return;
    }
    sharedData = static_cast<SharedData*>(mapping);
    init(sharedData);

    rgbBuffer = static_cast<RgbFrame*>(std::malloc(sizeof(RgbFrame)));
    depthBuffer = static_cast<DepthFrame*>(std::malloc(sizeof(DepthFrame)));
    if (rgbBuffer == nullptr || depthBuffer == nullptr) {
        // Without both private copies there is nothing to read into: give
        // everything back and stay unmapped.
        std::cerr << "Warning: Failed to allocate frame buffers. Error: " << std::strerror(ENOMEM) << std::endl;
        std::free(rgbBuffer);
        std::free(depthBuffer);
        rgbBuffer = nullptr;
        depthBuffer = nullptr;
        munmap(sharedData, sizeof(SharedData));
        sharedData = nullptr;
        errno = ENOMEM;
        return;
    }
    std::cout << "Consumer successfully initialized and mapped shared memory." << std::endl;
}

void ConsumerSharedMemory::init(SharedData* data) {
    if (data == nullptr) {
        std::cerr << "Warning: Invalid shared data pointer provided." << std::endl;
        return;
    }
    checkMutex(&data->rgbMutex.handle, &data->rgbFrame.size, "rgb");
    checkMutex(&data->depthMutex.handle, &data->depthFrame.size, "depth");
    checkMutex(&data->imuFrameMutex.handle, nullptr, "imu frame");
    std::cout << "Consumer successfully initialized and verified existing mutexes." << std::endl;
}

const RgbFrame* ConsumerSharedMemory::getRGBFrame() const {
    if (semColor != nullptr) {
        const timespec deadline = getTimeout(1);
        if (sem_timedwait(semColor, &deadline) == -1) {
            const int error = errno;
            std::cerr << "[SEM_COLOR] Waiting for semColor timed out." << "Error: " << std::strerror(error)
                      << std::endl;
        }
    }
    if (sharedData != nullptr) {
        copyFrameOut(&sharedData->rgbMutex.handle, sharedData->rgbFrame, rgbBuffer);
    }
    return rgbBuffer;
}

const DepthFrame* ConsumerSharedMemory::getDepthFrame() const {
    if (semDepth != nullptr) {
        sem_wait(semDepth);
    }
    if (sharedData != nullptr) {
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
    return copyRecordOut(&sharedData->rgbMutex.handle, sharedData->rgbIntrinsic, &sharedData->rgbFrame.size);
}

CameraIntrinsic ConsumerSharedMemory::getDepthIntrinsic() const {
    if (sharedData == nullptr) {
        return CameraIntrinsic{};
    }
    return copyRecordOut(&sharedData->depthMutex.handle, sharedData->depthIntrinsic, &sharedData->depthFrame.size);
}

void ConsumerSharedMemory::printCameraIntrinsics() const {
    if (sharedData == nullptr) {
        std::cerr << "Shared memory not initialized." << std::endl;
        return;
    }
    std::cout << "RGB Camera Intrinsics:" << std::endl;
    printIntrinsicValues(getRgbIntrinsic());
    std::cout << "\nDepth Camera Intrinsics:" << std::endl;
    printIntrinsicValues(getDepthIntrinsic());
}

namespace {

std::uint8_t registerConsumer(SharedData* data, pid_t pid, const RegistryKind& kind) {
    // A second registration of the same kind keeps the slot it already has.
    if (*kind.handle != nullptr) {
        RegistryLock lock(data);
        for (int i = 0; i < MAX_CONSUMERS; ++i) {
            if (kind.slots[i].occupied != 0 && kind.slots[i].pid == pid) {
                return static_cast<std::uint8_t>(i);
            }
        }
    }
    RegistryLock lock(data);
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
    sem_t* handle = sem_open(name.c_str(), O_CREAT | O_EXCL, 0644, 0);
    if (handle == SEM_FAILED) {
        slot.occupied = 0;
        throw std::runtime_error("Failed to create semaphore for consumer.");
    }
    if (*kind.handle != nullptr) {
        // The slot this object held was retired by the producer: drop the
        // old handle rather than leak it.
        sem_close(*kind.handle);
    }
    *kind.handle = handle;
    slot.pid = pid;
    if (kind.announce) {
        printf("occupied:%ld pid:%d\r\n", static_cast<long>(chosen), pid);
        fflush(stdout);
    }
    return static_cast<std::uint8_t>(chosen);
}

}  // namespace

std::uint8_t ConsumerSharedMemory::registerConsumerRGB() {
    if (sharedData == nullptr) {
        std::cerr << "Shared memory not initialized." << std::endl;
        return 0;
    }
    return registerConsumer(sharedData, pid, {sharedData->colorConsumers, SEM_COLOR, &semColor, true});
}

std::uint8_t ConsumerSharedMemory::registerConsumerDepth() {
    if (sharedData == nullptr) {
        std::cerr << "Shared memory not initialized." << std::endl;
        return 0;
    }
    return registerConsumer(sharedData, pid, {sharedData->depthConsumers, SEM_DEPTH, &semDepth, false});
}

void ConsumerSharedMemory::cleanup() {
    if (sharedData != nullptr) {
        if (munmap(sharedData, sizeof(SharedData)) == -1) {
            std::cerr << "Warning: Failed to unmap shared memory. Error: " << std::strerror(errno) << std::endl;
        }
        sharedData = nullptr;
    }
    std::free(rgbBuffer);
    rgbBuffer = nullptr;
    std::free(depthBuffer);
    depthBuffer = nullptr;
    if (semDepth != nullptr) {
        if (sem_close(semDepth) == -1) {
            std::cerr << "Warning: Failed to close depth semaphore. Error: " << std::strerror(errno) << std::endl;
        }
        semDepth = nullptr;
    }
    if (semColor != nullptr) {
        if (sem_close(semColor) == -1) {
            std::cerr << "Warning: Failed to close color semaphore. Error: " << std::strerror(errno) << std::endl;
        }
        semColor = nullptr;
    }
    std::cout << "Consumer successfully cleaned up resources." << std::endl;
}
