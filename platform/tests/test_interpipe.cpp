// Behaviour of interpipesink/interpipesrc in real pipelines of one process, built the way the
// daemon builds its producers and consumers.
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "test_interpipe_pipeline.h"

using namespace platform_test;

namespace {

std::string live_producer(const std::string &name, int width = 64) {
    return "videotestsrc is-live=true ! " + raw_caps(width) + " ! interpipesink name=" + name +
           " sync=false async=false";
}

std::string consumer(const std::string &listen_to, const std::string &extra = "") {
    return "interpipesrc name=in listen-to=" + listen_to +
           " is-live=true allow-renegotiation=true stream-sync=0 format=3 " + extra +
           " ! appsink name=out sync=false";
}

int num_listeners(const Pipeline &producer, const char *sink) {
    int n = -1;
    g_object_get(producer.element(sink).get(), "num-listeners", &n, nullptr);
    return n;
}

guint64 uint64_property(const Pipeline &pipeline, const char *element, const char *property) {
    guint64 value = 0;
    g_object_get(pipeline.element(element).get(), property, &value, nullptr);
    return value;
}

void sleep_ms(int n) {
    std::this_thread::sleep_for(std::chrono::milliseconds(n));
}

}  // namespace

// A consumer may exist before its producer; it attaches when the sink appears and follows a
// sink of the same name built again after the first one is gone.
TEST(InterpipeLink, ListenerFollowsSinkBuiltLaterAndRebuilt) {
    Pipeline in(consumer("late"));
    in.play();
    EXPECT_FALSE(in.pull("out", 200 * ms)) << "no producer yet";

    {
        Pipeline first(live_producer("late", 64));
        first.play();
        Sample s = in.pull("out", 2 * GST_SECOND);
        ASSERT_TRUE(s);
        EXPECT_EQ(s.width(), 64);
        EXPECT_EQ(num_listeners(first, "late"), 1);
    }
    // The producer is gone; drain what it left and check that nothing more arrives.
    while (in.pull("out", 100 * ms)) {
    }

    Pipeline second(live_producer("late", 32));
    second.play();
    Sample s = in.pull("out", 2 * GST_SECOND);
    ASSERT_TRUE(s) << "listener did not re-attach to the rebuilt sink";
    EXPECT_EQ(s.width(), 32);
    EXPECT_EQ(num_listeners(second, "late"), 1);
}

TEST(InterpipeLink, ProducerFeedsZeroOneOrManyListeners) {
    Pipeline producer("videotestsrc is-live=true ! " + raw_caps(64) +
                      " ! interpipesink name=many sync=false async=false");
    producer.play();
    BufferCounter produced(producer, "many", "sink");
    sleep_ms(150);
    EXPECT_GT(produced.count(), 0) << "producer must run without listeners";
    EXPECT_EQ(num_listeners(producer, "many"), 0);

    Pipeline a(consumer("many"));
    Pipeline b(consumer("many"));
    a.play();
    b.play();
    EXPECT_EQ(num_listeners(producer, "many"), 2);
    for (int i = 0; i < 5; i++) {
        ASSERT_TRUE(a.pull("out", GST_SECOND)) << "listener a, buffer " << i;
        ASSERT_TRUE(b.pull("out", GST_SECOND)) << "listener b, buffer " << i;
    }

    a.reset();
    EXPECT_EQ(num_listeners(producer, "many"), 1);
    while (b.pull("out", 0)) {
    }
    EXPECT_TRUE(b.pull("out", GST_SECOND)) << "remaining listener must keep receiving";
}

