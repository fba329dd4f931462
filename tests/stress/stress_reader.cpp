// A reader process of the stress run. Plain mode calls get_frame_data in a
// tight loop; --registered mode registers as a colour consumer and waits on
// its semaphore for each frame. Every frame is checked against the known
// payload hashes; a torn frame ends the process with status 3 at once.
// Prints "progress calls C frames F" lines; SIGTERM ends it cleanly.
// --until-gone: plain mode that ends with status 0 once no producer runs.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "consumer_share_memory.h"
#include "framereader.h"
#include "payload_hash.h"

namespace {

std::atomic<bool> g_stop{false};

void onTerm(int) { g_stop.store(true); }

struct Counters {
    long calls = 0;
    long frames = 0;
    long failures = 0;
};

// The library reports every attach on standard output; keep only our lines.
FILE* ownOutput() {
    const int duplicate = dup(STDOUT_FILENO);
    FILE* stream = fdopen(duplicate, "w");
    std::freopen("/dev/null", "w", stdout);
    return stream;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s HASH_FILE [--registered]\n", argv[0]);
        return 2;
    }
    const std::set<std::uint64_t> known = stress::loadHashes(argv[1]);
    const bool registered = argc > 2 && std::strcmp(argv[2], "--registered") == 0;
    const bool untilGone = argc > 2 && std::strcmp(argv[2], "--until-gone") == 0;
    signal(SIGTERM, onTerm);
    FILE* report = ownOutput();
    Counters counters;
    auto flushProgress = [&] {
        std::fprintf(report, "progress calls %ld frames %ld failures %ld\n", counters.calls, counters.frames,
                     counters.failures);
        std::fflush(report);
    };

    if (registered) {
        ConsumerSharedMemory consumer;
        consumer.initialize();
        consumer.registerConsumerRGB();
        std::int64_t last = -1;
        while (!g_stop.load()) {
            const RgbFrame* frame = consumer.getRGBFrame();
            ++counters.calls;
            if (frame->size > RGB_FRAME_CAPACITY) {
                ++counters.failures;
            } else if (frame->size > 0 && frame->steadyTimeUs != last) {
                last = frame->steadyTimeUs;
                ++counters.frames;
                if (known.count(stress::payloadHash(frame->data, frame->size)) == 0) {
                    std::fprintf(report, "TORN size %u\n", frame->size);
                    std::fflush(report);
                    return 3;
                }
            }
            if (counters.calls % 10 == 0) {
                flushProgress();
            }
        }
        flushProgress();
        return 0;
    }

    std::vector<std::uint8_t> buffer(FRAMEREADER_FRAME_CAPACITY);
    while (!g_stop.load()) {
        FrameOutput frame{};
        frame.data = buffer.data();
        get_frame_data(&frame, nullptr);
        ++counters.calls;
        if (untilGone && errno == ENOENT) {
            break;
        }
        if (errno != 0) {
            ++counters.failures;
        } else if (frame.size > 0) {
            ++counters.frames;
            if (known.count(stress::payloadHash(buffer.data(), frame.size)) == 0) {
                std::fprintf(report, "TORN size %u timestamp %lld\n", frame.size,
                             static_cast<long long>(frame.timestamp));
                std::fflush(report);
                return 3;
            }
        }
        if (counters.calls % 20 == 0) {
            flushProgress();
        }
    }
    flushProgress();
    return 0;
}
