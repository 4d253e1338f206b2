// The source keeps a queue of (buffer, caps, arrival time) filled by the producer's thread and
// drained by this pipeline's streaming thread. A full queue drops its oldest entry, so a slow or
// paused consumer never holds back the producer; the next buffer after a drop is marked as a
// discontinuity.
//
// Caps travel with every buffer. When they differ from what this source last pushed, the source
// renegotiates downstream before pushing the buffer; with "allow-renegotiation" off it keeps its
// first caps and drops buffers of any other caps.
//
// An end-of-stream sent to this source is queued behind the buffers already here, the way the
// sight's application-source based element queues serialized events: handing it over never
// waits for the streaming thread, which may be held downstream (a muxer waiting for another
// stream). Buffers arriving after it are dropped. For tests of pipelines that never end, a
// source whose name is a line of the sysroot's var/lib/interpipe/hold-eos drops it instead, as a
// stuck element would.
//
// "stream-sync" passthrough-ts leaves the producer's timestamps as they are. restart-ts stamps
// each buffer with this pipeline's running time at the moment the producer handed it over
// (decoding timestamps move by the same amount), so consumers built at any time start near zero.
#include "interpipesrc.h"

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "registry.h"

GST_DEBUG_CATEGORY_EXTERN(interpipe_debug);
#define GST_CAT_DEFAULT interpipe_debug

namespace {

constexpr guint default_max_buffers = 10;

// Owns one reference to a buffer and one to its caps.
struct Entry {
    GstBuffer *buffer = nullptr;
    GstCaps *caps = nullptr;
    GstClockTime arrival = GST_CLOCK_TIME_NONE;

    Entry(GstBuffer *b, GstCaps *c, GstClockTime t)
        : buffer(gst_buffer_ref(b)), caps(gst_caps_ref(c)), arrival(t) {}
    Entry(Entry &&other) noexcept
        : buffer(std::exchange(other.buffer, nullptr)),
          caps(std::exchange(other.caps, nullptr)),
          arrival(other.arrival) {}
    Entry &operator=(Entry &&other) noexcept {
        std::swap(buffer, other.buffer);
        std::swap(caps, other.caps);
        arrival = other.arrival;
        return *this;
    }
    Entry(const Entry &) = delete;
    Entry &operator=(const Entry &) = delete;
    ~Entry() {
        if (buffer)
            gst_buffer_unref(buffer);
        if (caps)
            gst_caps_unref(caps);
    }
    GstBuffer *take_buffer() { return std::exchange(buffer, nullptr); }
};

// Everything below is guarded by `lock`, except `registered`, which only the state-change and
// property threads touch, under `registration_lock`.
struct SrcState {
    std::mutex lock;
    std::condition_variable ready;
    std::deque<Entry> queue;
    bool flushing = false;
    bool eos_queued = false;
    bool discont = false;
    guint64 dropped = 0;
    bool warned_caps = false;

    std::string listen_to;
    bool allow_renegotiation = true;
    GstInterpipeSrcStreamSync stream_sync = GST_INTERPIPE_SRC_STREAM_SYNC_PASSTHROUGH_TS;
    guint max_buffers = default_max_buffers;

    std::mutex registration_lock;
    bool started = false;
    std::string registered;
};

enum {
    PROP_0,
    PROP_LISTEN_TO,
    PROP_ALLOW_RENEGOTIATION,
    PROP_STREAM_SYNC,
    PROP_FORMAT,
    PROP_IS_LIVE,
    PROP_MAX_BUFFERS,
    PROP_CURRENT_LEVEL_BUFFERS,
    PROP_DROPPED,
};

GstStaticPadTemplate src_template =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS_ANY);

}  // namespace

struct _GstInterpipeSrc {
    GstBaseSrc parent;
    SrcState *state;
};

G_DEFINE_TYPE(GstInterpipeSrc, gst_interpipe_src, GST_TYPE_BASE_SRC)

GType gst_interpipe_src_stream_sync_get_type(void) {
    static gsize type = 0;
    static const GEnumValue values[] = {
        {GST_INTERPIPE_SRC_STREAM_SYNC_PASSTHROUGH_TS, "Keep the producer's timestamps",
         "passthrough-ts"},
        {GST_INTERPIPE_SRC_STREAM_SYNC_RESTART_TS,
         "Restamp buffers with this pipeline's running time on arrival", "restart-ts"},
        {0, nullptr, nullptr},
    };
    if (g_once_init_enter(&type)) {
        GType t = g_enum_register_static("GstInterpipeSrcStreamSync", values);
        g_once_init_leave(&type, t);
    }
    return type;
}

