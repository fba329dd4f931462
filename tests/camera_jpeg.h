// A camera's MJPG frame made from a BGR image: 4:2:2 with its Huffman tables
// cut out, as many USB cameras send it. Shared by the transcoder's tests and
// its benchmark.
#pragma once

#include <turbojpeg.h>

#include <cstddef>
#include <vector>

// Empty when TurboJPEG cannot encode the image.
inline std::vector<unsigned char> cameraJpeg(const unsigned char* bgr, int width, int step, int height, int quality) {
    tjhandle encoder = tjInitCompress();
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    std::vector<unsigned char> frame;
    if (encoder != nullptr &&
        tjCompress2(encoder, bgr, width, step, height, TJPF_BGR, &jpeg, &size, TJSAMP_422, quality, 0) == 0) {
        frame.assign(jpeg, jpeg + 2);
        std::size_t at = 2;
        while (at + 4 <= size && jpeg[at] == 0xFF && jpeg[at + 1] != 0xDA) {
            const std::size_t length = 2 + (jpeg[at + 2] << 8 | jpeg[at + 3]);
            if (jpeg[at + 1] != 0xC4) {
                frame.insert(frame.end(), jpeg + at, jpeg + at + length);
            }
            at += length;
        }
        frame.insert(frame.end(), jpeg + at, jpeg + size);
    }
    tjFree(jpeg);
    if (encoder != nullptr) {
        tjDestroy(encoder);
    }
    return frame;
}
