// The producer program: captures camera 1 at 1920x1080, 30 frames per
// second, and publishes every frame as JPEG until SIGINT.
#include "camera_capture.h"

int main(int /*argc*/, char** /*argv*/) {
    return runProducerProgram(
        [](ProducerSharedMemory* shm) { startCameraCapture(shm, 1, 1920, 1080, 30); });
}
