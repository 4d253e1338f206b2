/* imxvpuenc_h264 on the host: x264enc (speed preset "ultrafast", tuning "zerolatency") inside
 * a bin, with the VPU encoder's properties mapped onto it:
 *
 *   "bitrate" (kbit/s)   > 0: x264enc pass=cbr, bitrate=N (kbit/s, same unit).
 *                        0:   x264enc pass=qual (constant quality, quantizer 21), no bitrate
 *                             target, as the VPU's rate control off.
 *   "gop-size" (frames)  > 0: x264enc key-int-max=N: a key picture every N frames, so the
 *                             distance between key pictures in the output is exactly N.
 *                        0:   no periodic key picture (see "idr-interval").
 *   "idr-interval"       In low-latency mode x264 makes every intra picture it places an IDR
 *   (frames)             picture; it cannot interleave non-IDR intra pictures. With "gop-size"
 *                        > 0 every GOP therefore already starts with an IDR picture, at least as
 *                        often as any IDR interval asks, and this property changes nothing.
 *                        With "gop-size" 0 it becomes key-int-max=N (an IDR every N frames);
 *                        with both 0 only the first picture is a key picture
 *                        (key-int-max=G_MAXINT).
 *   "me-search-range"    > 0: x264enc option-string "merange=N" (motion search range in
 *   (pixels)                  pixels), N clamped to 4..64, x264's usable range.
 *                        0:   no option, x264's own range.
 *                        Only the key "merange" is ever written: an unknown key in
 *                        option-string makes x264enc fail the stream.
 *
 * Input: raw video x264enc accepts (the pipelines give NV12); output: H.264 access units in
 * byte-stream form, as the VPU gives them (the parsers after it convert where AVC is needed),
 * timestamped on the input's timeline. */
#include <gst/gst.h>

#include "elements.h"

GST_DEBUG_CATEGORY_STATIC(h264_debug);
#define GST_CAT_DEFAULT h264_debug

#define DEFAULT_BITRATE 0
#define DEFAULT_GOP_SIZE 16
#define DEFAULT_IDR_INTERVAL 0
#define DEFAULT_ME_SEARCH_RANGE 0

#define X264_PASS_CBR 0
#define X264_PASS_QUAL 5
#define X264_PRESET_ULTRAFAST 1
#define X264_TUNE_ZEROLATENCY 0x4
#define MERANGE_MIN 4
#define MERANGE_MAX 64

enum { PROP_0, PROP_BITRATE, PROP_GOP_SIZE, PROP_IDR_INTERVAL, PROP_ME_SEARCH_RANGE };

typedef struct {
    GstBin parent;
    GstElement *x264;
    gint bitrate;
    gint gop_size;
    gint idr_interval;
    gint me_search_range;
} MrvH264Encoder;

typedef struct {
    GstBinClass parent_class;
} MrvH264EncoderClass;

G_DEFINE_TYPE(MrvH264Encoder, mrv_h264_encoder, GST_TYPE_BIN)

static GstStaticPadTemplate sink_template =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS("video/x-raw"));
static GstStaticPadTemplate src_template =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS,
                            GST_STATIC_CAPS("video/x-h264, stream-format=(string)byte-stream, "
                                            "alignment=(string)au"));

static void apply_rate(MrvH264Encoder *self) {
    if (!self->x264) {
        return;
    }
    if (self->bitrate > 0) {
        g_object_set(self->x264, "pass", X264_PASS_CBR, "bitrate", (guint)self->bitrate, NULL);
    } else {
        g_object_set(self->x264, "pass", X264_PASS_QUAL, "quantizer", 21u, NULL);
    }
}

static void apply_gop(MrvH264Encoder *self) {
    if (!self->x264) {
        return;
    }
    guint key_int_max;
    if (self->gop_size > 0) {
        key_int_max = (guint)self->gop_size;
    } else if (self->idr_interval > 0) {
        key_int_max = (guint)self->idr_interval;
    } else {
        key_int_max = G_MAXINT;
    }
    g_object_set(self->x264, "key-int-max", key_int_max, NULL);
}

