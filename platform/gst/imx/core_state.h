/* State of the thermal camera core as the `mrvac` tool leaves it: a small text file of
 * key=value lines under the sysroot, var/lib/mrvac/state, e.g.
 *
 *   zoom=2
 *   pip=0
 *   origin_x=435
 *   origin_y=355
 *   shutter_movement=1
 *   nuc_count=3
 *
 * Keys missing from the file keep their defaults; unknown keys are skipped. */
#ifndef MRV_IMX_CORE_STATE_H
#define MRV_IMX_CORE_STATE_H

#include <glib.h>
#include <sys/types.h>
#include <time.h>

G_BEGIN_DECLS

typedef struct {
    gint zoom;             /* 1, 2 or 4 */
    gint pip;              /* 0 (off), 2 or 4 */
    gint origin_x;         /* core pixels */
    gint origin_y;         /* core pixels */
    gint shutter_movement; /* 0 or 1 */
    guint nuc_count;       /* fast NUCs run so far */
} CoreState;

void core_state_defaults(CoreState *state);

/* Reads key=value lines into `state`; values out of range are ignored. */
void core_state_parse(const gchar *text, CoreState *state);

/* The state file of the core under the sysroot (MRVDC_SYSROOT), or under / without one.
 * The caller frees it. */
gchar *core_state_path(void);

/* Follows the state file: re-reads it when it has changed since the last look. */
typedef struct {
    gchar *path;
    dev_t dev;
    ino_t ino;
    struct timespec mtime;
    off_t size;
    gboolean present;
} CoreStateWatch;

void core_state_watch_init(CoreStateWatch *watch, const gchar *path);
void core_state_watch_clear(CoreStateWatch *watch);
/* Returns TRUE and fills `state` when the file changed (a vanished file gives defaults). */
gboolean core_state_watch_poll(CoreStateWatch *watch, CoreState *state);

G_END_DECLS

#endif
