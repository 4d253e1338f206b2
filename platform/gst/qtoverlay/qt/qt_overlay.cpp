// qtoverlay on the host: renders the QML overlay document named by "qml" with Qt Quick and
// blends it onto every frame. "qml-attribute" texts "Object.property:value" set properties of
// the document's named objects; the scene is rendered on the GUI thread only when it changes,
// and frames keep the last rendered overlay until the next one is ready, so a slow render never
// holds up the stream. "disable" passes the picture through untouched. Every attribute text is
// also recorded in $MRVDC_SYSROOT/var/log/overlay.log. A display Qt cannot reach at the start,
// or loses while the overlay renders, is an error of the element (its pipeline's, never the
// process's end).
#include <gst/gst.h>
#include <gst/video/gstvideofilter.h>
#include <gst/video/video.h>

#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "blend.h"
#include "gui_thread.h"
#include "overlay_log.h"
#include "qml_scene.h"

GST_DEBUG_CATEGORY_STATIC(overlay_debug);
#define GST_CAT_DEFAULT overlay_debug

namespace {

enum { PROP_0, PROP_QML, PROP_QML_ATTRIBUTE, PROP_DISABLE };

// Everything the element keeps; built and destroyed with the GObject instance.
struct OverlayState {
    std::mutex lock;
    std::string qml;
    std::string last_attribute;
    bool disable = false;
    std::unique_ptr<QmlScene> scene;
    std::vector<std::string> early_attributes;  // set before the scene existed
    std::shared_ptr<const OverlayImage> image;  // the last rendered overlay
    PixelLayout layout{0, 1, 2, 3};
};

}  // namespace

struct MrvQtOverlay {
    GstVideoFilter parent;
    OverlayState state;
};

struct MrvQtOverlayClass {
    GstVideoFilterClass parent_class;
};

G_DEFINE_TYPE(MrvQtOverlay, mrv_qt_overlay, GST_TYPE_VIDEO_FILTER)

namespace {

GstStaticPadTemplate sink_template =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS,
                            GST_STATIC_CAPS(GST_VIDEO_CAPS_MAKE("{ RGBA, RGBx, BGRA, BGRx }")));
GstStaticPadTemplate src_template =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS,
                            GST_STATIC_CAPS(GST_VIDEO_CAPS_MAKE("{ RGBA, RGBx, BGRA, BGRx }")));

MrvQtOverlay *self_of(gpointer object) {
    return reinterpret_cast<MrvQtOverlay *>(object);
}

void set_attribute(MrvQtOverlay *self, const gchar *text) {
    overlay_log_attribute(GST_ELEMENT(self), text);
    std::lock_guard<std::mutex> hold(self->state.lock);
    self->state.last_attribute = text ? text : "";
    if (self->state.scene) {
        self->state.scene->set_attribute(self->state.last_attribute);
    } else {
        self->state.early_attributes.push_back(self->state.last_attribute);
    }
}

void mrv_qt_overlay_set_property(GObject *object, guint id, const GValue *value,
                                 GParamSpec *pspec) {
    MrvQtOverlay *self = self_of(object);
    switch (id) {
        case PROP_QML: {
            std::lock_guard<std::mutex> hold(self->state.lock);
            const gchar *qml = g_value_get_string(value);
            self->state.qml = qml ? qml : "";
            break;
        }
        case PROP_QML_ATTRIBUTE:
            set_attribute(self, g_value_get_string(value));
            break;
        case PROP_DISABLE: {
            gboolean disable = g_value_get_boolean(value);
            {
                std::lock_guard<std::mutex> hold(self->state.lock);
                self->state.disable = disable;
            }
            gst_base_transform_set_passthrough(GST_BASE_TRANSFORM(self), disable);
            break;
        }
        default:
            G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
            break;
    }
}

