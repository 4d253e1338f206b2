// The overlay element between an appsrc and an appsink, one 1024x768 RGBA picture in, one out:
// the harness of the tests of both overlay stand-ins (cairo and Qt).
#pragma once

#include <string>
#include <vector>

#include "test_imx_support.h"

namespace test_support {

constexpr int kWidth = 1024;
constexpr int kHeight = 768;
using Frame = std::vector<guint8>;

struct Rgb {
    int r, g, b;
};

inline Rgb pixel(const Frame &f, int x, int y) {
    const guint8 *p = &f[((size_t)y * kWidth + x) * 4];
    return {p[0], p[1], p[2]};
}

class OverlayPipeline {
public:
    explicit OverlayPipeline(const std::string &qml)
        : p_("appsrc name=in format=time "
             "caps=video/x-raw,format=RGBA,width=1024,height=768,framerate=30/1 ! "
             "qtoverlay name=ov ! appsink name=out sync=false") {
        ov_ = p_.element("ov");
        g_object_set(ov_.get(), "qml", qml.c_str(), NULL);
    }
    Pipeline &pipeline() { return p_; }
    GstElement *element() { return ov_.get(); }
    guint64 frames() const { return frames_; }
    void set(const std::string &text) {
        g_object_set(ov_.get(), "qml-attribute", text.c_str(), NULL);
    }
    void disable(bool on) { g_object_set(ov_.get(), "disable", on ? TRUE : FALSE, NULL); }

    Frame run(const Frame &input) {
        GstBuffer *buf = gst_buffer_new_memdup(input.data(), input.size());
        GST_BUFFER_PTS(buf) = frames_ * GST_SECOND / 30;
        GST_BUFFER_DURATION(buf) = GST_SECOND / 30;
        frames_++;
        Ref<GstElement> in = p_.element("in");
        GstFlowReturn ret = GST_FLOW_ERROR;
        g_signal_emit_by_name(in.get(), "push-buffer", buf, &ret);
        gst_buffer_unref(buf);
        EXPECT_EQ(ret, GST_FLOW_OK);
        Sample s = p_.pull();
        if (!s) {
            ADD_FAILURE() << "no picture out";
            return {};
        }
        Mapped map(s.get());
        return map.bytes();
    }

    // Texts of the warning messages posted since the last call.
    std::vector<std::string> warnings() {
        std::vector<std::string> texts;
        Ref<GstBus> bus(gst_element_get_bus(p_.get()));
        while (GstMessage *msg = gst_bus_pop_filtered(bus.get(), GST_MESSAGE_WARNING)) {
            GError *error = nullptr;
            gst_message_parse_warning(msg, &error, nullptr);
            texts.push_back(error ? error->message : "");
            g_clear_error(&error);
            gst_message_unref(msg);
        }
        return texts;
    }

private:
    Pipeline p_;
    Ref<GstElement> ov_;
    guint64 frames_ = 0;
};

}  // namespace test_support
