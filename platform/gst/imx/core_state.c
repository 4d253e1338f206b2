#include "core_state.h"

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

void core_state_defaults(CoreState *state) {
    state->zoom = 1;
    state->pip = 0;
    state->origin_x = 320;
    state->origin_y = 240;
    state->shutter_movement = 1;
    state->nuc_count = 0;
}

static gboolean parse_int(const gchar *text, gint64 *value) {
    gchar *end = NULL;
    gint64 v = g_ascii_strtoll(text, &end, 10);
    if (end == text || *end != '\0') {
        return FALSE;
    }
    *value = v;
    return TRUE;
}

void core_state_parse(const gchar *text, CoreState *state) {
    gchar **lines = g_strsplit(text, "\n", -1);
    for (gchar **line = lines; *line; line++) {
        gchar *eq = strchr(*line, '=');
        if (!eq) {
            continue;
        }
        *eq = '\0';
        gchar *key = g_strstrip(*line);
        gint64 v;
        if (!parse_int(g_strstrip(eq + 1), &v)) {
            continue;
        }
        if (strcmp(key, "zoom") == 0) {
            if (v == 1 || v == 2 || v == 4) {
                state->zoom = (gint)v;
            }
        } else if (strcmp(key, "pip") == 0) {
            if (v == 0 || v == 2 || v == 4) {
                state->pip = (gint)v;
            }
        } else if (strcmp(key, "origin_x") == 0) {
            if (v >= G_MININT && v <= G_MAXINT) {
                state->origin_x = (gint)v;
            }
        } else if (strcmp(key, "origin_y") == 0) {
            if (v >= G_MININT && v <= G_MAXINT) {
                state->origin_y = (gint)v;
            }
        } else if (strcmp(key, "shutter_movement") == 0) {
            if (v == 0 || v == 1) {
                state->shutter_movement = (gint)v;
            }
        } else if (strcmp(key, "nuc_count") == 0) {
            if (v >= 0 && v <= G_MAXUINT) {
                state->nuc_count = (guint)v;
            }
        }
    }
    g_strfreev(lines);
}

gchar *core_state_path(void) {
    const gchar *root = g_getenv("MRVDC_SYSROOT");
    return g_build_filename(root && *root ? root : "/", "var", "lib", "mrvac", "state", NULL);
}

void core_state_watch_init(CoreStateWatch *watch, const gchar *path) {
    memset(watch, 0, sizeof *watch);
    watch->path = g_strdup(path);
}

void core_state_watch_clear(CoreStateWatch *watch) {
    g_free(watch->path);
    memset(watch, 0, sizeof *watch);
}

gboolean core_state_watch_poll(CoreStateWatch *watch, CoreState *state) {
    if (!watch->path) {
        return FALSE;
    }
    struct stat st;
    if (stat(watch->path, &st) != 0) {
        if (!watch->present) {
            return FALSE;
        }
        watch->present = FALSE;
        core_state_defaults(state);
        return TRUE;
    }
    if (watch->present && st.st_dev == watch->dev && st.st_ino == watch->ino &&
        st.st_size == watch->size && st.st_mtim.tv_sec == watch->mtime.tv_sec &&
        st.st_mtim.tv_nsec == watch->mtime.tv_nsec) {
        return FALSE;
    }
    gchar *text = NULL;
    if (!g_file_get_contents(watch->path, &text, NULL, NULL)) {
        return FALSE;
    }
    watch->present = TRUE;
    watch->dev = st.st_dev;
    watch->ino = st.st_ino;
    watch->size = st.st_size;
    watch->mtime = st.st_mtim;
    core_state_defaults(state);
    core_state_parse(text, state);
    g_free(text);
    return TRUE;
}
