// mrvdc: the sight's device controller. One thread, one poll: start-up, the event loop and the
// ordered shutdown.
#include <fcntl.h>
#include <getopt.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>

#include <glib.h>

#include "config/config.h"
#include "control/accelerometer.h"
#include "control/camera_controls.h"
#include "control/device_state.h"
#include "control/keyboard.h"
#include "control/media_commands.h"
#include "control/startup.h"
#include "core/command_runner.h"
#include "core/control_socket.h"
#include "core/daemon_state.h"
#include "core/event_aggregator.h"
#include "core/fault_hooks.h"
#include "core/files.h"
#include "core/log.h"
#include "core/loop_tasks.h"
#include "core/memory.h"
#include "core/message_bus.h"
#include "core/pid_file.h"
#include "core/service_manager.h"
#include "core/storage_worker.h"
#include "core/sysroot.h"
#include "core/timer.h"
#include "core/timer_list.h"
#include "core/unique_fd.h"
#include "core/version.h"
#include "protocol/commands.h"
#include "video/gstvideo.h"

namespace {

std::string app_name;
std::optional<std::string> conf_file_name;
std::optional<std::string> log_file_name;
std::optional<std::string> pid_file_name;
int start_daemonized = 0;
int profiling_enabled = 0;
int running = 0;
UniqueFd pid_fd;
UniqueFd signal_fd;
std::unique_ptr<socket_server> server;
// The live-picture pipelines started at start-up.
pipe_bus_fd src_pipe{-1, PIPE_SRC};
pipe_bus_fd display_pipe{-1, PIPE_DISPLAY};

void print_help() {
    printf("Mirova Device controller " MRVDC_VERSION_TEXT "\n");
    printf("Usage: %s [OPTIONS]\n\n", app_name.c_str());
    printf("  Options:\n");
    printf("   -h --help                 Print this help\n");
    printf("   -c --conf_file filename   Read configuration from the file\n");
    printf("   -l --log_file  filename   Write logs to the file\n");
    printf("   -d --daemon               Daemonize this application\n");
    printf("   -p --pid_file  filename   PID file used by daemonized app\n");
    printf("   -v --verbose              Enable debug level log messages\n");
    printf("   -f --profile              Enable the video profiler elements\n");
    std::string commands = api_get_help();
    if (!commands.empty()) {
        printf("\n");
        printf("  Client commands:\n%s", commands.c_str());
    }
    fflush(stdout);
}

void parse_cmdline_opts(int argc, char **argv) {
    static const option long_options[] = {
        {"conf_file", required_argument, nullptr, 'c'},
        {"log_file", required_argument, nullptr, 'l'},
        {"pid_file", required_argument, nullptr, 'p'},
        {"daemon", no_argument, nullptr, 'd'},
        {"verbose", no_argument, nullptr, 'v'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    int option;
    while ((option = getopt_long(argc, argv, "c:l:p:dvhf", long_options, nullptr)) != -1) {
        switch (option) {
            case 'c':
                conf_file_name = optarg;
                break;
            case 'l':
                log_file_name = optarg;
                break;
            case 'p':
                pid_file_name = optarg;
                break;
            case 'd':
                start_daemonized = 1;
                break;
            case 'v':
                log_verbose = 1;
                break;
            case 'f':
                profiling_enabled = 1;
                break;
            case 'h':
                print_help();
                exit(0);
            default:
                print_help();
                exit(1);
        }
    }
}

void daemonize() {
    pid_t pid = fork();
    if (pid < 0) {
        exit(1);
    }
    if (pid > 0) {
        exit(0);
    }
    if (setsid() < 0) {
        exit(1);
    }
    pid = fork();
    if (pid < 0) {
        exit(1);
    }
    if (pid > 0) {
        exit(0);
    }
    // Nothing the daemon creates (socket, media, recordings, configuration) is writable by
    // other users: they could drive the sight or plant links where it writes.
    umask(022);
    if (chdir("/") != 0) {
        exit(1);
    }
    for (long fd = sysconf(_SC_OPEN_MAX); fd >= 0; --fd) {
        close(static_cast<int>(fd));
    }
    // Descriptors 0, 1 and 2 are free, so the standard streams take them in order.
    if (!freopen("/dev/null", "r", stdin) || !freopen("/dev/null", "w+", stdout) ||
        !freopen("/dev/null", "w+", stderr)) {
        exit(1);
    }
    if (pid_file_name) {
        pid_fd = pid_file_lock(*pid_file_name);
        if (!pid_fd.valid()) {
            exit(1);
        }
    }
}

void block_stop_signals() {
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    if (kFaultHooks) {
        sigaddset(&stop_signals, SIGUSR2);
    }
    // The end of an outside command comes through the same descriptor; an inherited "ignore"
    // would reap the commands before their status is read.
    sigaddset(&stop_signals, SIGCHLD);
    sigprocmask(SIG_SETMASK, &stop_signals, nullptr);
    signal(SIGCHLD, SIG_DFL);
    signal(SIGPIPE, SIG_IGN);
    signal_fd.reset(signalfd(-1, &stop_signals, SFD_CLOEXEC));
}

double seconds_since(clock_t start) {
    return static_cast<double>(clock() - start) / 1000000.0;
}

int read_conf_file() {
    std::string path = conf_file_name ? *conf_file_name : sysroot_path(CFG_DEFAULT_PATH);
    log_message(LOG_LEVEL_INFO, "Reading file '%s' as configuration..", path.c_str());
    int result = cfg_read_config(path.c_str());
    if (result == 0) {
        log_message(LOG_LEVEL_INFO, "Configuration file '%s' parsed.", path.c_str());
    } else {
        log_message(LOG_LEVEL_WARN, "Failed to read the configuration file %s", path.c_str());
    }
    return result;
}

// The socket systemd listens on when it activated us, else one of our own.
void open_control_socket(int inherited_fd) {
    server = socket_init(AF_UNIX, SOCK_STREAM);
    if (!server) {
        log_message(LOG_LEVEL_ERROR, "Failed to create server socket record");
    }
    if (inherited_fd >= 0) {
        socket_adopt(server.get(), inherited_fd);
        return;
    }
    socket_bind(server.get(), global_config.socket_file.c_str());
    socket_listen(server.get());
}

// Without a keyboard the daemon still runs: the buttons are dead, clients still work.
void open_keyboard() {
    kbd_fd = kbd_init(global_config.kbd_device.c_str());
    if (kbd_fd < 0) {
        syslog(LOG_ERR, "Can not open kbd event file: %s, error: %s",
               global_config.kbd_device.c_str(), strerror(errno));
    }
}

void start_video() {
    gstvideo_configs settings{};
    settings.mic_volume = static_cast<double>(global_config.mic_volume);
    settings.record_max_len = static_cast<int64_t>(global_config.record_max_len) * 1000000000LL;
    settings.record_enc_bitrate = global_config.record_enc_bitrate;
    settings.record_enc_gop = global_config.record_enc_gop;
    settings.record_enc_idr = global_config.record_enc_idr;
    settings.record_enc_search_range = global_config.record_enc_search_range;
    settings.aud_enc_bitrate = global_config.aud_enc_bitrate;
    settings.stream_enc_bitrate = global_config.stream_enc_bitrate;
    settings.stream_enc_gop = global_config.stream_enc_gop;
    settings.stream_enc_idr = global_config.stream_enc_idr;
    settings.stream_enc_search_range = global_config.stream_enc_search_range;
    settings.enc_type = global_config.enc_type;
    settings.profiling = profiling_enabled;
    if (gstvideo_init(settings) != 0) {
        log_message(LOG_LEVEL_ERROR, "Failed to init gstreamer");
    }
    src_pipe = gstvideo_start_video_src(global_config.qml_file.c_str());
    display_pipe = gstvideo_start_display();
}

void display_no_input() {
    log_message(LOG_LEVEL_WARN, "Input failed - showing no video indication");
    // A splash that is still ending is replaced once it has gone.
    gstvideo_after_end_of(PIPE_SPLASH, [] {
        pipe_bus_fd splash = gstvideo_start_splash(global_config.qml_file.c_str(),
                                                   sysroot_path("/etc/no-video-input.png").c_str());
        if (splash.fd < 0 && !exit_flag) {
            log_message(LOG_LEVEL_ERROR, "Failed to create no input splash pipe");
        }
    });
    send_mb_event(MB_EVENT_NO_INPUT_VIDEO);
}

// A pipeline has left its slot. Unless the daemon is stopping, a lost source takes the display
// with it, and a lost display brings up the no-input splash.
void pipe_ended(int pipe) {
    if (exit_flag) {
        return;
    }
    if (pipe == PIPE_SRC) {
        gstvideo_stop_pipe(PIPE_DISPLAY);
    } else if (pipe == PIPE_DISPLAY) {
        display_no_input();
    }
}

void process_timer() {
    static int tick = 9;
    timer_read();
    service_watchdog_alive();
    // The camera core settles after power-up: two automatic corrections, then never again.
    if (tick == 10 || tick == 20) {
        ac_automatic_nuc();
    }
    if (tick < 100) {
        ++tick;
    }
    socket_resume_accepting(server.get());
    if (gstvideo_is_playing(PIPE_RECORD)) {
        if (has_enough_space(global_config.media_path.c_str(), kRecordFreeSpace) == 0) {
            gstvideo_stop_record();
            log_message(LOG_LEVEL_WARN, "Ran out of space while recording video.");
            send_mb_event(MB_EVENT_OUT_OF_SPACE);
        } else {
            log_message(LOG_LEVEL_DEBUG, "Enough space to continue recoding.");
        }
    }
}

void process_signal(int signal_number) {
    if (signal_number == SIGCHLD) {
        command_runner_reap();
        return;
    }
    if (kFaultHooks && signal_number == SIGUSR2) {
        log_message(LOG_LEVEL_ERROR, "fatal error injected");
    }
    syslog(LOG_INFO, "Caught signal %d\n", signal_number);
    exit_flag = 1;
    log_message(LOG_LEVEL_INFO, "stopping daemon ...");
    command_runner_stop();
    service_notify_stopping();
    gstvideo_stop_all_pipes();
    if (pid_file_name) {
        pid_file_remove(*pid_file_name, std::move(pid_fd));
    }
    signal(SIGINT, SIG_DFL);
}

void dispatch(const ea_event &event) {
    switch (event.type) {
        case EA_SERVER_SOCKET:
            accept_client_connection(reinterpret_cast<socket_server *>(event.data));
            break;
        case EA_CLIENT_SOCKET: {
            auto *client = reinterpret_cast<socket_client *>(event.data);
            if (serve_client(client, event.revents) == 1) {
                if (ea_unregister_event(event.fd) != 0) {
                    log_message(LOG_LEVEL_ERROR, "failed to unregister client socket");
                }
                socket_client_release(client);
            }
            break;
        }
        case EA_KEYBOARD:
            kbd_handle_input();
            break;
        case EA_PIPE_BUS:
            // An ended pipe's bus has already left the aggregator.
            gstvideo_process_message(static_cast<int>(event.data));
            break;
        case EA_SIGNAL:
            process_signal(decode_signal(event.fd));
            break;
        case EA_TIMER:
            process_timer();
            break;
        case EA_ACCELEROMETER:
            process_acc();
            break;
        case EA_DEADLINE:
            timer_list_run_due();
            break;
        case EA_LOOP_TASKS:
            loop_run_posted();
            break;
        default:
            log_message(LOG_LEVEL_WARN, "unsupported event type");
            break;
    }
}

void write_back_config() {
    if (!update_conf_file) {
        return;
    }
    update_conf_file = 0;
    cfg_write_back(sysroot_path(CFG_DEFAULT_PATH));
}

// Nothing on the main thread may hold it for longer than this: whatever does is told in the
// debug log, so that a stall names its cause.
constexpr gint64 kSlowHandlerUs = 10000;

void dispatch_timed(const ea_event &event) {
    gint64 start = g_get_monotonic_time();
    dispatch(event);
    gint64 took = g_get_monotonic_time() - start;
    if (took >= kSlowHandlerUs) {
        log_message(LOG_LEVEL_DEBUG, "Event of type %d on fd %d held the loop %lld ms", event.type,
                    event.fd, static_cast<long long>(took / 1000));
    }
}

void run_event_loop() {
    while (running == 1) {
        int count = 0;
        const ea_event *ready = ea_poll_events(&count);
        for (int index = 0; index < count; ++index) {
            dispatch_timed(ready[index]);
        }
        write_back_config();
        gstvideo_stop_unused_producers();
        if (exit_flag && gstvideo_are_pipes_closed() && command_runner_idle()) {
            running = 0;
        }
    }
}

void daemon_shutdown() {
    // The last settings, a recording's end and the events still queued reach storage and the
    // bus before the log closes.
    write_back_config();
    storage_finish();
    // What the workers finished is told; whatever still waits (a start's next turn, a retry)
    // ends now, so that every reply still owed goes out, as 'e', while its connection is open.
    loop_run_posted();
    timer_list_close();
    loop_tasks_close();
    socket_close(server.get());
    kbd_close();
    log_close();
    syslog(LOG_INFO, "Stopped %s", app_name.c_str());
    closelog();
    cfg_clean();
    conf_file_name.reset();
    log_file_name.reset();
    pid_file_name.reset();
}

}  // namespace

int main(int argc, char **argv) {
    install_out_of_memory_handler();
    limit_heap_growth();
    app_name = argv[0];
    parse_cmdline_opts(argc, argv);
    if (start_daemonized) {
        daemonize();
    }
    openlog(app_name.c_str(), LOG_CONS | LOG_PID, LOG_DAEMON);
    syslog(LOG_INFO, "Started %s", app_name.c_str());
    block_stop_signals();
    log_open(log_file_name ? log_file_name->c_str() : nullptr);
    log_message(LOG_LEVEL_INFO, MRVDC_VERSION_TEXT);

    clock_t start = clock();
    read_conf_file();
    log_message(LOG_LEVEL_INFO, "Configure func takes : %fs", seconds_since(start));
    ac_check_settings();
    // A second daemon started by hand must not take the camera, the panel or the socket; an
    // activated one is the only one systemd runs.
    int inherited_socket = service_inherited_control_socket();
    if (inherited_socket < 0) {
        socket_refuse_if_served(global_config.socket_file.c_str());
    }

    // Start-up work may already set deadlines and post results.
    int deadline_fd = timer_list_init();
    int tasks_fd = loop_tasks_init();
    gstvideo_on_pipe_left(pipe_ended);
    start_video();
    touch_file(global_config.video_ready_file.c_str());
    if (src_pipe.fd < 0 || display_pipe.fd < 0) {
        log_message(LOG_LEVEL_ERROR, "Failed to init the video pipes");
    }
    open_control_socket(inherited_socket);
    device_start_init();
    open_keyboard();

    running = 1;
    int timer_fd = timer_init();
    ea_register_event(deadline_fd, EA_DEADLINE, 0);
    ea_register_event(tasks_fd, EA_LOOP_TASKS, 0);
    ea_register_event(server->fd, EA_SERVER_SOCKET, reinterpret_cast<uintptr_t>(server.get()));
    ea_register_event(kbd_fd, EA_KEYBOARD, 0);
    ea_register_event(signal_fd.get(), EA_SIGNAL, 0);
    ea_register_event(timer_fd, EA_TIMER, 0);
    service_notify_ready();

    run_event_loop();

    gstvideo_destroy();

    daemon_shutdown();
    rmb_disconnect();
    log_message(LOG_LEVEL_INFO, "Goodbye");
    return 0;
}
