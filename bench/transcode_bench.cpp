// CPU per frame of turning a camera's MJPG frame into the published JPEG:
//   transcoder - JpegTranscoder (planar YCbCr through libjpeg-turbo)
//   opencv     - cv::imdecode to BGR, then cv::imencode at quality 95, what
//                the capture loop costs when the backend decodes the frame
// on the same frames in the same run, alternating rounds. The frames are
// camera-like: 1920x1080, 4:2:2, quality 85, no Huffman tables.
//
// usage: transcode_bench [ROUNDS [FRAMES]]
// Prints "key value" lines for bench/report.py.
#include <time.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "jpeg_transcoder.h"

namespace {

double processCpuMs() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

// A lit scene with edges, text and sensor noise, moving a little each frame.
cv::Mat scene(int n) {
    cv::Mat image(1080, 1920, CV_8UC3);
    for (int y = 0; y < image.rows; ++y) {
        auto* row = image.ptr<cv::Vec3b>(y);
        for (int x = 0; x < image.cols; ++x) {
            row[x] = cv::Vec3b(static_cast<uchar>(60 + (x + 8 * n) / 16), static_cast<uchar>(40 + y / 8),
                               static_cast<uchar>(90 + (x + y) / 24));
        }
    }
    for (int i = 0; i < 40; ++i) {
        const cv::Point centre((i * 397 + 13 * n) % 1920, (i * 211) % 1080);
        cv::circle(image, centre, 20 + (i * 37) % 120, cv::Scalar((i * 53) % 256, (i * 91) % 256, (i * 17) % 256),
                   cv::FILLED, cv::LINE_AA);
        cv::putText(image, "frame " + std::to_string(n * 100 + i), centre, cv::FONT_HERSHEY_SIMPLEX, 1.2,
                    cv::Scalar(255, 255, 255), 2, cv::LINE_AA);
    }
    cv::Mat noise(image.size(), CV_16SC3);
    cv::randn(noise, 0, 3);
    cv::Mat noisy;
    image.convertTo(noisy, CV_16SC3);
    noisy += noise;
    noisy.convertTo(image, CV_8UC3);
    return image;
}

// 4:2:2 at quality 85 with the DHT segments cut out, as many cameras send.
std::vector<unsigned char> cameraFrame(const cv::Mat& bgr) {
    tjhandle encoder = tjInitCompress();
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    if (tjCompress2(encoder, bgr.data, bgr.cols, static_cast<int>(bgr.step), bgr.rows, TJPF_BGR, &jpeg, &size,
                    TJSAMP_422, 85, 0) != 0) {
        std::fprintf(stderr, "encode failed: %s\n", tjGetErrorStr2(encoder));
        std::exit(1);
    }
    std::vector<unsigned char> frame(jpeg, jpeg + 2);
    std::size_t at = 2;
    while (at + 4 <= size && jpeg[at] == 0xFF && jpeg[at + 1] != 0xDA) {
        const std::size_t length = 2 + (jpeg[at + 2] << 8 | jpeg[at + 3]);
        if (jpeg[at + 1] != 0xC4) {
            frame.insert(frame.end(), jpeg + at, jpeg + at + length);
        }
        at += length;
    }
    frame.insert(frame.end(), jpeg + at, jpeg + size);
    tjFree(jpeg);
    tjDestroy(encoder);
    return frame;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const int count = argc > 2 ? std::max(1, std::atoi(argv[2])) : 30;
    std::vector<std::vector<unsigned char>> frames;
    double cameraBytes = 0;
    for (int n = 0; n < count; ++n) {
        frames.push_back(cameraFrame(scene(n)));
        cameraBytes += frames.back().size();
    }

    JpegTranscoder transcoder;
    std::vector<uchar> encoded;
    const std::vector<int> parameters{cv::IMWRITE_JPEG_QUALITY, 95};
    std::vector<double> transcodeMs;
    std::vector<double> opencvMs;
    double transcodedBytes = 0;
    double opencvBytes = 0;
    for (int round = 0; round < rounds; ++round) {
        double start = processCpuMs();
        for (const auto& frame : frames) {
            cv::Mat decoded = cv::imdecode(frame, cv::IMREAD_COLOR);
            if (decoded.empty() || !cv::imencode(".jpg", decoded, encoded, parameters)) {
                std::fprintf(stderr, "OpenCV failed on a frame\n");
                return 1;
            }
            opencvBytes += encoded.size();
        }
        opencvMs.push_back((processCpuMs() - start) / count);
        start = processCpuMs();
        for (const auto& frame : frames) {
            if (!transcoder.transcode(frame.data(), frame.size())) {
                std::fprintf(stderr, "transcoder failed on a frame\n");
                return 1;
            }
            transcodedBytes += transcoder.size();
        }
        transcodeMs.push_back((processCpuMs() - start) / count);
    }
    const double transcode = median(transcodeMs);
    const double opencv = median(opencvMs);
    std::printf("transcode.camera_kb %.1f\n", cameraBytes / count / 1000);
    std::printf("transcode.transcoder_ms %.3f\n", transcode);
    std::printf("transcode.opencv_ms %.3f\n", opencv);
    std::printf("transcode.ratio %.3f\n", transcode / opencv);
    std::printf("transcode.transcoder_kb %.1f\n", transcodedBytes / rounds / count / 1000);
    std::printf("transcode.opencv_kb %.1f\n", opencvBytes / rounds / count / 1000);
    return 0;
}
