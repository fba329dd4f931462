#include "frame_delivery.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "console_line.h"
#include "consumer_share_memory.h"
#include "segment_lock.h"

static_assert(FRAMEREADER_FRAME_CAPACITY == RGB_FRAME_CAPACITY, "the public capacity is the segment's");

int deliverFrame(SharedData* segment, FrameOutput* output) {
    RgbFrame& frame = segment->rgbFrame;
    // Both sides' pages are made present first, so the copy under the mutex
    // costs what copying the payload costs. If the frame changes size in
    // between, the copy still takes the size it finds under the mutex.
    const std::uint32_t hint = frameSizeHint(&frame.size, RGB_FRAME_CAPACITY);
    prefaultForRead(frame.data, hint);
    prefaultForWrite(output->data, hint);
    warmTranslations(frame.data, output->data, hint);

    std::uint32_t size = 0;
    std::int64_t timestamp = 0;
    {
        SegmentLock lock(&segment->rgbMutex.handle, headerOf(frame), kRecordLockBound);
        if (lock.outcome() == LockOutcome::TimedOut) {
            return ETIMEDOUT;
        }
        if (!lock.held()) {
            return ENOTRECOVERABLE;
        }
        size = frame.size;
        if (size <= FRAMEREADER_FRAME_CAPACITY) {
            std::memcpy(output->data, frame.data, size);
            timestamp = frame.steadyTimeUs;
        }
    }
    if (size > FRAMEREADER_FRAME_CAPACITY) {
        writeConsoleLine(STDERR_FILENO, "Error: Frame size %u exceeds the %u-byte capacity; no frame returned.\n", size,
                         FRAMEREADER_FRAME_CAPACITY);
        return EOVERFLOW;
    }
    output->width = 1920;
    output->height = 1080;
    output->size = size;
    output->timestamp = timestamp;
    return 0;
}
