#include "scene.h"

#include <math.h>
#include <string.h>

/* --- still part ------------------------------------------------------------------------ */

static guint32 lattice_hash(gint x, gint y) {
    guint32 h = (guint32)x * 374761393u + (guint32)y * 668265263u;
    h = (h ^ (h >> 13)) * 1274126177u;
    return h ^ (h >> 16);
}

/* Smooth value noise in 0..1 with features about one lattice unit wide. */
static double value_noise(double x, double y) {
    double fx = floor(x), fy = floor(y);
    gint ix = (gint)fx, iy = (gint)fy;
    double tx = x - fx, ty = y - fy;
    tx = tx * tx * (3.0 - 2.0 * tx);
    ty = ty * ty * (3.0 - 2.0 * ty);
    double a = (lattice_hash(ix, iy) & 0xffff) / 65535.0;
    double b = (lattice_hash(ix + 1, iy) & 0xffff) / 65535.0;
    double c = (lattice_hash(ix, iy + 1) & 0xffff) / 65535.0;
    double d = (lattice_hash(ix + 1, iy + 1) & 0xffff) / 65535.0;
    double top = a + (b - a) * tx;
    double bottom = c + (d - c) * tx;
    return top + (bottom - top) * ty;
}

static double horizon_at(gint x) {
    return 170.0 + 6.0 * sin(x / 90.0) + 3.0 * sin(x / 23.0);
}

static guint8 clamp_level(double v) {
    if (v < 0.0) {
        return 0;
    }
    if (v > 255.0) {
        return 255;
    }
    return (guint8)(v + 0.5);
}

/* Building on the right of the horizon: a block with a few warm windows. */
static gboolean building_level(gint x, gint y, double horizon, double *level) {
    const gint left = 430, right = 520, top = 118;
    if (x < left || x > right || y < top || y > horizon + 4) {
        return FALSE;
    }
    if (y < top + 4) {
        *level = 122.0; /* roof edge, warmed by the day */
        return TRUE;
    }
    gint wx = (x - left - 8) % 20, wy = (y - top - 10) % 18;
    gboolean window =
        x > left + 6 && x < right - 6 && y < horizon - 6 && wx >= 0 && wx < 9 && wy >= 0 && wy < 10;
    *level = window ? 168.0 : 104.0;
    return TRUE;
}

static double still_level(gint x, gint y) {
    double horizon = horizon_at(x);
    double level;
    if (building_level(x, y, horizon, &level)) {
        return level;
    }
    if (y < horizon) {
        /* Cold sky, a little warmer near the horizon, faint clouds. */
        double sky = 26.0 + 24.0 * (y / horizon) + 8.0 * (value_noise(x / 70.0, y / 22.0) - 0.5);
        /* A tree line on the left part of the horizon. */
        double tree_top = horizon - (10.0 + 16.0 * value_noise(x / 11.0, 7.3));
        if (x < 320 && y >= tree_top) {
            return 86.0 + 14.0 * (value_noise(x / 4.0, y / 4.0) - 0.5);
        }
        return sky;
    }
    /* A fence across the right half of the field, posts warmer than the wire. */
    if (x >= 360 && x <= 624 && y >= 292 && y <= 318) {
        if ((x - 360) % 24 < 3) {
            return 124.0;
        }
        if (y == 298 || y == 308) {
            return 108.0;
        }
    }
    /* Boulders near the middle of the field, still warm from the sun. */
    double bx = (x - 452.0) / 14.0, by = (y - 346.0) / 9.0;
    if (bx * bx + by * by < 1.0) {
        return 136.0 - 20.0 * by;
    }
    double cx = (x - 474.0) / 8.0, cy = (y - 351.0) / 6.0;
    if (cx * cx + cy * cy < 1.0) {
        return 128.0 - 14.0 * cy;
    }
    /* Ground: warmer towards the viewer, textured at two scales. */
    double depth = (y - horizon) / (SCENE_HEIGHT - horizon);
    double ground = 70.0 + 28.0 * depth + 20.0 * (value_noise(x / 40.0, y / 18.0) - 0.5) +
                    9.0 * (value_noise(x / 7.0, y / 5.0) - 0.5);
    /* A track from the bottom left towards the horizon, a little warmer than the field. */
    double t = (y - horizon) / (SCENE_HEIGHT - horizon);
    double centre = 330.0 + (150.0 - 330.0) * t;
    double half_width = 3.0 + 34.0 * t;
    if (fabs(x - centre) < half_width) {
        ground = 98.0 + 5.0 * (value_noise(x / 5.0, y / 5.0) - 0.5);
    }
    return ground;
}

