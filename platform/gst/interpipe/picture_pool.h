// The pool an interpipesink offers its producer for raw pictures. Listeners in other pipelines
// may hold many pictures for a while (a queue behind a slow encoder, a paused consumer); a plain
// pool keeps every picture it ever made, so a daemon would hold its busiest moment's pictures
// for good. This pool frees the idle pictures that a whole window of frames did not need.
#pragma once

#include <gst/video/video.h>

G_BEGIN_DECLS

#define GST_TYPE_INTERPIPE_PICTURE_POOL (gst_interpipe_picture_pool_get_type())
G_DECLARE_FINAL_TYPE(GstInterpipePicturePool, gst_interpipe_picture_pool, GST,
                     INTERPIPE_PICTURE_POOL, GstVideoBufferPool)

// A pool that looks back over `window` acquisitions when it trims.
GstBufferPool *gst_interpipe_picture_pool_new(guint window);

G_END_DECLS
