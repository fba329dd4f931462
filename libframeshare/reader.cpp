// A lasting reader of the colour stream: the segment stays mapped between
// calls, and next() waits for the producer's next frame by its published
// timestamps instead of polling the mutex or being posted a semaphore (the
// producer posts none unless it runs the health monitor).
#include "frameshare/reader.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

#include "jpeg_dimensions.h"
#include "scoped_fd.h"
#include "segment_copy.h"
#include "segment_lock.h"
#include "segment_trust.h"
#include "shared_data.h"
#include "shm_paths.h"

namespace {

constexpr std::int64_t kForever = std::numeric_limits<std::int64_t>::max();
// While a frame is due: how often its timestamp is read, and from how long
// before the shortest interval seen is up; before that, from half of it on,
// how often it is read.
constexpr std::int64_t kDueStepUs = 250;
constexpr std::int64_t kDueWindowUs = 2000;
constexpr std::int64_t kNearStepUs = 1000;
// While no frame is due (period not known yet, or the producer is late by
// several periods): how often the timestamp is read.
constexpr std::int64_t kIdleStepUs = 1000;
// How often the name is looked at while frames are overdue or no segment is
// mapped: a restarted producer is found within this, well within a period.
constexpr std::int64_t kNameCheckUs = 10000;
// Looks closer together than this cannot miss a frame between them.
constexpr std::int64_t kWatchedGapUs = 2000;
// Intervals between consecutive frames this reader watched arrive.
constexpr int kIntervals = 9;

std::int64_t nowUs() noexcept {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

void sleepUntilUs(std::int64_t when) noexcept {
    timespec at{};
    at.tv_sec = static_cast<time_t>(when / 1000000);
    at.tv_nsec = static_cast<long>((when % 1000000) * 1000);
    // An interruption only ends this sleep early: the caller's loop looks again.
    (void)clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr);
}

}  // namespace

struct frameshare_reader {
    ScopedMapping mapping;  // of the object below, or none
    SharedData* segment() const noexcept { return mapping.as<SharedData>(); }
    dev_t device = 0;
    ino_t inode = 0;
    std::size_t faultedIn = 0;  // payload bytes of this mapping already faulted in
    char path[96] = {};         // the segment's name in /dev/shm

    std::uint8_t* buffer = nullptr;  // owned; the frame handed out lives here
    std::size_t capacity = 0;

    std::int64_t lastReturned = 0;  // steady_us of the last frame returned; 0: none from this segment
    std::int64_t newestSeen = 0;    // the newest timestamp read from this segment
    std::int64_t lastNameCheck = 0;

    std::int64_t intervals[kIntervals] = {};  // watched intervals, microseconds; 0: empty
    int nextInterval = 0;
};