// The producer's caps change mid-stream: a renegotiating listener follows, a listener that does
// not allow renegotiation keeps its caps, drops the new buffers and warns.
TEST(InterpipeLink, CapsChangeReachesListenersThatAllowIt) {
    Pipeline producer("videotestsrc is-live=true ! capsfilter name=cf caps=" + raw_caps(64) +
                      " ! interpipesink name=capsy sync=false async=false");
    Pipeline follows(consumer("capsy"));
    Pipeline fixed(
        "interpipesrc listen-to=capsy is-live=true allow-renegotiation=false ! "
        "appsink name=out sync=false");
    follows.play();
    fixed.play();
    producer.play();
    ASSERT_TRUE(follows.pull("out", 2 * GST_SECOND));
    Sample before = fixed.pull("out", 2 * GST_SECOND);
    ASSERT_TRUE(before);
    EXPECT_EQ(before.width(), 64);

    GstCaps *caps = gst_caps_from_string(raw_caps(80).c_str());
    g_object_set(producer.element("cf").get(), "caps", caps, nullptr);
    gst_caps_unref(caps);

    bool followed = false;
    for (int i = 0; i < 60 && !followed; i++) {
        Sample s = follows.pull("out", GST_SECOND);
        ASSERT_TRUE(s);
        followed = s.width() == 80;
    }
    EXPECT_TRUE(followed) << "renegotiating listener never saw the new caps";

    Message warning = fixed.wait(GST_MESSAGE_WARNING, 2 * GST_SECOND);
    EXPECT_TRUE(warning) << "refused caps change must be reported";
    for (int i = 0; i < 60; i++) {
        Sample s = fixed.pull("out", 300 * ms);
        if (!s)
            break;
        ASSERT_EQ(s.width(), 64) << "listener without renegotiation got new caps";
    }
}

// End-of-stream of a producer stays in the producer's pipeline; the listener keeps waiting and
// takes up a new producer of the same name.
TEST(InterpipeLink, ProducerEndOfStreamIsNotForwarded) {
    Pipeline in(consumer("ending"));
    in.play();
    {
        Pipeline producer("videotestsrc num-buffers=20 ! " + raw_caps(64) +
                          " ! interpipesink name=ending sync=true async=false");
        producer.play();
        EXPECT_TRUE(producer.ended_within(5 * GST_SECOND));
    }
    int received = 0;
    while (in.pull("out", 100 * ms))
        received++;
    EXPECT_GT(received, 0);
    EXPECT_FALSE(in.wait(GST_MESSAGE_EOS, 300 * ms)) << "producer's EOS reached the consumer";
    ObjectRef<GstElement> out = in.element("out");
    EXPECT_FALSE(gst_app_sink_is_eos(GST_APP_SINK(out.get())));

    Pipeline again(live_producer("ending"));
    again.play();
    EXPECT_TRUE(in.pull("out", 2 * GST_SECOND)) << "consumer stopped after the producer's EOS";
}

// A paused listener neither blocks its producer nor other listeners: its queue keeps the newest
// buffers up to its limit (the smaller of the sink's and its own "max-buffers"), and the first
// buffer after a gap is marked as a discontinuity.
TEST(InterpipeLink, PausedListenerLeaksInsteadOfBlocking) {
    const std::string sink = " ! interpipesink name=leaky sync=false async=false max-buffers=3";
    // Not live: once paused it prerolls on one buffer and then takes no more.
    Pipeline paused(
        "interpipesrc name=in listen-to=leaky max-buffers=4 ! appsink name=out sync=false");
    ASSERT_EQ(paused.set_state(GST_STATE_PAUSED), GST_STATE_CHANGE_ASYNC);
    {
        Pipeline one_frame("videotestsrc num-buffers=1 ! " + raw_caps(64) + sink);
        one_frame.play();
        ASSERT_EQ(gst_element_get_state(paused.get(), nullptr, nullptr, 5 * GST_SECOND),
                  GST_STATE_CHANGE_SUCCESS);
    }

    Pipeline producer("videotestsrc num-buffers=300 ! " + raw_caps(64) + sink);
    Pipeline running(consumer("leaky", "max-buffers=0"));
    running.play();
    producer.play();
    EXPECT_TRUE(producer.ended_within(10 * GST_SECOND)) << "producer was held back";
    EXPECT_TRUE(running.pull("out", GST_SECOND));
    EXPECT_EQ(uint64_property(paused, "in", "current-level-buffers"), 3u);
    EXPECT_EQ(uint64_property(paused, "in", "dropped"), 297u);

    paused.play();
    Sample preroll = paused.pull("out", 2 * GST_SECOND);
    ASSERT_TRUE(preroll);
    Sample after_gap = paused.pull("out", 2 * GST_SECOND);
    ASSERT_TRUE(after_gap);
    EXPECT_TRUE(GST_BUFFER_FLAG_IS_SET(after_gap.buffer(), GST_BUFFER_FLAG_DISCONT));
    // The newest buffers survive: the last of 300 frames at 30 fps starts at 299/30 s.
    GstClockTime last = after_gap.pts();
    while (Sample s = paused.pull("out", 200 * ms))
        last = s.pts();
    EXPECT_NEAR(static_cast<double>(last), 299.0 * GST_SECOND / 30, 1e6);
}

