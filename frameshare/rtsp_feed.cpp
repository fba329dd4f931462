#include "rtsp_feed.h"

#include <gst/app/gstappsrc.h>
#include <gst/video/video.h>

#include <cstring>
#include <vector>

#include "h264_sei.h"
#include "rtsp_encoder.h"

namespace frameshare {
namespace {

constexpr GstClockTime kKeyFrameInterval = GST_SECOND;

GstPad* staticPad(GstElement* element, const char* name) { return gst_element_get_static_pad(element, name); }

GstClockTime runningTime(GstPad* pad, GstClockTime pts) {
    GstEvent* event = gst_pad_get_sticky_event(pad, GST_EVENT_SEGMENT, 0);
    if (event == nullptr) {
        return pts;
    }
    const GstSegment* segment = nullptr;
    gst_event_parse_segment(event, &segment);
    const GstClockTime running = gst_segment_to_running_time(segment, GST_FORMAT_TIME, pts);
    gst_event_unref(event);
    return running;
}

std::string stateText(const Fetched& state) {
    switch (state.state) {
        case FetchState::NoProducer:
            return "no producer: waiting for one to start";
        case FetchState::NoFrameYet:
            return "producer running, no frame yet";
        case FetchState::Error:
            return std::string("segment unreadable: ") + std::strerror(state.error);
        case FetchState::Frame:
            break;
    }
    return "producer publishing";
}

}  // namespace

RtspFeed::RtspFeed(GstElement* bin, const FeedSettings& settings, Log log)
    : settings_(settings),
      log_(std::move(log)),
      source_(settings.fps, [this](const std::uint8_t* jpeg, std::size_t size, std::int64_t steadyUs) {
                  push(jpeg, size, steadyUs);
              },
              [this](const Fetched& state) { log_(stateText(state)); }) {
    frames_ = gst_bin_get_by_name(GST_BIN(bin), "frames");
    size_ = gst_bin_get_by_name(GST_BIN(bin), "size");
    encoder_ = gst_bin_get_by_name(GST_BIN(bin), "encoder");
    encoded_ = gst_bin_get_by_name(GST_BIN(bin), "encoded");
    if (frames_ == nullptr || size_ == nullptr || encoder_ == nullptr || encoded_ == nullptr) {
        throw std::runtime_error("the stream's pipeline lacks one of its elements");
    }
    // Two frames at most wait for the encoder; when it falls behind the
    // older ones go, so the stream stays current rather than late.
    gst_app_src_set_max_buffers(GST_APP_SRC(frames_), 2);
    gst_app_src_set_leaky_type(GST_APP_SRC(frames_), GST_APP_LEAKY_TYPE_DOWNSTREAM);
    configureEncoder(encoder_, settings_.encoder, settings_.bitrateKbit);

    const std::pair<GstPad*, GstPadProbeCallback> probes[] = {{staticPad(frames_, "src"), toRunningTime},
                                                              {staticPad(encoder_, "sink"), askForKeyFrames},
                                                              {staticPad(encoded_, "src"), stampEncodedUnit}};
    for (const auto& [pad, probe] : probes) {
        if (pad != nullptr) {
            probes_.emplace_back(pad, gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, probe, this, nullptr));
        }
    }
}

RtspFeed::~RtspFeed() {
    stop();
    // The pipeline may outlive the feed (a media never prepared).
    for (const auto& [pad, id] : probes_) {
        gst_pad_remove_probe(pad, id);
        gst_object_unref(pad);
    }
    for (GstElement* element : {frames_, size_, encoder_, encoded_}) {
        if (element != nullptr) {
            gst_object_unref(element);
        }
    }
}

void RtspFeed::start() { source_.start(); }

void RtspFeed::stop() { source_.stop(); }

