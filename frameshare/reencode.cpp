#include "reencode.h"

#include <turbojpeg.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>

namespace frameshare {

namespace {
// A frame larger than any camera's is not worth the memory.
constexpr long kMaxPixels = 8192L * 8192L;
}

JpegReencoder::JpegReencoder(int quality, int maxWidth)
    : quality_(quality), maxWidth_(maxWidth), decoder_(tjInitDecompress()), encoder_(tjInitCompress()) {
    // One frame at a time on the poller's thread: worker threads would only
    // contend with the viewers and the producer for the same cores.
    cv::setNumThreads(0);
}

JpegReencoder::~JpegReencoder() {
    if (decoder_ != nullptr) {
        tjDestroy(decoder_);
    }
    if (encoder_ != nullptr) {
        tjDestroy(encoder_);
    }
}

FrameBytes JpegReencoder::convert(const std::uint8_t* data, std::size_t size) {
    int width = 0, height = 0, subsampling = 0, colorspace = 0;
    if (decoder_ == nullptr || encoder_ == nullptr || size == 0 ||
        tjDecompressHeader3(decoder_, data, static_cast<unsigned long>(size), &width, &height, &subsampling,
                            &colorspace) != 0 ||
        width <= 0 || height <= 0 || static_cast<long>(width) * height > kMaxPixels) {
        return nullptr;
    }
    const int target = maxWidth_ > 0 && maxWidth_ < width ? maxWidth_ : width;
    // The smallest scale the decoder offers that is still at least as wide
    // as the target; the rest is done by resampling.
    int count = 0;
    const tjscalingfactor* factors = tjGetScalingFactors(&count);
    tjscalingfactor chosen{1, 1};
    for (int i = 0; i < count; ++i) {
        const int scaled = TJSCALED(width, factors[i]);
        if (scaled >= target && scaled < TJSCALED(width, chosen)) {
            chosen = factors[i];
        }
    }
    const int decodedWidth = TJSCALED(width, chosen);
    const int decodedHeight = TJSCALED(height, chosen);
    decoded_.resize(static_cast<std::size_t>(decodedWidth) * decodedHeight * 3);
    if (tjDecompress2(decoder_, data, static_cast<unsigned long>(size), decoded_.data(), decodedWidth, 0,
                      decodedHeight, TJPF_BGR, TJFLAG_FASTDCT | TJFLAG_FASTUPSAMPLE) != 0 &&
        tjGetErrorCode(decoder_) == TJERR_FATAL) {
        return nullptr;  // a warning (say, a truncated frame) still leaves an image
    }
    const std::uint8_t* pixels = decoded_.data();
    int outWidth = decodedWidth;
    int outHeight = decodedHeight;
    if (decodedWidth != target) {
        outWidth = target;
        outHeight = std::max(1, static_cast<int>(std::lround(static_cast<double>(height) * target / width)));
        scaled_.resize(static_cast<std::size_t>(outWidth) * outHeight * 3);
        const cv::Mat from(decodedHeight, decodedWidth, CV_8UC3, decoded_.data());
        cv::Mat to(outHeight, outWidth, CV_8UC3, scaled_.data());
        // The decoder's scale leaves at most an eighth to go: linear
        // resampling loses nothing visible there and is cheaper than area.
        cv::resize(from, to, to.size(), 0, 0, cv::INTER_LINEAR);
        pixels = scaled_.data();
    }
    unsigned char* jpeg = nullptr;
    unsigned long jpegSize = 0;
    // Progressive: its optimised Huffman tables make a frame a fifth or so
    // smaller for the same pixels, and every browser and MJPEG decoder reads it.
    const int rc = tjCompress2(encoder_, pixels, outWidth, 0, outHeight, TJPF_BGR, &jpeg, &jpegSize, TJSAMP_420,
                               quality_, TJFLAG_FASTDCT | TJFLAG_PROGRESSIVE);
    FrameBytes result;
    if (rc == 0 && jpeg != nullptr) {
        result = std::make_shared<const std::vector<std::uint8_t>>(jpeg, jpeg + jpegSize);
    }
    tjFree(jpeg);
    return result;
}

}  // namespace frameshare
