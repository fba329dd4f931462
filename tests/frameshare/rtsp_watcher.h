// A GStreamer RTSP client for the tests and the benchmark: rtspsrc over TCP,
// depayloaded to H.264 access units, each noted with its arrival time and
// the capture time its SEI message carries. Only units with a picture count.
#pragma once

#include <gst/gst.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct ArrivedUnit {
    std::int64_t arrivalUs = 0;   // steady clock
    std::int64_t steadyUs = -1;   // from the SEI message; -1 without one
    bool key = false;
    std::size_t size = 0;
};

class RtspWatcher {
public:
    explicit RtspWatcher(const std::string& url);
    ~RtspWatcher();
    RtspWatcher(const RtspWatcher&) = delete;
    RtspWatcher& operator=(const RtspWatcher&) = delete;

    std::vector<ArrivedUnit> units();
    std::size_t count();
    std::string error();  // the first error the pipeline reported, or ""

private:
    static GstFlowReturn onSample(GstElement* sink, gpointer self);

    GstElement* pipeline_ = nullptr;
    std::mutex mutex_;
    std::vector<ArrivedUnit> units_;
    GstClockTime lastPts_ = GST_CLOCK_TIME_NONE;
    std::string error_;
};
