/* qtoverlay on the host: draws the sight's overlay (reticle, red dot, zoom, PIP, brightness and
 * NUC indications, leveler) over RGBA video with cairo, from the scene state that
 * "qml-attribute" texts change. "qml" must name an existing overlay document; "disable" passes
 * the picture through untouched. Every attribute text received is also appended to
 * $MRVDC_SYSROOT/var/log/overlay.log, one per line. */
#include <gst/gst.h>
#include <gst/video/gstvideofilter.h>
#include <gst/video/video.h>
#include <string.h>

#include "overlay_log.h"
#include "overlay_render.h"
#include "overlay_scene.h"

GST_DEBUG_CATEGORY_STATIC(overlay_debug);
#define GST_CAT_DEFAULT overlay_debug

enum { PROP_0, PROP_QML, PROP_QML_ATTRIBUTE, PROP_DISABLE };

typedef struct {
    GstVideoFilter parent;

    gchar *qml;
    gchar *last_attribute;
    gboolean disable;

    GMutex lock; /* scene, renderer, dirty: set from the application, drawn while streaming */
    OverlayScene scene;
    OverlayRenderer renderer;
    gboolean dirty;
} MrvOverlay;

typedef struct {
    GstVideoFilterClass parent_class;
} MrvOverlayClass;

G_DEFINE_TYPE(MrvOverlay, mrv_overlay, GST_TYPE_VIDEO_FILTER)

#define OVERLAY_CAPS GST_VIDEO_CAPS_MAKE("{ RGBA, RGBx, BGRA, BGRx }")

static GstStaticPadTemplate sink_template =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS(OVERLAY_CAPS));
static GstStaticPadTemplate src_template =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS(OVERLAY_CAPS));

static void apply_attribute(MrvOverlay *self, const gchar *text) {
    overlay_log_attribute(GST_ELEMENT(self), text);
    gchar *error = NULL;
    g_mutex_lock(&self->lock);
    gboolean ok = overlay_scene_apply(&self->scene, text, g_get_monotonic_time(), &error);
    if (ok) {
        self->dirty = TRUE;
    }
    g_mutex_unlock(&self->lock);
    if (!ok) {
        GST_ELEMENT_WARNING(self, STREAM, FORMAT, ("Ignored overlay attribute \"%s\"", text),
                            ("%s", error));
        g_free(error);
    }
}

static void mrv_overlay_set_property(GObject *object, guint id, const GValue *value,
                                     GParamSpec *pspec) {
    MrvOverlay *self = (MrvOverlay *)object;
    switch (id) {
        case PROP_QML:
            GST_OBJECT_LOCK(self);
            g_free(self->qml);
            self->qml = g_value_dup_string(value);
            GST_OBJECT_UNLOCK(self);
            break;
        case PROP_QML_ATTRIBUTE: {
            const gchar *text = g_value_get_string(value);
            GST_OBJECT_LOCK(self);
            g_free(self->last_attribute);
            self->last_attribute = g_strdup(text);
            GST_OBJECT_UNLOCK(self);
            apply_attribute(self, text);
            break;
        }
        case PROP_DISABLE:
            GST_OBJECT_LOCK(self);
            self->disable = g_value_get_boolean(value);
            GST_OBJECT_UNLOCK(self);
            gst_base_transform_set_passthrough(GST_BASE_TRANSFORM(self),
                                               g_value_get_boolean(value));
            break;
        default:
            G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
            break;
    }
}

static void mrv_overlay_get_property(GObject *object, guint id, GValue *value, GParamSpec *pspec) {
    MrvOverlay *self = (MrvOverlay *)object;
    GST_OBJECT_LOCK(self);
    switch (id) {
        case PROP_QML:
            g_value_set_string(value, self->qml);
            break;
        case PROP_QML_ATTRIBUTE:
            g_value_set_string(value, self->last_attribute);
            break;
        case PROP_DISABLE:
            g_value_set_boolean(value, self->disable);
            break;
        default:
            G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
            break;
    }
    GST_OBJECT_UNLOCK(self);
}

static gboolean mrv_overlay_start(GstBaseTransform *trans) {
    MrvOverlay *self = (MrvOverlay *)trans;
    GST_OBJECT_LOCK(self);
    gchar *qml = g_strdup(self->qml);
    GST_OBJECT_UNLOCK(self);
    if (!qml || !*qml) {
        GST_ELEMENT_ERROR(self, RESOURCE, NOT_FOUND, ("No overlay document given"),
                          ("the \"qml\" property is not set"));
        g_free(qml);
        return FALSE;
    }
    gchar *contents = NULL;
    GError *error = NULL;
    if (!g_file_test(qml, G_FILE_TEST_IS_REGULAR) ||
        !g_file_get_contents(qml, &contents, NULL, &error)) {
        GST_ELEMENT_ERROR(self, RESOURCE, NOT_FOUND,
                          ("Overlay document \"%s\" does not exist or cannot be read", qml),
                          ("%s", error ? error->message : "not a regular file"));
        g_clear_error(&error);
        g_free(qml);
        return FALSE;
    }
    g_free(contents);
    GST_INFO_OBJECT(self, "overlay document %s", qml);
    g_mutex_lock(&self->lock);
    overlay_renderer_set_document(&self->renderer, qml);
    self->dirty = TRUE;
    g_mutex_unlock(&self->lock);
    g_free(qml);
    return TRUE;
}

