#include "h264_sei.h"

#include <algorithm>
#include <iterator>

namespace frameshare {

const std::uint8_t kFrameTimestampUuid[16] = {0x7a, 0x1c, 0x52, 0x9e, 0x3b, 0x04, 0x4d, 0x61,
                                              0x9f, 0x2e, 0xc8, 0x15, 0x66, 0xd0, 0x41, 0xb3};

namespace {

constexpr std::uint8_t kSeiNalType = 6;
constexpr std::uint8_t kUserDataUnregistered = 5;
constexpr std::size_t kPayloadSize = sizeof kFrameTimestampUuid + 8;

// The NAL units of an Annex B stream, by the offset of their header byte.
// Calls visit(startCodeOffset, headerOffset, end) until it returns false.
template <typename Visit>
void forEachNal(const std::uint8_t* data, std::size_t size, Visit visit) {
    std::size_t header = 0;
    std::size_t start = 0;
    bool inNal = false;
    std::size_t i = 0;
    while (i + 3 <= size) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            const std::size_t codeStart = (i > 0 && data[i - 1] == 0) ? i - 1 : i;
            if (inNal && !visit(start, header, codeStart)) {
                return;
            }
            start = codeStart;
            header = i + 3;
            inNal = true;
            i += 3;
        } else {
            ++i;
        }
    }
    if (inNal && header < size) {
        visit(start, header, size);
    }
}

}  // namespace

std::vector<std::uint8_t> frameTimestampSei(std::int64_t steadyUs) {
    std::vector<std::uint8_t> rbsp{kUserDataUnregistered, static_cast<std::uint8_t>(kPayloadSize)};
    rbsp.insert(rbsp.end(), std::begin(kFrameTimestampUuid), std::end(kFrameTimestampUuid));
    for (int shift = 56; shift >= 0; shift -= 8) {
        rbsp.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(steadyUs) >> shift));
    }
    rbsp.push_back(0x80);  // stop bit
    std::vector<std::uint8_t> nal{0, 0, 0, 1, kSeiNalType};
    int zeros = 0;
    for (const std::uint8_t byte : rbsp) {
        if (zeros >= 2 && byte <= 3) {
            nal.push_back(3);  // no start code may appear inside the unit
            zeros = 0;
        }
        nal.push_back(byte);
        zeros = byte == 0 ? zeros + 1 : 0;
    }
    return nal;
}

std::size_t seiInsertionPoint(const std::uint8_t* data, std::size_t size) {
    std::size_t point = size;
    forEachNal(data, size, [&](std::size_t start, std::size_t header, std::size_t) {
        const int type = data[header] & 0x1f;
        if (type >= 1 && type <= 5) {
            point = start;
            return false;
        }
        return true;
    });
    return point;
}

std::optional<std::int64_t> findFrameTimestamp(const std::uint8_t* data, std::size_t size) {
    std::optional<std::int64_t> found;
    forEachNal(data, size, [&](std::size_t, std::size_t header, std::size_t end) {
        if ((data[header] & 0x1f) != kSeiNalType) {
            return true;
        }
        // Undo emulation prevention, then walk the messages of the unit.
        std::vector<std::uint8_t> rbsp;
        int zeros = 0;
        for (std::size_t i = header + 1; i < end; ++i) {
            if (zeros >= 2 && data[i] == 3) {
                zeros = 0;
                continue;
            }
            rbsp.push_back(data[i]);
            zeros = data[i] == 0 ? zeros + 1 : 0;
        }
        std::size_t at = 0;
        while (at < rbsp.size() && rbsp[at] != 0x80) {
            std::size_t type = 0, length = 0;
            while (at < rbsp.size() && rbsp[at] == 0xff) {
                type += 255;
                ++at;
            }
            if (at >= rbsp.size()) {
                break;
            }
            type += rbsp[at++];
            while (at < rbsp.size() && rbsp[at] == 0xff) {
                length += 255;
                ++at;
            }
            if (at >= rbsp.size()) {
                break;
            }
            length += rbsp[at++];
            if (length > rbsp.size() - at) {
                break;
            }
            if (type == kUserDataUnregistered && length >= kPayloadSize &&
                std::equal(std::begin(kFrameTimestampUuid), std::end(kFrameTimestampUuid), rbsp.begin() + at)) {
                std::uint64_t value = 0;
                for (std::size_t i = 0; i < 8; ++i) {
                    value = (value << 8) | rbsp[at + sizeof kFrameTimestampUuid + i];
                }
                found = static_cast<std::int64_t>(value);
                return false;
            }
            at += length;
        }
        return true;
    });
    return found;
}

}  // namespace frameshare
