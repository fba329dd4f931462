// The frame's capture time inside the H.264 stream of `frameshare rtsp`: an
// SEI message (user data unregistered, payload type 5) before the first
// slice of every access unit, holding a 16-byte identifier and the frame's
// steady-clock timestamp in microseconds (CLOCK_MONOTONIC, 8 bytes, big
// endian). A client on the same machine subtracts it from its own steady
// clock to get the delay from publish to arrival; other clients skip it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace frameshare {

// Identifies the message among other user data (the encoder writes its own).
extern const std::uint8_t kFrameTimestampUuid[16];

// The whole NAL unit, with a 4-byte start code and emulation prevention.
std::vector<std::uint8_t> frameTimestampSei(std::int64_t steadyUs);

// Where the SEI goes in an Annex B access unit: the start code of its first
// slice (or the end when it has none).
std::size_t seiInsertionPoint(const std::uint8_t* data, std::size_t size);

// The timestamp from the first such message in an Annex B access unit.
std::optional<std::int64_t> findFrameTimestamp(const std::uint8_t* data, std::size_t size);

}  // namespace frameshare