static GstFlowReturn mrv_overlay_transform_frame_ip(GstVideoFilter *filter, GstVideoFrame *frame) {
    MrvOverlay *self = (MrvOverlay *)filter;
    GST_OBJECT_LOCK(self);
    gboolean disable = self->disable;
    GST_OBJECT_UNLOCK(self);
    if (disable) {
        return GST_FLOW_OK;
    }
    gchar *warning = NULL;
    g_mutex_lock(&self->lock);
    gint64 now = g_get_monotonic_time();
    if (self->scene.nuc_alert_until && self->scene.nuc_alert_until <= now) {
        self->scene.nuc_alert_until = 0;
        self->dirty = TRUE;
    }
    gint width = GST_VIDEO_FRAME_WIDTH(frame), height = GST_VIDEO_FRAME_HEIGHT(frame);
    if (self->dirty || self->renderer.width != width || self->renderer.height != height) {
        warning = overlay_renderer_draw(&self->renderer, &self->scene, width, height, now);
        self->dirty = FALSE;
    }
    overlay_renderer_blend(&self->renderer, frame);
    g_mutex_unlock(&self->lock);
    if (warning) {
        GST_ELEMENT_WARNING(self, RESOURCE, READ, ("%s", warning), (NULL));
        g_free(warning);
    }
    return GST_FLOW_OK;
}

static void mrv_overlay_finalize(GObject *object) {
    MrvOverlay *self = (MrvOverlay *)object;
    g_free(self->qml);
    g_free(self->last_attribute);
    overlay_scene_clear(&self->scene);
    overlay_renderer_clear(&self->renderer);
    g_mutex_clear(&self->lock);
    G_OBJECT_CLASS(mrv_overlay_parent_class)->finalize(object);
}

static void mrv_overlay_class_init(MrvOverlayClass *klass) {
    GObjectClass *gobject_class = G_OBJECT_CLASS(klass);
    GstElementClass *element_class = GST_ELEMENT_CLASS(klass);
    GstBaseTransformClass *trans_class = GST_BASE_TRANSFORM_CLASS(klass);
    GstVideoFilterClass *filter_class = GST_VIDEO_FILTER_CLASS(klass);

    gobject_class->set_property = mrv_overlay_set_property;
    gobject_class->get_property = mrv_overlay_get_property;
    gobject_class->finalize = mrv_overlay_finalize;

    g_object_class_install_property(
        gobject_class, PROP_QML,
        g_param_spec_string("qml", "QML document", "Overlay document to draw over the video", NULL,
                            G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS));
    g_object_class_install_property(
        gobject_class, PROP_QML_ATTRIBUTE,
        g_param_spec_string("qml-attribute", "QML attribute",
                            "Sets a property of an object of the overlay document: "
                            "\"Object.property:value\" (reads back the last text)",
                            NULL, G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS));
    g_object_class_install_property(
        gobject_class, PROP_DISABLE,
        g_param_spec_boolean("disable", "Disable", "Pass the video through without the overlay",
                             FALSE, G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS));

    gst_element_class_add_static_pad_template(element_class, &sink_template);
    gst_element_class_add_static_pad_template(element_class, &src_template);
    gst_element_class_set_static_metadata(
        element_class, "Sight overlay (host)", "Filter/Effect/Video",
        "Draws the sight's reticle, red dot and indications over the video", "mrvdc developers");

    trans_class->start = mrv_overlay_start;
    filter_class->transform_frame_ip = mrv_overlay_transform_frame_ip;

    GST_DEBUG_CATEGORY_INIT(overlay_debug, "qtoverlay", 0, "host sight overlay");
}

static void mrv_overlay_init(MrvOverlay *self) {
    g_mutex_init(&self->lock);
    overlay_scene_init(&self->scene);
    overlay_renderer_init(&self->renderer);
    self->dirty = TRUE;
}

static gboolean plugin_init(GstPlugin *plugin) {
    return gst_element_register(plugin, "qtoverlay", GST_RANK_NONE, mrv_overlay_get_type());
}

#ifndef PACKAGE
#define PACKAGE "mrvdc"
#endif

GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, qtoverlayhost,
                  "Host stand-in for the sight's QML overlay element", plugin_init, "3.0.0",
                  "Proprietary", PACKAGE, "mrvdc")