void scene_init(Scene *scene) {
    for (gint y = 0; y < SCENE_HEIGHT; y++) {
        for (gint x = 0; x < SCENE_WIDTH; x++) {
            scene->background[y * SCENE_WIDTH + x] = clamp_level(still_level(x, y));
        }
    }
    memcpy(scene->sensor, scene->background, sizeof scene->sensor);
    scene->noise_state = 0x9e3779b9u;
}

/* --- moving targets ----------------------------------------------------------------------- */

static void blend(guint8 *pixel, double level, double coverage) {
    if (coverage <= 0.0) {
        return;
    }
    if (coverage > 1.0) {
        coverage = 1.0;
    }
    *pixel = clamp_level(*pixel + (level - *pixel) * coverage);
}

static void draw_ellipse(guint8 *sensor, double cx, double cy, double rx, double ry, double level) {
    gint x0 = MAX(0, (gint)floor(cx - rx - 1)), x1 = MIN(SCENE_WIDTH - 1, (gint)ceil(cx + rx + 1));
    gint y0 = MAX(0, (gint)floor(cy - ry - 1)), y1 = MIN(SCENE_HEIGHT - 1, (gint)ceil(cy + ry + 1));
    double edge = MIN(rx, ry);
    for (gint y = y0; y <= y1; y++) {
        for (gint x = x0; x <= x1; x++) {
            double dx = (x - cx) / rx, dy = (y - cy) / ry;
            double e = sqrt(dx * dx + dy * dy);
            blend(&sensor[y * SCENE_WIDTH + x], level, (1.0 - e) * edge + 0.5);
        }
    }
}

static void draw_box(guint8 *sensor, double left, double top, double right, double bottom,
                     double level) {
    gint x0 = MAX(0, (gint)ceil(left)), x1 = MIN(SCENE_WIDTH - 1, (gint)floor(right));
    gint y0 = MAX(0, (gint)ceil(top)), y1 = MIN(SCENE_HEIGHT - 1, (gint)floor(bottom));
    for (gint y = y0; y <= y1; y++) {
        for (gint x = x0; x <= x1; x++) {
            sensor[y * SCENE_WIDTH + x] = clamp_level(level);
        }
    }
}

/* Position along a path that wraps around the picture with `margin` pixels off-screen. */
static double wrap_path(double start, double speed, double seconds, double margin) {
    double span = SCENE_WIDTH + 2.0 * margin;
    double p = fmod(start + margin + speed * seconds, span);
    if (p < 0) {
        p += span;
    }
    return p - margin;
}

static void draw_targets(guint8 *sensor, double t) {
    /* A person walking to the right. */
    double px = wrap_path(120.0, 22.0, t, 20.0);
    double sway = 1.5 * sin(t * 6.0);
    draw_ellipse(sensor, px, 302.0, 6.0, 16.0, 212.0);
    draw_ellipse(sensor, px + 1.0, 281.0, 4.5, 5.0, 226.0);
    draw_ellipse(sensor, px - 2.0 + sway, 322.0, 2.5, 7.0, 198.0);
    draw_ellipse(sensor, px + 2.0 - sway, 322.0, 2.5, 7.0, 198.0);

    /* A deer crossing to the left near the tree line. */
    double dx = wrap_path(520.0, -14.0, t, 40.0);
    draw_ellipse(sensor, dx, 236.0, 17.0, 8.0, 188.0);
    draw_ellipse(sensor, dx - 17.0, 226.0, 4.0, 7.0, 196.0);
    draw_ellipse(sensor, dx - 21.0, 219.0, 4.5, 3.0, 205.0);
    draw_box(sensor, dx - 12.0, 242.0, dx - 9.0, 254.0, 176.0);
    draw_box(sensor, dx + 9.0, 242.0, dx + 12.0, 254.0, 176.0);

    /* A vehicle on the near field, engine and wheels hotter than its body. */
    double vx = wrap_path(-60.0, 41.0, t, 60.0);
    draw_box(sensor, vx - 32.0, 372.0, vx + 32.0, 396.0, 148.0);
    draw_box(sensor, vx - 18.0, 360.0, vx + 12.0, 372.0, 132.0);
    draw_ellipse(sensor, vx + 24.0, 382.0, 7.0, 8.0, 238.0);
    draw_ellipse(sensor, vx - 20.0, 398.0, 6.0, 6.0, 178.0);
    draw_ellipse(sensor, vx + 20.0, 398.0, 6.0, 6.0, 178.0);
}

