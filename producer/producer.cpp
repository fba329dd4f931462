// The producer program: captures a camera (index 1, 1920x1080, 30 frames per
// second unless told otherwise) and publishes every frame as JPEG until
// SIGINT.
#include <CLI/CLI.hpp>

#include <iostream>
#include <string>

#include "camera_capture.h"
#include "producer_run.h"
#include "shared_data.h"

namespace {

constexpr int kExitUsage = 2;

// WxH, each side 1 to 16384.
bool parseSize(const std::string& text, int* width, int* height) {
    const std::size_t x = text.find('x');
    if (x == std::string::npos || x == 0 || x + 1 == text.size() || x > 5 || text.size() - x - 1 > 5 ||
        text.find_first_not_of("0123456789x") != std::string::npos || text.find('x', x + 1) != std::string::npos) {
        return false;
    }
    *width = std::stoi(text.substr(0, x));
    *height = std::stoi(text.substr(x + 1));
    return *width >= 1 && *width <= 16384 && *height >= 1 && *height <= 16384;
}

}  // namespace

int main(int argc, char** argv) {
    std::string device = "1";
    std::string size = "1920x1080";
    int fps = 30;
    int width = 1920;
    int height = 1080;

    CLI::App app{std::string("Capture a camera and publish every frame as JPEG (quality 95) in the shared-memory "
                             "segment\n") +
                 SHM_NAME + ", until Ctrl-C (SIGINT) or until the camera stops delivering frames."};
    app.set_version_flag("--version", std::string("producer ") + FRAMESHARE_VERSION);
    app.add_option("--device", device, "Camera: an index N for /dev/videoN, or a device path")
        ->capture_default_str();
    app.add_option("--size", size, "Frame size to request, WxH")->capture_default_str();
    app.add_option("--fps", fps, "Frame rate to request; frames are never published faster")
        ->capture_default_str()
        ->check(CLI::Range(1, 1000));
    app.footer("The first line, \"Camera started: WxH @ N FPS\", shows what the camera delivers.\n"
               "Exit status: 0 after Ctrl-C, at the camera's end or when it cannot be opened; 1 when the\n"
               "segment cannot be set up or capture fails; 2 bad command line.\n"
               "Example:\n  producer --device /dev/video0 --size 1280x720 --fps 30");
    try {
        app.parse(argc, argv);
        if (!parseSize(size, &width, &height)) {
            throw CLI::ValidationError("--size", "expected WxH such as 1920x1080, got '" + size + "'");
        }
        if (device.empty()) {
            throw CLI::ValidationError("--device", "expected an index or a device path");
        }
    } catch (const CLI::ParseError& error) {
        const int code = app.exit(error);
        std::cout.flush();
        return code == 0 ? 0 : kExitUsage;
    }
    std::cout.flush();

    return runProducerProgram(
        [&](ProducerSharedMemory* shm) { startCameraCapture(shm, device, width, height, fps); });
}
