/* Host stand-ins for the sight's i.MX6 GStreamer elements, registered under the same
 * factory names so the daemon's pipelines run unchanged on a PC. */
#include <gst/gst.h>

#include "elements.h"

#ifndef PACKAGE
#define PACKAGE "mrvdc"
#endif

static gboolean plugin_init(GstPlugin *plugin) {
    const struct {
        const gchar *name;
        guint rank;
        GType (*type)(void);
    } elements[] = {
        {"imxv4l2videosrc", GST_RANK_PRIMARY, mrv_camera_get_type},
        {"imxg2dvideotransform", GST_RANK_NONE, mrv_g2d_transform_get_type},
        {"imxipuvideotransform", GST_RANK_NONE, mrv_ipu_transform_get_type},
        {"imxipuvideosink", GST_RANK_NONE, mrv_display_sink_get_type},
        {"imxvpuenc_h264", GST_RANK_NONE, mrv_h264_encoder_get_type},
        {"imxmp3audioenc", GST_RANK_NONE, mrv_mp3_encoder_get_type},
    };
    for (gsize i = 0; i < G_N_ELEMENTS(elements); i++) {
        if (!gst_element_register(plugin, elements[i].name, elements[i].rank, elements[i].type())) {
            return FALSE;
        }
    }
    return TRUE;
}

GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, imxhost,
                  "Host stand-ins for the sight's i.MX6 video and audio elements", plugin_init,
                  "3.0.0", "Proprietary", PACKAGE, "mrvdc")