void scene_render_sensor(Scene *scene, double seconds, gboolean animate) {
    memcpy(scene->sensor, scene->background, sizeof scene->sensor);
    draw_targets(scene->sensor, animate ? seconds : 0.0);
    if (!animate) {
        return;
    }
    /* Temporal sensor noise of a few levels. */
    guint32 s = scene->noise_state;
    for (gsize i = 0; i < sizeof scene->sensor; i++) {
        s ^= s << 13;
        s ^= s >> 17;
        s ^= s << 5;
        gint n = (gint)(s & 3u) + (gint)((s >> 2) & 3u) - 3;
        gint v = scene->sensor[i] + n;
        scene->sensor[i] = (guint8)CLAMP(v, 0, 255);
    }
    scene->noise_state = s;
}

/* --- the core's processing ---------------------------------------------------------------- */

static gint clamp_origin(gint v, gint size) {
    return CLAMP(v, 0, size - 1);
}

static gint valid_zoom(gint zoom) {
    return zoom == 2 || zoom == 4 ? zoom : 1;
}

void scene_zoom_source(const CoreState *state, gint x, gint y, gint *sx, gint *sy) {
    gint z = valid_zoom(state->zoom);
    gint ox = clamp_origin(state->origin_x, SCENE_WIDTH);
    gint oy = clamp_origin(state->origin_y, SCENE_HEIGHT);
    /* The window starts so that the origin maps onto itself: window + origin / z = origin. */
    *sx = ox - ox / z + x / z;
    *sy = oy - oy / z + y / z;
}

static gint floor_div(gint a, gint b) {
    return a >= 0 ? a / b : -((-a + b - 1) / b);
}

static void draw_pip(const Scene *scene, const CoreState *state, guint8 *out, gint stride) {
    gint f = state->pip;
    gint ox = clamp_origin(state->origin_x, SCENE_WIDTH);
    gint oy = clamp_origin(state->origin_y, SCENE_HEIGHT);
    for (gint iy = 0; iy < SCENE_PIP_HEIGHT; iy++) {
        gint sy = CLAMP(oy + floor_div(iy - SCENE_PIP_HEIGHT / 2, f), 0, SCENE_HEIGHT - 1);
        const guint8 *row = scene->sensor + sy * SCENE_WIDTH;
        guint8 *dst = out + (SCENE_PIP_Y + iy) * stride + SCENE_PIP_X;
        for (gint ix = 0; ix < SCENE_PIP_WIDTH; ix++) {
            gint sx = CLAMP(ox + floor_div(ix - SCENE_PIP_WIDTH / 2, f), 0, SCENE_WIDTH - 1);
            dst[ix] = row[sx];
        }
    }
    /* A bright frame just outside the inset. */
    gint left = SCENE_PIP_X - 1, right = SCENE_PIP_X + SCENE_PIP_WIDTH;
    gint top = SCENE_PIP_Y - 1, bottom = SCENE_PIP_Y + SCENE_PIP_HEIGHT;
    memset(out + top * stride + left, 255, (gsize)(right - left + 1));
    memset(out + bottom * stride + left, 255, (gsize)(right - left + 1));
    for (gint y = top; y <= bottom; y++) {
        out[y * stride + left] = 255;
        out[y * stride + right] = 255;
    }
}

void scene_apply_core(const Scene *scene, const CoreState *state, guint8 *out, gint stride) {
    gint z = valid_zoom(state->zoom);
    for (gint y = 0; y < SCENE_HEIGHT; y++) {
        gint sx0, sy;
        scene_zoom_source(state, 0, y, &sx0, &sy);
        const guint8 *row = scene->sensor + sy * SCENE_WIDTH;
        guint8 *dst = out + y * stride;
        if (z == 1) {
            memcpy(dst, row, SCENE_WIDTH);
            continue;
        }
        for (gint x = 0; x < SCENE_WIDTH; x++) {
            dst[x] = row[sx0 + x / z];
        }
    }
    if (state->pip == 2 || state->pip == 4) {
        draw_pip(scene, state, out, stride);
    }
}
