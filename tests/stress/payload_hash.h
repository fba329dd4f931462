// The stress run knows every JPEG the demo producer can publish from its
// clip; a frame read back is whole exactly when its hash is one of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#ifdef STRESS_WITH_OPENCV
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>
#endif

namespace stress {

inline std::uint64_t payloadHash(const std::uint8_t* data, std::size_t size) {
    std::uint64_t hash = 1469598103934665603ull;  // FNV-1a
    for (std::size_t i = 0; i < size; ++i) {
        hash = (hash ^ data[i]) * 1099511628211ull;
    }
    return hash;
}

#ifdef STRESS_WITH_OPENCV
// Encodes every frame of a clip as the producer does (JPEG, quality 95) and
// writes one hash a line. Returns the number of frames.
inline int writeKnownHashes(const std::string& clip, const std::string& hashFile) {
    cv::VideoCapture capture(clip, cv::CAP_ANY);
    std::ofstream out(hashFile);
    cv::Mat frame;
    const std::vector<int> parameters{cv::IMWRITE_JPEG_QUALITY, 95};
    int frames = 0;
    while (capture.read(frame) && !frame.empty()) {
        std::vector<uchar> encoded;
        if (!cv::imencode(".jpg", frame, encoded, parameters)) {
            return -1;
        }
        out << payloadHash(encoded.data(), encoded.size()) << "\n";
        ++frames;
    }
    return frames;
}
#endif

inline std::set<std::uint64_t> loadHashes(const std::string& path) {
    std::set<std::uint64_t> hashes;
    std::ifstream file(path);
    std::uint64_t hash = 0;
    while (file >> hash) {
        hashes.insert(hash);
    }
    return hashes;
}

}  // namespace stress
