// Writes a short 1920x1080 MJPG clip whose frames all differ: a moving
// gradient, a bouncing disc and the frame number burnt in.
#include <iostream>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <string>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: " << argv[0] << " OUTPUT.avi [FRAMES] [WIDTH HEIGHT]" << std::endl;
        return 2;
    }
    const int frames = argc > 2 ? std::stoi(argv[2]) : 60;
    const int width = argc > 4 ? std::stoi(argv[3]) : 1920;
    const int height = argc > 4 ? std::stoi(argv[4]) : 1080;
    cv::VideoWriter writer(argv[1], cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 30, cv::Size(width, height));
    if (!writer.isOpened()) {
        std::cerr << "Error: cannot write " << argv[1] << std::endl;
        return 1;
    }
    cv::Mat image(height, width, CV_8UC3);
    for (int n = 0; n < frames; ++n) {
        for (int y = 0; y < height; ++y) {
            auto* row = image.ptr<cv::Vec3b>(y);
            for (int x = 0; x < width; ++x) {
                row[x] = cv::Vec3b(static_cast<uchar>((x + 8 * n) & 0xff), static_cast<uchar>((y + 4 * n) & 0xff),
                                   static_cast<uchar>((x + y) / 16 & 0xff));
            }
        }
        const int cx = width / 8 + (n * width / 2 / (frames > 1 ? frames - 1 : 1));
        cv::circle(image, cv::Point(cx, height / 2), height / 6, cv::Scalar(255, 255, 255), cv::FILLED);
        cv::putText(image, "frame " + std::to_string(n), cv::Point(40, height - 60), cv::FONT_HERSHEY_SIMPLEX,
                    height / 360.0, cv::Scalar(0, 0, 0), 4);
        writer << image;
    }
    writer.release();
    std::cout << "Wrote " << frames << " frames of " << width << "x" << height << " to " << argv[1] << std::endl;
    return 0;
}
