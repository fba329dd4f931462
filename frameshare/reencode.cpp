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
    const int outWidth = decodedWidth == target ? decodedWidth : target;
    const int outHeight =
        decodedWidth == target
            ? decodedHeight
            : std::max(1, static_cast<int>(std::lround(static_cast<double>(height) * target / width)));
    // Decoded to its Y, Cb and Cr planes and encoded from them again, with
    // the same subsampling: no colour conversion either way, and half the
    // bytes of BGR to resample.
    const int planes = subsampling == TJSAMP_GRAY ? 1 : 3;
    std::size_t decodedBytes = 0;
    std::size_t scaledBytes = 0;
    for (int i = 0; i < planes; ++i) {
        decodedBytes += static_cast<std::size_t>(tjPlaneWidth(i, decodedWidth, subsampling)) *
                        static_cast<std::size_t>(tjPlaneHeight(i, decodedHeight, subsampling));
        scaledBytes += static_cast<std::size_t>(tjPlaneWidth(i, outWidth, subsampling)) *
                       static_cast<std::size_t>(tjPlaneHeight(i, outHeight, subsampling));
    }
    decoded_.resize(decodedBytes);
    scaled_.resize(scaledBytes);
    unsigned char* decodedPlanes[3] = {};
    const unsigned char* outPlanes[3] = {};
    std::size_t decodedAt = 0;
    std::size_t scaledAt = 0;
    for (int i = 0; i < planes; ++i) {
        decodedPlanes[i] = decoded_.data() + decodedAt;
        outPlanes[i] = scaled_.data() + scaledAt;
        decodedAt += static_cast<std::size_t>(tjPlaneWidth(i, decodedWidth, subsampling)) *
                     static_cast<std::size_t>(tjPlaneHeight(i, decodedHeight, subsampling));
        scaledAt += static_cast<std::size_t>(tjPlaneWidth(i, outWidth, subsampling)) *
                    static_cast<std::size_t>(tjPlaneHeight(i, outHeight, subsampling));
    }
    if (tjDecompressToYUVPlanes(decoder_, data, static_cast<unsigned long>(size), decodedPlanes, decodedWidth, nullptr,
                                decodedHeight, TJFLAG_FASTDCT) != 0 &&
        tjGetErrorCode(decoder_) == TJERR_FATAL) {
        return nullptr;  // a warning (say, a truncated frame) still leaves an image
    }
    if (outWidth == decodedWidth && outHeight == decodedHeight) {
        for (int i = 0; i < planes; ++i) {
            outPlanes[i] = decodedPlanes[i];
        }
    } else {
        // The decoder's scale leaves at most an eighth to go: linear
        // resampling loses nothing visible there and is cheaper than area.
        for (int i = 0; i < planes; ++i) {
            const cv::Mat from(tjPlaneHeight(i, decodedHeight, subsampling), tjPlaneWidth(i, decodedWidth, subsampling),
                               CV_8UC1, decodedPlanes[i]);
            cv::Mat to(tjPlaneHeight(i, outHeight, subsampling), tjPlaneWidth(i, outWidth, subsampling), CV_8UC1,
                       const_cast<unsigned char*>(outPlanes[i]));
            cv::resize(from, to, to.size(), 0, 0, cv::INTER_LINEAR);
        }
    }
    unsigned char* jpeg = nullptr;
    unsigned long jpegSize = 0;
    // Progressive: its optimised Huffman tables make a frame a fifth or so
    // smaller for the same pixels, and every browser and MJPEG decoder reads it.
    const int rc = tjCompressFromYUVPlanes(encoder_, outPlanes, outWidth, nullptr, outHeight, subsampling, &jpeg,
                                           &jpegSize, quality_, TJFLAG_FASTDCT | TJFLAG_PROGRESSIVE);
    FrameBytes result;
    if (rc == 0 && jpeg != nullptr) {
        result = std::make_shared<const std::vector<std::uint8_t>>(jpeg, jpeg + jpegSize);
    }
    tjFree(jpeg);
    return result;
}

}  // namespace frameshare
