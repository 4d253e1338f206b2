// Operations on running pipelines: the JPEG snapshot of the displayed picture, the overlay
// channel, and the two diagnostics (Graphviz files and the element dump in the log).
#include <gst/video/video.h>

#include <chrono>
#include <memory>
#include <string>

#include "core/files.h"
#include "core/log.h"
#include "core/storage_worker.h"
#include "core/timer_list.h"
#include "video/gst_handle.h"
#include "video/registry.h"

namespace {

// Media types, caps details, non-default parameters and states.
constexpr GstDebugGraphDetails kGraphDetails = static_cast<GstDebugGraphDetails>(15);

const char *direction_text(GstPadDirection direction) {
    switch (direction) {
        case GST_PAD_SRC:
            return "SRC";
        case GST_PAD_SINK:
            return "SINK";
        default:
            return "UNKNOWN";
    }
}

gboolean print_pad_info(GstElement *, GstPad *pad, gpointer) {
    GstRef<GstPad> peer(gst_pad_get_peer(pad));
    GstRef<GstElement> parent(peer ? gst_pad_get_parent_element(peer.get()) : nullptr);
    log_message(LOG_LEVEL_INFO, "   pad: %s, dir: %s <-> peer: %s, parent:%s, dir:%s",
                GST_PAD_NAME(pad), direction_text(GST_PAD_DIRECTION(pad)),
                peer ? GST_PAD_NAME(peer.get()) : "(none)",
                parent ? GST_ELEMENT_NAME(parent.get()) : "(none)",
                direction_text(peer ? GST_PAD_DIRECTION(peer.get()) : GST_PAD_UNKNOWN));
    return TRUE;
}

void print_bin_debug(GstBin *bin) {
    log_message(LOG_LEVEL_INFO, "-- Bin -- [%s]", GST_ELEMENT_NAME(bin));
    GstRef<GstIterator> iterator(gst_bin_iterate_elements(bin));
    GValue item = G_VALUE_INIT;
    bool done = false;
    while (!done) {
        switch (gst_iterator_next(iterator.get(), &item)) {
            case GST_ITERATOR_OK: {
                auto *element = GST_ELEMENT(g_value_get_object(&item));
                GText text(g_strdup_value_contents(&item));
                // The state it is in now: waiting for a pending change to settle would hold the
                // main loop for as long as the change takes, which is for ever in a pipeline
                // that waits for data that never comes.
                GstState state = GST_STATE_VOID_PENDING;
                gst_element_get_state(element, &state, nullptr, 0);
                log_message(LOG_LEVEL_INFO, "Element: %s, state: %s", text.get(),
                            gst_element_state_get_name(state));
                gst_element_foreach_pad(element, print_pad_info, nullptr);
                if (GST_IS_BIN(element)) {
                    print_bin_debug(GST_BIN(element));
                }
                g_value_reset(&item);
                break;
            }
            case GST_ITERATOR_RESYNC:
                gst_iterator_resync(iterator.get());
                break;
            default:
                done = true;
                break;
        }
    }
    g_value_unset(&item);
    log_message(LOG_LEVEL_INFO, "-- Bin end --[%s]", GST_ELEMENT_NAME(bin));
}

// How long a snapshot may take before the client is told it failed; the conversion itself
// gives up a little earlier so that the worker is not held for ever.
constexpr std::chrono::milliseconds kSnapshotDeadline{5000};
constexpr GstClockTime kConversionTimeout = 4 * GST_SECOND;

void gst_sample_unref_if_any(GstSample *sample) {
    if (sample) {
        gst_sample_unref(sample);
    }
}

// On the storage worker: the JPEG of `sample` written whole to `path`, then forced to storage
// with its folder entry. 0, or 1 after a warning.
int write_snapshot(GstSample *sample, const std::string &path) {
    GstRef<GstCaps> jpeg_caps(gst_caps_from_string("image/jpeg"));
    GError *raw_error = nullptr;
    GstRef<GstSample> converted(
        gst_video_convert_sample(sample, jpeg_caps.get(), kConversionTimeout, &raw_error));
    GErrorPtr error(raw_error);
    if (!converted) {
        log_message(LOG_LEVEL_WARN, "Error converting frame: %s",
                    error ? error->message : "no picture");
        return 1;
    }
    GstBuffer *buffer = gst_sample_get_buffer(converted.get());
    GstMapInfo map;
    if (!buffer || !gst_buffer_map(buffer, &map, GST_MAP_READ)) {
        return 1;
    }
    GError *raw_write_error = nullptr;
    gboolean written = g_file_set_contents(path.c_str(), reinterpret_cast<const gchar *>(map.data),
                                           static_cast<gssize>(map.size), &raw_write_error);
    GErrorPtr write_error(raw_write_error);
    gst_buffer_unmap(buffer, &map);
    if (!written) {
        log_message(LOG_LEVEL_WARN, "Could not save snapshot: %s", write_error->message);
        return 1;
    }
    flush_file_and_folder(path);
    return 0;
}

}  // namespace

