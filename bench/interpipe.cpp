// Cost of an inter-pipeline link: the CPU time per frame of one chain of elements built as one
// pipeline, against the same elements split into a producer and a consumer pipeline joined by
// interpipesink/interpipesrc, as the daemon joins its source and display pipelines. The two are
// measured in alternating rounds of the same run at 1024x768 RGBA, 30 fps (live), and the ratio
// printed.
//
// CPU time is the whole process's (user + system) over each measuring period, divided by the
// frames that reached the end of the chain in that period.
//
// Usage: bench_interpipe [--seconds S] [--rounds R]   (needs the stand-in plug-ins on
// GST_PLUGIN_PATH; bench/run-interpipe arranges that)
#include <gst/gst.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

const char *const caps = "video/x-raw,format=RGBA,width=1024,height=768,framerate=30/1";
const char *const source_part = "videotestsrc is-live=true pattern=ball";
const char *const consumer_part =
    "videoconvert ! video/x-raw,format=I420 ! fakesink name=end "
    "sync=false async=false";

struct Totals {
    double cpu_s = 0;
    long frames = 0;
    double per_frame_ms() const { return frames ? 1000.0 * cpu_s / frames : 0; }
};

double process_cpu_s() {
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

class Pipeline {
public:
    explicit Pipeline(const std::string &description) {
        GError *error = nullptr;
        pipeline_ = gst_parse_launch(description.c_str(), &error);
        if (pipeline_ == nullptr || error != nullptr) {
            std::fprintf(stderr, "cannot build \"%s\": %s\n", description.c_str(),
                         error ? error->message : "unknown error");
            std::exit(1);
        }
    }
    Pipeline(const Pipeline &) = delete;
    Pipeline &operator=(const Pipeline &) = delete;
    ~Pipeline() {
        gst_element_set_state(pipeline_, GST_STATE_NULL);
        gst_object_unref(pipeline_);
    }
    void play() {
        if (gst_element_set_state(pipeline_, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
            std::fprintf(stderr, "pipeline refused to play\n");
            std::exit(1);
        }
    }
    // Counts buffers arriving at the sink "end" of this pipeline.
    void count_frames(std::atomic<long> *counter) {
        GstElement *end = gst_bin_get_by_name(GST_BIN(pipeline_), "end");
        GstPad *pad = gst_element_get_static_pad(end, "sink");
        gst_pad_add_probe(
            pad, GST_PAD_PROBE_TYPE_BUFFER,
            [](GstPad *, GstPadProbeInfo *, gpointer data) {
                static_cast<std::atomic<long> *>(data)->fetch_add(1);
                return GST_PAD_PROBE_OK;
            },
            counter, nullptr);
        gst_object_unref(pad);
        gst_object_unref(end);
    }
    // Fails loudly if the pipeline reported an error.
    void check() const {
        GstBus *bus = gst_element_get_bus(pipeline_);
        GstMessage *m = gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR);
        gst_object_unref(bus);
        if (m != nullptr) {
            GError *error = nullptr;
            gst_message_parse_error(m, &error, nullptr);
            std::fprintf(stderr, "pipeline error: %s\n", error->message);
            std::exit(1);
        }
    }

private:
    GstElement *pipeline_ = nullptr;
};

// Runs the chain for `seconds` after a short settling time and adds what it cost to `totals`.
void measure(bool split, double seconds, Totals &totals) {
    std::atomic<long> frames{0};
    std::string single = std::string(source_part) + " ! " + caps + " ! queue ! " + consumer_part;
    std::string producer = std::string(source_part) + " ! " + caps +
                           " ! queue ! interpipesink name=bench-link sync=false async=false";
    std::string consumer =
        "interpipesrc listen-to=bench-link is-live=true stream-sync=1 format=3 "
        "! " +
        std::string(consumer_part);
    Pipeline first(split ? consumer : single);
    std::unique_ptr<Pipeline> second(split ? new Pipeline(producer) : nullptr);
    first.play();
    if (second)
        second->play();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    first.count_frames(&frames);
    double cpu0 = process_cpu_s();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    double cpu1 = process_cpu_s();
    long n = frames.load();
    first.check();
    if (second)
        second->check();
    totals.cpu_s += cpu1 - cpu0;
    totals.frames += n;
}

}  // namespace

int main(int argc, char **argv) {
    gst_init(&argc, &argv);
    double seconds = 2;
    int rounds = 8;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--seconds") == 0)
            seconds = std::atof(argv[i + 1]);
        else if (std::strcmp(argv[i], "--rounds") == 0)
            rounds = std::atoi(argv[i + 1]);
    }
    if (gst_element_factory_find("interpipesink") == nullptr) {
        std::fprintf(stderr, "interpipesink not found: is GST_PLUGIN_PATH set?\n");
        return 1;
    }

    std::printf("inter-pipeline link: 1024x768 RGBA at 30 fps, %d rounds of %.1f s per layout\n",
                rounds, seconds);
    std::printf("chain: %s ! caps ! queue ! [link] ! %s\n", source_part, consumer_part);
    Totals warmup;
    measure(false, 0.5, warmup);
    measure(true, 0.5, warmup);

    // Short alternating rounds spread any load from the rest of the machine over both layouts;
    // the median of the per-round ratios resists a round disturbed by it.
    Totals one, two;
    std::vector<double> ratios;
    for (int r = 0; r < rounds; r++) {
        Totals a, b;
        measure(false, seconds, a);
        measure(true, seconds, b);
        if (a.frames && b.frames)
            ratios.push_back(b.per_frame_ms() / a.per_frame_ms());
        one.cpu_s += a.cpu_s;
        one.frames += a.frames;
        two.cpu_s += b.cpu_s;
        two.frames += b.frames;
    }
    std::printf("one pipeline:   %.3f ms CPU per frame (%ld frames)\n", one.per_frame_ms(),
                one.frames);
    std::printf("two pipelines:  %.3f ms CPU per frame (%ld frames)\n", two.per_frame_ms(),
                two.frames);
    if (ratios.empty()) {
        std::fprintf(stderr, "no frames measured\n");
        return 1;
    }
    std::sort(ratios.begin(), ratios.end());
    double median = ratios[ratios.size() / 2];
    if (ratios.size() % 2 == 0)
        median = (median + ratios[ratios.size() / 2 - 1]) / 2;
    std::printf("link cost:      %+.3f ms per frame\n", two.per_frame_ms() - one.per_frame_ms());
    std::printf("ratio two/one:  %.3f overall, median of rounds %.3f (range %.3f to %.3f)\n",
                two.per_frame_ms() / one.per_frame_ms(), median, ratios.front(), ratios.back());
    std::printf("goal (within 5%%): %s\n", median <= 1.05 ? "met" : "not met");
    return 0;
}
