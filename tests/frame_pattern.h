// Test frames whose every byte and whose length follow from their
// timestamp, so a reader can prove a frame is whole: a frame torn between
// two publishes fails the check.
#pragma once

#include <cstddef>
#include <cstdint>

namespace frame_pattern {

inline std::uint32_t sizeFor(std::int64_t timestamp) {
    return 1000u + static_cast<std::uint32_t>(static_cast<std::uint64_t>(timestamp) * 7919u % 600000u);
}

inline std::uint8_t byteAt(std::int64_t timestamp, std::size_t index) {
    return static_cast<std::uint8_t>((static_cast<std::uint64_t>(timestamp) * 131u + index * 7u + (index >> 9)) &
                                     0xffu);
}

inline void fill(std::uint8_t* data, std::int64_t timestamp) {
    const std::uint32_t size = sizeFor(timestamp);
    for (std::size_t i = 0; i < size; ++i) {
        data[i] = byteAt(timestamp, i);
    }
}

// True when size and every byte belong to the frame of this timestamp.
inline bool matches(const std::uint8_t* data, std::uint32_t size, std::int64_t timestamp) {
    if (size != sizeFor(timestamp)) {
        return false;
    }
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] != byteAt(timestamp, i)) {
            return false;
        }
    }
    return true;
}

}  // namespace frame_pattern
