// The producer program: captures camera 1 at 1920x1080, 30 frames per
// second, and publishes every frame as JPEG until SIGINT.
#include <cstdio>
#include <cstring>

#include "camera_capture.h"

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("producer %s\n", FRAMESHARE_VERSION);
        return 0;
    }
    return runProducerProgram(
        [](ProducerSharedMemory* shm) { startCameraCapture(shm, 1, 1920, 1080, 30); });
}
