// The baseline of the live-picture benchmark: the daemon's live elements as one pipeline, with
// the overlay drawing the same scene as the daemon's. The overlay's cost grows with what it
// draws, so the attribute texts the daemon sent (one per line of a file) are replayed into the
// element named "overlay" before the pipeline plays. Runs until SIGINT or SIGTERM.
//
// Usage: bench_live_pipeline ATTRIBUTE_FILE PIPELINE-DESCRIPTION
#include <gst/gst.h>
#include <signal.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace {

int replay_attributes(GstElement *pipeline, const char *path) {
    GstElement *overlay = gst_bin_get_by_name(GST_BIN(pipeline), "overlay");
    if (!overlay) {
        std::fprintf(stderr, "no element named overlay\n");
        return -1;
    }
    std::ifstream texts(path);
    int count = 0;
    for (std::string line; std::getline(texts, line); ++count) {
        g_object_set(overlay, "qml-attribute", line.c_str(), nullptr);
    }
    gst_object_unref(overlay);
    return count;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s ATTRIBUTE_FILE PIPELINE-DESCRIPTION\n", argv[0]);
        return 2;
    }
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    gst_init(nullptr, nullptr);
    GError *error = nullptr;
    GstElement *pipeline = gst_parse_launch(argv[2], &error);
    if (error) {
        std::fprintf(stderr, "cannot build the pipeline: %s\n", error->message);
        g_error_free(error);
        return 1;
    }
    int status = replay_attributes(pipeline, argv[1]) < 0 ? 1 : 0;
    if (status == 0) {
        gst_element_set_state(pipeline, GST_STATE_PLAYING);
        int signal_number = 0;
        sigwait(&stop, &signal_number);
    }
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);
    return status;
}