namespace {

void detach(frameshare_reader* reader) noexcept {
    reader->mapping.reset();
}

// Maps the object now at the name, under the same checks as get_frame_data:
// a trusted regular file of the segment's exact size, never a symbolic link.
// On success it replaces the current mapping; on failure that stays.
int attach(frameshare_reader* reader) noexcept {
    ScopedFd fd;
    struct stat info;
    if (const int error = openTrustedSegment(O_RDWR, fd, info)) {
        return error;
    }
    ScopedMapping mapping(mmap(nullptr, sizeof(SharedData), PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0),
                          sizeof(SharedData));
    if (!mapping.valid()) {
        return errno;
    }
    reader->mapping = std::move(mapping);
    reader->device = info.st_dev;
    reader->inode = info.st_ino;
    reader->faultedIn = 0;
    // Another producer's segment: its frames are all new to this reader.
    reader->lastReturned = 0;
    reader->newestSeen = 0;
    return 0;
}

// Keeps the mapping while the name still names its object; otherwise
// follows the name: a new producer's segment, or none (0 or ENOENT, or the
// error that refuses the new object). *replaced tells a new mapping.
int followName(frameshare_reader* reader, std::int64_t now, bool* replaced) noexcept {
    reader->lastNameCheck = now;
    *replaced = false;
    struct stat named;
    if (reader->segment() != nullptr && lstat(reader->path, &named) == 0 && named.st_dev == reader->device &&
        named.st_ino == reader->inode) {
        return 0;
    }
    const int error = attach(reader);
    if (error == ENOENT) {
        detach(reader);  // the producer stopped and removed its name
    }
    *replaced = error == 0;
    return error;
}

void recordInterval(frameshare_reader* reader, std::int64_t interval) noexcept {
    if (interval <= 0 || interval > 10000000) {
        return;
    }
    reader->intervals[reader->nextInterval] = interval;
    reader->nextInterval = (reader->nextInterval + 1) % kIntervals;
}

// The producer's period (median of the watched intervals) and the shortest
// of them, which bounds how early the next frame can come; 0 while unknown.
void periodEstimate(const frameshare_reader* reader, std::int64_t* period, std::int64_t* shortest) noexcept {
    std::int64_t known[kIntervals];
    int count = 0;
    for (std::int64_t interval : reader->intervals) {
        if (interval > 0) {
            known[count++] = interval;
        }
    }
    if (count < 2) {
        *period = 0;
        *shortest = 0;
        return;
    }
    for (int i = 1; i < count; ++i) {  // nine at most: insertion sort
        for (int j = i; j > 0 && known[j - 1] > known[j]; --j) {
            std::swap(known[j - 1], known[j]);
        }
    }
    *period = known[count / 2];
    *shortest = known[0];
}

// Frames published between the last one returned and this one: none when
// this reader watched the previous one being replaced by it; otherwise
// estimated from the gap between their timestamps and the period.
std::uint32_t skippedBefore(const frameshare_reader* reader, std::int64_t stamp, bool watchedPrevious) noexcept {
    std::int64_t period = 0;
    std::int64_t shortest = 0;
    periodEstimate(reader, &period, &shortest);
    if (watchedPrevious || reader->lastReturned == 0 || period == 0 || stamp <= reader->lastReturned) {
        return 0;
    }
    const std::int64_t periods = (stamp - reader->lastReturned + period / 2) / period;
    return periods <= 1 ? 0 : static_cast<std::uint32_t>(std::min<std::int64_t>(periods - 1, UINT32_MAX));
}

// Room for `size` bytes, and some to spare for a frame that grows. Allocated
// and made present here, never under the mutex.
int reserve(frameshare_reader* reader, std::size_t size) noexcept {
    if (size <= reader->capacity) {
        return 0;
    }
    const std::size_t wanted = std::min<std::size_t>(size + size / 4 + 65536, RGB_FRAME_CAPACITY);
    auto* grown = static_cast<std::uint8_t*>(std::malloc(wanted));
    if (grown == nullptr) {
        return ENOMEM;
    }
    std::free(reader->buffer);
    reader->buffer = grown;
    reader->capacity = wanted;
    prefaultForWrite(grown, wanted);
    return 0;
}

// Copies the current frame under rgbMutex into the reader's buffer. EAGAIN:
// nothing to hand out (empty, or not newer than the last one returned when
// onlyNew is set).
int copyFrame(frameshare_reader* reader, bool onlyNew, bool watchedPrevious, frameshare_frame* out) noexcept {
    RgbFrame& frame = reader->segment()->rgbFrame;
    std::size_t hint = frameSizeHint(&frame.size, RGB_FRAME_CAPACITY);
    // A frame that grows between the hint and the lock gets room and one more
    // look; each look grows the buffer, which stops at the capacity.
    for (int attempt = 0; attempt < 4; ++attempt) {
        if (const int error = reserve(reader, hint); error != 0) {
            return error;
        }
        if (hint > reader->faultedIn) {
            prefaultForRead(frame.data, hint);
            reader->faultedIn = hint;
        }
        warmTranslations(frame.data, reader->buffer, hint);
        std::uint32_t size = 0;
        std::int64_t steady = 0;
        std::int64_t system = 0;
        {
            SegmentLock lock(&reader->segment()->rgbMutex.handle, headerOf(frame), kRecordLockBound);
            if (lock.outcome() == LockOutcome::TimedOut) {
                return ETIMEDOUT;
            }
            if (!lock.held()) {
                return ENOTRECOVERABLE;
            }
            size = frame.size;
            steady = frame.steadyTimeUs;
            system = frame.systemTimeUs;
            if (size == 0 || (onlyNew && steady == reader->lastReturned)) {
                return EAGAIN;
            }
            if (size > RGB_FRAME_CAPACITY) {
                reader->lastReturned = steady;
                return EOVERFLOW;
            }
            if (size > reader->capacity) {
                hint = size;
                continue;
            }
            std::memcpy(reader->buffer, frame.data, size);
        }
        int width = 0;
        int height = 0;
        if (!jpegDimensions(reader->buffer, size, &width, &height)) {
            width = 0;
            height = 0;
        }
        out->skipped = skippedBefore(reader, steady, watchedPrevious);
        out->data = reader->buffer;
        out->size = size;
        out->width = width;
        out->height = height;
        out->steady_us = steady;
        out->system_us = system;
        reader->lastReturned = steady;
        return 0;
    }
    return EAGAIN;
}

// When to look again. Until half the shortest interval since the newest
// frame has passed none can come: sleep. Then look every kNearStepUs, and
// every kDueStepUs from kDueWindowUs before the shortest interval is up,
// until the frame is several periods late; then every kIdleStepUs. A frame
// that comes early (after a late one) is still seen within kNearStepUs, and
// its short interval is learnt. Without a segment: every kNameCheckUs.
std::int64_t nextLook(const frameshare_reader* reader, std::int64_t now) noexcept {
    if (reader->segment() == nullptr) {
        return now + kNameCheckUs;
    }
    std::int64_t period = 0;
    std::int64_t shortest = 0;
    periodEstimate(reader, &period, &shortest);
    if (period == 0 || reader->newestSeen == 0) {
        return now + kIdleStepUs;
    }
    const std::int64_t since = now - reader->newestSeen;
    if (since < shortest / 2) {
        return reader->newestSeen + shortest / 2;
    }
    if (since < shortest - kDueWindowUs) {
        return std::min(now + kNearStepUs, reader->newestSeen + shortest - kDueWindowUs);
    }
    return since < 3 * period ? now + kDueStepUs : now + kIdleStepUs;
}

// True once the newest frame is late enough that its producer may have
// stopped or been replaced.
bool overdue(const frameshare_reader* reader, std::int64_t now) noexcept {
    std::int64_t period = 0;
    std::int64_t shortest = 0;
    periodEstimate(reader, &period, &shortest);
    return reader->segment() == nullptr || period == 0 || reader->newestSeen == 0 ||
           now > reader->newestSeen + period + period / 2;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int frameshare_reader_open(frameshare_reader** reader) {
    if (reader == nullptr) {
        return EINVAL;
    }
    auto* made = new (std::nothrow) frameshare_reader;
    if (made == nullptr) {
        return ENOMEM;
    }
    std::snprintf(made->path, sizeof made->path, "%s/%s", SHM_DIRECTORY, SHM_NAME);
    *reader = made;
    return 0;
}

__attribute__((visibility("default"))) int frameshare_reader_next(frameshare_reader* reader, int timeout_ms,
                                                                  frameshare_frame* frame) {
    if (reader == nullptr || frame == nullptr) {
        return EINVAL;
    }
    const std::int64_t start = nowUs();
    const std::int64_t deadline = timeout_ms < 0 ? kForever : start + static_cast<std::int64_t>(timeout_ms) * 1000;
    std::int64_t previousLook = -1;   // the timestamp read one look ago in this call
    std::int64_t previousLookAt = 0;
    std::int64_t sawReturnedAt = -1;  // when the last frame returned was last seen current
    for (std::int64_t now = start;; now = nowUs()) {
        if (overdue(reader, now) && (reader->segment() == nullptr || now - reader->lastNameCheck >= kNameCheckUs)) {
            bool replaced = false;
            const int error = followName(reader, now, &replaced);
            if (error != 0 && error != ENOENT) {
                return error;
            }
            if (replaced) {
                previousLook = -1;  // a new segment: the old timestamps say nothing about it
                sawReturnedAt = -1;
            }
        }
        if (reader->segment() != nullptr) {
            const std::int64_t stamp = publishedTimestampHint(&reader->segment()->rgbFrame.steadyTimeUs);
            // Only looks close together see one frame follow the other.
            if (previousLook > 0 && stamp != previousLook && now - previousLookAt <= kWatchedGapUs) {
                recordInterval(reader, stamp - previousLook);
            }
            previousLook = stamp;
            previousLookAt = now;
            reader->newestSeen = stamp;
            if (stamp != 0 && stamp != reader->lastReturned &&
                frameSizeHint(&reader->segment()->rgbFrame.size, RGB_FRAME_CAPACITY) > 0) {
                // Two publishes are an encoding apart at least: a look this
                // soon after the previous frame was current saw the next one.
                const bool watched = sawReturnedAt >= 0 && now - sawReturnedAt <= kWatchedGapUs;
                const int error = copyFrame(reader, true, watched, frame);
                if (error != EAGAIN) {
                    return error;
                }
            } else if (stamp == reader->lastReturned && stamp != 0) {
                sawReturnedAt = now;
            }
        }
        if (now >= deadline) {
            return reader->segment() != nullptr ? ETIMEDOUT : ENOENT;
        }
        sleepUntilUs(std::min(nextLook(reader, now), deadline));
    }
}

__attribute__((visibility("default"))) int frameshare_reader_latest(frameshare_reader* reader,
                                                                    frameshare_frame* frame) {
    if (reader == nullptr || frame == nullptr) {
        return EINVAL;
    }
    bool replaced = false;
    const int error = followName(reader, nowUs(), &replaced);
    if (error != 0) {
        return error;
    }
    reader->newestSeen = publishedTimestampHint(&reader->segment()->rgbFrame.steadyTimeUs);
    const bool same = reader->newestSeen != 0 && reader->newestSeen == reader->lastReturned;
    return copyFrame(reader, false, same, frame);
}

__attribute__((visibility("default"))) void frameshare_reader_close(frameshare_reader* reader) {
    if (reader == nullptr) {
        return;
    }
    detach(reader);
    std::free(reader->buffer);
    delete reader;
}

}  // extern "C"
