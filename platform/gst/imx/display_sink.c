/* imxipuvideosink on the host: shows each picture on the named framebuffer device when that
 * device exists and is usable, and in a desktop window when a display is available; otherwise
 * it discards it. The base sink keeps "last-sample".
 * With "use-vsync" each picture waits for the display's vertical sync (60 Hz without a
 * framebuffer), as on the sight. */
#include <errno.h>
#include <fcntl.h>
#include <gst/gst.h>
#include <gst/video/gstvideosink.h>
#include <gst/video/video.h>
#include <linux/fb.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "display_window.h"
#include "elements.h"

GST_DEBUG_CATEGORY_STATIC(sink_debug);
#define GST_CAT_DEFAULT sink_debug

#define DEFAULT_FRAMEBUFFER "/dev/fb0"
#define REFRESH_HZ 60

enum { PROP_0, PROP_USE_VSYNC, PROP_FRAMEBUFFER };

typedef struct {
    int fd;
    guint8 *map;
    size_t map_len;
    struct fb_var_screeninfo var;
    struct fb_fix_screeninfo fix;
} Framebuffer;

typedef struct {
    GstVideoSink parent;
    gboolean use_vsync;
    gchar *framebuffer;
    Framebuffer fb;
    DisplayWindow *window;
    GstVideoInfo info;
} MrvDisplaySink;

typedef struct {
    GstVideoSinkClass parent_class;
} MrvDisplaySinkClass;

G_DEFINE_TYPE(MrvDisplaySink, mrv_display_sink, GST_TYPE_VIDEO_SINK)

static GstStaticPadTemplate sink_template = GST_STATIC_PAD_TEMPLATE(
    "sink", GST_PAD_SINK, GST_PAD_ALWAYS,
    GST_STATIC_CAPS(
        GST_VIDEO_CAPS_MAKE("{ RGBA, BGRA, RGBx, BGRx, ARGB, ABGR, xRGB, xBGR, RGB, BGR }")));

static void framebuffer_close(Framebuffer *fb) {
    if (fb->map) {
        munmap(fb->map, fb->map_len);
    }
    if (fb->fd >= 0) {
        close(fb->fd);
    }
    memset(fb, 0, sizeof *fb);
    fb->fd = -1;
}

/* Opens a true-colour framebuffer of 16, 24 or 32 bits per pixel and maps it. */
static gboolean framebuffer_open(Framebuffer *fb, const gchar *path, gchar **why) {
    fb->fd = open(path, O_RDWR | O_CLOEXEC);
    if (fb->fd < 0) {
        *why = g_strdup(g_strerror(errno));
        return FALSE;
    }
    if (ioctl(fb->fd, FBIOGET_VSCREENINFO, &fb->var) != 0 ||
        ioctl(fb->fd, FBIOGET_FSCREENINFO, &fb->fix) != 0) {
        *why = g_strdup_printf("not a framebuffer device (%s)", g_strerror(errno));
        framebuffer_close(fb);
        return FALSE;
    }
    guint bpp = fb->var.bits_per_pixel;
    if (fb->fix.visual != FB_VISUAL_TRUECOLOR || (bpp != 16 && bpp != 24 && bpp != 32)) {
        *why =
            g_strdup_printf("unsupported pixel layout (%u bits, visual %u)", bpp, fb->fix.visual);
        framebuffer_close(fb);
        return FALSE;
    }
    fb->map_len = fb->fix.smem_len;
    void *map = mmap(NULL, fb->map_len, PROT_READ | PROT_WRITE, MAP_SHARED, fb->fd, 0);
    if (map == MAP_FAILED) {
        *why = g_strdup_printf("cannot map it (%s)", g_strerror(errno));
        fb->map = NULL;
        framebuffer_close(fb);
        return FALSE;
    }
    fb->map = map;
    return TRUE;
}

static guint32 pack_channel(guint8 value, const struct fb_bitfield *field) {
    if (field->length == 0) {
        return 0;
    }
    guint32 v = field->length >= 8 ? (guint32)value << (field->length - 8)
                                   : (guint32)value >> (8 - field->length);
    return v << field->offset;
}

