// Re-encodes the JPEG frames a camera sends (MJPG) as the JPEG the segment
// carries: quality 95 with the standard quantisation and Huffman tables.
// Works on planar YCbCr end to end, so neither side converts colours.
#pragma once

#include <cstddef>
#include <vector>

class JpegTranscoder {
public:
    static constexpr int kQuality = 95;
    // Frames larger than this (a header's claim, not checked otherwise) are
    // refused before anything is allocated for them.
    static constexpr long kMaxPixels = 7680L * 4320L;

    JpegTranscoder();
    ~JpegTranscoder();
    // Owns two TurboJPEG handles and buffers that grow with the frame.
    JpegTranscoder(const JpegTranscoder&) = delete;
    JpegTranscoder& operator=(const JpegTranscoder&) = delete;

    // Decodes one camera frame and encodes it again. A frame without Huffman
    // tables decodes with the standard ones. Returns false, keeping nothing,
    // for a frame that does not decode (corrupt, without its end-of-image
    // marker, so cut short, not YCbCr or greyscale, larger than kMaxPixels or
    // of another size than expected); a frame whose image data is damaged but
    // whole decodes, as it would anywhere else.
    bool transcode(const unsigned char* jpeg, std::size_t size);

    // The size the camera was set to: a frame whose header claims another
    // one is refused before anything is allocated for it. 0 accepts any.
    void expectSize(int width, int height) {
        expectedWidth_ = width;
        expectedHeight_ = height;
    }

    // The last transcoded frame; valid until the next call.
    const unsigned char* data() const { return output_; }
    std::size_t size() const { return outputSize_; }
    int width() const { return width_; }
    int height() const { return height_; }

private:
    bool transcodeOnce(const unsigned char* jpeg, std::size_t size);
    bool ensureOutputCapacity(unsigned long bytes);

    void* decoder_ = nullptr;
    void* encoder_ = nullptr;
    std::vector<unsigned char> planes_;   // the decoded frame
    std::vector<unsigned char> chroma_;   // its chroma, halved vertically (4:2:2 in, 4:2:0 out)
    unsigned char* output_ = nullptr;     // from tjAlloc; the encoder writes here without reallocating
    unsigned long outputCapacity_ = 0;
    std::size_t outputSize_ = 0;
    int width_ = 0;
    int height_ = 0;
    int expectedWidth_ = 0;
    int expectedHeight_ = 0;
};
