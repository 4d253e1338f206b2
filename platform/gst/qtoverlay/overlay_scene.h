/* Scene state of the host overlay: the objects of the overlay document and their properties,
 * changed by attribute texts "Object.property:value". */
#ifndef MRV_OVERLAY_SCENE_H
#define MRV_OVERLAY_SCENE_H

#include <glib.h>

G_BEGIN_DECLS

typedef struct {
    /* ReticleMenu.retProfParam */
    gboolean reticle_shown; /* STATE */
    double x, y;            /* X, Y: top left of the reticle image, display pixels */
    double width, height;   /* WIDTH, HEIGHT */
    double dot_x, dot_y;    /* RD_X, RD_Y: centre of the red dot */
    gboolean dot_shown;     /* RD_STATE */
    gint pip_offset_x;      /* Z_OFFSET_X */
    gint pip_offset_y;      /* Z_OFFSET_Y */
    guint8 color[3];        /* COLOR_HEX */
    double opacity;         /* BRIGHT_VAL, 0..1 */
    gchar *source;          /* SRC: the reticle image as sent */

    /* OffMenu.offMenuParams */
    gint lum_level;         /* LUM 0..4 */
    gint zoom_level;        /* ZOOM 0..2: x1, x2, x4 */
    gint pip_zoom_level;    /* PIP_ZOOM 1..2: x2, x4 */
    gint64 nuc_alert_until; /* AUTO_NUC_ALRT shown until this monotonic time (us), 0: not */

    /* FtrMenu */
    gboolean pip_shown;     /* pipSt */
    gboolean leveler_shown; /* lvlSt */
} OverlayScene;

/* How long the NUC indication stays after AUTO_NUC_ALRT. */
#define OVERLAY_NUC_ALERT_US (2 * G_USEC_PER_SEC)

void overlay_scene_init(OverlayScene *scene);
void overlay_scene_clear(OverlayScene *scene);

/* Applies one attribute text. A text that is not understood in full changes nothing: the
 * result is FALSE and `error` (freed by the caller) says why. `now` is the monotonic time. */
gboolean overlay_scene_apply(OverlayScene *scene, const gchar *text, gint64 now, gchar **error);

G_END_DECLS

#endif