// End-of-stream sent to a consumer pipeline ends that pipeline alone.
TEST(InterpipeLink, ConsumerEndOfStreamEndsOnlyThatConsumer) {
    Pipeline producer(live_producer("shared"));
    Pipeline ending(consumer("shared"));
    Pipeline staying(consumer("shared"));
    producer.play();
    ending.play();
    staying.play();
    ASSERT_TRUE(ending.pull("out", 2 * GST_SECOND));
    BufferCounter produced(producer, "shared", "sink");

    gst_element_send_event(ending.get(), gst_event_new_eos());
    EXPECT_TRUE(ending.ended_within(3 * GST_SECOND));

    EXPECT_FALSE(producer.wait(GST_MESSAGE_EOS, 200 * ms));
    EXPECT_FALSE(staying.wait(GST_MESSAGE_EOS, 0));
    while (staying.pull("out", 0)) {
    }
    EXPECT_TRUE(staying.pull("out", GST_SECOND));
    EXPECT_GT(produced.count(), 3) << "producer stopped with its consumer";
    GstState state = GST_STATE_VOID_PENDING;
    gst_element_get_state(producer.get(), &state, nullptr, 0);
    EXPECT_EQ(state, GST_STATE_PLAYING);

    // A consumer whose producer is gone (the display after the source pipeline ended) still ends
    // on its end-of-stream, live or not.
    producer.reset();
    gst_element_send_event(staying.get(), gst_event_new_eos());
    EXPECT_TRUE(staying.ended_within(3 * GST_SECOND));
    Pipeline orphan("interpipesrc listen-to=shared ! fakesink sync=false async=false");
    orphan.play();
    gst_element_send_event(orphan.get(), gst_event_new_eos());
    EXPECT_TRUE(orphan.ended_within(3 * GST_SECOND));
}

// Handing an end-of-stream to a consumer whose streaming thread is held downstream (a muxer
// waiting for its other stream) returns at once; the buffers already queued go out before it.
TEST(InterpipeLink, EndOfStreamIsQueuedBehindTheBuffersWithoutWaiting) {
    Pipeline producer(live_producer("held"));
    Pipeline held(consumer("held"));
    producer.play();
    held.play();
    ASSERT_TRUE(held.pull("out", 2 * GST_SECOND));

    ObjectRef<GstElement> out = held.element("out");
    ObjectRef<GstPad> pad(gst_element_get_static_pad(out.get(), "sink"));
    gulong block = gst_pad_add_probe(pad.get(), GST_PAD_PROBE_TYPE_BLOCK_DOWNSTREAM, nullptr,
                                     nullptr, nullptr);
    sleep_ms(200);
    std::atomic<bool> handed_over{false};
    std::thread sender([&] {
        gst_element_send_event(held.get(), gst_event_new_eos());
        handed_over = true;
    });
    sleep_ms(300);
    EXPECT_TRUE(handed_over) << "sending the end-of-stream waited for the streaming thread";
    EXPECT_FALSE(held.wait(GST_MESSAGE_EOS, 0));
    BufferCounter delivered(held, "out", "sink");
    gst_pad_remove_probe(pad.get(), block);
    sender.join();

    while (held.pull("out", 500 * ms)) {
    }
    EXPECT_TRUE(held.ended_within(GST_SECOND));
    // The held buffer and a full queue (10) went out; what the producer made after the
    // end-of-stream did not.
    EXPECT_GE(delivered.count(), 5) << "the queued buffers were dropped";
    EXPECT_LE(delivered.count(), 11) << "buffers after the end-of-stream went out";
    EXPECT_TRUE(gst_app_sink_is_eos(GST_APP_SINK(out.get())));
}

