#include "frame_delivery.h"

#include <cerrno>
#include <cstring>
#include <iostream>

static_assert(FRAMEREADER_FRAME_CAPACITY == RGB_FRAME_CAPACITY, "the public capacity is the segment's");

int deliverFrame(const RgbFrame& frame, FrameOutput* output) {
    const std::uint32_t size = frame.size;
    if (size > FRAMEREADER_FRAME_CAPACITY) {
        std::cerr << "Error: Frame size " << size << " exceeds the " << FRAMEREADER_FRAME_CAPACITY
                  << "-byte capacity; no frame returned." << std::endl;
        return EOVERFLOW;
    }
    std::memcpy(output->data, frame.data, size);
    output->width = 1920;
    output->height = 1080;
    output->size = size;
    output->timestamp = frame.steadyTimeUs;
    return 0;
}
