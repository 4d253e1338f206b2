/*
 * sight-buttons: the sight's three push buttons on an emulated board.
 *
 * Makes an input device through uinput, named and numbered as the sight's button device and
 * with the keys the daemon maps, and presses a key (press, report, release, report) for each
 * line written to a FIFO:
 *
 *     echo zoom > /run/sight-buttons
 *
 * A line is a button (nuc, zoom, pol) or a key code in decimal; a code must be one of the
 * device's keys: the three buttons' and those added with -k. Under systemd it reports
 * readiness once the device and the FIFO exist. SIGTERM or SIGINT removes both and ends it.
 *
 *     sight-buttons [-f FIFO] [-k CODE]...
 */
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <linux/input.h>
#include <linux/uinput.h>
#include <poll.h>
#include <signal.h>
#include <stdbool.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

/* The sight's buttons are GPIO keys: the name and identity its kernel gives them. */
#define DEVICE_NAME "gpio-keys"
#define DEVICE_PHYS "sight-buttons/input0"
#define DEFAULT_FIFO "/run/sight-buttons"
#define MAX_EXTRA_KEYS 16
/* Longer lines are no button name or key code: they are skipped whole. */
#define MAX_LINE 32

static const struct {
    const char *name;
    unsigned short code;
} buttons[] = {
    {"nuc", KEY_BACK},
    {"zoom", KEY_HOMEPAGE},
    {"pol", KEY_MENU},
};
#define BUTTON_COUNT (sizeof buttons / sizeof buttons[0])

struct keys {
    unsigned short code[BUTTON_COUNT + MAX_EXTRA_KEYS];
    size_t count;
};

struct line {
    char text[MAX_LINE + 1];
    size_t length;
    bool too_long;
};

static bool has_key(const struct keys *keys, long code) {
    for (size_t i = 0; i < keys->count; i++) {
        if (keys->code[i] == code) {
            return true;
        }
    }
    return false;
}

/* A decimal key code in 1..KEY_MAX, or -1. */
static long parse_code(const char *text) {
    char *end;
    errno = 0;
    long code = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || code < 1 || code > KEY_MAX) {
        return -1;
    }
    return code;
}

/* The key a line names, or -1 after saying why there is none. */
static long key_of_line(const struct keys *keys, const char *line) {
    for (size_t i = 0; i < BUTTON_COUNT; i++) {
        if (strcmp(line, buttons[i].name) == 0) {
            return buttons[i].code;
        }
    }
    long code = parse_code(line);
    if (code < 0) {
        fprintf(stderr, "sight-buttons: \"%s\" is no button (nuc, zoom, pol) or key code\n", line);
    } else if (!has_key(keys, code)) {
        fprintf(stderr, "sight-buttons: key %ld is not one of the device's keys (see -k)\n", code);
        code = -1;
    }
    return code;
}

/* uinput stamps the time; a zero time is taken as "now". */
static struct input_event event_of(unsigned short type, unsigned short code, int value) {
    struct input_event event;
    memset(&event, 0, sizeof event);
    event.type = type;
    event.code = code;
    event.value = value;
    return event;
}

static int press(int uinput, unsigned short code) {
    const struct input_event events[] = {
        event_of(EV_KEY, code, 1),
        event_of(EV_SYN, SYN_REPORT, 0),
        event_of(EV_KEY, code, 0),
        event_of(EV_SYN, SYN_REPORT, 0),
    };
    if (write(uinput, events, sizeof events) != (ssize_t)sizeof events) {
        perror("sight-buttons: writing to uinput");
        return -1;
    }
    return 0;
}

static void trim(char *text) {
    size_t length = strlen(text);
    while (length > 0 && strchr(" \t\r", text[length - 1])) {
        text[--length] = '\0';
    }
    size_t start = strspn(text, " \t");
    memmove(text, text + start, length - start + 1);
}

/* Takes bytes from the FIFO; a whole line presses its key. */
static int take_bytes(struct line *line, const char *bytes, size_t count, int uinput,
                      const struct keys *keys) {
    for (size_t i = 0; i < count; i++) {
        if (bytes[i] != '\n') {
            if (line->length < MAX_LINE) {
                line->text[line->length++] = bytes[i];
            } else {
                line->too_long = true;
            }
            continue;
        }
        line->text[line->length] = '\0';
        trim(line->text);
        if (line->too_long) {
            fprintf(stderr, "sight-buttons: skipped a line longer than %d characters\n", MAX_LINE);
        } else if (line->text[0] != '\0') {
            long code = key_of_line(keys, line->text);
            if (code > 0 && press(uinput, (unsigned short)code) != 0) {
                return -1;
            }
        }
        line->length = 0;
        line->too_long = false;
    }
    return 0;
}