namespace {

// Moves the registration to the current "listen-to" name while started; withdraws it otherwise.
void update_registration(GstInterpipeSrc *self) {
    SrcState &s = *self->state;
    std::lock_guard<std::mutex> reg(s.registration_lock);
    std::string wanted;
    bool want = false;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        want = s.started && !s.listen_to.empty();
        wanted = s.listen_to;
    }
    if (!s.registered.empty() && (!want || s.registered != wanted)) {
        interpipe::remove_listener(s.registered, self);
        s.registered.clear();
    }
    if (want && s.registered.empty()) {
        interpipe::add_listener(wanted, self);
        s.registered = wanted;
    }
}

void clear_queue(SrcState &s) {
    std::lock_guard<std::mutex> guard(s.lock);
    s.queue.clear();
    s.eos_queued = false;
    s.discont = false;
}

gboolean src_start(GstBaseSrc *base) {
    auto *self = GST_INTERPIPE_SRC(base);
    clear_queue(*self->state);
    {
        std::lock_guard<std::mutex> guard(self->state->lock);
        self->state->started = true;
        self->state->flushing = false;
        self->state->warned_caps = false;
    }
    update_registration(self);
    return TRUE;
}

gboolean src_stop(GstBaseSrc *base) {
    auto *self = GST_INTERPIPE_SRC(base);
    {
        std::lock_guard<std::mutex> guard(self->state->lock);
        self->state->started = false;
    }
    update_registration(self);
    clear_queue(*self->state);
    return TRUE;
}

gboolean src_unlock(GstBaseSrc *base) {
    SrcState &s = *GST_INTERPIPE_SRC(base)->state;
    std::lock_guard<std::mutex> guard(s.lock);
    s.flushing = true;
    s.ready.notify_all();
    return TRUE;
}

gboolean src_unlock_stop(GstBaseSrc *base) {
    SrcState &s = *GST_INTERPIPE_SRC(base)->state;
    std::lock_guard<std::mutex> guard(s.lock);
    s.flushing = false;
    return TRUE;
}

// A live source with a queue: no latency of its own, and no upper bound.
gboolean src_query(GstBaseSrc *base, GstQuery *query) {
    if (GST_QUERY_TYPE(query) == GST_QUERY_LATENCY) {
        gst_query_set_latency(query, gst_base_src_is_live(base), 0, GST_CLOCK_TIME_NONE);
        return TRUE;
    }
    return GST_BASE_SRC_CLASS(gst_interpipe_src_parent_class)->query(base, query);
}

GstCaps *src_get_caps(GstBaseSrc *base, GstCaps *filter) {
    GstCaps *caps = gst_pad_get_current_caps(GST_BASE_SRC_PAD(base));
    if (caps == nullptr)
        caps = gst_caps_new_any();
    if (filter != nullptr) {
        GstCaps *both = gst_caps_intersect_full(filter, caps, GST_CAPS_INTERSECT_FIRST);
        gst_caps_unref(caps);
        caps = both;
    }
    return caps;
}

// This pipeline's running time at absolute clock time `arrival` (now when unknown); zero while
// the pipeline has no running time yet (a non-live consumer prerolling).
GstClockTime running_time_at(GstInterpipeSrc *self, GstClockTime arrival) {
    GstElement *element = GST_ELEMENT(self);
    GstClock *clock = gst_element_get_clock(element);
    if (clock == nullptr)
        return 0;
    if (!GST_CLOCK_TIME_IS_VALID(arrival))
        arrival = gst_clock_get_time(clock);
    gst_object_unref(clock);
    GST_OBJECT_LOCK(element);
    bool playing = GST_STATE(element) == GST_STATE_PLAYING;
    GstClockTime base_time = GST_ELEMENT_CAST(element)->base_time;
    GST_OBJECT_UNLOCK(element);
    if (!playing)
        return 0;
    return arrival > base_time ? arrival - base_time : 0;
}

void restamp(GstBuffer *buffer, GstClockTime now) {
    GstClockTime reference =
        GST_BUFFER_PTS_IS_VALID(buffer) ? GST_BUFFER_PTS(buffer) : GST_BUFFER_DTS(buffer);
    if (!GST_CLOCK_TIME_IS_VALID(reference)) {
        GST_BUFFER_PTS(buffer) = now;
        return;
    }
    auto shift = [&](GstClockTime t) -> GstClockTime {
        if (!GST_CLOCK_TIME_IS_VALID(t))
            return t;
        gint64 moved =
            static_cast<gint64>(t) + (static_cast<gint64>(now) - static_cast<gint64>(reference));
        return moved > 0 ? static_cast<GstClockTime>(moved) : 0;
    };
    GST_BUFFER_PTS(buffer) = shift(GST_BUFFER_PTS(buffer));
    GST_BUFFER_DTS(buffer) = shift(GST_BUFFER_DTS(buffer));
}