// The output size is fixed by the first frame (or --width), so a producer
// restarted at another size changes nothing for the clients: its frames
// are scaled, with borders where the shape differs.
void RtspFeed::fixSize(const std::uint8_t* jpeg, std::size_t size) {
    int width = 0, height = 0;
    if (!jpegDimensions(jpeg, size, &width, &height) || width <= 0 || height <= 0) {
        return;
    }
    int outWidth = width, outHeight = height;
    if (settings_.width > 0) {
        outWidth = settings_.width;
        outHeight = static_cast<int>(static_cast<long long>(height) * outWidth / width);
    }
    outWidth = std::max(2, outWidth & ~1);  // 4:2:0 wants even sizes
    outHeight = std::max(2, outHeight & ~1);
    GstCaps* caps = gst_caps_new_simple("video/x-raw", "width", G_TYPE_INT, outWidth, "height", G_TYPE_INT, outHeight,
                                        "pixel-aspect-ratio", GST_TYPE_FRACTION, 1, 1, nullptr);
    if (encoderWantsI420(settings_.encoder)) {
        gst_caps_set_simple(caps, "format", G_TYPE_STRING, "I420", nullptr);
    }
    g_object_set(size_, "caps", caps, nullptr);
    gst_caps_unref(caps);
    sized_ = true;
    log_("stream started: " + settings_.encoder + ", " + std::to_string(outWidth) + "x" + std::to_string(outHeight) +
         ", " + std::to_string(settings_.bitrateKbit) + " kbit/s");
}

void RtspFeed::push(const std::uint8_t* jpeg, std::size_t size, std::int64_t steadyUs) {
    if (!sized_) {
        fixSize(jpeg, size);
        if (!sized_) {
            return;  // no readable JPEG header: nothing to size the stream by
        }
    }
    GstBuffer* buffer = gst_buffer_new_allocate(nullptr, size, nullptr);
    if (buffer == nullptr) {
        return;
    }
    gst_buffer_fill(buffer, 0, jpeg, size);
    // The capture time on the steady clock; turned into running time once
    // the buffer leaves appsrc and the pipeline's clock is known.
    GST_BUFFER_PTS(buffer) = static_cast<GstClockTime>(steadyUs) * GST_USECOND;
    gst_app_src_push_buffer(GST_APP_SRC(frames_), buffer);  // takes it; fails only while stopping
}

GstPadProbeReturn RtspFeed::toRunningTime(GstPad*, GstPadProbeInfo* info, gpointer self) {
    auto* feed = static_cast<RtspFeed*>(self);
    GstBuffer* buffer = gst_buffer_make_writable(GST_PAD_PROBE_INFO_BUFFER(info));
    GST_PAD_PROBE_INFO_DATA(info) = buffer;
    GstClock* clock = gst_element_get_clock(feed->frames_);
    if (clock == nullptr) {
        return GST_PAD_PROBE_DROP;  // not playing yet
    }
    const std::int64_t steadyUs = static_cast<std::int64_t>(GST_BUFFER_PTS(buffer) / GST_USECOND);
    // The pipeline's clock against the steady clock now: the same clock in
    // practice (monotonic), but nothing here depends on it.
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const GstClockTimeDiff offset = static_cast<GstClockTimeDiff>(gst_clock_get_time(clock)) -
                                    static_cast<GstClockTimeDiff>(GST_TIMESPEC_TO_TIME(now));
    gst_object_unref(clock);
    GstClockTimeDiff running = static_cast<GstClockTimeDiff>(GST_BUFFER_PTS(buffer)) + offset -
                               static_cast<GstClockTimeDiff>(gst_element_get_base_time(feed->frames_));
    std::lock_guard<std::mutex> lock(feed->stampsMutex_);
    // A frame captured before the pipeline started, or a clock that went
    // back: timestamps only ever grow.
    if (running < 0) {
        running = 0;
    }
    if (feed->lastPts_ != GST_CLOCK_TIME_NONE && static_cast<GstClockTime>(running) <= feed->lastPts_) {
        running = static_cast<GstClockTimeDiff>(feed->lastPts_ + GST_MSECOND);  // apart in 90 kHz RTP time too
    }
    GST_BUFFER_PTS(buffer) = static_cast<GstClockTime>(running);
    GST_BUFFER_DTS(buffer) = GST_CLOCK_TIME_NONE;
    feed->lastPts_ = static_cast<GstClockTime>(running);
    feed->stamps_[feed->nextStamp_] = Stamp{feed->lastPts_, steadyUs};
    feed->nextStamp_ = (feed->nextStamp_ + 1) % feed->stamps_.size();
    return GST_PAD_PROBE_OK;
}

