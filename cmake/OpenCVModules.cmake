# Debian's per-module OpenCV development packages ship headers and libraries
# but no CMake package or pkg-config file (those come with the all-in-one
# package), so the modules are located directly and wrapped in one target.
find_path(OPENCV_MODULES_INCLUDE_DIR opencv2/core.hpp PATH_SUFFIXES opencv4 REQUIRED)

add_library(opencv_modules INTERFACE)
target_include_directories(opencv_modules SYSTEM INTERFACE ${OPENCV_MODULES_INCLUDE_DIR})
foreach(module videoio imgcodecs imgproc core)
  find_library(OPENCV_${module}_LIBRARY NAMES opencv_${module} REQUIRED)
  target_link_libraries(opencv_modules INTERFACE ${OPENCV_${module}_LIBRARY})
endforeach()
add_library(opencv::modules ALIAS opencv_modules)