void gstvideo_takesnapshot(const std::string &path, Completion done) {
    GstElement *sink = live_display_sink();
    if (!is_created(PIPE_DISPLAY) || !sink) {
        done(1);
        return;
    }
    GstSample *last_sample = nullptr;
    g_object_get(G_OBJECT(sink), "last-sample", &last_sample, nullptr);
    // Shared with the worker: a sample's reference count may be changed from any thread.
    std::shared_ptr<GstSample> sample(last_sample, gst_sample_unref_if_any);
    if (!sample) {
        // No frame has reached the display yet: the client is told, the sight goes on.
        log_message(LOG_LEVEL_WARN, "Error getting last sample from display sink");
        done(1);
        return;
    }
    // The reply goes out at the deadline when the card or the conversion is that slow; the
    // late result then finds the completion spent.
    TimerId deadline = timer_after(kSnapshotDeadline, [done] {
        log_message(LOG_LEVEL_WARN, "Snapshot: not written in time");
        done(1);
    });
    storage_run([sample, path] { return write_snapshot(sample.get(), path); },
                [done, deadline](int result) {
                    timer_cancel(deadline);
                    done(result);
                });
}

int gstvideo_set_qml_param(const char *object, const char *property, const char *value) {
    GText text(g_strdup_printf("%s.%s:%s", object, property, value));
    if (GstElement *overlay = live_overlay()) {
        g_object_set(G_OBJECT(overlay), "qml-attribute", text.get(), nullptr);
    }
    return 0;
}

int gstvideo_show_overlay(int flag) {
    if (GstElement *overlay = live_overlay()) {
        g_object_set(G_OBJECT(overlay), "disable", flag == 0 ? TRUE : FALSE, nullptr);
    }
    return 0;
}

int gstvideo_generate_dot_file(int id, const char *path) {
    GstElement *pipeline = pipeline_of(id);
    if (!pipeline) {
        return 1;
    }
    GText text(gst_debug_bin_to_dot_data(GST_BIN(pipeline), kGraphDetails));
    return write_full_file(path, text.get());
}

void gstvideo_print_status() {
    for (int id = 0; id < PIPE_COUNT; ++id) {
        if (GstElement *pipeline = pipeline_of(id)) {
            print_bin_debug(GST_BIN(pipeline));
        }
    }
}

GstRef<GstPadTemplate> get_pad_template(GstElement *element, GstPadDirection direction,
                                        GstPadPresence presence, const char *name) {
    GstElementFactory *factory = gst_element_get_factory(element);
    if (!factory) {
        return {};
    }
    for (const GList *item = gst_element_factory_get_static_pad_templates(factory); item;
         item = item->next) {
        auto *templ = static_cast<GstStaticPadTemplate *>(item->data);
        if (templ->direction == direction && templ->presence == presence &&
            (!name || !*name || g_strcmp0(templ->name_template, name) == 0)) {
            // The element's class holds the template object itself; elements that request
            // pads (the aggregator-based muxers among them) accept only that one.
            return gst_add_ref(gst_element_class_get_pad_template(GST_ELEMENT_GET_CLASS(element),
                                                                  templ->name_template));
        }
    }
    return {};
}