void mrv_qt_overlay_get_property(GObject *object, guint id, GValue *value, GParamSpec *pspec) {
    MrvQtOverlay *self = self_of(object);
    std::lock_guard<std::mutex> hold(self->state.lock);
    switch (id) {
        case PROP_QML:
            g_value_set_string(value, self->state.qml.empty() ? nullptr : self->state.qml.c_str());
            break;
        case PROP_QML_ATTRIBUTE:
            g_value_set_string(value, self->state.last_attribute.c_str());
            break;
        case PROP_DISABLE:
            g_value_set_boolean(value, self->state.disable);
            break;
        default:
            G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
            break;
    }
}

QmlScene::Listener scene_listener(MrvQtOverlay *self) {
    QmlScene::Listener listener;
    listener.rendered = [self](std::shared_ptr<const OverlayImage> image) {
        std::lock_guard<std::mutex> hold(self->state.lock);
        self->state.image = std::move(image);
    };
    listener.warning = [self](const std::string &message) {
        GST_ELEMENT_WARNING(self, STREAM, FORMAT, ("%s", message.c_str()), (nullptr));
    };
    return listener;
}

gboolean mrv_qt_overlay_start(GstBaseTransform *trans) {
    MrvQtOverlay *self = self_of(trans);
    std::string qml;
    {
        std::lock_guard<std::mutex> hold(self->state.lock);
        qml = self->state.qml;
    }
    if (qml.empty()) {
        GST_ELEMENT_ERROR(self, RESOURCE, NOT_FOUND, ("No overlay document given"),
                          ("the \"qml\" property is not set"));
        return FALSE;
    }
    if (!g_file_test(qml.c_str(), G_FILE_TEST_IS_REGULAR)) {
        GST_ELEMENT_ERROR(self, RESOURCE, NOT_FOUND,
                          ("Overlay document \"%s\" does not exist", qml.c_str()), (nullptr));
        return FALSE;
    }
    std::string problem = gui_thread::start();
    if (!problem.empty()) {
        GST_ELEMENT_ERROR(self, RESOURCE, OPEN_READ_WRITE,
                          ("The overlay cannot render: %s", problem.c_str()), (nullptr));
        return FALSE;
    }
    GST_INFO_OBJECT(self, "overlay document %s", qml.c_str());
    auto scene = std::make_unique<QmlScene>(qml, scene_listener(self));
    std::lock_guard<std::mutex> hold(self->state.lock);
    for (const std::string &text : self->state.early_attributes) {
        scene->set_attribute(text);
    }
    self->state.early_attributes.clear();
    self->state.scene = std::move(scene);
    return TRUE;
}

gboolean mrv_qt_overlay_stop(GstBaseTransform *trans) {
    MrvQtOverlay *self = self_of(trans);
    std::unique_ptr<QmlScene> scene;
    {
        std::lock_guard<std::mutex> hold(self->state.lock);
        scene = std::move(self->state.scene);
        self->state.image.reset();
    }
    scene.reset();  // outside the lock: the GUI thread may be reporting to us meanwhile
    return TRUE;
}

PixelLayout layout_of(const GstVideoInfo *info) {
    const GstVideoFormatInfo *format = info->finfo;
    int alpha = GST_VIDEO_FORMAT_INFO_HAS_ALPHA(format)
                    ? static_cast<int>(GST_VIDEO_FORMAT_INFO_POFFSET(format, GST_VIDEO_COMP_A))
                    : -1;
    return {static_cast<int>(GST_VIDEO_FORMAT_INFO_POFFSET(format, GST_VIDEO_COMP_R)),
            static_cast<int>(GST_VIDEO_FORMAT_INFO_POFFSET(format, GST_VIDEO_COMP_G)),
            static_cast<int>(GST_VIDEO_FORMAT_INFO_POFFSET(format, GST_VIDEO_COMP_B)), alpha};
}

gboolean mrv_qt_overlay_set_info(GstVideoFilter *filter, GstCaps *, GstVideoInfo *in_info,
                                 GstCaps *, GstVideoInfo *) {
    MrvQtOverlay *self = self_of(filter);
    std::lock_guard<std::mutex> hold(self->state.lock);
    self->state.layout = layout_of(in_info);
    return TRUE;
}