/* Copies the picture into the visible part of the framebuffer, top left, clipped. */
static void framebuffer_show(Framebuffer *fb, GstVideoFrame *frame) {
    const GstVideoFormatInfo *finfo = frame->info.finfo;
    guint r_off = GST_VIDEO_FORMAT_INFO_POFFSET(finfo, GST_VIDEO_COMP_R);
    guint g_off = GST_VIDEO_FORMAT_INFO_POFFSET(finfo, GST_VIDEO_COMP_G);
    guint b_off = GST_VIDEO_FORMAT_INFO_POFFSET(finfo, GST_VIDEO_COMP_B);
    guint pstride = GST_VIDEO_FRAME_COMP_PSTRIDE(frame, 0);
    gint src_stride = GST_VIDEO_FRAME_PLANE_STRIDE(frame, 0);
    const guint8 *src = GST_VIDEO_FRAME_PLANE_DATA(frame, 0);

    guint bytes = fb->var.bits_per_pixel / 8;
    guint width = MIN((guint)GST_VIDEO_FRAME_WIDTH(frame), fb->var.xres);
    guint height = MIN((guint)GST_VIDEO_FRAME_HEIGHT(frame), fb->var.yres);
    gsize origin = (gsize)fb->var.yoffset * fb->fix.line_length + (gsize)fb->var.xoffset * bytes;
    for (guint y = 0; y < height; y++) {
        gsize row = origin + (gsize)y * fb->fix.line_length;
        if (row + (gsize)width * bytes > fb->map_len) {
            break;
        }
        guint8 *dst = fb->map + row;
        const guint8 *line = src + (gsize)y * src_stride;
        for (guint x = 0; x < width; x++) {
            const guint8 *p = line + (gsize)x * pstride;
            guint32 v = pack_channel(p[r_off], &fb->var.red) |
                        pack_channel(p[g_off], &fb->var.green) |
                        pack_channel(p[b_off], &fb->var.blue) | pack_channel(0xff, &fb->var.transp);
            for (guint i = 0; i < bytes; i++) {
                dst[(gsize)x * bytes + i] = (guint8)(v >> (8 * i));
            }
        }
    }
}

static gboolean mrv_display_sink_start(GstBaseSink *sink) {
    MrvDisplaySink *self = (MrvDisplaySink *)sink;
    GST_OBJECT_LOCK(self);
    gchar *path = g_strdup(self->framebuffer);
    GST_OBJECT_UNLOCK(self);
    gchar *why = NULL;
    if (path && framebuffer_open(&self->fb, path, &why)) {
        GST_INFO_OBJECT(self, "showing pictures on %s (%ux%u, %u bits)", path, self->fb.var.xres,
                        self->fb.var.yres, self->fb.var.bits_per_pixel);
    } else {
        GST_INFO_OBJECT(self, "framebuffer %s not usable (%s): pictures are discarded",
                        path ? path : "(none)", why ? why : "no path");
    }
    g_free(why);
    g_free(path);
    self->window = display_window_open(GST_OBJECT(self));
    return TRUE;
}

static gboolean mrv_display_sink_stop(GstBaseSink *sink) {
    MrvDisplaySink *self = (MrvDisplaySink *)sink;
    framebuffer_close(&self->fb);
    display_window_close(self->window);
    self->window = NULL;
    return TRUE;
}

static gboolean mrv_display_sink_set_info(GstVideoSink *sink, GstCaps *caps,
                                          const GstVideoInfo *info) {
    MrvDisplaySink *self = (MrvDisplaySink *)sink;
    self->info = *info;
    display_window_set_caps(self->window, caps);
    return TRUE;
}

/* Waits for the next vertical sync: the framebuffer's, or else that of a panel refreshing at
 * REFRESH_HZ, so that "use-vsync" paces a picture source that is not live (the splash) as the
 * display does on the sight. */
static void wait_for_vsync(MrvDisplaySink *self) {
    __u32 crtc = 0;
    if (self->fb.fd >= 0 && ioctl(self->fb.fd, FBIO_WAITFORVSYNC, &crtc) == 0) {
        return;
    }
    const gint64 period = G_USEC_PER_SEC / REFRESH_HZ;
    gint64 now = g_get_monotonic_time();
    g_usleep((gulong)((now / period + 1) * period - now));
}

