// The H.264 encoder of `frameshare rtsp` and the pipeline around it.
#pragma once

#include <gst/gst.h>

#include <string>

namespace frameshare {

struct EncoderChoice {
    std::string element;  // empty when none fits
    std::string reason;   // for the log, or why none fits
};

// "auto": the first hardware H.264 encoder element this machine has, else
// x264enc. Any other name must be an H.264 encoder element.
EncoderChoice chooseEncoder(const std::string& requested);

// frames (appsrc, JPEG) ! jpegdec ! videoscale ! videoconvert ! size
// (capsfilter, set from the first frame) ! encoder ! byte-stream access
// units (encoded) ! rtph264pay; in a bin for the media factory.
std::string pipelineDescription(const std::string& encoder);

// Zero latency, constant bitrate, repeated parameter sets, through whatever
// properties the element has.
void configureEncoder(GstElement* encoder, const std::string& element, int bitrateKbit);

// The raw format the size filter asks for: I420 for the software encoders
// (a 4:2:2 JPEG would otherwise give a High 4:2:2 stream few players
// decode); the hardware ones pick their own.
bool encoderWantsI420(const std::string& element);

}  // namespace frameshare
