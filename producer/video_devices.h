// What the system's video devices offer, asked of the driver directly: which
// nodes capture video, and which pixel format gives a size at a rate.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// "MJPG" and the like as V4L2 and OpenCV number them.
constexpr std::uint32_t fourcc(char a, char b, char c, char d) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(a)) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(b)) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(c)) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(d)) << 24;
}
constexpr std::uint32_t kFourccMjpg = fourcc('M', 'J', 'P', 'G');
std::string fourccText(std::uint32_t code);

// One pixel format of a device: the size it gives for the size asked for
// (the driver's nearest) and the best rate at that size.
struct PixelFormatOffer {
    std::uint32_t code = 0;
    int width = 0;
    int height = 0;
    // 0 when the driver lists no rate for that size.
    double maxFps = 0;
};

// Asks an open device (VIDIOC_ENUM_FMT, VIDIOC_TRY_FMT,
// VIDIOC_ENUM_FRAMEINTERVALS) for its capture formats, in the driver's
// order, with what each gives for width x height.
std::vector<PixelFormatOffer> pixelFormatOffers(int fd, int width, int height);

// The format to request for width x height at fps. Among the formats that
// give that very size (or all, when none does): the raw format the device is
// set to, or else its first raw format, when it gives the rate; else MJPG
// when MJPG does; else the format with the highest rate, raw first on a tie.
// Raw means an uncompressed format the capture library converts itself;
// formats it cannot read are never chosen. Nothing when none is usable.
std::optional<std::uint32_t> choosePixelFormat(const std::vector<PixelFormatOffer>& offers,
                                               std::uint32_t current, int width, int height, int fps);

// The same, asked of the device at path. Nothing when it cannot be asked.
std::optional<std::uint32_t> choosePixelFormat(const std::string& path, int width, int height, int fps);

struct VideoDevice {
    std::string path;    // /dev/videoN
    std::string name;    // the driver's card name
    bool capture = false;  // captures video (not only metadata or output)
    int openError = 0;   // errno of an open or query that failed
};

// Every node listed in sysDirectory (/sys/class/video4linux), with its name
// from there and, from VIDIOC_QUERYCAP on devDirectory/<node>, whether it
// captures video; in numeric order.
std::vector<VideoDevice> listVideoDevices(const std::string& sysDirectory = "/sys/class/video4linux",
                                          const std::string& devDirectory = "/dev");

// The line shown after a camera failed to open: whether `requested` exists
// and is a capture device, the capture devices present and the option that
// picks one.
std::string describeVideoDevices(const std::string& requested, const std::vector<VideoDevice>& devices);