// stream-sync 0 keeps the producer's timestamps; 1 stamps each buffer with the consumer's running
// time at its arrival, so a consumer started late starts near zero whatever the producer's times.
TEST(InterpipeLink, StreamSyncKeepsOrRestartsTimestamps) {
    static const GstClockTime offset = 100 * GST_SECOND;
    Pipeline producer(live_producer("timed"));
    // The producer's timestamps run 100 s ahead of any pipeline's running time.
    ObjectRef<GstElement> sink = producer.element("timed");
    ObjectRef<GstPad> pad(gst_element_get_static_pad(sink.get(), "sink"));
    gst_pad_add_probe(
        pad.get(), GST_PAD_PROBE_TYPE_BUFFER,
        [](GstPad *, GstPadProbeInfo *info, gpointer) {
            GstBuffer *buffer = gst_buffer_make_writable(GST_PAD_PROBE_INFO_BUFFER(info));
            GST_BUFFER_PTS(buffer) += offset;
            GST_PAD_PROBE_INFO_DATA(info) = buffer;
            return GST_PAD_PROBE_OK;
        },
        nullptr, nullptr);
    producer.play();
    Pipeline keep(consumer("timed", "stream-sync=0"));
    Pipeline restart(consumer("timed", "stream-sync=restart-ts"));
    keep.play();
    restart.play();

    Sample kept = keep.pull("out", 2 * GST_SECOND);
    ASSERT_TRUE(kept);
    EXPECT_GE(kept.pts(), offset);
    EXPECT_LT(kept.pts(), offset + 5 * GST_SECOND);

    GstClockTime previous = 0;
    for (int i = 0; i < 10; i++) {
        Sample s = restart.pull("out", 2 * GST_SECOND);
        ASSERT_TRUE(s);
        ObjectRef<GstClock> clock(gst_element_get_clock(restart.get()));
        ASSERT_TRUE(clock);
        GstClockTime running =
            gst_clock_get_time(clock.get()) - gst_element_get_base_time(restart.get());
        EXPECT_LE(s.pts(), running);
        EXPECT_LT(running - s.pts(), 500 * ms) << "timestamp is not this pipeline's time";
        if (i > 0) {
            EXPECT_GT(s.pts(), previous);
        }
        previous = s.pts();
    }
}

// Counts the distinct buffers that reach an element's sink pad, and how many of them are gone.
class BufferCensus {
public:
    BufferCensus(const Pipeline &pipeline, const char *element) {
        ObjectRef<GstPad> pad(gst_element_get_static_pad(pipeline.element(element).get(), "sink"));
        gst_pad_add_probe(pad.get(), GST_PAD_PROBE_TYPE_BUFFER, note, new Shared(counts_),
                          [](gpointer p) { delete static_cast<Shared *>(p); });
    }
    int seen() const { return counts_->seen; }
    int freed() const { return counts_->freed; }
    int alive() const { return seen() - freed(); }

private:
    struct Counts {
        std::atomic<int> seen{0};
        std::atomic<int> freed{0};
    };
    using Shared = std::shared_ptr<Counts>;

    // A pooled buffer comes back many times; its mark outlives each trip and goes with it.
    static GstPadProbeReturn note(GstPad *, GstPadProbeInfo *info, gpointer data) {
        static const GQuark mark = g_quark_from_static_string("interpipe-test-census");
        auto *object = GST_MINI_OBJECT_CAST(GST_PAD_PROBE_INFO_BUFFER(info));
        const Shared &counts = *static_cast<Shared *>(data);
        if (!gst_mini_object_get_qdata(object, mark)) {
            counts->seen++;
            gst_mini_object_set_qdata(object, mark, new Shared(counts), [](gpointer p) {
                std::unique_ptr<Shared> owner(static_cast<Shared *>(p));
                (**owner).freed++;
            });
        }
        return GST_PAD_PROBE_OK;
    }

