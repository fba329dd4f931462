// Generated video clips for tests that feed the demo producer or OpenCV.
#pragma once

#include <string>

namespace test_support {

// Writes an MJPG clip whose frames all differ.
void writeClip(const std::string& path, int frames, int width, int height);

}  // namespace test_support
