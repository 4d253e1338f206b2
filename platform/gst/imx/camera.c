/* imxv4l2videosrc on the host: a live 640x480, 30 fps picture of a synthetic thermal scene
 * that follows the camera core's state (zoom, origin, PIP, fast NUC) left by `mrvac`. */
#include <gst/base/gstpushsrc.h>
#include <gst/gst.h>
#include <gst/video/gstvideopool.h>
#include <gst/video/video.h>
#include <string.h>

#include "core_state.h"
#include "elements.h"
#include "scene.h"

GST_DEBUG_CATEGORY_STATIC(camera_debug);
#define GST_CAT_DEFAULT camera_debug

#define FPS_N 30
#define FPS_D 1
/* A fast NUC closes the core's shutter for a moment: the picture freezes meanwhile. */
#define NUC_FREEZE_FRAMES 12

#define DEFAULT_DEVICE "/dev/video0"
#define DEFAULT_CAPTURE_MODE 0
#define DEFAULT_QUEUE_SIZE 6

enum { PROP_0, PROP_DEVICE, PROP_CAPTURE_MODE, PROP_QUEUE_SIZE, PROP_ANIMATE, PROP_IS_LIVE };

typedef struct {
    GstPushSrc parent;

    gchar *device;
    gint capture_mode;
    gint queue_size;
    gboolean animate;

    GstVideoInfo info;
    Scene *scene;
    guint8 *picture; /* the core's output, SCENE_WIDTH x SCENE_HEIGHT luminance */
    CoreStateWatch watch;
    CoreState state;
    guint nuc_seen;
    gint freeze;
    guint64 frame;
} MrvCamera;

typedef struct {
    GstPushSrcClass parent_class;
} MrvCameraClass;

G_DEFINE_TYPE(MrvCamera, mrv_camera, GST_TYPE_PUSH_SRC)

static GstStaticPadTemplate src_template = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("video/x-raw, format=(string){ I420, GRAY8 }, width=(int)640, "
                    "height=(int)480, framerate=(fraction)30/1, pixel-aspect-ratio=(fraction)1/1"));

static void mrv_camera_set_property(GObject *object, guint id, const GValue *value,
                                    GParamSpec *pspec) {
    MrvCamera *self = (MrvCamera *)object;
    if (id == PROP_IS_LIVE) {
        gst_base_src_set_live(GST_BASE_SRC(self), g_value_get_boolean(value));
        return;
    }
    GST_OBJECT_LOCK(self);
    switch (id) {
        case PROP_DEVICE:
            g_free(self->device);
            self->device = g_value_dup_string(value);
            break;
        case PROP_CAPTURE_MODE:
            self->capture_mode = g_value_get_int(value);
            break;
        case PROP_QUEUE_SIZE:
            self->queue_size = g_value_get_int(value);
            break;
        case PROP_ANIMATE:
            self->animate = g_value_get_boolean(value);
            break;
        default:
            G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
            break;
    }
    GST_OBJECT_UNLOCK(self);
}

static void mrv_camera_get_property(GObject *object, guint id, GValue *value, GParamSpec *pspec) {
    MrvCamera *self = (MrvCamera *)object;
    if (id == PROP_IS_LIVE) {
        g_value_set_boolean(value, gst_base_src_is_live(GST_BASE_SRC(self)));
        return;
    }
    GST_OBJECT_LOCK(self);
    switch (id) {
        case PROP_DEVICE:
            g_value_set_string(value, self->device);
            break;
        case PROP_CAPTURE_MODE:
            g_value_set_int(value, self->capture_mode);
            break;
        case PROP_QUEUE_SIZE:
            g_value_set_int(value, self->queue_size);
            break;
        case PROP_ANIMATE:
            g_value_set_boolean(value, self->animate);
            break;
        default:
            G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
            break;
    }
    GST_OBJECT_UNLOCK(self);
}

static gboolean mrv_camera_start(GstBaseSrc *src) {
    MrvCamera *self = (MrvCamera *)src;
    if (self->capture_mode != 0) {
        GST_ELEMENT_ERROR(
            self, RESOURCE, SETTINGS,
            ("Capture mode %d is not supported by the camera core", self->capture_mode),
            ("only mode 0 (640x480 at 30 fps) exists"));
        return FALSE;
    }
    GST_INFO_OBJECT(self, "capturing from %s", self->device ? self->device : "(none)");
    self->scene = g_new(Scene, 1);
    scene_init(self->scene);
    self->picture = g_malloc0(SCENE_WIDTH * SCENE_HEIGHT);
    gchar *path = core_state_path();
    core_state_watch_init(&self->watch, path);
    g_free(path);
    core_state_defaults(&self->state);
    core_state_watch_poll(&self->watch, &self->state);
    self->nuc_seen = self->state.nuc_count;
    self->freeze = 0;
    self->frame = 0;
    return TRUE;
}

