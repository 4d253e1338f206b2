// perf: passes buffers through untouched and, once a second of wall time, reports the frame rate
// and bit rate of the last second and since the first buffer. With "print-cpu-load" the report adds
// the CPU load of the whole process over the last second, in percent of one core (as top shows it:
// two busy cores read 200).
//
// Each report is one line in the GStreamer debug log (category "perf", INFO level), for example
//   perf: perf-display; timestamp: 0:00:12.033333333; bps: 754974720; mean_bps: 754974720;
//   fps: 30.00; mean_fps: 30.00; cpu: 23
// (bps in bits per second; timestamp is the presentation time of the buffer that closed the
// second)
// and an element message "perf" on the bus with the same figures (double fields "fps",
// "mean-fps", "bps", "mean-bps" and, with "print-cpu-load", "cpu-load").
//
// Reports are driven by arriving buffers: a stalled stream reports nothing until it resumes.

// GST_PLUGIN_DEFINE names the package through this macro.
#define PACKAGE "mrvdc"

#include <gst/base/gstbasetransform.h>
#include <gst/gst.h>
#include <sys/resource.h>

#include <atomic>
#include <new>

GST_DEBUG_CATEGORY_STATIC(perf_debug);
#define GST_CAT_DEFAULT perf_debug

G_BEGIN_DECLS
#define GST_TYPE_PERF (gst_perf_get_type())
G_DECLARE_FINAL_TYPE(GstPerf, gst_perf, GST, PERF, GstBaseTransform)
G_END_DECLS

namespace {

constexpr gint64 report_interval_us = G_USEC_PER_SEC;

// Measurement state, touched only by the streaming thread (and reset in start()).
struct Window {
    gint64 start_us = -1;                       // monotonic time of the first buffer
    gint64 window_us = 0;                       // monotonic time at which the current window began
    guint64 frames = 0, bytes = 0;              // in the current window
    guint64 total_frames = 0, total_bytes = 0;  // since the first buffer
    gint64 cpu_us = 0;                          // process CPU time at the window's start
};

gint64 process_cpu_us() {
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    auto us = [](const timeval &t) {
        return static_cast<gint64>(t.tv_sec) * G_USEC_PER_SEC + t.tv_usec;
    };
    return us(usage.ru_utime) + us(usage.ru_stime);
}

enum { PROP_0, PROP_PRINT_CPU_LOAD };

GstStaticPadTemplate sink_template =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS_ANY);
GstStaticPadTemplate src_template =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS_ANY);

}  // namespace

struct _GstPerf {
    GstBaseTransform parent;
    std::atomic<bool> print_cpu_load;
    Window window;
};

G_DEFINE_TYPE(GstPerf, gst_perf, GST_TYPE_BASE_TRANSFORM)

