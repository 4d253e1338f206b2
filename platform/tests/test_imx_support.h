// Helpers shared by the tests of the host camera, sink, encoders and overlay: owning handles,
// a pipeline run from a launch line with an appsink named "out", temporary sysroots.
#pragma once

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace test_support {

struct ObjectUnref {
    void operator()(gpointer p) const {
        if (p) {
            gst_object_unref(p);
        }
    }
};
struct SampleUnref {
    void operator()(GstSample *s) const {
        if (s) {
            gst_sample_unref(s);
        }
    }
};
template <typename T>
using Ref = std::unique_ptr<T, ObjectUnref>;
using Sample = std::unique_ptr<GstSample, SampleUnref>;

// Turns GLib warnings into failures: a property set with the wrong name or type warns.
inline void make_warnings_fatal() {
    g_log_set_always_fatal(static_cast<GLogLevelFlags>(G_LOG_LEVEL_WARNING | G_LOG_LEVEL_CRITICAL));
}

// A folder under the test's working directory, removed with its contents at the end.
class TempDir {
public:
    explicit TempDir(const char *prefix) {
        std::string pattern = std::string(g_get_tmp_dir()) + "/" + prefix + "-XXXXXX";
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        path_ = g_mkdtemp(buf.data());
    }
    ~TempDir() {
        std::string cmd = "rm -rf '" + path_ + "'";
        (void)!system(cmd.c_str());
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Points MRVDC_SYSROOT at a folder for the lifetime of the object.
class SysrootEnv {
public:
    explicit SysrootEnv(const std::string &root) {
        const char *old = g_getenv("MRVDC_SYSROOT");
        had_ = old != nullptr;
        if (old) {
            old_ = old;
        }
        g_setenv("MRVDC_SYSROOT", root.c_str(), TRUE);
    }
    ~SysrootEnv() {
        if (had_) {
            g_setenv("MRVDC_SYSROOT", old_.c_str(), TRUE);
        } else {
            g_unsetenv("MRVDC_SYSROOT");
        }
    }
    SysrootEnv(const SysrootEnv &) = delete;
    SysrootEnv &operator=(const SysrootEnv &) = delete;

private:
    bool had_ = false;
    std::string old_;
};

// Runs a shell command; returns its exit status (-1 when it did not exit normally).
inline int run(const std::string &cmd) {
    int status = system(cmd.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A pipeline from a launch line; stopped and released on destruction.
class Pipeline {
public:
    explicit Pipeline(const std::string &launch) {
        GError *error = nullptr;
        pipeline_.reset(gst_parse_launch(launch.c_str(), &error));
        if (error) {
            ADD_FAILURE() << "cannot build \"" << launch << "\": " << error->message;
            g_error_free(error);
            pipeline_.reset();
        }
    }
    ~Pipeline() {
        if (pipeline_) {
            gst_element_set_state(pipeline_.get(), GST_STATE_NULL);
        }
    }
    Pipeline(const Pipeline &) = delete;
    Pipeline &operator=(const Pipeline &) = delete;

    bool ok() const { return pipeline_ != nullptr; }
    GstElement *get() const { return pipeline_.get(); }
    Ref<GstElement> element(const char *name) const {
        return Ref<GstElement>(gst_bin_get_by_name(GST_BIN(pipeline_.get()), name));
    }
    GstStateChangeReturn play() {
        return gst_element_set_state(pipeline_.get(), GST_STATE_PLAYING);
    }

    // The next sample of the appsink "out", or null at end of stream or after `timeout_ms`.
    Sample pull(int timeout_ms = 5000) {
        Ref<GstElement> sink = element("out");
        return Sample(gst_app_sink_try_pull_sample(GST_APP_SINK(sink.get()),
                                                   (GstClockTime)timeout_ms * GST_MSECOND));
    }

    // Every sample until end of stream; fails the test on an error message.
    std::vector<Sample> pull_all(int timeout_ms = 60000) {
        std::vector<Sample> samples;
        Ref<GstElement> sink = element("out");
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (std::chrono::steady_clock::now() < deadline) {
            GstSample *s = gst_app_sink_try_pull_sample(GST_APP_SINK(sink.get()), GST_SECOND);
            if (s) {
                samples.emplace_back(s);
                continue;
            }
            if (gst_app_sink_is_eos(GST_APP_SINK(sink.get()))) {
                break;
            }
            expect_no_error();
        }
        expect_no_error();
        return samples;
    }

    // Pops the bus messages so far; fails the test for each error message.
    void expect_no_error() {
        Ref<GstBus> bus(gst_element_get_bus(pipeline_.get()));
        while (GstMessage *msg = gst_bus_pop_filtered(bus.get(), GST_MESSAGE_ERROR)) {
            GError *err = nullptr;
            gst_message_parse_error(msg, &err, nullptr);
            ADD_FAILURE() << "error from " << GST_OBJECT_NAME(GST_MESSAGE_SRC(msg)) << ": "
                          << err->message;
            g_error_free(err);
            gst_message_unref(msg);
        }
    }

    // The message of the first error on the bus within `timeout_ms`, or "" when none.
    std::string wait_error(int timeout_ms) {
        Ref<GstBus> bus(gst_element_get_bus(pipeline_.get()));
        GstMessage *msg = gst_bus_timed_pop_filtered(
            bus.get(), (GstClockTime)timeout_ms * GST_MSECOND, GST_MESSAGE_ERROR);
        if (!msg) {
            return "";
        }
        GError *err = nullptr;
        gst_message_parse_error(msg, &err, nullptr);
        std::string text = err->message;
        g_error_free(err);
        gst_message_unref(msg);
        return text;
    }

private:
    Ref<GstElement> pipeline_;
};

// Read access to the bytes of a sample's buffer.
class Mapped {
public:
    explicit Mapped(GstSample *sample) : buffer_(gst_sample_get_buffer(sample)) {
        ok_ = buffer_ && gst_buffer_map(buffer_, &map_, GST_MAP_READ);
    }
    ~Mapped() {
        if (ok_) {
            gst_buffer_unmap(buffer_, &map_);
        }
    }
    Mapped(const Mapped &) = delete;
    Mapped &operator=(const Mapped &) = delete;
    bool ok() const { return ok_; }
    const guint8 *data() const { return map_.data; }
    gsize size() const { return map_.size; }
    std::vector<guint8> bytes() const {
        return std::vector<guint8>(map_.data, map_.data + map_.size);
    }

private:
    GstBuffer *buffer_;
    GstMapInfo map_{};
    bool ok_ = false;
};

inline int caps_int(GstSample *sample, const char *field) {
    GstStructure *s = gst_caps_get_structure(gst_sample_get_caps(sample), 0);
    int value = -1;
    gst_structure_get_int(s, field, &value);
    return value;
}

}  // namespace test_support
