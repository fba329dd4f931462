// The segment layout, seen from raw bytes: a value written through each
// field must land at the offset the other deliverable reads it from.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "shared_data.h"

namespace {

template <typename T>
T readAt(const unsigned char* base, std::size_t offset) {
    T value;
    std::memcpy(&value, base + offset, sizeof value);
    return value;
}

TEST(SegmentLayout, FieldsLandAtTheirContractOffsets) {
    auto segment = std::make_unique<SharedData>();
    std::memset(segment.get(), 0, sizeof(SharedData));
    segment->rgbFrame.data[0] = 0xA1;
    segment->rgbFrame.size = 0x01020304;
    segment->rgbFrame.steadyTimeUs = -2;
    segment->rgbFrame.systemTimeUs = 0x1122334455667788;
    segment->depthFrame.size = 0x0A0B0C0D;
    segment->depthFrame.systemTimeUs = 99;
    segment->imuData.timestampUs = 55;
    segment->rgbIntrinsic.height = -7;
    segment->depthIntrinsic.fx = 1.5f;
    segment->depthConsumers[9].missedChecks = 29;
    segment->colorConsumers[0].occupied = 1;
    segment->colorConsumers[9].pid = 471;

    const auto* raw = reinterpret_cast<const unsigned char*>(segment.get());
    EXPECT_EQ(raw[192], 0xA1);
    EXPECT_EQ(readAt<std::uint32_t>(raw, 192 + 6220800), 0x01020304u);
    EXPECT_EQ(readAt<std::int64_t>(raw, 192 + 6220808), -2);
    EXPECT_EQ(readAt<std::int64_t>(raw, 192 + 6220816), 0x1122334455667788);
    EXPECT_EQ(readAt<std::uint32_t>(raw, 6221016 + 4147200), 0x0A0B0C0Du);
    EXPECT_EQ(readAt<std::int64_t>(raw, 6221016 + 4147216), 99);
    EXPECT_EQ(readAt<std::int64_t>(raw, 10368240 + 48), 55);
    EXPECT_EQ(readAt<std::int16_t>(raw, 10368296 + 18), -7);
    EXPECT_EQ(readAt<float>(raw, 10368316), 1.5f);
    EXPECT_EQ(readAt<std::uint64_t>(raw, 10368336 + 9 * 16 + 8), 29u);
    EXPECT_EQ(raw[10368496], 1);
    EXPECT_EQ(readAt<std::int32_t>(raw, 10368496 + 9 * 16 + 4), 471);
    EXPECT_EQ(sizeof(SharedData), 10368656u);
}

}  // namespace
