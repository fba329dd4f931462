#include "rtsp_encoder.h"

#include <cstring>

namespace frameshare {
namespace {

// Raspberry Pi (V4L2 memory-to-memory), Jetson, then VA-API (new and old
// plugin). Each registers only where its device or driver is present.
constexpr const char* kHardwareEncoders[] = {"v4l2h264enc", "nvv4l2h264enc", "vah264enc", "vaapih264enc"};

bool isH264Encoder(GstElementFactory* factory) {
    const gchar* klass = gst_element_factory_get_metadata(factory, GST_ELEMENT_METADATA_KLASS);
    if (klass == nullptr || std::strstr(klass, "Encoder") == nullptr) {
        return false;
    }
    GstCaps* h264 = gst_caps_from_string("video/x-h264");
    const bool can = gst_element_factory_can_src_any_caps(factory, h264);
    gst_caps_unref(h264);
    return can;
}

bool has(GstElement* element, const char* property) {
    return g_object_class_find_property(G_OBJECT_GET_CLASS(element), property) != nullptr;
}

void setIfPresent(GstElement* element, const char* property, const std::string& value) {
    if (has(element, property)) {
        gst_util_set_object_arg(G_OBJECT(element), property, value.c_str());
    }
}

}  // namespace

EncoderChoice chooseEncoder(const std::string& requested) {
    if (requested != "auto") {
        GstElementFactory* factory = gst_element_factory_find(requested.c_str());
        if (factory == nullptr) {
            return {"", "GStreamer has no element '" + requested + "' (gst-inspect-1.0 lists them)"};
        }
        const bool fits = isH264Encoder(factory);
        gst_object_unref(factory);
        if (!fits) {
            return {"", "'" + requested + "' is not an H.264 encoder"};
        }
        return {requested, "as asked"};
    }
    for (const char* name : kHardwareEncoders) {
        if (GstElementFactory* factory = gst_element_factory_find(name)) {
            gst_object_unref(factory);
            return {name, "hardware"};
        }
    }
    if (GstElementFactory* factory = gst_element_factory_find("x264enc")) {
        gst_object_unref(factory);
        return {"x264enc", "software: no hardware H.264 encoder found"};
    }
    return {"", "neither a hardware H.264 encoder nor x264enc (gstreamer1.0-plugins-ugly) is installed"};
}

bool encoderWantsI420(const std::string& element) { return element == "x264enc" || element == "openh264enc"; }

std::string pipelineDescription(const std::string& encoder) {
    // Frames whose decoding fails are skipped (max-errors -1) instead of
    // ending the stream. SPS and PPS come with every key frame: x264enc
    // repeats them itself in byte-stream form; the other encoders pass
    // through h264parse, which adds them per access unit. The payloader
    // adds none: it would put them before each slice of a key frame, and
    // players take each such copy for the start of a new picture.
    const std::string toAccessUnits =
        encoder == "x264enc" ? "" : " ! h264parse config-interval=-1";
    return "( appsrc name=frames is-live=true format=time do-timestamp=false"
           " caps=image/jpeg,parsed=true,framerate=0/1"
           " ! jpegdec max-errors=-1 ! videoscale ! videoconvert ! capsfilter name=size"
           // Decoding the next frame while the last one is encoded; a
           // frame the encoder cannot take in time is dropped, not queued.
           " ! queue max-size-buffers=1 max-size-bytes=0 max-size-time=0 leaky=downstream"
           " ! " + encoder + " name=encoder" + toAccessUnits +
           " ! capsfilter name=encoded caps=video/x-h264,stream-format=byte-stream,alignment=au"
           " ! rtph264pay name=pay0 pt=96 config-interval=0 )";
}

void configureEncoder(GstElement* encoder, const std::string& element, int bitrateKbit) {
    const std::string kbit = std::to_string(bitrateKbit);
    const std::string bps = std::to_string(static_cast<long long>(bitrateKbit) * 1000);
    if (element == "x264enc") {
        // ultrafast: about 9 ms a 1080p frame on one core here, half of
        // superfast's 17, so 1080p30 leaves room for the producer on a
        // small machine; a hardware encoder or --width buys quality back.
        gst_util_set_object_arg(G_OBJECT(encoder), "tune", "zerolatency");
        gst_util_set_object_arg(G_OBJECT(encoder), "speed-preset", "ultrafast");
        gst_util_set_object_arg(G_OBJECT(encoder), "pass", "cbr");
        gst_util_set_object_arg(G_OBJECT(encoder), "bitrate", kbit.c_str());
        // Key frames come at least every second from the feed; this is the
        // fallback should none be asked for.
        gst_util_set_object_arg(G_OBJECT(encoder), "key-int-max", "60");
        return;
    }
    if (element == "v4l2h264enc") {
        // The V4L2 controls: constant bitrate (mode 1), headers with every
        // key frame.
        GstStructure* controls = gst_structure_new("controls", "video_bitrate", G_TYPE_INT, bitrateKbit * 1000,
                                                   "video_bitrate_mode", G_TYPE_INT, 1, "repeat_sequence_header",
                                                   G_TYPE_BOOLEAN, TRUE, nullptr);
        g_object_set(encoder, "extra-controls", controls, nullptr);
        gst_structure_free(controls);
        return;
    }
    // nvv4l2h264enc and openh264enc count bits per second, VA-API kbit.
    const bool inBps = element == "nvv4l2h264enc" || element == "openh264enc";
    setIfPresent(encoder, "bitrate", inBps ? bps : kbit);
    setIfPresent(encoder, "rate-control", "cbr");
    setIfPresent(encoder, "control-rate", "constant_bitrate");
    setIfPresent(encoder, "insert-sps-pps", "true");
    setIfPresent(encoder, "key-int-max", "60");
    setIfPresent(encoder, "iframeinterval", "60");
}

}  // namespace frameshare
