// interpipesrc: follows the interpipesink named by "listen-to", wherever and whenever that sink
// is built, and pushes what it publishes into this pipeline.
#pragma once

#include <gst/base/gstbasesrc.h>

G_BEGIN_DECLS

#define GST_TYPE_INTERPIPE_SRC (gst_interpipe_src_get_type())
G_DECLARE_FINAL_TYPE(GstInterpipeSrc, gst_interpipe_src, GST, INTERPIPE_SRC, GstBaseSrc)

#define GST_TYPE_INTERPIPE_SRC_STREAM_SYNC (gst_interpipe_src_stream_sync_get_type())
GType gst_interpipe_src_stream_sync_get_type(void);

typedef enum {
    GST_INTERPIPE_SRC_STREAM_SYNC_PASSTHROUGH_TS = 0,
    GST_INTERPIPE_SRC_STREAM_SYNC_RESTART_TS = 1,
} GstInterpipeSrcStreamSync;

// Called by the registry from the producer's streaming thread: queues `buffer` (with `caps`)
// for this listener, dropping the oldest queued buffers beyond the queue limit. Never blocks.
void gst_interpipe_src_push(GstInterpipeSrc *src, GstBuffer *buffer, GstCaps *caps,
                            guint sink_limit);

G_END_DECLS
