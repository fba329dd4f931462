// Writes arbitrary bytes over the segment's small records (frame headers,
// inertial and intrinsics records, both registry tables) and runs what
// reads them: a monitor pass, a publish, the reader's copies and the hand-
// over to a caller's buffer. None of it may crash or copy out of bounds.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <vector>

#include "consumer_share_memory.h"
#include "frame_delivery.h"
#include "producer_share_memory.h"

namespace {

struct Region {
    std::size_t offset;
    std::size_t length;
};

// The parts of the segment a broken writer could corrupt that the system
// interprets; the payloads themselves are opaque bytes.
const Region kRegions[] = {
    {offsetof(SharedData, rgbFrame) + offsetof(RgbFrame, size), 24},
    {offsetof(SharedData, depthFrame) + offsetof(DepthFrame, size), 24},
    {offsetof(SharedData, imuData), sizeof(IMUData)},
    {offsetof(SharedData, rgbIntrinsic), 2 * sizeof(CameraIntrinsic)},
    {offsetof(SharedData, depthConsumers), 2 * MAX_CONSUMERS * sizeof(ConsumerSlot)},
};

struct Harness {
    SharedData* segment;
    ProducerSharedMemory* owner;
    ConsumerSharedMemory* view;
    std::vector<std::uint8_t> callerBuffer;
};

Harness& harness() {
    // Lives for the whole fuzzing process; never torn down, so cleanup never
    // touches the machine's real segment name.
    static Harness h = [] {
        Harness made{};
        made.segment = static_cast<SharedData*>(std::calloc(1, sizeof(SharedData)));
        ProducerSharedMemory::init(made.segment);
        made.owner = new ProducerSharedMemory();
        made.owner->sharedData = made.segment;
        made.view = new ConsumerSharedMemory();
        made.view->sharedData = made.segment;
        made.view->rgbBuffer = static_cast<RgbFrame*>(std::malloc(sizeof(RgbFrame)));
        made.view->depthBuffer = static_cast<DepthFrame*>(std::malloc(sizeof(DepthFrame)));
        made.callerBuffer.resize(RGB_FRAME_CAPACITY);
        return made;
    }();
    return h;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Harness& h = harness();
    auto* raw = reinterpret_cast<std::uint8_t*>(h.segment);
    std::size_t used = 0;
    for (const Region& region : kRegions) {
        const std::size_t take = std::min(region.length, size - used);
        std::memcpy(raw + region.offset, data + used, take);
        used += take;
    }

    h.owner->checkConsumerHealth();
    const std::uint8_t payload[16] = {0xFF, 0xD8};
    h.owner->updateRGBFrame(payload, sizeof payload, 1, 2);
    h.owner->updateDepthFrame(payload, sizeof payload, 1, 2);
    // Put the fuzzed header back so the readers see it, not the publish.
    if (size >= 24) {
        std::memcpy(raw + kRegions[0].offset, data, 24);
    }

    h.view->getRGBFrame();
    h.view->getDepthFrame();
    h.view->getIMUData();
    h.view->getRgbIntrinsic();
    FrameOutput output{h.callerBuffer.data(), 0, 0, 0, 0, 0};
    deliverFrame(h.segment, &output);

    // Semaphores the monitor opened for fuzzed slots belong to this input.
    for (int i = 0; i < MAX_CONSUMERS; ++i) {
        for (sem_t** handle : {&h.owner->semColor[i], &h.owner->semDepth[i]}) {
            if (*handle != nullptr) {
                sem_close(*handle);
                *handle = nullptr;
            }
        }
    }
    return 0;
}