static int create_device(const struct keys *keys) {
    int fd = open("/dev/uinput", O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        perror("sight-buttons: /dev/uinput");
        return -1;
    }
    struct uinput_setup setup;
    memset(&setup, 0, sizeof setup);
    setup.id.bustype = BUS_HOST;
    setup.id.vendor = 0x0001;
    setup.id.product = 0x0001;
    setup.id.version = 0x0100;
    strncpy(setup.name, DEVICE_NAME, sizeof setup.name - 1);
    bool failed = ioctl(fd, UI_SET_EVBIT, EV_KEY) < 0 || ioctl(fd, UI_SET_EVBIT, EV_SYN) < 0 ||
                  ioctl(fd, UI_SET_PHYS, DEVICE_PHYS) < 0;
    for (size_t i = 0; i < keys->count && !failed; i++) {
        failed = ioctl(fd, UI_SET_KEYBIT, (int)keys->code[i]) < 0;
    }
    if (failed || ioctl(fd, UI_DEV_SETUP, &setup) < 0 || ioctl(fd, UI_DEV_CREATE) < 0) {
        perror("sight-buttons: making the input device");
        close(fd);
        return -1;
    }
    return fd;
}

static void remove_device(int fd) {
    ioctl(fd, UI_DEV_DESTROY);
    close(fd);
}

/* Opened for reading and writing, so that a writer closing it is no end of file. */
static int open_fifo(const char *path) {
    if (mkfifo(path, 0600) < 0 && errno != EEXIST) {
        fprintf(stderr, "sight-buttons: making %s: %s\n", path, strerror(errno));
        return -1;
    }
    int fd = open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) < 0 || !S_ISFIFO(st.st_mode)) {
        fprintf(stderr, "sight-buttons: %s is no FIFO of ours: %s\n", path,
                fd < 0 ? strerror(errno) : "another kind of file");
        if (fd >= 0) {
            close(fd);
        }
        return -1;
    }
    return fd;
}

static int stop_signals(void) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    if (sigprocmask(SIG_BLOCK, &set, NULL) < 0) {
        return -1;
    }
    return signalfd(-1, &set, SFD_CLOEXEC);
}

/* Presses keys until a stop signal arrives (0) or the device fails (-1). */
static int serve(int fifo, int stop, int uinput, const struct keys *keys) {
    struct line line = {.length = 0, .too_long = false};
    struct pollfd fds[] = {{.fd = fifo, .events = POLLIN}, {.fd = stop, .events = POLLIN}};
    for (;;) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            perror("sight-buttons: poll");
            return -1;
        }
        if (fds[1].revents) {
            return 0;
        }
        char bytes[256];
        ssize_t count = read(fifo, bytes, sizeof bytes);
        if (count < 0 && errno != EAGAIN && errno != EINTR) {
            perror("sight-buttons: reading the FIFO");
            return -1;
        }
        if (count > 0 && take_bytes(&line, bytes, (size_t)count, uinput, keys) != 0) {
            return -1;
        }
    }
}

static int usage(void) {
    fprintf(stderr, "usage: sight-buttons [-f FIFO] [-k CODE]...\n");
    return 2;
}

/* Adds a key named by -k CODE; 0, or -1 for a code that is none or one too many. */
static int add_key(struct keys *keys, const char *text) {
    long code = parse_code(text);
    if (code < 0 || keys->count == BUTTON_COUNT + MAX_EXTRA_KEYS) {
        return -1;
    }
    keys->code[keys->count++] = (unsigned short)code;
    return 0;
}

int main(int argc, char **argv) {
    const char *fifo_path = DEFAULT_FIFO;
    struct keys keys = {.count = 0};
    for (size_t i = 0; i < BUTTON_COUNT; i++) {
        keys.code[keys.count++] = buttons[i].code;
    }
    int option;
    while ((option = getopt(argc, argv, "f:k:")) != -1) {
        if (option == 'f') {
            fifo_path = optarg;
        } else if (option != 'k' || add_key(&keys, optarg) != 0) {
            return usage();
        }
    }
    if (optind != argc) {
        return usage();
    }

    int status = 1;
    int stop = stop_signals();
    int uinput = stop < 0 ? -1 : create_device(&keys);
    int fifo = uinput < 0 ? -1 : open_fifo(fifo_path);
    if (fifo >= 0) {
        sd_notify(0, "READY=1");
        status = serve(fifo, stop, uinput, &keys) == 0 ? 0 : 1;
        sd_notify(0, "STOPPING=1");
        close(fifo);
        unlink(fifo_path);
    }
    if (uinput >= 0) {
        remove_device(uinput);
    }
    if (stop >= 0) {
        close(stop);
    } else {
        perror("sight-buttons: stop signals");
    }
    return status;
}
