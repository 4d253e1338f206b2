// Small owning handles and helpers for driving real pipelines from the platform tests.
#pragma once

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <utility>

namespace platform_test {

template <typename T>
struct ObjectRef {
    T *ptr = nullptr;
    ObjectRef() = default;
    explicit ObjectRef(T *p) : ptr(p) {}
    ObjectRef(ObjectRef &&o) noexcept : ptr(std::exchange(o.ptr, nullptr)) {}
    ObjectRef &operator=(ObjectRef &&o) noexcept {
        std::swap(ptr, o.ptr);
        return *this;
    }
    ObjectRef(const ObjectRef &) = delete;
    ObjectRef &operator=(const ObjectRef &) = delete;
    ~ObjectRef() {
        if (ptr)
            gst_object_unref(ptr);
    }
    T *get() const { return ptr; }
    explicit operator bool() const { return ptr != nullptr; }
};

struct Sample {
    GstSample *ptr = nullptr;
    explicit Sample(GstSample *s = nullptr) : ptr(s) {}
    Sample(Sample &&o) noexcept : ptr(std::exchange(o.ptr, nullptr)) {}
    Sample &operator=(Sample &&o) noexcept {
        std::swap(ptr, o.ptr);
        return *this;
    }
    Sample(const Sample &) = delete;
    Sample &operator=(const Sample &) = delete;
    ~Sample() {
        if (ptr)
            gst_sample_unref(ptr);
    }
    explicit operator bool() const { return ptr != nullptr; }
    GstBuffer *buffer() const { return gst_sample_get_buffer(ptr); }
    GstClockTime pts() const { return GST_BUFFER_PTS(buffer()); }
    int width() const {
        int w = 0;
        gst_structure_get_int(gst_caps_get_structure(gst_sample_get_caps(ptr), 0), "width", &w);
        return w;
    }
};

struct Message {
    GstMessage *ptr = nullptr;
    explicit Message(GstMessage *m = nullptr) : ptr(m) {}
    Message(Message &&o) noexcept : ptr(std::exchange(o.ptr, nullptr)) {}
    Message(const Message &) = delete;
    ~Message() {
        if (ptr)
            gst_message_unref(ptr);
    }
    explicit operator bool() const { return ptr != nullptr; }
};

constexpr GstClockTime ms = GST_MSECOND;

// A pipeline from a gst-launch description; set to NULL and released on destruction.
class Pipeline {
public:
    explicit Pipeline(const std::string &description) {
        GError *error = nullptr;
        pipeline_ = gst_parse_launch(description.c_str(), &error);
        if (error) {
            ADD_FAILURE() << "cannot build \"" << description << "\": " << error->message;
            g_error_free(error);
        }
    }
    Pipeline(const Pipeline &) = delete;
    Pipeline &operator=(const Pipeline &) = delete;
    ~Pipeline() { reset(); }

    void reset() {
        if (pipeline_) {
            gst_element_set_state(pipeline_, GST_STATE_NULL);
            gst_object_unref(pipeline_);
            pipeline_ = nullptr;
        }
    }
    GstElement *get() const { return pipeline_; }

    GstStateChangeReturn set_state(GstState state) {
        return gst_element_set_state(pipeline_, state);
    }
    // Requests PLAYING, as the daemon does, without waiting: a live pipeline completes the change
    // only when data reaches its sinks.
    void play() { ASSERT_NE(set_state(GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE); }

    ObjectRef<GstElement> element(const char *name) const {
        return ObjectRef<GstElement>(gst_bin_get_by_name(GST_BIN(pipeline_), name));
    }

    // The next bus message of one of `types` within `timeout`, or none.
    Message wait(GstMessageType types, GstClockTime timeout) const {
        ObjectRef<GstBus> bus(gst_element_get_bus(pipeline_));
        return Message(gst_bus_timed_pop_filtered(bus.get(), timeout, types));
    }
    bool ended_within(GstClockTime timeout) const {
        Message m = wait(static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR), timeout);
        return m && GST_MESSAGE_TYPE(m.ptr) == GST_MESSAGE_EOS;
    }

    // Next sample of the appsink `name` within `timeout`, or none.
    Sample pull(const char *name, GstClockTime timeout) const {
        ObjectRef<GstElement> sink = element(name);
        if (!sink)
            return Sample();
        return Sample(gst_app_sink_try_pull_sample(GST_APP_SINK(sink.get()), timeout));
    }

private:
    GstElement *pipeline_ = nullptr;
};

// Counts the buffers that reach a pad, from its streaming thread.
class BufferCounter {
public:
    BufferCounter(const Pipeline &pipeline, const char *element, const char *pad) {
        ObjectRef<GstElement> e = pipeline.element(element);
        pad_ = ObjectRef<GstPad>(gst_element_get_static_pad(e.get(), pad));
        probe_ = gst_pad_add_probe(pad_.get(), GST_PAD_PROBE_TYPE_BUFFER, on_buffer, this, nullptr);
    }
    ~BufferCounter() { gst_pad_remove_probe(pad_.get(), probe_); }
    int count() const { return count_.load(); }

private:
    static GstPadProbeReturn on_buffer(GstPad *, GstPadProbeInfo *, gpointer self) {
        static_cast<BufferCounter *>(self)->count_++;
        return GST_PAD_PROBE_OK;
    }
    ObjectRef<GstPad> pad_;
    gulong probe_ = 0;
    std::atomic<int> count_{0};
};

inline std::string raw_caps(int width, int fps = 30) {
    return "video/x-raw,format=RGBA,width=" + std::to_string(width) +
           ",height=48,framerate=" + std::to_string(fps) + "/1";
}

}  // namespace platform_test
