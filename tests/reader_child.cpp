// A reader process for tests: calls get_frame_data in a tight loop and
// checks that every frame it gets is whole (see frame_pattern.h).
// Usage: reader_child CALLS. Prints one summary line to standard error.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <vector>

#include "frame_pattern.h"
#include "framereader.h"

int main(int argc, char** argv) {
    const long calls = argc > 1 ? std::atol(argv[1]) : 100;
    std::vector<std::uint8_t> buffer(FRAMEREADER_FRAME_CAPACITY);
    std::set<std::int64_t> distinct;
    long torn = 0;
    long failed = 0;
    for (long i = 0; i < calls; ++i) {
        FrameOutput frame{};
        frame.data = buffer.data();
        get_frame_data(&frame, nullptr);
        if (errno != 0) {
            ++failed;
            continue;
        }
        if (frame.size == 0) {
            continue;
        }
        distinct.insert(frame.timestamp);
        if (!frame_pattern::matches(buffer.data(), frame.size, frame.timestamp)) {
            ++torn;
        }
    }
    std::fprintf(stderr, "calls %ld distinct %zu torn %ld failed %ld\n", calls, distinct.size(), torn, failed);
    return torn == 0 && failed == 0 ? 0 : 1;
}
