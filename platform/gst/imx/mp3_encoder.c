/* imxmp3audioenc on the host: audioconvert, audioresample and lamemp3enc inside a bin.
 * "bitrate" (kbit/s) maps onto lamemp3enc target=bitrate with the same bitrate; for the
 * bitrates MP3 frames can carry exactly (8, 16, ..., 320) the encoder keeps a constant bitrate,
 * for any other value it encodes with that average bitrate. */
#include <gst/gst.h>

#include "elements.h"

GST_DEBUG_CATEGORY_STATIC(mp3_debug);
#define GST_CAT_DEFAULT mp3_debug

#define DEFAULT_BITRATE 128
#define LAME_TARGET_BITRATE 1

enum { PROP_0, PROP_BITRATE };

typedef struct {
    GstBin parent;
    GstElement *lame;
    gint bitrate;
} MrvMp3Encoder;

typedef struct {
    GstBinClass parent_class;
} MrvMp3EncoderClass;

G_DEFINE_TYPE(MrvMp3Encoder, mrv_mp3_encoder, GST_TYPE_BIN)

static GstStaticPadTemplate sink_template =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS("audio/x-raw"));
static GstStaticPadTemplate src_template =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS,
                            GST_STATIC_CAPS("audio/mpeg, mpegversion=(int)1, layer=(int)3"));

static gboolean is_frame_bitrate(gint kbps) {
    static const gint rates[] = {8,  16,  24,  32,  40,  48,  56,  64, 80,
                                 96, 112, 128, 160, 192, 224, 256, 320};
    for (gsize i = 0; i < G_N_ELEMENTS(rates); i++) {
        if (rates[i] == kbps) {
            return TRUE;
        }
    }
    return FALSE;
}

static void apply_bitrate(MrvMp3Encoder *self) {
    if (self->lame) {
        g_object_set(self->lame, "target", LAME_TARGET_BITRATE, "bitrate", self->bitrate, "cbr",
                     is_frame_bitrate(self->bitrate), NULL);
    }
}

static void mrv_mp3_encoder_set_property(GObject *object, guint id, const GValue *value,
                                         GParamSpec *pspec) {
    MrvMp3Encoder *self = (MrvMp3Encoder *)object;
    switch (id) {
        case PROP_BITRATE:
            self->bitrate = g_value_get_int(value);
            apply_bitrate(self);
            break;
        default:
            G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
            break;
    }
}

static void mrv_mp3_encoder_get_property(GObject *object, guint id, GValue *value,
                                         GParamSpec *pspec) {
    MrvMp3Encoder *self = (MrvMp3Encoder *)object;
    switch (id) {
        case PROP_BITRATE:
            g_value_set_int(value, self->bitrate);
            break;
        default:
            G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
            break;
    }
}

static void mrv_mp3_encoder_init(MrvMp3Encoder *self) {
    self->bitrate = DEFAULT_BITRATE;
    GstElement *convert = gst_element_factory_make("audioconvert", "convert");
    GstElement *resample = gst_element_factory_make("audioresample", "resample");
    self->lame = gst_element_factory_make("lamemp3enc", "lame");
    GstElement *first = NULL;
    if (convert && resample && self->lame) {
        gst_bin_add_many(GST_BIN(self), convert, resample, self->lame, NULL);
        gst_element_link_many(convert, resample, self->lame, NULL);
        apply_bitrate(self);
        first = convert;
    } else {
        GST_ERROR_OBJECT(self, "audioconvert, audioresample or lamemp3enc is missing");
        g_clear_object(&convert);
        g_clear_object(&resample);
        g_clear_object(&self->lame);
    }
    const struct {
        GstElement *target;
        const gchar *name;
    } ghosts[] = {{first, "sink"}, {self->lame, "src"}};
    for (gsize i = 0; i < G_N_ELEMENTS(ghosts); i++) {
        GstPadTemplate *templ =
            gst_element_class_get_pad_template(GST_ELEMENT_GET_CLASS(self), ghosts[i].name);
        GstPad *ghost = gst_ghost_pad_new_no_target_from_template(ghosts[i].name, templ);
        if (ghosts[i].target) {
            GstPad *pad = gst_element_get_static_pad(ghosts[i].target, ghosts[i].name);
            gst_ghost_pad_set_target(GST_GHOST_PAD(ghost), pad);
            gst_object_unref(pad);
        }
        gst_element_add_pad(GST_ELEMENT(self), ghost);
    }
}

static void mrv_mp3_encoder_class_init(MrvMp3EncoderClass *klass) {
    GObjectClass *gobject_class = G_OBJECT_CLASS(klass);
    GstElementClass *element_class = GST_ELEMENT_CLASS(klass);
    gobject_class->set_property = mrv_mp3_encoder_set_property;
    gobject_class->get_property = mrv_mp3_encoder_get_property;
    g_object_class_install_property(
        gobject_class, PROP_BITRATE,
        g_param_spec_int("bitrate", "Bitrate", "Bitrate in kbit/s", 8, 320, DEFAULT_BITRATE,
                         G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS));
    gst_element_class_add_static_pad_template(element_class, &sink_template);
    gst_element_class_add_static_pad_template(element_class, &src_template);
    gst_element_class_set_static_metadata(element_class, "MP3 audio encoder (host)",
                                          "Codec/Encoder/Audio", "Encodes audio as MP3",
                                          "mrvdc developers");
    GST_DEBUG_CATEGORY_INIT(mp3_debug, "imxmp3audioenc", 0, "host MP3 encoder");
}
