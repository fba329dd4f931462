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

void reportNoFrame(FrameOutput* output, int error) {
    output->width = 1920;
    output->height = 1080;
    output->size = 0;
    output->timestamp = 0;
    errno = error;
}

// Returns the errno the caller gets. The frame goes from the mapping
// straight to the caller's buffer: no private record is needed.
int copyCurrentFrame(FrameOutput* output) {
    auto view = std::make_unique<ConsumerSharedMemory>();
    try {
        view->attach();
    } catch (const std::runtime_error&) {
        return errno != 0 ? errno : ENOENT;  // no segment: no producer
    }
    if (view->sharedData == nullptr) {
        return errno != 0 ? errno : EINVAL;  // opened but not mapped
    }
    return deliverFrame(view->sharedData, output);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) void get_frame_data(FrameOutput* output, void* /*unused*/) {
    if (output == nullptr) {
        errno = EINVAL;
        return;
    }
    if (output->data == nullptr) {
        reportNoFrame(output, EINVAL);
        return;
    }
    int error = 0;
    try {
        errno = 0;
        error = copyCurrentFrame(output);
    } catch (const std::bad_alloc&) {
        error = ENOMEM;
    } catch (...) {
        error = EIO;
    }
    if (error != 0) {
        reportNoFrame(output, error);
    } else {
        errno = 0;
    }
}