// Asks for a key frame when the next frame would come more than a second
// after the last one: the encoder's own interval counts frames, and the
// frame rate is the producer's.
GstPadProbeReturn RtspFeed::askForKeyFrames(GstPad* pad, GstPadProbeInfo* info, gpointer self) {
    auto* feed = static_cast<RtspFeed*>(self);
    const GstClockTime pts = runningTime(pad, GST_BUFFER_PTS(GST_PAD_PROBE_INFO_BUFFER(info)));
    if (!GST_CLOCK_TIME_IS_VALID(pts)) {
        return GST_PAD_PROBE_OK;
    }
    if (GST_CLOCK_TIME_IS_VALID(feed->lastInputPts_) && pts > feed->lastInputPts_) {
        feed->inputGap_ = pts - feed->lastInputPts_;
    }
    feed->lastInputPts_ = pts;
    const GstClockTime lastKey = feed->lastKeyPts_.load();
    if (!GST_CLOCK_TIME_IS_VALID(lastKey) || feed->keyAsked_.load() ||
        pts + feed->inputGap_ <= lastKey + kKeyFrameInterval) {
        return GST_PAD_PROBE_OK;
    }
    feed->keyAsked_.store(true);
    // For this very frame: serialized before it on the same pad.
    gst_pad_send_event(pad, gst_video_event_new_downstream_force_key_unit(GST_CLOCK_TIME_NONE, GST_CLOCK_TIME_NONE,
                                                                           GST_CLOCK_TIME_NONE, TRUE, 0));
    return GST_PAD_PROBE_OK;
}

// Puts the frame's capture time into the access unit as an SEI message,
// before its first slice, and notes key frames.
GstPadProbeReturn RtspFeed::stampEncodedUnit(GstPad* pad, GstPadProbeInfo* info, gpointer self) {
    auto* feed = static_cast<RtspFeed*>(self);
    GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    // Encoders may shift timestamps together with their segment (x264enc
    // by 1000 hours): compare running times.
    const GstClockTime pts = runningTime(pad, GST_BUFFER_PTS(buffer));
    if (!GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT) && GST_CLOCK_TIME_IS_VALID(pts)) {
        feed->lastKeyPts_.store(pts);
        feed->keyAsked_.store(false);
    }
    std::int64_t steadyUs = -1;
    {
        std::lock_guard<std::mutex> lock(feed->stampsMutex_);
        for (const Stamp& stamp : feed->stamps_) {
            if (stamp.pts == pts) {
                steadyUs = stamp.steadyUs;
                break;
            }
        }
    }
    if (steadyUs < 0) {
        return GST_PAD_PROBE_OK;
    }
    GstMapInfo map;
    if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) {
        return GST_PAD_PROBE_OK;
    }
    const std::vector<std::uint8_t> sei = frameTimestampSei(steadyUs);
    const std::size_t at = seiInsertionPoint(map.data, map.size);
    GstBuffer* stamped = gst_buffer_new_allocate(nullptr, map.size + sei.size(), nullptr);
    if (stamped != nullptr) {
        gst_buffer_fill(stamped, 0, map.data, at);
        gst_buffer_fill(stamped, at, sei.data(), sei.size());
        gst_buffer_fill(stamped, at + sei.size(), map.data + at, map.size - at);
        gst_buffer_copy_into(stamped, buffer, GST_BUFFER_COPY_METADATA, 0, static_cast<gsize>(-1));
    }
    gst_buffer_unmap(buffer, &map);
    if (stamped != nullptr) {
        gst_buffer_unref(buffer);
        GST_PAD_PROBE_INFO_DATA(info) = stamped;
    }
    return GST_PAD_PROBE_OK;
}

}  // namespace frameshare
