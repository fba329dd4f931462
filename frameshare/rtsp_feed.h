// Frames of the producer into one RTSP media's pipeline, and what the
// stream carries besides the picture. One feed per pipeline: it reads
// frames only while that pipeline exists.
#pragma once

#include <gst/gst.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "frame_source.h"

namespace frameshare {

struct FeedSettings {
    std::string encoder;    // element name
    int bitrateKbit = 4000;
    int width = 0;          // 0: the producer's
    double fps = 0;         // 0: the producer's
};

class RtspFeed {
public:
    using Log = std::function<void(const std::string&)>;

    // bin: the media's element, holding "frames", "size", "encoder" and
    // "encoded" (see pipelineDescription).
    RtspFeed(GstElement* bin, const FeedSettings& settings, Log log);
    ~RtspFeed();
    RtspFeed(const RtspFeed&) = delete;
    RtspFeed& operator=(const RtspFeed&) = delete;

    void start();
    void stop();  // no frame is pushed after it returns

private:
    void push(const std::uint8_t* jpeg, std::size_t size, std::int64_t steadyUs);
    void fixSize(const std::uint8_t* jpeg, std::size_t size);
    static GstPadProbeReturn toRunningTime(GstPad* pad, GstPadProbeInfo* info, gpointer self);
    static GstPadProbeReturn askForKeyFrames(GstPad* pad, GstPadProbeInfo* info, gpointer self);
    static GstPadProbeReturn stampEncodedUnit(GstPad* pad, GstPadProbeInfo* info, gpointer self);

    FeedSettings settings_;
    Log log_;
    GstElement* frames_ = nullptr;
    GstElement* size_ = nullptr;
    GstElement* encoder_ = nullptr;
    GstElement* encoded_ = nullptr;
    std::vector<std::pair<GstPad*, gulong>> probes_;
    bool sized_ = false;  // the source thread's only

    // Running time of each frame's capture, and back: the encoder keeps
    // the buffer's timestamp, not the buffer.
    struct Stamp {
        GstClockTime pts = GST_CLOCK_TIME_NONE;
        std::int64_t steadyUs = 0;
    };
    std::mutex stampsMutex_;
    std::array<Stamp, 64> stamps_{};
    std::size_t nextStamp_ = 0;
    GstClockTime lastPts_ = GST_CLOCK_TIME_NONE;

    // Key frames at least every second, whatever the frame rate.
    std::atomic<GstClockTime> lastKeyPts_{GST_CLOCK_TIME_NONE};
    std::atomic<bool> keyAsked_{false};
    GstClockTime lastInputPts_ = GST_CLOCK_TIME_NONE;  // the encoder's input thread only
    GstClockTime inputGap_ = 0;

    FrameSource source_;
};

}  // namespace frameshare
