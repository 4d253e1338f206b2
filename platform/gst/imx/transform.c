/* imxg2dvideotransform and imxipuvideotransform on the host: colour conversion and scaling
 * by videoconvertscale inside a bin, negotiated from the caps around them. */
#include <gst/gst.h>

#include "elements.h"

GST_DEBUG_CATEGORY_STATIC(transform_debug);
#define GST_CAT_DEFAULT transform_debug

typedef struct {
    GstBin parent;
} MrvTransform;

typedef struct {
    GstBinClass parent_class;
} MrvTransformClass;

G_DEFINE_ABSTRACT_TYPE(MrvTransform, mrv_transform, GST_TYPE_BIN)

static GstStaticPadTemplate sink_template =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS("video/x-raw"));
static GstStaticPadTemplate src_template =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS("video/x-raw"));

static void add_ghost(MrvTransform *self, GstElement *target, const gchar *name) {
    GstPadTemplate *templ = gst_element_class_get_pad_template(GST_ELEMENT_GET_CLASS(self), name);
    GstPad *ghost = gst_ghost_pad_new_no_target_from_template(name, templ);
    if (target) {
        GstPad *pad = gst_element_get_static_pad(target, name);
        gst_ghost_pad_set_target(GST_GHOST_PAD(ghost), pad);
        gst_object_unref(pad);
    }
    gst_element_add_pad(GST_ELEMENT(self), ghost);
}

static void mrv_transform_init(MrvTransform *self) {
    GstElement *convert = gst_element_factory_make("videoconvertscale", "convert");
    if (convert) {
        gst_bin_add(GST_BIN(self), convert);
    } else {
        /* The bin then has unconnected pads and fails to link, which names the cause. */
        GST_ERROR_OBJECT(self, "videoconvertscale is missing");
    }
    add_ghost(self, convert, "sink");
    add_ghost(self, convert, "src");
}

static void mrv_transform_class_init(MrvTransformClass *klass) {
    GstElementClass *element_class = GST_ELEMENT_CLASS(klass);
    gst_element_class_add_static_pad_template(element_class, &sink_template);
    gst_element_class_add_static_pad_template(element_class, &src_template);
    GST_DEBUG_CATEGORY_INIT(transform_debug, "imxtransform", 0, "host video transforms");
}

/* The G2D engine: the source pipelines scale the camera picture to the display format. */
typedef struct {
    MrvTransform parent;
} MrvG2dTransform;
typedef struct {
    MrvTransformClass parent_class;
} MrvG2dTransformClass;

G_DEFINE_TYPE(MrvG2dTransform, mrv_g2d_transform, mrv_transform_get_type())

static void mrv_g2d_transform_init(MrvG2dTransform *self) {
    (void)self;
}

static void mrv_g2d_transform_class_init(MrvG2dTransformClass *klass) {
    gst_element_class_set_static_metadata(GST_ELEMENT_CLASS(klass), "G2D video transform (host)",
                                          "Filter/Converter/Video/Scaler",
                                          "Converts and scales video frames", "mrvdc developers");
}

/* The IPU: the transformer converts the overlaid picture into the encoder's YUV format. */
typedef struct {
    MrvTransform parent;
} MrvIpuTransform;
typedef struct {
    MrvTransformClass parent_class;
} MrvIpuTransformClass;

G_DEFINE_TYPE(MrvIpuTransform, mrv_ipu_transform, mrv_transform_get_type())

static void mrv_ipu_transform_init(MrvIpuTransform *self) {
    (void)self;
}

static void mrv_ipu_transform_class_init(MrvIpuTransformClass *klass) {
    gst_element_class_set_static_metadata(GST_ELEMENT_CLASS(klass), "IPU video transform (host)",
                                          "Filter/Converter/Video/Scaler",
                                          "Converts and scales video frames", "mrvdc developers");
}
