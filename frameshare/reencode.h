// Makes the frames served to viewers cheaper to send: decodes each JPEG once
// (at a reduced scale where the width allows, which is faster than a full
// decode), scales it to a width and encodes it at a quality.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "frame_cache.h"

namespace frameshare {

class JpegReencoder {
public:
    // quality 1..100; maxWidth 0 keeps the width. Never enlarges.
    JpegReencoder(int quality, int maxWidth);
    ~JpegReencoder();
    JpegReencoder(const JpegReencoder&) = delete;
    JpegReencoder& operator=(const JpegReencoder&) = delete;

    // Empty when the bytes are not a JPEG it can decode.
    FrameBytes convert(const std::uint8_t* data, std::size_t size);

private:
    int quality_;
    int maxWidth_;
    void* decoder_;
    void* encoder_;
    std::vector<std::uint8_t> decoded_;
    std::vector<std::uint8_t> scaled_;
};

}  // namespace frameshare
