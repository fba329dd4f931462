// The producer's half of the registry protocol: discovers registered
// consumers, watches whether they take their posts and retires those that
// stop.
#include <fcntl.h>
#include <semaphore.h>

#include <cerrno>
#include <cstring>
#include <iostream>

#include "producer_share_memory.h"
#include "registry.h"

namespace {

// A consumer is retired on the pass that finds its post pending for the
// 30th time in a row.
constexpr std::uint64_t kMaxMissedChecks = 29;

enum class Stream { Color, Depth };

void reportOpened(Stream stream, std::uint32_t pid, sem_t* handle) {
    if (stream == Stream::Color) {
        std::cout << "[SEM_COLOR] Info: New consumer with PID " << pid << " is online " << static_cast<void*>(handle)
                  << std::endl;
    } else {
        std::cout << "[SEM_DEPTH] info: New consumer with PID " << pid << "is online " << std::endl;
    }
}

void reportOpenFailure(Stream stream, std::uint32_t pid, int error) {
    std::cerr << (stream == Stream::Color
                      ? "[SEM_COLOR] Warning:Failed to open existing semaphore for consumer with PID "
                      : "[SEM_DEPTH] Warning: Failed to open existing semaphore for consumer with PID ")
              << pid << ". Error: " << std::strerror(error) << std::endl;
}

void reportRetired(Stream stream, unsigned index, std::uint32_t pid) {
    if (stream == Stream::Color) {
        std::cout << "[SEM_COLOR] Info: Consumer " << index << " with PID " << pid
                  << " is considered offline due to excessive unresponsiveness." << std::endl;
    } else {
        std::cout << "[SEM_DEPTH] Consumer " << index << " is considered offline due to excessive unresponsiveness."
                  << std::endl;
    }
}

void checkSlot(Stream stream, unsigned index, ConsumerSlot& slot, sem_t*& handle) {
    if (slot.occupied == 0) {
        return;
    }
    const char* prefix = stream == Stream::Color ? SEM_COLOR : SEM_DEPTH;
    const auto pid = static_cast<std::uint32_t>(slot.pid);
    if (handle == nullptr) {
        sem_t* opened = sem_open(consumerSemaphoreName(prefix, pid).c_str(), O_RDWR);
        if (opened == SEM_FAILED) {
            reportOpenFailure(stream, pid, errno);
            return;
        }
        handle = opened;
        reportOpened(stream, pid, opened);
        return;  // sampled from the next pass on
    }

    int value = 0;
    if (sem_getvalue(handle, &value) != 0) {
        return;  // nothing was learnt: the count stays as it is
    }
    if (value <= 0) {
        slot.missedChecks = 0;
        if (stream == Stream::Depth) {
            std::cout << "[SEM_DEPTH] info: consumer with PID " << pid << "is online " << std::endl;
        }
    } else {
        ++slot.missedChecks;
    }
    if (slot.missedChecks > kMaxMissedChecks) {
        sem_close(handle);
        sem_unlink(consumerSemaphoreName(prefix, pid).c_str());
        reportRetired(stream, index, pid);
        slot.occupied = 0;
        slot.pid = 0;
        slot.missedChecks = 0;
        handle = nullptr;
    }
}

}  // namespace

void ProducerSharedMemory::checkConsumerHealth() {
    if (sharedData == nullptr) {
        return;
    }
    RegistryLock lock(sharedData);
    if (!lock.held()) {
        return;
    }
    for (unsigned i = 0; i < MAX_CONSUMERS; ++i) {
        checkSlot(Stream::Color, i, sharedData->colorConsumers[i], semColor[i]);
        checkSlot(Stream::Depth, i, sharedData->depthConsumers[i], semDepth[i]);
    }
}
