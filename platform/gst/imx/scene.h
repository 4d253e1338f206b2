/* Synthetic thermal scene of the host camera: what the sensor of the thermal core "sees",
 * and what the core does to it (digital zoom about an origin, picture-in-picture inset). */
#ifndef MRV_IMX_SCENE_H
#define MRV_IMX_SCENE_H

#include <glib.h>

#include "core_state.h"

G_BEGIN_DECLS

/* The sensor and the core's output picture: 640 x 480, one luminance byte per pixel,
 * white-hot (warm is bright). */
#define SCENE_WIDTH 640
#define SCENE_HEIGHT 480

/* The PIP inset: a window of the core's output at the top centre that shows the area
 * around the origin magnified by the PIP factor. */
#define SCENE_PIP_WIDTH 160
#define SCENE_PIP_HEIGHT 120
#define SCENE_PIP_X ((SCENE_WIDTH - SCENE_PIP_WIDTH) / 2)
#define SCENE_PIP_Y 8

typedef struct {
    guint8 background[SCENE_WIDTH * SCENE_HEIGHT];
    guint8 sensor[SCENE_WIDTH * SCENE_HEIGHT];
    guint32 noise_state;
} Scene;

/* Prepares the still part of the scene (sky, terrain, buildings). */
void scene_init(Scene *scene);

/* Renders the sensor picture at time `seconds`: the still part, warm targets moving along
 * their paths and a little temporal noise. With `animate` false the targets stay where they
 * are at time 0 and there is no noise, so consecutive pictures are identical. */
void scene_render_sensor(Scene *scene, double seconds, gboolean animate);

/* Applies the core's processing to the sensor picture and writes the result into `out`
 * (SCENE_WIDTH x SCENE_HEIGHT luminance bytes, rows `stride` bytes apart). */
void scene_apply_core(const Scene *scene, const CoreState *state, guint8 *out, gint stride);

/* The sensor pixel that output pixel (x, y) shows at zoom `zoom` about `origin_x`,
 * `origin_y` (core pixels, clamped into the picture). The scene point under the origin
 * stays under it at every zoom factor. */
void scene_zoom_source(const CoreState *state, gint x, gint y, gint *sx, gint *sy);

G_END_DECLS

#endif