// The producer's picture, read by a copy of its buffer until the copy is gone.
struct Loan {
    GstBuffer *owner;
    GstMapInfo map;
};

void end_loan(gpointer data) {
    std::unique_ptr<Loan> loan(static_cast<Loan *>(data));
    gst_buffer_unmap(loan->owner, &loan->map);
    gst_buffer_unref(loan->owner);
}

// A buffer to stamp that other consumers still hold must be copied. A plain copy shares the
// producer's memory, and a pool takes back no buffer whose memory is shared: it throws the
// picture away and makes a new one for the next frame (3 MiB, thirty times a second). This
// copy borrows the memory instead and keeps the producer's buffer until it is gone itself, so
// the picture goes back to its pool whole.
GstBuffer *writable(GstBuffer *buffer) {
    if (gst_buffer_is_writable(buffer) || gst_buffer_n_memory(buffer) != 1)
        return gst_buffer_make_writable(buffer);
    auto loan = std::make_unique<Loan>(Loan{buffer, GstMapInfo{}});
    if (!gst_buffer_map(buffer, &loan->map, GST_MAP_READ))
        return gst_buffer_make_writable(buffer);
    guint8 *data = loan->map.data;
    gsize size = loan->map.size;
    GstBuffer *copy = gst_buffer_new_wrapped_full(GST_MEMORY_FLAG_READONLY, data, size, 0, size,
                                                  loan.release(), end_loan);
    gst_buffer_copy_into(copy, buffer, GST_BUFFER_COPY_METADATA, 0, static_cast<gsize>(-1));
    return copy;
}

GstFlowReturn src_create(GstBaseSrc *base, guint64, guint, GstBuffer **out) {
    auto *self = GST_INTERPIPE_SRC(base);
    SrcState &s = *self->state;
    for (;;) {
        std::unique_lock<std::mutex> guard(s.lock);
        s.ready.wait(guard, [&] { return s.flushing || !s.queue.empty() || s.eos_queued; });
        if (s.flushing)
            return GST_FLOW_FLUSHING;
        if (s.queue.empty())
            return GST_FLOW_EOS;
        Entry entry = std::move(s.queue.front());
        s.queue.pop_front();
        bool discont = std::exchange(s.discont, false);
        bool allow_renegotiation = s.allow_renegotiation;
        GstInterpipeSrcStreamSync stream_sync = s.stream_sync;
        guard.unlock();

        GstCaps *current = gst_pad_get_current_caps(GST_BASE_SRC_PAD(base));
        bool negotiated = current != nullptr;
        bool same_caps = negotiated && gst_caps_is_equal(current, entry.caps);
        if (negotiated)
            gst_caps_unref(current);
        if (!same_caps) {
            if (negotiated && !allow_renegotiation) {
                guard.lock();
                bool warn = !std::exchange(s.warned_caps, true);
                s.discont = true;
                guard.unlock();
                if (warn)
                    GST_ELEMENT_WARNING(
                        self, STREAM, FORMAT, ("producer changed caps; renegotiation not allowed"),
                        ("dropping buffers with caps %" GST_PTR_FORMAT, entry.caps));
                continue;
            }
            GST_DEBUG_OBJECT(self, "caps now %" GST_PTR_FORMAT, entry.caps);
            if (!gst_base_src_set_caps(base, entry.caps)) {
                GST_ELEMENT_ERROR(self, CORE, NEGOTIATION, (nullptr),
                                  ("downstream refused caps %" GST_PTR_FORMAT, entry.caps));
                return GST_FLOW_NOT_NEGOTIATED;
            }
        }

        GstBuffer *buffer = entry.take_buffer();
        if (stream_sync == GST_INTERPIPE_SRC_STREAM_SYNC_RESTART_TS || discont) {
            buffer = writable(buffer);
            if (stream_sync == GST_INTERPIPE_SRC_STREAM_SYNC_RESTART_TS)
                restamp(buffer, running_time_at(self, entry.arrival));
            if (discont)
                GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DISCONT);
        }
        *out = buffer;
        return GST_FLOW_OK;
    }
}

