// Shared producers of recording and streaming: the IPU transformer, the two H.264 encoders
// and the MP3 audio encoder, each ending in a named inter-pipeline sink.
#include "video/encoders.h"
#include "core/command_runner.h"
#include "core/log.h"
#include "video/elements.h"
#include "video/registry.h"

namespace {

constexpr const char *kI420Caps =
    "video/x-raw, width=1024, height=768, framerate=30/1, format=I420";
constexpr const char *kNV12Caps =
    "video/x-raw, width=1024, height=768, framerate=30/1, format=NV12";
constexpr const char *kAvcCaps = "video/x-h264, stream-format=avc";
constexpr int kLeakyDownstream = 2;
constexpr int kFormatTime = 3;

// The transformer's output caps, which each video encoder build sets to its input format, and
// the amplifier whose gain follows the microphone volume.
GstRef<GstElement> ipu_caps;
GstRef<GstElement> audio_amp;
// Set once the microphone's capture rate has been configured in this process.
bool audio_init = false;

void set_listener(GstElement *source, const char *listen_to, int stream_sync) {
    set_string(source, "listen-to", listen_to);
    set_bool(source, "allow-renegotiation", true);
    set_int(source, "stream-sync", stream_sync);
    set_int(source, "format", kFormatTime);
    set_bool(source, "is-live", true);
}

void use_nv12_input() {
    if (ipu_caps) {
        set_caps(ipu_caps.get(), "caps", kNV12Caps);
    }
}

int make_vid_xformer(GstElement *pipeline) {
    log_message(LOG_LEVEL_INFO, "Creating video transformer... ");
    GstRef<GstElement> source = make_element("interpipesrc", "vid-xform-ipsrc");
    GstRef<GstElement> queue = make_element("queue", "xq");
    GstRef<GstElement> sink = make_element("interpipesink", "vid-xform-ipsink");
    GstRef<GstElement> transform = make_element("imxipuvideotransform", "ipu-transform");
    GstRef<GstElement> caps = make_element("capsfilter", "ipu-caps");
    if (!source || !queue || !sink || !transform || !caps) {
        log_message(LOG_LEVEL_ERROR, "One element could not be created in the video xformer.");
        return -1;
    }
    set_int(queue.get(), "leaky", kLeakyDownstream);
    set_listener(source.get(), "vid-src-ipsink", 1);
    set_bool(sink.get(), "sync", false);
    set_bool(sink.get(), "async", false);
    set_caps(caps.get(), "caps", kI420Caps);
    add_all(pipeline, {source.get(), queue.get(), sink.get(), transform.get(), caps.get()});
    if (!link_all({source.get(), queue.get(), transform.get(), caps.get(), sink.get()})) {
        log_message(LOG_LEVEL_ERROR, "Failed to link elements in the video xformer.");
        return -1;
    }
    ipu_caps = std::move(caps);
    return start_playing(pipeline, PIPE_TRANSFORMER);
}

int make_record_vid_enc(GstElement *pipeline) {
    log_message(LOG_LEVEL_INFO, "Creating record video encoding..");
    const gstvideo_configs &settings = video_settings();
    GstRef<GstElement> source = make_element("interpipesrc", "record-enc-ipsrc");
    GstRef<GstElement> queue = make_element("queue", "rec-enc-queue-before");
    GstRef<GstElement> encoder = make_element("imxvpuenc_h264", "rec-imxvpuenc");
    GstRef<GstElement> parser = make_element("h264parse", "rec-parser");
    GstRef<GstElement> sink = make_element("interpipesink", "rec-vid-enc-ipsink");
    GstRef<GstElement> parser_caps = make_element("capsfilter", "vid-parser-caps");
    if (!source || !queue || !encoder || !parser || !sink || !parser_caps) {
        log_message(LOG_LEVEL_ERROR, "One element could not be created in the record video enc.");
        return -1;
    }
    set_listener(source.get(), "vid-xform-ipsink", 1);
    set_int(queue.get(), "leaky", kLeakyDownstream);
    set_int(queue.get(), "max-size-buffers", 5);
    set_int(encoder.get(), "bitrate", settings.record_enc_bitrate);
    set_int(encoder.get(), "gop-size", settings.record_enc_gop);
    set_int(encoder.get(), "me-search-range", settings.record_enc_search_range);
    set_bool(sink.get(), "sync", false);
    set_bool(sink.get(), "async", false);
    set_caps(parser_caps.get(), "caps", kAvcCaps);
    use_nv12_input();
    add_all(pipeline, {source.get(), queue.get(), parser.get(), parser_caps.get(), encoder.get(),
                       sink.get()});
    if (!link_all({source.get(), queue.get(), encoder.get(), parser.get(), parser_caps.get(),
                   sink.get()})) {
        log_message(LOG_LEVEL_ERROR, "Failed to link elements in the record video enc.");
        return -1;
    }
    return start_playing(pipeline, PIPE_RECORD_VIDEO_ENC);
}

int make_stream_vid_enc(GstElement *pipeline) {
    log_message(LOG_LEVEL_INFO, "Creating stream video encoding.. ");
    const gstvideo_configs &settings = video_settings();
    GstRef<GstElement> source = make_element("interpipesrc", "stream-media-ipsrc");
    GstRef<GstElement> encoder = make_element("imxvpuenc_h264", "stream-imxvpuenc");
    GstRef<GstElement> parser = make_element("h264parse", "stream-rec-parser");
    GstRef<GstElement> sink = make_element("interpipesink", "stream-vid-enc-ipsink");
    if (!source || !encoder || !parser || !sink) {
        log_message(LOG_LEVEL_ERROR, "One element could not be created in the stream video enc.");
        return -1;
    }
    set_listener(source.get(), "vid-xform-ipsink", 0);
    set_int(sink.get(), "max-buffers", 0);
    set_int(encoder.get(), "bitrate", settings.stream_enc_bitrate);
    set_int(encoder.get(), "gop-size", settings.stream_enc_gop);
    set_int(encoder.get(), "idr-interval", settings.stream_enc_idr);
    set_int(encoder.get(), "me-search-range", settings.stream_enc_search_range);
    set_bool(sink.get(), "sync", true);
    set_bool(sink.get(), "async", false);
    use_nv12_input();
    add_all(pipeline, {source.get(), parser.get(), encoder.get(), sink.get()});
    if (!link_all({source.get(), encoder.get(), parser.get(), sink.get()})) {
        log_message(LOG_LEVEL_ERROR, "Failed to link elements in the stream video enc.");
        return -1;
    }
    return start_playing(pipeline, PIPE_STREAM_VID_ENC);
}

int make_audio_enc(GstElement *pipeline) {
    log_message(LOG_LEVEL_INFO, "Creating audio encoding.. ");
    const gstvideo_configs &settings = video_settings();
    if (!audio_init) {
        run_command("amixer -c 0 set 'DMic Rate' '128x'", Completion());
        audio_init = true;
    }
    GstRef<GstElement> alsa_src = make_element("alsasrc", "audio-src");
    GstRef<GstElement> amp = make_element("audioamplify", "audio-amp");
    GstRef<GstElement> mp3_enc = make_element("imxmp3audioenc", "audio-enc");
    GstRef<GstElement> mpeg_parser = make_element("mpegaudioparse", "audio-parse");
    GstRef<GstElement> audio_queue = make_element("queue", "queue-audio");
    GstRef<GstElement> sink = make_element("interpipesink", "aud-enc-ipsink");
    if (!alsa_src || !amp || !mp3_enc || !mpeg_parser || !audio_queue || !sink) {
        log_message(LOG_LEVEL_ERROR, "Element could not be created in the audio encoding pipe.");
        return -1;
    }
    set_string(alsa_src.get(), "device", "hw:0,0");
    set_double(amp.get(), "amplification", settings.mic_volume);
    set_int(mp3_enc.get(), "bitrate", settings.aud_enc_bitrate);
    set_bool(sink.get(), "sync", false);
    set_bool(sink.get(), "async", false);
    std::initializer_list<GstElement *> chain = {
        alsa_src.get(), amp.get(), mp3_enc.get(), mpeg_parser.get(), audio_queue.get(), sink.get()};
    add_all(pipeline, chain);
    if (!link_all(chain)) {
        log_message(LOG_LEVEL_ERROR, "Failed to link elements in the audio encoding bin");
        return -1;
    }
    audio_amp = std::move(amp);
    return start_playing(pipeline, PIPE_AUDIO_ENC);
}

bool belongs_to(const GstRef<GstElement> &handle, GstElement *pipeline) {
    return handle && gst_object_has_as_ancestor(GST_OBJECT(handle.get()), GST_OBJECT(pipeline));
}

pipe_bus_fd start_producer(int id, const char *name, int (*build)(GstElement *),
                           const char *failure) {
    return start_pipe(id, name, [build, failure](GstElement *pipeline) {
        int result = build(pipeline);
        if (result != 0) {
            log_message(LOG_LEVEL_WARN, "%s", failure);
        }
        return result;
    });
}

}  // namespace