static void apply_search_range(MrvH264Encoder *self) {
    if (!self->x264) {
        return;
    }
    gchar *options = NULL;
    if (self->me_search_range > 0) {
        options =
            g_strdup_printf("merange=%d", CLAMP(self->me_search_range, MERANGE_MIN, MERANGE_MAX));
    }
    g_object_set(self->x264, "option-string", options ? options : "", NULL);
    g_free(options);
}

static void mrv_h264_encoder_set_property(GObject *object, guint id, const GValue *value,
                                          GParamSpec *pspec) {
    MrvH264Encoder *self = (MrvH264Encoder *)object;
    switch (id) {
        case PROP_BITRATE:
            self->bitrate = g_value_get_int(value);
            apply_rate(self);
            break;
        case PROP_GOP_SIZE:
            self->gop_size = g_value_get_int(value);
            apply_gop(self);
            break;
        case PROP_IDR_INTERVAL:
            self->idr_interval = g_value_get_int(value);
            apply_gop(self);
            break;
        case PROP_ME_SEARCH_RANGE:
            self->me_search_range = g_value_get_int(value);
            apply_search_range(self);
            break;
        default:
            G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
            break;
    }
}

static void mrv_h264_encoder_get_property(GObject *object, guint id, GValue *value,
                                          GParamSpec *pspec) {
    MrvH264Encoder *self = (MrvH264Encoder *)object;
    switch (id) {
        case PROP_BITRATE:
            g_value_set_int(value, self->bitrate);
            break;
        case PROP_GOP_SIZE:
            g_value_set_int(value, self->gop_size);
            break;
        case PROP_IDR_INTERVAL:
            g_value_set_int(value, self->idr_interval);
            break;
        case PROP_ME_SEARCH_RANGE:
            g_value_set_int(value, self->me_search_range);
            break;
        default:
            G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
            break;
    }
}

static void add_ghost(GstElement *bin, GstElement *target, const gchar *name) {
    GstPadTemplate *templ = gst_element_class_get_pad_template(GST_ELEMENT_GET_CLASS(bin), name);
    GstPad *ghost = gst_ghost_pad_new_no_target_from_template(name, templ);
    if (target) {
        GstPad *pad = gst_element_get_static_pad(target, name);
        gst_ghost_pad_set_target(GST_GHOST_PAD(ghost), pad);
        gst_object_unref(pad);
    }
    gst_element_add_pad(bin, ghost);
}

/* x264enc moves its output 1000 hours ahead to keep decoding times positive; the VPU encoder
 * keeps the input's timeline. Rewrite the output into running time on a plain segment. */
static GstPadProbeReturn keep_input_timeline(GstPad *pad, GstPadProbeInfo *info, gpointer data) {
    GstSegment *segment = (GstSegment *)data;
    (void)pad;
    if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM) {
        GstEvent *event = GST_PAD_PROBE_INFO_EVENT(info);
        if (GST_EVENT_TYPE(event) == GST_EVENT_SEGMENT) {
            const GstSegment *in;
            gst_event_parse_segment(event, &in);
            gst_segment_copy_into(in, segment);
            GstSegment plain;
            gst_segment_init(&plain, GST_FORMAT_TIME);
            GstEvent *replaced = gst_event_new_segment(&plain);
            gst_event_set_seqnum(replaced, gst_event_get_seqnum(event));
            gst_event_unref(event);
            GST_PAD_PROBE_INFO_DATA(info) = replaced;
        }
        return GST_PAD_PROBE_OK;
    }
    GstBuffer *buffer = gst_buffer_make_writable(GST_PAD_PROBE_INFO_BUFFER(info));
    if (segment->format == GST_FORMAT_TIME) {
        guint64 pts = GST_BUFFER_PTS(buffer), dts = GST_BUFFER_DTS(buffer), rt;
        if (GST_CLOCK_TIME_IS_VALID(pts))
            GST_BUFFER_PTS(buffer) = gst_segment_to_running_time(segment, GST_FORMAT_TIME, pts);
        if (GST_CLOCK_TIME_IS_VALID(dts)) {
            if (gst_segment_to_running_time_full(segment, GST_FORMAT_TIME, dts, &rt) > 0)
                GST_BUFFER_DTS(buffer) = rt;
            else
                GST_BUFFER_DTS(buffer) = GST_BUFFER_PTS(buffer);
        }
    }
    GST_PAD_PROBE_INFO_DATA(info) = buffer;
    return GST_PAD_PROBE_OK;
}

