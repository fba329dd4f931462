#include "jpeg_transcoder.h"

#include <turbojpeg.h>

#include <algorithm>

namespace {

// A progressive frame with an absurd number of scans costs time, not a
// crash: refused. Camera frames are baseline.
constexpr int kDecodeFlags = TJFLAG_LIMITSCANS;
constexpr int kEncodeFlags = TJFLAG_NOREALLOC;

// Halves a chroma plane vertically (4:2:2 to 4:2:0), averaging row pairs;
// an odd last row pairs with itself.
void halveRows(const unsigned char* source, int width, int rows, unsigned char* destination) {
    const int halfRows = (rows + 1) / 2;
    for (int row = 0; row < halfRows; ++row) {
        const unsigned char* top = source + static_cast<std::size_t>(2 * row) * width;
        const unsigned char* bottom = 2 * row + 1 < rows ? top + width : top;
        unsigned char* out = destination + static_cast<std::size_t>(row) * width;
        for (int x = 0; x < width; ++x) {
            out[x] = static_cast<unsigned char>((top[x] + bottom[x] + 1) >> 1);
        }
    }
}

// Whether an end-of-image marker closes the frame. Drivers may pad a frame
// behind it, so the last kilobyte is searched; entropy-coded data never
// holds FF D9 (a coded FF is followed by 00).
bool endsWithEndOfImage(const unsigned char* jpeg, std::size_t size) {
    constexpr std::size_t kTail = 1024;
    const std::size_t from = size > kTail ? size - kTail : 0;
    for (std::size_t at = size; at-- > from + 1;) {
        if (jpeg[at] == 0xd9 && jpeg[at - 1] == 0xff) {
            return true;
        }
    }
    return false;
}

}  // namespace

JpegTranscoder::JpegTranscoder() : decoder_(tjInitDecompress()), encoder_(tjInitCompress()) {}

JpegTranscoder::~JpegTranscoder() {
    if (decoder_ != nullptr) {
        tjDestroy(decoder_);
    }
    if (encoder_ != nullptr) {
        tjDestroy(encoder_);
    }
    tjFree(output_);
}

bool JpegTranscoder::ensureOutputCapacity(unsigned long bytes) {
    if (bytes <= outputCapacity_) {
        return true;
    }
    tjFree(output_);
    output_ = tjAlloc(static_cast<int>(bytes));
    outputCapacity_ = output_ != nullptr ? bytes : 0;
    return output_ != nullptr;
}

bool JpegTranscoder::transcode(const unsigned char* jpeg, std::size_t size) {
    if (transcodeOnce(jpeg, size)) {
        return true;
    }
    // A handle that failed on a header stays failed for every later frame:
    // the next frame gets a fresh one.
    if (decoder_ != nullptr) {
        tjDestroy(decoder_);
    }
    decoder_ = tjInitDecompress();
    return false;
}

bool JpegTranscoder::transcodeOnce(const unsigned char* jpeg, std::size_t size) {
    outputSize_ = 0;
    width_ = height_ = 0;
    if (decoder_ == nullptr || encoder_ == nullptr || jpeg == nullptr || size == 0) {
        return false;
    }
    int width = 0;
    int height = 0;
    int subsampling = 0;
    int colourspace = 0;
    if (!endsWithEndOfImage(jpeg, size)) {
        return false;  // cut short: the decoder would fill the rest in grey
    }
    const auto jpegSize = static_cast<unsigned long>(size);
    if (tjDecompressHeader3(decoder_, jpeg, jpegSize, &width, &height, &subsampling, &colourspace) != 0) {
        return false;
    }
    if (width <= 0 || height <= 0 || static_cast<long>(width) * height > kMaxPixels || subsampling < 0 ||
        (colourspace != TJCS_YCbCr && colourspace != TJCS_GRAY)) {
        return false;
    }
    if (expectedWidth_ > 0 && (width != expectedWidth_ || height != expectedHeight_)) {
        return false;
    }

    const int components = subsampling == TJSAMP_GRAY ? 1 : 3;
    unsigned char* planes[3] = {nullptr, nullptr, nullptr};
    std::size_t offsets[3] = {0, 0, 0};
    std::size_t total = 0;
    for (int component = 0; component < components; ++component) {
        offsets[component] = total;
        total += tjPlaneSizeYUV(component, width, 0, height, subsampling);
    }
    planes_.resize(total);
    for (int component = 0; component < components; ++component) {
        planes[component] = planes_.data() + offsets[component];
    }
    // A warning (damaged but readable data) leaves a whole image behind;
    // only an error means there is none.
    if (tjDecompressToYUVPlanes(decoder_, jpeg, jpegSize, planes, width, nullptr, height, kDecodeFlags) != 0 &&
        tjGetErrorCode(decoder_) != TJERR_WARNING) {
        return false;
    }

    // 4:2:2, what most cameras send, is encoded as 4:2:0: a quarter fewer
    // blocks to transform and code, and what readers got before.
    int outputSubsampling = subsampling;
    if (subsampling == TJSAMP_422) {
        outputSubsampling = TJSAMP_420;
        const int chromaWidth = tjPlaneWidth(1, width, TJSAMP_422);
        const int chromaRows = tjPlaneHeight(1, height, TJSAMP_422);
        const std::size_t halfPlane = static_cast<std::size_t>(chromaWidth) * ((chromaRows + 1) / 2);
        chroma_.resize(2 * halfPlane);
        halveRows(planes[1], chromaWidth, chromaRows, chroma_.data());
        halveRows(planes[2], chromaWidth, chromaRows, chroma_.data() + halfPlane);
        planes[1] = chroma_.data();
        planes[2] = chroma_.data() + halfPlane;
    }
    if (!ensureOutputCapacity(tjBufSize(width, height, outputSubsampling))) {
        return false;
    }
    const unsigned char* sourcePlanes[3] = {planes[0], planes[1], planes[2]};
    unsigned long encodedSize = outputCapacity_;
    if (tjCompressFromYUVPlanes(encoder_, sourcePlanes, width, nullptr, height, outputSubsampling, &output_,
                                &encodedSize, kQuality, kEncodeFlags) != 0) {
        return false;
    }
    outputSize_ = encodedSize;
    width_ = width;
    height_ = height;
    return true;
}