namespace {

gboolean perf_start(GstBaseTransform *base) {
    GST_PERF(base)->window = Window();
    return TRUE;
}

void report(GstPerf *self, GstBuffer *buffer, gint64 now_us) {
    Window &w = self->window;
    double elapsed = static_cast<double>(now_us - w.window_us) / G_USEC_PER_SEC;
    double total = static_cast<double>(now_us - w.start_us) / G_USEC_PER_SEC;
    double fps = w.frames / elapsed;
    double bps = w.bytes * 8 / elapsed;
    double mean_fps = w.total_frames / total;
    double mean_bps = w.total_bytes * 8 / total;

    GstStructure *s =
        gst_structure_new("perf", "fps", G_TYPE_DOUBLE, fps, "mean-fps", G_TYPE_DOUBLE, mean_fps,
                          "bps", G_TYPE_DOUBLE, bps, "mean-bps", G_TYPE_DOUBLE, mean_bps, nullptr);
    gchar *name = gst_object_get_name(GST_OBJECT(self));
    GString *line = g_string_new(nullptr);
    g_string_printf(line,
                    "perf: %s; timestamp: %" GST_TIME_FORMAT
                    "; bps: %.0f; mean_bps: %.0f; fps: %.2f; mean_fps: %.2f",
                    name, GST_TIME_ARGS(GST_BUFFER_PTS(buffer)), bps, mean_bps, fps, mean_fps);
    gint64 cpu_us = process_cpu_us();
    if (self->print_cpu_load.load()) {
        double load = 100.0 * static_cast<double>(cpu_us - w.cpu_us) /
                      static_cast<double>(now_us - w.window_us);
        gst_structure_set(s, "cpu-load", G_TYPE_DOUBLE, load, nullptr);
        g_string_append_printf(line, "; cpu: %.0f", load);
    }
    GST_INFO_OBJECT(self, "%s", line->str);
    g_string_free(line, TRUE);
    g_free(name);
    gst_element_post_message(GST_ELEMENT(self), gst_message_new_element(GST_OBJECT(self), s));

    w.window_us = now_us;
    w.frames = 0;
    w.bytes = 0;
    w.cpu_us = cpu_us;
}

GstFlowReturn perf_transform_ip(GstBaseTransform *base, GstBuffer *buffer) {
    auto *self = GST_PERF(base);
    Window &w = self->window;
    gint64 now_us = g_get_monotonic_time();
    if (w.start_us < 0) {
        // The first buffer opens the measurement; rates count the buffers that follow it.
        w.start_us = w.window_us = now_us;
        w.cpu_us = process_cpu_us();
        return GST_FLOW_OK;
    }
    w.frames++;
    w.total_frames++;
    gsize size = gst_buffer_get_size(buffer);
    w.bytes += size;
    w.total_bytes += size;
    if (now_us - w.window_us >= report_interval_us)
        report(self, buffer, now_us);
    return GST_FLOW_OK;
}

void perf_set_property(GObject *object, guint id, const GValue *value, GParamSpec *pspec) {
    switch (id) {
        case PROP_PRINT_CPU_LOAD:
            GST_PERF(object)->print_cpu_load.store(g_value_get_boolean(value));
            break;
        default:
            G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
    }
}

void perf_get_property(GObject *object, guint id, GValue *value, GParamSpec *pspec) {
    switch (id) {
        case PROP_PRINT_CPU_LOAD:
            g_value_set_boolean(value, GST_PERF(object)->print_cpu_load.load());
            break;
        default:
            G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
    }
}

}  // namespace

static void gst_perf_class_init(GstPerfClass *klass) {
    auto *object_class = G_OBJECT_CLASS(klass);
    auto *element_class = GST_ELEMENT_CLASS(klass);
    auto *transform_class = GST_BASE_TRANSFORM_CLASS(klass);

    object_class->set_property = perf_set_property;
    object_class->get_property = perf_get_property;
    g_object_class_install_property(
        object_class, PROP_PRINT_CPU_LOAD,
        g_param_spec_boolean("print-cpu-load", "Print CPU load",
                             "Add the process's CPU load (percent of one core) to each report",
                             FALSE,
                             static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS)));

    gst_element_class_set_static_metadata(
        element_class, "Performance measurement", "Filter/Analyzer",
        "Passes buffers through and reports frame rate and CPU load once a second",
        "mrvdc developers");
    gst_element_class_add_static_pad_template(element_class, &sink_template);
    gst_element_class_add_static_pad_template(element_class, &src_template);

    transform_class->start = perf_start;
    transform_class->transform_ip = perf_transform_ip;
    transform_class->passthrough_on_same_caps = TRUE;
    transform_class->transform_ip_on_passthrough = TRUE;
}

static void gst_perf_init(GstPerf *self) {
    new (&self->print_cpu_load) std::atomic<bool>(false);
    new (&self->window) Window();
    gst_base_transform_set_passthrough(GST_BASE_TRANSFORM(self), TRUE);
}

static gboolean plugin_init(GstPlugin *plugin) {
    GST_DEBUG_CATEGORY_INIT(perf_debug, "perf", 0, "frame rate and CPU load");
    return gst_element_register(plugin, "perf", GST_RANK_NONE, GST_TYPE_PERF);
}

GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, perf,
                  "Frame-rate and CPU-load measurement (host platform)", plugin_init, "3.0.0",
                  "Proprietary", "mrvdc", "https://mirova.example/mrvdc")
