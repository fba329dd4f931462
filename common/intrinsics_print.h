// The six value lines of an intrinsics record, as both sides print them.
#pragma once

#include <iostream>

#include "shared_data.h"

inline void printIntrinsicValues(const CameraIntrinsic& intrinsic) {
    std::cout << "  fx: " << intrinsic.fx << std::endl;
    std::cout << "  fy: " << intrinsic.fy << std::endl;
    std::cout << "  cx: " << intrinsic.cx << std::endl;
    std::cout << "  cy: " << intrinsic.cy << std::endl;
    std::cout << "  width: " << intrinsic.width << std::endl;
    std::cout << "  height: " << intrinsic.height << std::endl;
}