void src_set_property(GObject *object, guint id, const GValue *value, GParamSpec *pspec) {
    auto *self = GST_INTERPIPE_SRC(object);
    SrcState &s = *self->state;
    switch (id) {
        case PROP_LISTEN_TO: {
            const gchar *name = g_value_get_string(value);
            {
                std::lock_guard<std::mutex> guard(s.lock);
                s.listen_to = name ? name : "";
            }
            update_registration(self);
            break;
        }
        case PROP_ALLOW_RENEGOTIATION: {
            std::lock_guard<std::mutex> guard(s.lock);
            s.allow_renegotiation = g_value_get_boolean(value);
            break;
        }
        case PROP_STREAM_SYNC: {
            std::lock_guard<std::mutex> guard(s.lock);
            s.stream_sync = static_cast<GstInterpipeSrcStreamSync>(g_value_get_enum(value));
            break;
        }
        case PROP_FORMAT:
            gst_base_src_set_format(GST_BASE_SRC(self),
                                    static_cast<GstFormat>(g_value_get_enum(value)));
            break;
        case PROP_IS_LIVE:
            gst_base_src_set_live(GST_BASE_SRC(self), g_value_get_boolean(value));
            break;
        case PROP_MAX_BUFFERS: {
            std::lock_guard<std::mutex> guard(s.lock);
            s.max_buffers = g_value_get_uint(value);
            break;
        }
        default:
            G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
    }
}

void src_get_property(GObject *object, guint id, GValue *value, GParamSpec *pspec) {
    auto *self = GST_INTERPIPE_SRC(object);
    SrcState &s = *self->state;
    switch (id) {
        case PROP_LISTEN_TO: {
            std::lock_guard<std::mutex> guard(s.lock);
            g_value_set_string(value, s.listen_to.empty() ? nullptr : s.listen_to.c_str());
            break;
        }
        case PROP_ALLOW_RENEGOTIATION: {
            std::lock_guard<std::mutex> guard(s.lock);
            g_value_set_boolean(value, s.allow_renegotiation);
            break;
        }
        case PROP_STREAM_SYNC: {
            std::lock_guard<std::mutex> guard(s.lock);
            g_value_set_enum(value, s.stream_sync);
            break;
        }
        case PROP_FORMAT: {
            GST_OBJECT_LOCK(self);
            GstFormat format = GST_BASE_SRC(self)->segment.format;
            GST_OBJECT_UNLOCK(self);
            g_value_set_enum(value, format);
            break;
        }
        case PROP_IS_LIVE:
            g_value_set_boolean(value, gst_base_src_is_live(GST_BASE_SRC(self)));
            break;
        case PROP_MAX_BUFFERS: {
            std::lock_guard<std::mutex> guard(s.lock);
            g_value_set_uint(value, s.max_buffers);
            break;
        }
        case PROP_CURRENT_LEVEL_BUFFERS: {
            std::lock_guard<std::mutex> guard(s.lock);
            g_value_set_uint64(value, s.queue.size());
            break;
        }
        case PROP_DROPPED: {
            std::lock_guard<std::mutex> guard(s.lock);
            g_value_set_uint64(value, s.dropped);
            break;
        }
        default:
            G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
    }
}

bool holds_eos(GstElement *element) {
    const gchar *root = g_getenv("MRVDC_SYSROOT");
    if (!root || !*root)
        return false;
    gchar *path = g_build_filename(root, "var", "lib", "interpipe", "hold-eos", NULL);
    gchar *text = nullptr;
    bool held = false;
    if (g_file_get_contents(path, &text, nullptr, nullptr)) {
        gchar **names = g_strsplit(text, "\n", -1);
        held = g_strv_contains(names, GST_ELEMENT_NAME(element));
        g_strfreev(names);
    }
    g_free(text);
    g_free(path);
    return held;
}

gboolean src_send_event(GstElement *element, GstEvent *event) {
    if (GST_EVENT_TYPE(event) != GST_EVENT_EOS)
        return GST_ELEMENT_CLASS(gst_interpipe_src_parent_class)->send_event(element, event);
    if (holds_eos(element)) {
        GST_INFO_OBJECT(element, "holding the end-of-stream back");
        gst_event_unref(event);
        return TRUE;
    }
    SrcState &s = *GST_INTERPIPE_SRC(element)->state;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        s.eos_queued = true;
        s.ready.notify_all();
    }
    gst_event_unref(event);
    return TRUE;
}

void src_finalize(GObject *object) {
    auto *self = GST_INTERPIPE_SRC(object);
    {
        std::lock_guard<std::mutex> guard(self->state->lock);
        self->state->started = false;
    }
    update_registration(self);
    delete self->state;
    G_OBJECT_CLASS(gst_interpipe_src_parent_class)->finalize(object);
}

}  // namespace

