// The whole program run shared by the camera program and the demo.
#pragma once

#include <chrono>
#include <functional>

class ProducerSharedMemory;

// SIGINT handler, segment owner, capture, teardown and the closing line.
// Returns the exit status: 0, or 1 when the segment could not be set up or
// capture failed with an exception (one error line). A capture still running
// kStopGrace after a stop request (a source that stalls in a read or a
// release) does not hold the run: the segment's name is removed, the closing
// line written and the process ends with status 0 from another thread.
int runProducerProgram(const std::function<void(ProducerSharedMemory*)>& capture);
constexpr std::chrono::milliseconds kStopGrace{1500};
