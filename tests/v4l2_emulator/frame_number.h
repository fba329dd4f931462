// Reads back the number the emulated webcam draws into every frame (see
// frame_code.h) from a JPEG that went through any decode and re-encode.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "frame_code.h"

// The frame's number, or -1 when the JPEG does not decode or shows no code.
inline long emulatedFrameNumber(const std::vector<std::uint8_t>& jpeg) {
    const cv::Mat grey = cv::imdecode(jpeg, cv::IMREAD_GRAYSCALE);
    constexpr int kBand = FRAME_CODE_BAND_HEIGHT;
    if (grey.rows < FRAME_CODE_BANDS * kBand || grey.cols < 64) {
        return -1;
    }
    const auto level = [&](int band) {
        return cv::mean(grey(cv::Rect(16, band * kBand + 8, grey.cols - 32, kBand - 16)))[0];
    };
    // The reference bands calibrate away any range conversion on the way.
    const double low = level(FRAME_CODE_DIGITS);
    const double high = level(FRAME_CODE_DIGITS + 1);
    if (high - low < 100) {
        return -1;
    }
    long number = 0;
    for (int band = 0; band < FRAME_CODE_DIGITS; ++band) {
        const double digit = (level(band) - low) * 15 / (high - low);
        const long rounded = std::lround(digit);
        if (std::abs(digit - static_cast<double>(rounded)) > 0.3 || rounded < 0 || rounded > 15) {
            return -1;
        }
        number = number * 16 + rounded;
    }
    return number;
}
