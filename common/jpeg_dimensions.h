// Width and height of a JPEG image from its header, for every reader that
// reports them: the segment carries no size of its own.
#pragma once

#include <cstddef>
#include <cstdint>

// Width and height from the first start-of-frame marker; false when the bytes
// hold none within bounds.
inline bool jpegDimensions(const std::uint8_t* data, std::size_t size, int* width, int* height) noexcept {
    if (data == nullptr || size < 4 || data[0] != 0xFF || data[1] != 0xD8) {
        return false;
    }
    std::size_t i = 2;
    while (i + 4 <= size) {
        if (data[i] != 0xFF) {
            return false;
        }
        const std::uint8_t marker = data[i + 1];
        if (marker == 0xFF) {  // fill byte
            ++i;
            continue;
        }
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {  // no length field
            i += 2;
            continue;
        }
        if (marker == 0xD9 || marker == 0xDA) {  // end of image, or entropy-coded data follows
            return false;
        }
        const std::size_t length = (static_cast<std::size_t>(data[i + 2]) << 8) | data[i + 3];
        if (length < 2) {
            return false;
        }
        const bool startOfFrame =
            marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (startOfFrame) {
            if (length < 7 || i + 9 > size) {
                return false;
            }
            *height = (data[i + 5] << 8) | data[i + 6];
            *width = (data[i + 7] << 8) | data[i + 8];
            return true;
        }
        i += 2 + length;
    }
    return false;
}
