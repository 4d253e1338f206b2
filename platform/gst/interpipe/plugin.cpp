// GST_PLUGIN_DEFINE names the package through this macro.
#define PACKAGE "mrvdc"

#include <gst/gst.h>

#include "interpipesink.h"
#include "interpipesrc.h"

GST_DEBUG_CATEGORY(interpipe_debug);

static gboolean plugin_init(GstPlugin *plugin) {
    GST_DEBUG_CATEGORY_INIT(interpipe_debug, "interpipe", 0, "inter-pipeline links");
    return gst_element_register(plugin, "interpipesink", GST_RANK_NONE, GST_TYPE_INTERPIPE_SINK) &&
           gst_element_register(plugin, "interpipesrc", GST_RANK_NONE, GST_TYPE_INTERPIPE_SRC);
}

GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, interpipe,
                  "Named links between pipelines of one process (host platform)", plugin_init,
                  "3.0.0", "Proprietary", "mrvdc", "https://mirova.example/mrvdc")
