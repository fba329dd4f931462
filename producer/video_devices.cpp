#include "video_devices.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>

#include "scoped_fd.h"

namespace {

constexpr std::uint32_t kFourccJpeg = fourcc('J', 'P', 'E', 'G');

// Uncompressed formats the capture library converts to colour itself.
bool isRaw(std::uint32_t code) {
    static const std::uint32_t raw[] = {
        fourcc('Y', 'U', 'Y', 'V'), fourcc('U', 'Y', 'V', 'Y'), fourcc('Y', 'U', '1', '2'),
        fourcc('Y', 'V', '1', '2'), fourcc('N', 'V', '1', '2'), fourcc('N', 'V', '2', '1'),
        fourcc('R', 'G', 'B', '3'), fourcc('B', 'G', 'R', '3'), fourcc('G', 'R', 'E', 'Y'),
        fourcc('4', '1', '1', 'P'), fourcc('Y', '1', '6', ' '),
    };
    return std::find(std::begin(raw), std::end(raw), code) != std::end(raw);
}

bool isJpeg(std::uint32_t code) { return code == kFourccMjpg || code == kFourccJpeg; }

int xioctl(int fd, unsigned long request, void* argument) {
    return retryOnEintr([&] { return ioctl(fd, request, argument); });
}

// The highest rate the driver lists for one format and size; 0 for none.
double maxFrameRate(int fd, std::uint32_t code, int width, int height) {
    double best = 0;
    for (std::uint32_t index = 0; index < 256; ++index) {
        v4l2_frmivalenum interval{};
        interval.index = index;
        interval.pixel_format = code;
        interval.width = static_cast<std::uint32_t>(width);
        interval.height = static_cast<std::uint32_t>(height);
        if (xioctl(fd, VIDIOC_ENUM_FRAMEINTERVALS, &interval) != 0) {
            break;
        }
        // Stepwise and continuous ranges list their shortest interval first.
        const v4l2_fract shortest =
            interval.type == V4L2_FRMIVAL_TYPE_DISCRETE ? interval.discrete : interval.stepwise.min;
        if (shortest.numerator > 0) {
            best = std::max(best, static_cast<double>(shortest.denominator) / shortest.numerator);
        }
        if (interval.type != V4L2_FRMIVAL_TYPE_DISCRETE) {
            break;
        }
    }
    return best;
}

bool givesRate(const PixelFormatOffer& offer, int fps) {
    // 30000/1001 counts as 30.
    return offer.maxFps > 0 && offer.maxFps >= 0.99 * fps;
}

std::string readFirstLine(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

// video10 after video9.
bool numericOrder(const std::string& a, const std::string& b) {
    const auto digits = [](const std::string& name) { return name.find_first_of("0123456789"); };
    const std::size_t da = digits(a);
    const std::size_t db = digits(b);
    if (da != std::string::npos && db != std::string::npos && a.compare(0, da, b, 0, db) == 0) {
        const std::string na = a.substr(da);
        const std::string nb = b.substr(db);
        if (na.size() != nb.size()) {
            return na.size() < nb.size();
        }
        return na < nb;
    }
    return a < b;
}

// The name comes from the device itself (USB descriptors): printable ASCII
// only, so it cannot drive the terminal it is shown on.
std::string printable(std::string text) {
    for (char& c : text) {
        if (c < 0x20 || c >= 0x7f) {
            c = '?';
        }
    }
    return text;
}

std::string shown(const VideoDevice& device) {
    return device.name.empty() ? printable(device.path) : printable(device.path) + " (" + printable(device.name) + ")";
}

}  // namespace

std::string fourccText(std::uint32_t code) {
    std::string text;
    for (int shift = 0; shift < 32; shift += 8) {
        const char c = static_cast<char>((code >> shift) & 0xff);
        text += (c >= 0x20 && c < 0x7f) ? c : '?';
    }
    return text;
}

std::vector<PixelFormatOffer> pixelFormatOffers(int fd, int width, int height) {
    std::vector<PixelFormatOffer> offers;
    for (std::uint32_t index = 0; index < 64; ++index) {
        v4l2_fmtdesc description{};
        description.index = index;
        description.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (xioctl(fd, VIDIOC_ENUM_FMT, &description) != 0) {
            break;
        }
        PixelFormatOffer offer;
        offer.code = description.pixelformat;
        // The driver's nearest size for the request, as a set would give it.
        v4l2_format format{};
        format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        format.fmt.pix.pixelformat = offer.code;
        format.fmt.pix.width = static_cast<std::uint32_t>(width);
        format.fmt.pix.height = static_cast<std::uint32_t>(height);
        format.fmt.pix.field = V4L2_FIELD_ANY;
        if (xioctl(fd, VIDIOC_TRY_FMT, &format) == 0 && format.fmt.pix.pixelformat == offer.code) {
            offer.width = static_cast<int>(format.fmt.pix.width);
            offer.height = static_cast<int>(format.fmt.pix.height);
        } else {
            offer.width = width;
            offer.height = height;
        }
        offer.maxFps = maxFrameRate(fd, offer.code, offer.width, offer.height);
        offers.push_back(offer);
    }
    return offers;
}

std::optional<std::uint32_t> choosePixelFormat(const std::vector<PixelFormatOffer>& offers, std::uint32_t current,
                                               int width, int height, int fps) {
    std::vector<PixelFormatOffer> candidates;
    for (const PixelFormatOffer& offer : offers) {
        if ((isRaw(offer.code) || isJpeg(offer.code)) && offer.width == width && offer.height == height) {
            candidates.push_back(offer);
        }
    }
    if (candidates.empty()) {
        for (const PixelFormatOffer& offer : offers) {
            if (isRaw(offer.code) || isJpeg(offer.code)) {
                candidates.push_back(offer);
            }
        }
    }
    for (const PixelFormatOffer& offer : candidates) {
        if (offer.code == current && isRaw(offer.code) && givesRate(offer, fps)) {
            return offer.code;
        }
    }
    for (const auto& accept : {isRaw, isJpeg}) {
        for (const PixelFormatOffer& offer : candidates) {
            if (accept(offer.code) && givesRate(offer, fps)) {
                return offer.code;
            }
        }
    }
    const PixelFormatOffer* best = nullptr;
    for (const PixelFormatOffer& offer : candidates) {
        if (best == nullptr || offer.maxFps > best->maxFps ||
            (offer.maxFps == best->maxFps && isRaw(offer.code) && !isRaw(best->code))) {
            best = &offer;
        }
    }
    if (best == nullptr) {
        return std::nullopt;
    }
    return best->code;
}

std::optional<std::uint32_t> choosePixelFormat(const std::string& path, int width, int height, int fps) {
    // Only a device node is asked: a file or a pipe named as the device is
    // not opened here. Non-blocking: a device busy elsewhere must not hold
    // the start up.
    struct stat node {};
    if (stat(path.c_str(), &node) != 0 || !S_ISCHR(node.st_mode)) {
        return std::nullopt;
    }
    ScopedFd fd(open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) {
        return std::nullopt;
    }
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    const std::uint32_t current = xioctl(fd.get(), VIDIOC_G_FMT, &format) == 0 ? format.fmt.pix.pixelformat : 0;
    return choosePixelFormat(pixelFormatOffers(fd.get(), width, height), current, width, height, fps);
}

std::vector<VideoDevice> listVideoDevices(const std::string& sysDirectory, const std::string& devDirectory) {
    std::vector<std::string> entries;
    // Closed on every way out, a throwing emplace_back included.
    const std::unique_ptr<DIR, int (*)(DIR*)> directory(opendir(sysDirectory.c_str()), closedir);
    if (directory) {
        while (const dirent* entry = readdir(directory.get())) {
            if (entry->d_name[0] != '.') {
                entries.emplace_back(entry->d_name);
            }
        }
    }
    std::sort(entries.begin(), entries.end(), numericOrder);
    std::vector<VideoDevice> devices;
    for (const std::string& entry : entries) {
        VideoDevice device;
        device.path = devDirectory + "/" + entry;
        device.name = readFirstLine(sysDirectory + "/" + entry + "/name");
        ScopedFd fd(open(device.path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
        v4l2_capability capability{};
        if (fd.get() < 0 || xioctl(fd.get(), VIDIOC_QUERYCAP, &capability) != 0) {
            device.openError = errno;
        } else {
            const std::uint32_t caps = (capability.capabilities & V4L2_CAP_DEVICE_CAPS) != 0
                                           ? capability.device_caps
                                           : capability.capabilities;
            device.capture = (caps & (V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_VIDEO_CAPTURE_MPLANE)) != 0;
            if (device.name.empty()) {
                device.name = std::string(reinterpret_cast<const char*>(capability.card),
                                          strnlen(reinterpret_cast<const char*>(capability.card),
                                                  sizeof capability.card));
            }
        }
        devices.push_back(device);
    }
    return devices;
}

std::string describeVideoDevices(const std::string& requested, const std::vector<VideoDevice>& devices) {
    std::string line;
    for (const VideoDevice& device : devices) {
        if (device.path != requested) {
            continue;
        }
        if (device.openError != 0) {
            line = shown(device) + " cannot be opened: " + std::strerror(device.openError) + ". ";
        } else if (!device.capture) {
            line = shown(device) + " is not a video capture device (a metadata or output node). ";
        }
    }
    std::string list;
    for (const VideoDevice& device : devices) {
        if (device.capture) {
            list += (list.empty() ? "" : ", ") + shown(device);
        }
    }
    if (list.empty()) {
        return line + "No video capture device found; once there is one, pick it with --device INDEX|PATH.";
    }
    return line + "Video capture devices: " + list + "; pick one with --device INDEX|PATH.";
}
