// The sink hands each rendered buffer, with the caps in force, to the listeners registered under
// its name. It never waits for a listener: each listener owns a bounded queue that drops its
// oldest buffers. End-of-stream is handled as by any sink (posted on this pipeline's bus) and is
// not passed to listeners, so consumers outlive their producers.
//
// For raw pictures in system memory the sink offers its producer a pool that frees the idle
// pictures it no longer needs: listeners may hold many for a while, and a plain pool would keep
// them all.
#include "interpipesink.h"

#include <gst/video/video.h>

#include <string>

#include "picture_pool.h"
#include "registry.h"

GST_DEBUG_CATEGORY_EXTERN(interpipe_debug);
#define GST_CAT_DEFAULT interpipe_debug

namespace {

// The picture pool trims what a second of frames at the camera's rate did not need.
constexpr guint picture_trim_window = 30;

struct SinkState {
    std::string published;  // name under which the sink is registered while started
    bool is_published = false;
};

enum { PROP_0, PROP_MAX_BUFFERS, PROP_NUM_LISTENERS };

GstStaticPadTemplate sink_template =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS_ANY);

}  // namespace

struct _GstInterpipeSink {
    GstBaseSink parent;
    SinkState *state;
    guint max_buffers;  // atomic access
};

G_DEFINE_TYPE(GstInterpipeSink, gst_interpipe_sink, GST_TYPE_BASE_SINK)

namespace {

// The published name is written on the state-change thread and read by "num-listeners" under
// the object lock; the streaming thread reads it only between start and stop.
void unpublish(GstInterpipeSink *self) {
    GST_OBJECT_LOCK(self);
    bool was_published = self->state->is_published;
    self->state->is_published = false;
    GST_OBJECT_UNLOCK(self);
    if (was_published)
        interpipe::remove_sink(self->state->published, self);
}

gboolean sink_start(GstBaseSink *base) {
    auto *self = GST_INTERPIPE_SINK(base);
    GST_OBJECT_LOCK(self);
    self->state->published = GST_OBJECT_NAME(self) ? GST_OBJECT_NAME(self) : "";
    self->state->is_published = true;
    GST_OBJECT_UNLOCK(self);
    interpipe::add_sink(self->state->published, self);
    return TRUE;
}

gboolean sink_stop(GstBaseSink *base) {
    unpublish(GST_INTERPIPE_SINK(base));
    return TRUE;
}

GstFlowReturn sink_render(GstBaseSink *base, GstBuffer *buffer) {
    auto *self = GST_INTERPIPE_SINK(base);
    GstCaps *caps = gst_pad_get_current_caps(GST_BASE_SINK_PAD(base));
    if (caps == nullptr) {
        GST_ELEMENT_ERROR(self, CORE, NEGOTIATION, ("buffer without caps"), (nullptr));
        return GST_FLOW_NOT_NEGOTIATED;
    }
    guint limit = static_cast<guint>(g_atomic_int_get(&self->max_buffers));
    interpipe::deliver(self->state->published, self, buffer, caps, limit);
    gst_caps_unref(caps);
    return GST_FLOW_OK;
}

gboolean sink_propose_allocation(GstBaseSink *, GstQuery *query) {
    GstCaps *caps = nullptr;
    gboolean need_pool = FALSE;
    gst_query_parse_allocation(query, &caps, &need_pool);
    GstVideoInfo info;
    if (!need_pool || caps == nullptr || !gst_video_info_from_caps(&info, caps))
        return TRUE;
    GstCapsFeatures *features = gst_caps_get_features(caps, 0);
    if (features != nullptr &&
        !gst_caps_features_is_equal(features, GST_CAPS_FEATURES_MEMORY_SYSTEM_MEMORY))
        return TRUE;
    GstBufferPool *pool = gst_interpipe_picture_pool_new(picture_trim_window);
    GstStructure *config = gst_buffer_pool_get_config(pool);
    auto size = static_cast<guint>(GST_VIDEO_INFO_SIZE(&info));
    gst_buffer_pool_config_set_params(config, caps, size, 0, 0);
    if (gst_buffer_pool_set_config(pool, config))
        gst_query_add_allocation_pool(query, pool, size, 0, 0);
    gst_object_unref(pool);
    gst_query_add_allocation_meta(query, GST_VIDEO_META_API_TYPE, nullptr);
    return TRUE;
}

void sink_set_property(GObject *object, guint id, const GValue *value, GParamSpec *pspec) {
    auto *self = GST_INTERPIPE_SINK(object);
    switch (id) {
        case PROP_MAX_BUFFERS:
            g_atomic_int_set(&self->max_buffers, g_value_get_uint(value));
            break;
        default:
            G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
    }
}

void sink_get_property(GObject *object, guint id, GValue *value, GParamSpec *pspec) {
    auto *self = GST_INTERPIPE_SINK(object);
    switch (id) {
        case PROP_MAX_BUFFERS:
            g_value_set_uint(value, static_cast<guint>(g_atomic_int_get(&self->max_buffers)));
            break;
        case PROP_NUM_LISTENERS: {
            GST_OBJECT_LOCK(self);
            bool published = self->state->is_published;
            std::string name = self->state->published;
            GST_OBJECT_UNLOCK(self);
            g_value_set_int(value, published ? interpipe::count_listeners(name, self) : 0);
            break;
        }
        default:
            G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
    }
}

void sink_finalize(GObject *object) {
    auto *self = GST_INTERPIPE_SINK(object);
    unpublish(self);
    delete self->state;
    G_OBJECT_CLASS(gst_interpipe_sink_parent_class)->finalize(object);
}

}  // namespace

static void gst_interpipe_sink_class_init(GstInterpipeSinkClass *klass) {
    auto *object_class = G_OBJECT_CLASS(klass);
    auto *element_class = GST_ELEMENT_CLASS(klass);
    auto *sink_class = GST_BASE_SINK_CLASS(klass);

    object_class->set_property = sink_set_property;
    object_class->get_property = sink_get_property;
    object_class->finalize = sink_finalize;

    g_object_class_install_property(
        object_class, PROP_MAX_BUFFERS,
        g_param_spec_uint("max-buffers", "Max buffers",
                          "Most buffers each listener may hold queued before its oldest are "
                          "dropped (0 = the listener's own limit)",
                          0, G_MAXUINT, 0,
                          static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS)));
    g_object_class_install_property(
        object_class, PROP_NUM_LISTENERS,
        g_param_spec_int("num-listeners", "Listeners",
                         "Number of interpipesrc elements listening to this sink", 0, G_MAXINT, 0,
                         static_cast<GParamFlags>(G_PARAM_READABLE | G_PARAM_STATIC_STRINGS)));

    gst_element_class_set_static_metadata(
        element_class, "Inter-pipeline sink", "Sink/Generic",
        "Publishes its stream under its element name to interpipesrc elements of other pipelines",
        "mrvdc developers");
    gst_element_class_add_static_pad_template(element_class, &sink_template);

    sink_class->start = sink_start;
    sink_class->stop = sink_stop;
    sink_class->render = sink_render;
    sink_class->propose_allocation = sink_propose_allocation;
}

static void gst_interpipe_sink_init(GstInterpipeSink *self) {
    self->state = new SinkState();
    self->max_buffers = 0;
}