void gst_interpipe_src_push(GstInterpipeSrc *self, GstBuffer *buffer, GstCaps *caps,
                            guint sink_limit) {
    SrcState &s = *self->state;
    GstClock *clock = gst_element_get_clock(GST_ELEMENT(self));
    GstClockTime arrival = GST_CLOCK_TIME_NONE;
    if (clock != nullptr) {
        arrival = gst_clock_get_time(clock);
        gst_object_unref(clock);
    }
    std::lock_guard<std::mutex> guard(s.lock);
    if (s.eos_queued)
        return;
    guint limit = s.max_buffers;
    if (sink_limit != 0 && (limit == 0 || sink_limit < limit))
        limit = sink_limit;
    while (limit != 0 && s.queue.size() >= limit) {
        s.queue.pop_front();
        s.dropped++;
        s.discont = true;
    }
    s.queue.emplace_back(buffer, caps, arrival);
    s.ready.notify_one();
}

static void gst_interpipe_src_class_init(GstInterpipeSrcClass *klass) {
    auto *object_class = G_OBJECT_CLASS(klass);
    auto *element_class = GST_ELEMENT_CLASS(klass);
    auto *src_class = GST_BASE_SRC_CLASS(klass);
    const auto rw = static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS);
    const auto ro = static_cast<GParamFlags>(G_PARAM_READABLE | G_PARAM_STATIC_STRINGS);

    object_class->set_property = src_set_property;
    object_class->get_property = src_get_property;
    object_class->finalize = src_finalize;

    g_object_class_install_property(
        object_class, PROP_LISTEN_TO,
        g_param_spec_string("listen-to", "Listen to",
                            "Element name of the interpipesink to follow; it may be built before "
                            "or after this source, and rebuilt",
                            nullptr, rw));
    g_object_class_install_property(
        object_class, PROP_ALLOW_RENEGOTIATION,
        g_param_spec_boolean("allow-renegotiation", "Allow renegotiation",
                             "Follow caps changes of the producer; when off, buffers whose caps "
                             "differ from the first ones are dropped",
                             TRUE, rw));
    g_object_class_install_property(
        object_class, PROP_STREAM_SYNC,
        g_param_spec_enum("stream-sync", "Stream sync",
                          "How buffer timestamps cross from the producer's pipeline to this one",
                          GST_TYPE_INTERPIPE_SRC_STREAM_SYNC,
                          GST_INTERPIPE_SRC_STREAM_SYNC_PASSTHROUGH_TS, rw));
    g_object_class_install_property(
        object_class, PROP_FORMAT,
        g_param_spec_enum("format", "Format", "Format of the segment this source starts",
                          GST_TYPE_FORMAT, GST_FORMAT_TIME, rw));
    g_object_class_install_property(
        object_class, PROP_IS_LIVE,
        g_param_spec_boolean("is-live", "Is live",
                             "Act as a live source: produce only in PLAYING, no preroll", FALSE,
                             rw));
    g_object_class_install_property(
        object_class, PROP_MAX_BUFFERS,
        g_param_spec_uint("max-buffers", "Max buffers",
                          "Most buffers queued here before the oldest are dropped (0 = no limit "
                          "other than the sink's \"max-buffers\")",
                          0, G_MAXUINT, default_max_buffers, rw));
    g_object_class_install_property(
        object_class, PROP_CURRENT_LEVEL_BUFFERS,
        g_param_spec_uint64("current-level-buffers", "Current level",
                            "Buffers queued here, not yet pushed", 0, G_MAXUINT64, 0, ro));
    g_object_class_install_property(
        object_class, PROP_DROPPED,
        g_param_spec_uint64("dropped", "Dropped",
                            "Buffers dropped because this source fell behind its producer", 0,
                            G_MAXUINT64, 0, ro));

    gst_element_class_set_static_metadata(
        element_class, "Inter-pipeline source", "Source/Generic",
        "Pushes the stream of the interpipesink named by \"listen-to\" into this pipeline",
        "mrvdc developers");
    gst_element_class_add_static_pad_template(element_class, &src_template);
    element_class->send_event = src_send_event;

    src_class->start = src_start;
    src_class->stop = src_stop;
    src_class->unlock = src_unlock;
    src_class->unlock_stop = src_unlock_stop;
    src_class->get_caps = src_get_caps;
    src_class->create = src_create;
    src_class->query = src_query;
}

static void gst_interpipe_src_init(GstInterpipeSrc *self) {
    self->state = new SrcState();
    gst_base_src_set_format(GST_BASE_SRC(self), GST_FORMAT_TIME);
    gst_base_src_set_live(GST_BASE_SRC(self), FALSE);
}