static gboolean mrv_camera_stop(GstBaseSrc *src) {
    MrvCamera *self = (MrvCamera *)src;
    g_clear_pointer(&self->scene, g_free);
    g_clear_pointer(&self->picture, g_free);
    core_state_watch_clear(&self->watch);
    return TRUE;
}

static gboolean mrv_camera_set_caps(GstBaseSrc *src, GstCaps *caps) {
    MrvCamera *self = (MrvCamera *)src;
    if (!gst_video_info_from_caps(&self->info, caps)) {
        GST_ERROR_OBJECT(self, "unusable caps %" GST_PTR_FORMAT, caps);
        return FALSE;
    }
    return TRUE;
}

/* The capture queue: at most "queue-size" buffers are out at a time, as with V4L2. */
static gboolean mrv_camera_decide_allocation(GstBaseSrc *src, GstQuery *query) {
    MrvCamera *self = (MrvCamera *)src;
    GstCaps *caps = NULL;
    gst_query_parse_allocation(query, &caps, NULL);
    GstBufferPool *pool = gst_video_buffer_pool_new();
    GstStructure *config = gst_buffer_pool_get_config(pool);
    guint count = (guint)MAX(self->queue_size, 2);
    gst_buffer_pool_config_set_params(config, caps, (guint)self->info.size, 2, count);
    gst_buffer_pool_config_add_option(config, GST_BUFFER_POOL_OPTION_VIDEO_META);
    if (!gst_buffer_pool_set_config(pool, config)) {
        gst_object_unref(pool);
        return FALSE;
    }
    if (gst_query_get_n_allocation_pools(query) > 0) {
        gst_query_set_nth_allocation_pool(query, 0, pool, (guint)self->info.size, 2, count);
    } else {
        gst_query_add_allocation_pool(query, pool, (guint)self->info.size, 2, count);
    }
    gst_object_unref(pool);
    return GST_BASE_SRC_CLASS(mrv_camera_parent_class)->decide_allocation(src, query);
}

static void mrv_camera_get_times(GstBaseSrc *src, GstBuffer *buffer, GstClockTime *start,
                                 GstClockTime *end) {
    /* Live: each picture is pushed when the clock reaches its capture time. */
    if (!gst_base_src_is_live(src)) {
        *start = *end = GST_CLOCK_TIME_NONE;
        return;
    }
    *start = GST_BUFFER_PTS(buffer);
    *end = GST_CLOCK_TIME_IS_VALID(*start) && GST_BUFFER_DURATION_IS_VALID(buffer)
               ? *start + GST_BUFFER_DURATION(buffer)
               : GST_CLOCK_TIME_NONE;
}

static gboolean mrv_camera_query(GstBaseSrc *src, GstQuery *query) {
    if (GST_QUERY_TYPE(query) == GST_QUERY_LATENCY) {
        MrvCamera *self = (MrvCamera *)src;
        GstClockTime period = gst_util_uint64_scale_int(GST_SECOND, FPS_D, FPS_N);
        gst_query_set_latency(query, TRUE, period, period * (guint)MAX(self->queue_size, 1));
        return TRUE;
    }
    return GST_BASE_SRC_CLASS(mrv_camera_parent_class)->query(src, query);
}

static void update_picture(MrvCamera *self, double seconds) {
    if (core_state_watch_poll(&self->watch, &self->state)) {
        GST_DEBUG_OBJECT(self, "core state: zoom %d pip %d origin %d,%d nuc %u", self->state.zoom,
                         self->state.pip, self->state.origin_x, self->state.origin_y,
                         self->state.nuc_count);
        if (self->state.nuc_count != self->nuc_seen) {
            self->freeze = NUC_FREEZE_FRAMES;
        }
        self->nuc_seen = self->state.nuc_count;
    }
    if (self->freeze > 0 && self->frame > 0) {
        self->freeze--;
        return;
    }
    GST_OBJECT_LOCK(self);
    gboolean animate = self->animate;
    GST_OBJECT_UNLOCK(self);
    scene_render_sensor(self->scene, seconds, animate);
    scene_apply_core(self->scene, &self->state, self->picture, SCENE_WIDTH);
}