pipe_bus_fd create_media_vid_xformer() {
    return start_producer(PIPE_TRANSFORMER, "vidtransformer-pipe", make_vid_xformer,
                          "Failed to create elemements for vid_transformer");
}

pipe_bus_fd create_media_record_vid_enc() {
    return start_producer(PIPE_RECORD_VIDEO_ENC, "record-videnc-pipe", make_record_vid_enc,
                          "Failed to create elemements for record vid_enc");
}

pipe_bus_fd create_media_stream_vid_enc() {
    return start_producer(PIPE_STREAM_VID_ENC, "stream-videnc-pipe", make_stream_vid_enc,
                          "Failed to create elemements for vid_enc");
}

pipe_bus_fd create_media_audio_enc() {
    return start_producer(PIPE_AUDIO_ENC, "audenc-pipe", make_audio_enc,
                          "Failed to create elemements for aud_enc");
}

void encoders_forget_pipeline(GstElement *pipeline) {
    if (belongs_to(ipu_caps, pipeline)) {
        ipu_caps.reset();
    }
    if (belongs_to(audio_amp, pipeline)) {
        audio_amp.reset();
    }
}

int gstvideo_change_enc_type(int type) {
    if (is_created(PIPE_TCP_STREAM) || is_created(PIPE_RECORD)) {
        return 1;
    }
    video_settings().enc_type = type;
    return 0;
}

int gstvideo_set_microphone_volume(int volume) {
    gstvideo_configs &settings = video_settings();
    if (volume < 0 || volume > 100) {
        log_message(LOG_LEVEL_WARN,
                    "Mic vol should be a positive [0-100](was %d), remaining at: %d", volume,
                    static_cast<int>(settings.mic_volume * kMicScale));
        return 1;
    }
    settings.mic_volume = volume / kMicScale;
    if ((is_created(PIPE_TCP_STREAM) || is_created(PIPE_RECORD)) && settings.enc_type != 1 &&
        audio_amp) {
        set_double(audio_amp.get(), "amplification", settings.mic_volume);
    }
    return 0;
}
