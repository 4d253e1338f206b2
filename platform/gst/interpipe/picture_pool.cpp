// Trimming: over each window of acquisitions the pool notes the fewest pictures it had idle.
// Those pictures were never needed in the window, so that many of the next ones to come back
// are freed instead of kept. A steady stream keeps what its jitter needs and makes no new
// pictures; after a busy moment the pool is back to that within two windows.
#include "picture_pool.h"

#include <algorithm>
#include <mutex>

struct _GstInterpipePicturePool {
    GstVideoBufferPool parent;
    struct Trim *trim;
};

struct Trim {
    std::mutex lock;
    guint window = 0;
    int least = 0;     // the pool's minimum, never trimmed
    int alive = 0;     // pictures made and not yet freed
    int acquired = 0;  // pictures handed out and not yet back
    int fewest_idle = 0;
    guint acquisitions = 0;  // in the current window
    int to_free = 0;
};

G_DEFINE_TYPE(GstInterpipePicturePool, gst_interpipe_picture_pool, GST_TYPE_VIDEO_BUFFER_POOL)

namespace {

GstBufferPoolClass *parent_class() {
    return GST_BUFFER_POOL_CLASS(gst_interpipe_picture_pool_parent_class);
}

Trim &trim_of(GstBufferPool *pool) {
    return *GST_INTERPIPE_PICTURE_POOL(pool)->trim;
}

GstFlowReturn alloc_picture(GstBufferPool *pool, GstBuffer **buffer,
                            GstBufferPoolAcquireParams *params) {
    GstFlowReturn ret = parent_class()->alloc_buffer(pool, buffer, params);
    if (ret == GST_FLOW_OK) {
        Trim &t = trim_of(pool);
        std::lock_guard<std::mutex> guard(t.lock);
        t.alive++;
    }
    return ret;
}

void free_picture(GstBufferPool *pool, GstBuffer *buffer) {
    {
        Trim &t = trim_of(pool);
        std::lock_guard<std::mutex> guard(t.lock);
        t.alive--;
    }
    parent_class()->free_buffer(pool, buffer);
}

// Starting fills the pool with its minimum through release_buffer, before anything is acquired;
// trimming never goes below that minimum.
gboolean start_pool(GstBufferPool *pool) {
    guint min = 0;
    GstStructure *config = gst_buffer_pool_get_config(pool);
    gst_buffer_pool_config_get_params(config, nullptr, nullptr, &min, nullptr);
    gst_structure_free(config);
    gboolean started = parent_class()->start(pool);
    Trim &t = trim_of(pool);
    std::lock_guard<std::mutex> guard(t.lock);
    t.least = static_cast<int>(min);
    t.acquired = 0;
    t.to_free = 0;
    t.acquisitions = 0;
    t.fewest_idle = t.alive;
    return started;
}

GstFlowReturn acquire_picture(GstBufferPool *pool, GstBuffer **buffer,
                              GstBufferPoolAcquireParams *params) {
    GstFlowReturn ret = parent_class()->acquire_buffer(pool, buffer, params);
    if (ret != GST_FLOW_OK)
        return ret;
    Trim &t = trim_of(pool);
    std::lock_guard<std::mutex> guard(t.lock);
    t.acquired++;
    t.fewest_idle = std::min(t.fewest_idle, t.alive - t.acquired);
    if (++t.acquisitions >= t.window) {
        t.to_free = std::max(std::min(t.fewest_idle, t.alive - t.least), 0);
        t.acquisitions = 0;
        t.fewest_idle = t.alive - t.acquired;
    }
    return ret;
}

// A picture to free is tagged, which makes the base pool free it instead of queueing it.
void release_picture(GstBufferPool *pool, GstBuffer *buffer) {
    {
        Trim &t = trim_of(pool);
        std::lock_guard<std::mutex> guard(t.lock);
        t.acquired = std::max(t.acquired - 1, 0);
        if (t.to_free > 0) {
            t.to_free--;
            GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_TAG_MEMORY);
        }
    }
    parent_class()->release_buffer(pool, buffer);
}

void finalize_pool(GObject *object) {
    delete GST_INTERPIPE_PICTURE_POOL(object)->trim;
    G_OBJECT_CLASS(gst_interpipe_picture_pool_parent_class)->finalize(object);
}

}  // namespace

static void gst_interpipe_picture_pool_class_init(GstInterpipePicturePoolClass *klass) {
    G_OBJECT_CLASS(klass)->finalize = finalize_pool;
    auto *pool_class = GST_BUFFER_POOL_CLASS(klass);
    pool_class->start = start_pool;
    pool_class->alloc_buffer = alloc_picture;
    pool_class->free_buffer = free_picture;
    pool_class->acquire_buffer = acquire_picture;
    pool_class->release_buffer = release_picture;
}

static void gst_interpipe_picture_pool_init(GstInterpipePicturePool *self) {
    self->trim = new Trim();
}

GstBufferPool *gst_interpipe_picture_pool_new(guint window) {
    auto *pool = GST_INTERPIPE_PICTURE_POOL(g_object_new(GST_TYPE_INTERPIPE_PICTURE_POOL, nullptr));
    pool->trim->window = std::max(window, 1u);
    // Pools are created floating; whoever takes this one owns it.
    gst_object_ref_sink(pool);
    return GST_BUFFER_POOL(pool);
}
