// The text both sides print for the two intrinsics records. Formatted into
// the caller's buffer, so the frame reader library writes it without its
// caller's iostreams and without allocating.
#pragma once

#include <cstddef>
#include <cstdio>

#include "shared_data.h"

// Fits the fifteen lines with every float at its longest ("-3.40282e+38").
constexpr std::size_t INTRINSICS_TEXT_SIZE = 384;

// "RGB Camera Intrinsics:\n  fx: 615.25\n ... height: 480\n"; floats as %g,
// which is also an ostream's default.
inline void formatCameraIntrinsics(const CameraIntrinsic& rgb, const CameraIntrinsic& depth,
                                   char (&text)[INTRINSICS_TEXT_SIZE]) noexcept {
    std::snprintf(text, sizeof text,
                  "RGB Camera Intrinsics:\n  fx: %g\n  fy: %g\n  cx: %g\n  cy: %g\n  width: %d\n  height: %d\n"
                  "\nDepth Camera Intrinsics:\n  fx: %g\n  fy: %g\n  cx: %g\n  cy: %g\n  width: %d\n  height: %d\n",
                  static_cast<double>(rgb.fx), static_cast<double>(rgb.fy), static_cast<double>(rgb.cx),
                  static_cast<double>(rgb.cy), rgb.width, rgb.height, static_cast<double>(depth.fx),
                  static_cast<double>(depth.fy), static_cast<double>(depth.cx), static_cast<double>(depth.cy),
                  depth.width, depth.height);
}
