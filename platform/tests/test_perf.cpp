// Behaviour of the perf element in real pipelines: rate reports once a second on the bus and in
// the debug log, and the process's CPU load on request.
#include <gst/gst.h>
#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "test_interpipe_pipeline.h"

using namespace platform_test;

namespace {

// Collects the lines that perf writes to the GStreamer debug log.
class PerfLog {
public:
    PerfLog() {
        gst_debug_set_threshold_for_name("perf", GST_LEVEL_INFO);
        gst_debug_add_log_function(on_log, this, nullptr);
    }
    ~PerfLog() { gst_debug_remove_log_function_by_data(this); }
    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> guard(lock_);
        return lines_;
    }

private:
    static void on_log(GstDebugCategory *category, GstDebugLevel level, const gchar *,
                       const gchar *, gint, GObject *, GstDebugMessage *message, gpointer self) {
        if (level != GST_LEVEL_INFO || std::string(gst_debug_category_get_name(category)) != "perf")
            return;
        auto *log = static_cast<PerfLog *>(self);
        std::lock_guard<std::mutex> guard(log->lock_);
        log->lines_.emplace_back(gst_debug_message_get(message));
    }
    std::mutex lock_;
    std::vector<std::string> lines_;
};

// The "perf" element messages posted until the pipeline ends.
std::vector<GstStructure *> collect_reports(const Pipeline &pipeline) {
    std::vector<GstStructure *> reports;
    for (;;) {
        Message m = pipeline.wait(
            static_cast<GstMessageType>(GST_MESSAGE_ELEMENT | GST_MESSAGE_EOS | GST_MESSAGE_ERROR),
            10 * GST_SECOND);
        if (!m || GST_MESSAGE_TYPE(m.ptr) != GST_MESSAGE_ELEMENT)
            return reports;
        const GstStructure *s = gst_message_get_structure(m.ptr);
        if (gst_structure_has_name(s, "perf"))
            reports.push_back(gst_structure_copy(s));
    }
}

double field(const GstStructure *s, const char *name) {
    double value = -1;
    EXPECT_TRUE(gst_structure_get_double(s, name, &value)) << name;
    return value;
}

}  // namespace

// At 15 frames per second for a little over two seconds, perf reports twice, about 15 fps each
// time, and passes every buffer on.
TEST(Perf, ReportsFrameRateOnceASecond) {
    PerfLog log;
    Pipeline pipeline("videotestsrc is-live=true num-buffers=34 ! " + raw_caps(64, 15) +
                      " ! perf name=measure ! fakesink name=out sync=false");
    BufferCounter passed(pipeline, "out", "sink");
    pipeline.play();
    std::vector<GstStructure *> reports = collect_reports(pipeline);

    EXPECT_EQ(passed.count(), 34);
    ASSERT_EQ(reports.size(), 2u);
    for (GstStructure *s : reports) {
        EXPECT_NEAR(field(s, "fps"), 15.0, 1.5);
        EXPECT_NEAR(field(s, "mean-fps"), 15.0, 1.5);
        EXPECT_NEAR(field(s, "bps"), 15.0 * 64 * 48 * 4 * 8, 0.1 * 15 * 64 * 48 * 4 * 8);
        EXPECT_FALSE(gst_structure_has_field(s, "cpu-load"));
        gst_structure_free(s);
    }
    std::vector<std::string> lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("perf: measure;"), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("fps: 1"), std::string::npos) << lines[0];
    EXPECT_EQ(lines[0].find("cpu:"), std::string::npos) << lines[0];
}

// With "print-cpu-load" each report carries the process's CPU load: a thread kept busy shows
// with at least a good part of the CPU time it actually got (on a loaded machine that may be far
// from a whole core).
TEST(Perf, ReportsProcessCpuLoad) {
    PerfLog log;
    std::atomic<bool> stop{false};
    double busy_share = 0;  // percent of one core the busy thread got, over its whole run
    std::thread busy([&] {
        auto thread_cpu_s = [] {
            timespec t{};
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
            return t.tv_sec + t.tv_nsec / 1e9;
        };
        auto wall0 = std::chrono::steady_clock::now();
        double cpu0 = thread_cpu_s();
        volatile unsigned long spin = 0;
        while (!stop.load(std::memory_order_relaxed))
            spin = spin + 1;
        std::chrono::duration<double> wall = std::chrono::steady_clock::now() - wall0;
        busy_share = 100.0 * (thread_cpu_s() - cpu0) / wall.count();
    });
    Pipeline pipeline("videotestsrc is-live=true num-buffers=35 ! " + raw_caps(64) +
                      " ! perf print-cpu-load=true ! fakesink sync=false");
    pipeline.play();
    std::vector<GstStructure *> reports = collect_reports(pipeline);
    stop = true;
    busy.join();

    ASSERT_EQ(reports.size(), 1u);
    double load = field(reports[0], "cpu-load");
    gst_structure_free(reports[0]);
    EXPECT_GE(load, 0.5 * busy_share) << "busy thread got " << busy_share << "% of a core";
    EXPECT_LE(load, 100.0 * std::thread::hardware_concurrency() + 5);
    std::vector<std::string> lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("; cpu: "), std::string::npos) << lines[0];
}