    Shared counts_ = std::make_shared<Counts>();
};

// A consumer that stamps buffers another consumer still holds borrows the producer's picture:
// the producer's pool gets every buffer back to use again instead of making a new one a frame.
TEST(InterpipeLink, RestampedBuffersGoBackToTheProducersPool) {
    Pipeline producer(live_producer("pooled", 320));
    BufferCensus census(producer, "pooled");
    producer.play();
    Pipeline keep(consumer("pooled"));
    Pipeline restart(consumer("pooled", "stream-sync=restart-ts"));
    keep.play();
    restart.play();
    for (int i = 0; i < 60; i++) {
        Sample kept = keep.pull("out", 2 * GST_SECOND);
        Sample stamped = restart.pull("out", 2 * GST_SECOND);
        ASSERT_TRUE(kept && stamped);
        GstMapInfo map;
        ASSERT_TRUE(gst_buffer_map(stamped.buffer(), &map, GST_MAP_READ));
        EXPECT_EQ(map.size, 320u * 48 * 4);
        gst_buffer_unmap(stamped.buffer(), &map);
    }
    // The pool may let go of the few pictures it made at the start, before the consumers ran.
    EXPECT_LT(census.freed(), 5) << "pictures are made again instead of coming back";
}

// The producer's pictures that a listener held (here a paused consumer's full queue) are freed
// once they are back and no longer needed.
TEST(InterpipeLink, PicturesOnceHeldByListenersAreNotKept) {
    Pipeline producer(live_producer("held", 320));
    BufferCensus census(producer, "held");
    producer.play();
    {
        Pipeline paused("interpipesrc name=in listen-to=held max-buffers=10 ! appsink sync=false");
        ASSERT_EQ(paused.set_state(GST_STATE_PAUSED), GST_STATE_CHANGE_ASYNC);
        for (int i = 0; i < 100 && uint64_property(paused, "in", "current-level-buffers") < 10; i++)
            sleep_ms(20);
        ASSERT_GE(census.alive(), 10) << "the paused consumer should hold its queue";
    }
    for (int i = 0; i < 150 && census.alive() > 2; i++)
        sleep_ms(20);
    EXPECT_LE(census.alive(), 2) << "the one being drawn and one spare at most";
}

// "is-live" decides whether the consumer prerolls; "listen-to" may move to another sink while the
// consumer runs.
TEST(InterpipeLink, LivenessAndSwitchingSinks) {
    Pipeline not_live("interpipesrc listen-to=none-yet is-live=false ! appsink name=out");
    EXPECT_EQ(not_live.set_state(GST_STATE_PAUSED), GST_STATE_CHANGE_ASYNC);
    Pipeline live(consumer("none-yet"));
    EXPECT_EQ(live.set_state(GST_STATE_PAUSED), GST_STATE_CHANGE_NO_PREROLL);

    Pipeline narrow(live_producer("narrow", 16));
    Pipeline wide(live_producer("wide", 96));
    narrow.play();
    wide.play();
    Pipeline in(consumer("narrow"));
    in.play();
    Sample s = in.pull("out", 2 * GST_SECOND);
    ASSERT_TRUE(s);
    EXPECT_EQ(s.width(), 16);

    g_object_set(in.element("in").get(), "listen-to", "wide", nullptr);
    EXPECT_EQ(num_listeners(narrow, "narrow"), 0);
    EXPECT_EQ(num_listeners(wide, "wide"), 1);
    bool switched = false;
    for (int i = 0; i < 30 && !switched; i++) {
        Sample t = in.pull("out", GST_SECOND);
        ASSERT_TRUE(t);
        switched = t.width() == 96;
    }
    EXPECT_TRUE(switched);
}
