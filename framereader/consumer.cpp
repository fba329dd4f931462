// The library's one export: copy the current colour frame to the caller.
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>

#include "consumer_share_memory.h"
#include "frame_delivery.h"
#include "framereader.h"

namespace {

// After the segment was mapped, a failure leaves an empty record, so a
// caller that looks only at size sees no frame.
void reportNoFrame(FrameOutput* output) {
    output->width = 1920;
    output->height = 1080;
    output->size = 0;
    output->timestamp = 0;
}

// Returns the errno the caller gets; `mapped` tells whether the segment was
// mapped. The frame goes from the mapping straight to the caller's buffer:
// no private record is needed.
int copyCurrentFrame(FrameOutput* output, bool& mapped) {
    auto view = std::make_unique<ConsumerSharedMemory>();
    const int error = view->attach();
    if (error != 0 || view->sharedData == nullptr) {
        return error != 0 ? error : EINVAL;
    }
    mapped = true;
    return deliverFrame(view->sharedData, output);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) void get_frame_data(FrameOutput* output, void* /*unused*/) {
    if (output == nullptr) {
        errno = EINVAL;
        return;
    }
    if (output->data == nullptr) {
        reportNoFrame(output);
        errno = EINVAL;
        return;
    }
    // A segment that cannot be opened or mapped leaves the caller's record
    // and buffer as they were: only errno tells.
    int error = 0;
    bool mapped = false;
    try {
        error = copyCurrentFrame(output, mapped);
    } catch (const std::bad_alloc&) {
        error = ENOMEM;
    } catch (...) {
        error = EIO;
    }
    if (error != 0 && mapped) {
        reportNoFrame(output);
    }
    errno = error;
}