static GstFlowReturn mrv_camera_fill(GstPushSrc *src, GstBuffer *buffer) {
    MrvCamera *self = (MrvCamera *)src;
    GstClockTime pts = gst_util_uint64_scale(self->frame, GST_SECOND * FPS_D, FPS_N);
    update_picture(self, (double)pts / GST_SECOND);

    GstVideoFrame frame;
    if (!gst_video_frame_map(&frame, &self->info, buffer, GST_MAP_WRITE)) {
        GST_ELEMENT_ERROR(self, RESOURCE, WRITE, ("Could not map the capture buffer"), (NULL));
        return GST_FLOW_ERROR;
    }
    guint8 *luma = GST_VIDEO_FRAME_PLANE_DATA(&frame, 0);
    gint stride = GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0);
    for (gint y = 0; y < SCENE_HEIGHT; y++) {
        memcpy(luma + y * stride, self->picture + y * SCENE_WIDTH, SCENE_WIDTH);
    }
    if (GST_VIDEO_FRAME_FORMAT(&frame) == GST_VIDEO_FORMAT_I420) {
        for (guint plane = 1; plane < 3; plane++) {
            guint8 *chroma = GST_VIDEO_FRAME_PLANE_DATA(&frame, plane);
            gint cstride = GST_VIDEO_FRAME_PLANE_STRIDE(&frame, plane);
            gint rows = GST_VIDEO_FRAME_COMP_HEIGHT(&frame, plane);
            gint width = GST_VIDEO_FRAME_COMP_WIDTH(&frame, plane);
            for (gint y = 0; y < rows; y++) {
                memset(chroma + y * cstride, 128, (gsize)width);
            }
        }
    }
    gst_video_frame_unmap(&frame);

    GST_BUFFER_PTS(buffer) = pts;
    GST_BUFFER_DTS(buffer) = GST_CLOCK_TIME_NONE;
    GST_BUFFER_DURATION(buffer) =
        gst_util_uint64_scale(self->frame + 1, GST_SECOND * FPS_D, FPS_N) - pts;
    GST_BUFFER_OFFSET(buffer) = self->frame;
    GST_BUFFER_OFFSET_END(buffer) = self->frame + 1;
    self->frame++;
    return GST_FLOW_OK;
}

static void mrv_camera_finalize(GObject *object) {
    MrvCamera *self = (MrvCamera *)object;
    g_free(self->device);
    G_OBJECT_CLASS(mrv_camera_parent_class)->finalize(object);
}

static void mrv_camera_class_init(MrvCameraClass *klass) {
    GObjectClass *gobject_class = G_OBJECT_CLASS(klass);
    GstElementClass *element_class = GST_ELEMENT_CLASS(klass);
    GstBaseSrcClass *basesrc_class = GST_BASE_SRC_CLASS(klass);
    GstPushSrcClass *pushsrc_class = GST_PUSH_SRC_CLASS(klass);

    gobject_class->set_property = mrv_camera_set_property;
    gobject_class->get_property = mrv_camera_get_property;
    gobject_class->finalize = mrv_camera_finalize;

    g_object_class_install_property(
        gobject_class, PROP_DEVICE,
        g_param_spec_string("device", "Device", "Capture device of the camera core", DEFAULT_DEVICE,
                            G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS));
    g_object_class_install_property(
        gobject_class, PROP_CAPTURE_MODE,
        g_param_spec_int("imx-capture-mode", "Capture mode",
                         "Sensor mode of the camera core (0: 640x480 at 30 fps, the only one)", 0,
                         G_MAXINT, DEFAULT_CAPTURE_MODE,
                         G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS));
    g_object_class_install_property(
        gobject_class, PROP_QUEUE_SIZE,
        g_param_spec_int("queue-size", "Queue size", "Number of capture buffers", 2, 64,
                         DEFAULT_QUEUE_SIZE, G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS));
    g_object_class_install_property(
        gobject_class, PROP_ANIMATE,
        g_param_spec_boolean("animate", "Animate",
                             "Moving targets and sensor noise (off: a still, noiseless scene)",
                             TRUE, G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS));

    g_object_class_install_property(
        gobject_class, PROP_IS_LIVE,
        g_param_spec_boolean("is-live", "Is live",
                             "Deliver pictures at capture pace (off: as fast as they are taken, "
                             "for encoding tests)",
                             TRUE, G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS));

    gst_element_class_add_static_pad_template(element_class, &src_template);
    gst_element_class_set_static_metadata(
        element_class, "Thermal camera core (host)", "Source/Video",
        "Live synthetic thermal picture that follows the camera core's zoom, origin and PIP",
        "mrvdc developers");

    basesrc_class->start = mrv_camera_start;
    basesrc_class->stop = mrv_camera_stop;
    basesrc_class->set_caps = mrv_camera_set_caps;
    basesrc_class->decide_allocation = mrv_camera_decide_allocation;
    basesrc_class->get_times = mrv_camera_get_times;
    basesrc_class->query = mrv_camera_query;
    pushsrc_class->fill = mrv_camera_fill;

    GST_DEBUG_CATEGORY_INIT(camera_debug, "imxv4l2videosrc", 0, "host thermal camera");
}

static void mrv_camera_init(MrvCamera *self) {
    self->device = g_strdup(DEFAULT_DEVICE);
    self->capture_mode = DEFAULT_CAPTURE_MODE;
    self->queue_size = DEFAULT_QUEUE_SIZE;
    self->animate = TRUE;
    gst_base_src_set_live(GST_BASE_SRC(self), TRUE);
    gst_base_src_set_format(GST_BASE_SRC(self), GST_FORMAT_TIME);
}
