// interpipesink: publishes the stream that reaches it under its element name, for any number
// of interpipesrc listeners in other pipelines of the same process.
#pragma once

#include <gst/base/gstbasesink.h>

G_BEGIN_DECLS

#define GST_TYPE_INTERPIPE_SINK (gst_interpipe_sink_get_type())
G_DECLARE_FINAL_TYPE(GstInterpipeSink, gst_interpipe_sink, GST, INTERPIPE_SINK, GstBaseSink)

G_END_DECLS