GstFlowReturn mrv_qt_overlay_transform_frame_ip(GstVideoFilter *filter, GstVideoFrame *frame) {
    MrvQtOverlay *self = self_of(filter);
    std::shared_ptr<const OverlayImage> image;
    PixelLayout layout{};
    {
        std::lock_guard<std::mutex> hold(self->state.lock);
        if (self->state.disable) {
            return GST_FLOW_OK;
        }
        image = self->state.image;
        layout = self->state.layout;
    }
    if (gui_thread::lost()) {
        // start() says why, and starts nothing: a lost GUI thread stays lost.
        GST_ELEMENT_ERROR(self, RESOURCE, FAILED,
                          ("The overlay cannot render: %s", gui_thread::start().c_str()),
                          (nullptr));
        return GST_FLOW_ERROR;
    }
    if (image) {
        blend_overlay(*image, static_cast<uint8_t *>(GST_VIDEO_FRAME_PLANE_DATA(frame, 0)),
                      GST_VIDEO_FRAME_PLANE_STRIDE(frame, 0), GST_VIDEO_FRAME_WIDTH(frame),
                      GST_VIDEO_FRAME_HEIGHT(frame), layout);
    }
    return GST_FLOW_OK;
}

void mrv_qt_overlay_finalize(GObject *object) {
    self_of(object)->state.~OverlayState();
    G_OBJECT_CLASS(mrv_qt_overlay_parent_class)->finalize(object);
}

}  // namespace

static void mrv_qt_overlay_class_init(MrvQtOverlayClass *klass) {
    GObjectClass *gobject_class = G_OBJECT_CLASS(klass);
    GstElementClass *element_class = GST_ELEMENT_CLASS(klass);
    GstBaseTransformClass *trans_class = GST_BASE_TRANSFORM_CLASS(klass);
    GstVideoFilterClass *filter_class = GST_VIDEO_FILTER_CLASS(klass);

    gobject_class->set_property = mrv_qt_overlay_set_property;
    gobject_class->get_property = mrv_qt_overlay_get_property;
    gobject_class->finalize = mrv_qt_overlay_finalize;

    auto flags = static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS);
    g_object_class_install_property(
        gobject_class, PROP_QML,
        g_param_spec_string("qml", "QML document", "Overlay document to draw over the video",
                            nullptr, flags));
    g_object_class_install_property(
        gobject_class, PROP_QML_ATTRIBUTE,
        g_param_spec_string("qml-attribute", "QML attribute",
                            "Sets a property of a named object of the overlay document: "
                            "\"Object.property:value\" (reads back the last text)",
                            nullptr, flags));
    g_object_class_install_property(
        gobject_class, PROP_DISABLE,
        g_param_spec_boolean("disable", "Disable", "Pass the video through without the overlay",
                             FALSE, flags));

    gst_element_class_add_static_pad_template(element_class, &sink_template);
    gst_element_class_add_static_pad_template(element_class, &src_template);
    gst_element_class_set_static_metadata(
        element_class, "Sight QML overlay (host)", "Filter/Effect/Video",
        "Renders the sight's QML overlay document with Qt Quick over the video",
        "mrvdc developers");

    trans_class->start = mrv_qt_overlay_start;
    trans_class->stop = mrv_qt_overlay_stop;
    filter_class->set_info = mrv_qt_overlay_set_info;
    filter_class->transform_frame_ip = mrv_qt_overlay_transform_frame_ip;

    GST_DEBUG_CATEGORY_INIT(overlay_debug, "qtoverlay", 0, "host QML overlay");
}

static void mrv_qt_overlay_init(MrvQtOverlay *self) {
    new (&self->state) OverlayState();
}

static gboolean plugin_init(GstPlugin *plugin) {
    return gst_element_register(plugin, "qtoverlay", GST_RANK_NONE, mrv_qt_overlay_get_type());
}

#ifndef PACKAGE
#define PACKAGE "mrvdc"
#endif

GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, qtoverlayhost,
                  "Host stand-in for the sight's QML overlay element", plugin_init, "3.0.0",
                  "Proprietary", PACKAGE, "mrvdc")
