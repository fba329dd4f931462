#include "rtsp_watcher.h"

#include <gst/app/gstappsink.h>

#include <algorithm>
#include <chrono>

#include "h264_sei.h"

namespace {

std::int64_t steadyNowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

RtspWatcher::RtspWatcher(const std::string& url) {
    gst_init(nullptr, nullptr);
    const std::string description = "rtspsrc location=" + url +
                                    " protocols=tcp latency=0 ! rtph264depay ! "
                                    "video/x-h264,stream-format=byte-stream,alignment=au ! "
                                    "appsink name=sink sync=false emit-signals=true max-buffers=100";
    GError* error = nullptr;
    pipeline_ = gst_parse_launch(description.c_str(), &error);
    if (pipeline_ == nullptr) {
        error_ = error != nullptr ? error->message : "cannot build the client";
        g_clear_error(&error);
        return;
    }
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline_), "sink");
    g_signal_connect(sink, "new-sample", G_CALLBACK(onSample), this);
    gst_object_unref(sink);
    gst_element_set_state(pipeline_, GST_STATE_PLAYING);
}

RtspWatcher::~RtspWatcher() {
    if (pipeline_ != nullptr) {
        gst_element_set_state(pipeline_, GST_STATE_NULL);
        gst_object_unref(pipeline_);
    }
}

GstFlowReturn RtspWatcher::onSample(GstElement* sink, gpointer self) {
    auto* watcher = static_cast<RtspWatcher*>(self);
    GstSample* sample = gst_app_sink_pull_sample(GST_APP_SINK(sink));
    if (sample == nullptr) {
        return GST_FLOW_EOS;
    }
    ArrivedUnit unit;
    unit.arrivalUs = steadyNowUs();
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    GstMapInfo map;
    bool picture = false;
    const GstClockTime pts = buffer != nullptr ? GST_BUFFER_PTS(buffer) : GST_CLOCK_TIME_NONE;
    if (buffer != nullptr && gst_buffer_map(buffer, &map, GST_MAP_READ)) {
        // The depayloader hands out the SDP's parameter sets on their own.
        picture = frameshare::seiInsertionPoint(map.data, map.size) < map.size;
        unit.steadyUs = frameshare::findFrameTimestamp(map.data, map.size).value_or(-1);
        unit.size = map.size;
        unit.key = !GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
        gst_buffer_unmap(buffer, &map);
    }
    gst_sample_unref(sample);
    if (!picture) {
        return GST_FLOW_OK;
    }
    std::lock_guard<std::mutex> lock(watcher->mutex_);
    // The slices of one picture may come in more than one buffer.
    if (!watcher->units_.empty() && GST_CLOCK_TIME_IS_VALID(pts) && pts == watcher->lastPts_) {
        ArrivedUnit& last = watcher->units_.back();
        last.size += unit.size;
        last.steadyUs = std::max(last.steadyUs, unit.steadyUs);
        return GST_FLOW_OK;
    }
    watcher->lastPts_ = pts;
    watcher->units_.push_back(unit);
    return GST_FLOW_OK;
}

std::vector<ArrivedUnit> RtspWatcher::units() {
    std::lock_guard<std::mutex> lock(mutex_);
    return units_;
}

std::size_t RtspWatcher::count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return units_.size();
}

std::string RtspWatcher::error() {
    if (pipeline_ != nullptr) {
        GstBus* bus = gst_element_get_bus(pipeline_);
        while (GstMessage* message = gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR)) {
            GError* error = nullptr;
            gst_message_parse_error(message, &error, nullptr);
            std::lock_guard<std::mutex> lock(mutex_);
            if (error_.empty() && error != nullptr) {
                error_ = error->message;
            }
            g_clear_error(&error);
            gst_message_unref(message);
        }
        gst_object_unref(bus);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    return error_;
}