static GstFlowReturn mrv_display_sink_show_frame(GstVideoSink *sink, GstBuffer *buffer) {
    MrvDisplaySink *self = (MrvDisplaySink *)sink;
    GST_OBJECT_LOCK(self);
    gboolean use_vsync = self->use_vsync;
    GST_OBJECT_UNLOCK(self);
    if (use_vsync) {
        wait_for_vsync(self);
    }
    display_window_show(self->window, buffer);
    if (self->fb.fd < 0) {
        return GST_FLOW_OK;
    }
    GstVideoFrame frame;
    if (!gst_video_frame_map(&frame, &self->info, buffer, GST_MAP_READ)) {
        GST_WARNING_OBJECT(self, "cannot map a picture");
        return GST_FLOW_OK;
    }
    framebuffer_show(&self->fb, &frame);
    gst_video_frame_unmap(&frame);
    return GST_FLOW_OK;
}

static void mrv_display_sink_set_property(GObject *object, guint id, const GValue *value,
                                          GParamSpec *pspec) {
    MrvDisplaySink *self = (MrvDisplaySink *)object;
    GST_OBJECT_LOCK(self);
    switch (id) {
        case PROP_USE_VSYNC:
            self->use_vsync = g_value_get_boolean(value);
            break;
        case PROP_FRAMEBUFFER:
            g_free(self->framebuffer);
            self->framebuffer = g_value_dup_string(value);
            break;
        default:
            G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
            break;
    }
    GST_OBJECT_UNLOCK(self);
}

static void mrv_display_sink_get_property(GObject *object, guint id, GValue *value,
                                          GParamSpec *pspec) {
    MrvDisplaySink *self = (MrvDisplaySink *)object;
    GST_OBJECT_LOCK(self);
    switch (id) {
        case PROP_USE_VSYNC:
            g_value_set_boolean(value, self->use_vsync);
            break;
        case PROP_FRAMEBUFFER:
            g_value_set_string(value, self->framebuffer);
            break;
        default:
            G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
            break;
    }
    GST_OBJECT_UNLOCK(self);
}

static void mrv_display_sink_finalize(GObject *object) {
    MrvDisplaySink *self = (MrvDisplaySink *)object;
    framebuffer_close(&self->fb);
    g_free(self->framebuffer);
    G_OBJECT_CLASS(mrv_display_sink_parent_class)->finalize(object);
}

static void mrv_display_sink_class_init(MrvDisplaySinkClass *klass) {
    GObjectClass *gobject_class = G_OBJECT_CLASS(klass);
    GstElementClass *element_class = GST_ELEMENT_CLASS(klass);
    GstBaseSinkClass *basesink_class = GST_BASE_SINK_CLASS(klass);
    GstVideoSinkClass *videosink_class = GST_VIDEO_SINK_CLASS(klass);

    gobject_class->set_property = mrv_display_sink_set_property;
    gobject_class->get_property = mrv_display_sink_get_property;
    gobject_class->finalize = mrv_display_sink_finalize;

    g_object_class_install_property(
        gobject_class, PROP_USE_VSYNC,
        g_param_spec_boolean("use-vsync", "Use vsync",
                             "Wait for the vertical sync of the framebuffer before each picture",
                             FALSE, G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS));
    g_object_class_install_property(
        gobject_class, PROP_FRAMEBUFFER,
        g_param_spec_string("framebuffer", "Framebuffer", "Framebuffer device to show pictures on",
                            DEFAULT_FRAMEBUFFER, G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS));

    gst_element_class_add_static_pad_template(element_class, &sink_template);
    gst_element_class_set_static_metadata(
        element_class, "IPU framebuffer video sink (host)", "Sink/Video",
        "Shows pictures on a framebuffer device when one is usable, otherwise discards them",
        "mrvdc developers");

    basesink_class->start = mrv_display_sink_start;
    basesink_class->stop = mrv_display_sink_stop;
    videosink_class->set_info = mrv_display_sink_set_info;
    videosink_class->show_frame = mrv_display_sink_show_frame;

    GST_DEBUG_CATEGORY_INIT(sink_debug, "imxipuvideosink", 0, "host framebuffer sink");
}

static void mrv_display_sink_init(MrvDisplaySink *self) {
    self->framebuffer = g_strdup(DEFAULT_FRAMEBUFFER);
    self->fb.fd = -1;
}
