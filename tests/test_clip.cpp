#include "test_clip.h"

#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

namespace test_support {

void writeClip(const std::string& path, int frames, int width, int height) {
    cv::VideoWriter writer(path, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 30, cv::Size(width, height));
    ASSERT_TRUE(writer.isOpened()) << path;
    for (int n = 0; n < frames; ++n) {
        cv::Mat image(height, width, CV_8UC3, cv::Scalar(40 * n % 256, 90, 160));
        cv::circle(image, cv::Point(20 + 15 * n, height / 2), height / 5, cv::Scalar(255, 255, 255), cv::FILLED);
        writer << image;
    }
}

}  // namespace test_support