static void mrv_h264_encoder_init(MrvH264Encoder *self) {
    self->bitrate = DEFAULT_BITRATE;
    self->gop_size = DEFAULT_GOP_SIZE;
    self->idr_interval = DEFAULT_IDR_INTERVAL;
    self->me_search_range = DEFAULT_ME_SEARCH_RANGE;
    self->x264 = gst_element_factory_make("x264enc", "x264");
    if (self->x264) {
        g_object_set(self->x264, "speed-preset", X264_PRESET_ULTRAFAST, "tune",
                     X264_TUNE_ZEROLATENCY, NULL);
        gst_bin_add(GST_BIN(self), self->x264);
        apply_rate(self);
        apply_gop(self);
        apply_search_range(self);
    } else {
        GST_ERROR_OBJECT(self, "x264enc is missing");
    }
    GstElement *format = gst_element_factory_make("capsfilter", "format");
    GstCaps *caps = gst_caps_from_string("video/x-h264, stream-format=byte-stream, alignment=au");
    g_object_set(format, "caps", caps, NULL);
    gst_caps_unref(caps);
    gst_bin_add(GST_BIN(self), format);
    if (self->x264)
        gst_element_link(self->x264, format);
    GstPad *out = gst_element_get_static_pad(format, "src");
    gst_pad_add_probe(out, GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM,
                      keep_input_timeline, g_new0(GstSegment, 1), g_free);
    gst_object_unref(out);
    add_ghost(GST_ELEMENT(self), self->x264, "sink");
    add_ghost(GST_ELEMENT(self), format, "src");
}

static void mrv_h264_encoder_class_init(MrvH264EncoderClass *klass) {
    GObjectClass *gobject_class = G_OBJECT_CLASS(klass);
    GstElementClass *element_class = GST_ELEMENT_CLASS(klass);
    gobject_class->set_property = mrv_h264_encoder_set_property;
    gobject_class->get_property = mrv_h264_encoder_get_property;

    GParamFlags flags = G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS;
    g_object_class_install_property(
        gobject_class, PROP_BITRATE,
        g_param_spec_int("bitrate", "Bitrate", "Target bitrate in kbit/s (0: constant quality)", 0,
                         2048000, DEFAULT_BITRATE, flags));
    g_object_class_install_property(
        gobject_class, PROP_GOP_SIZE,
        g_param_spec_int("gop-size", "GOP size",
                         "Distance between key pictures in frames (0: none after the first)", 0,
                         G_MAXINT, DEFAULT_GOP_SIZE, flags));
    g_object_class_install_property(
        gobject_class, PROP_IDR_INTERVAL,
        g_param_spec_int("idr-interval", "IDR interval",
                         "Largest distance between IDR pictures in frames (0: no limit)", 0,
                         G_MAXINT, DEFAULT_IDR_INTERVAL, flags));
    g_object_class_install_property(
        gobject_class, PROP_ME_SEARCH_RANGE,
        g_param_spec_int("me-search-range", "Motion search range",
                         "Motion estimation search range in pixels (0: the encoder's own)", 0,
                         G_MAXINT, DEFAULT_ME_SEARCH_RANGE, flags));

    gst_element_class_add_static_pad_template(element_class, &sink_template);
    gst_element_class_add_static_pad_template(element_class, &src_template);
    gst_element_class_set_static_metadata(element_class, "VPU H.264 encoder (host)",
                                          "Codec/Encoder/Video", "Encodes video as H.264",
                                          "mrvdc developers");
    GST_DEBUG_CATEGORY_INIT(h264_debug, "imxvpuenc_h264", 0, "host H.264 encoder");
}
