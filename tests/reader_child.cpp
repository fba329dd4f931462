// A reader process for tests: calls get_frame_data in a tight loop and
// checks that every frame it gets is whole (see frame_pattern.h).
// Usage: reader_child CALLS [EXPECTED_ERRNO [quiet]]. Exits 0 when every
// call ended with the expected errno (default 0) and no frame was torn.
// Prints one summary line to standard error unless quiet (for runs whose
// standard error is a closed or full pipe).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

#include "frame_pattern.h"
#include "framereader.h"

int main(int argc, char** argv) {
    const long calls = argc > 1 ? std::atol(argv[1]) : 100;
    const int expected = argc > 2 ? std::atoi(argv[2]) : 0;
    const bool quiet = argc > 3 && std::strcmp(argv[3], "quiet") == 0;
    std::vector<std::uint8_t> buffer(FRAMEREADER_FRAME_CAPACITY);
    std::set<std::int64_t> distinct;
    long torn = 0;
    long failed = 0;
    for (long i = 0; i < calls; ++i) {
        FrameOutput frame{};
        frame.data = buffer.data();
        get_frame_data(&frame, nullptr);
        if (errno != expected) {
            ++failed;
            continue;
        }
        if (errno != 0 || frame.size == 0) {
            continue;
        }
        distinct.insert(frame.timestamp);
        if (!frame_pattern::matches(buffer.data(), frame.size, frame.timestamp)) {
            ++torn;
        }
    }
    if (!quiet) {
        std::fprintf(stderr, "calls %ld distinct %zu torn %ld failed %ld\n", calls, distinct.size(), torn, failed);
    }
    return torn == 0 && failed == 0 ? 0 : 1;
}
