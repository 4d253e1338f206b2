#include "overlay_render.h"

#include <math.h>
#include <string.h>

/* The camera core's PIP inset (160 x 120 core pixels at the top centre, 8 pixels down) in
 * display pixels: core pixels times 1.6. */
#define PIP_X (240 * 1.6)
#define PIP_Y (8 * 1.6)
#define PIP_WIDTH (160 * 1.6)
#define PIP_HEIGHT (120 * 1.6)
#define DOT_RADIUS 4.0

void overlay_renderer_init(OverlayRenderer *renderer) {
    memset(renderer, 0, sizeof *renderer);
}

void overlay_renderer_clear(OverlayRenderer *renderer) {
    if (renderer->surface) {
        cairo_surface_destroy(renderer->surface);
    }
    g_free(renderer->row_used);
    g_free(renderer->document_dir);
    g_free(renderer->image_path);
    g_clear_object(&renderer->image);
    memset(renderer, 0, sizeof *renderer);
}

void overlay_renderer_set_document(OverlayRenderer *renderer, const gchar *document) {
    g_free(renderer->document_dir);
    renderer->document_dir = document ? g_path_get_dirname(document) : NULL;
}

gchar *overlay_resolve_source(const gchar *source, const gchar *document_dir) {
    if (!source || !*source) {
        return NULL;
    }
    if (g_str_has_prefix(source, "file://")) {
        source += strlen("file://");
    }
    if (g_path_is_absolute(source)) {
        const gchar *root = g_getenv("MRVDC_SYSROOT");
        if (root && *root) {
            gchar *inside = g_build_filename(root, source, NULL);
            if (g_file_test(inside, G_FILE_TEST_IS_REGULAR)) {
                return inside;
            }
            g_free(inside);
        }
        return g_strdup(source);
    }
    return g_build_filename(document_dir ? document_dir : ".", source, NULL);
}

/* Loads the reticle image if it changed; returns a message when it cannot be loaded. */
static gchar *load_image(OverlayRenderer *renderer, const gchar *source) {
    gchar *path = overlay_resolve_source(source, renderer->document_dir);
    if (g_strcmp0(path, renderer->image_path) == 0) {
        g_free(path);
        return NULL;
    }
    g_free(renderer->image_path);
    renderer->image_path = path;
    g_clear_object(&renderer->image);
    renderer->image_failed = FALSE;
    if (!path) {
        return NULL;
    }
    GError *error = NULL;
    renderer->image = rsvg_handle_new_from_file(path, &error);
    if (!renderer->image) {
        renderer->image_failed = TRUE;
        gchar *message = g_strdup_printf("cannot load reticle image %s (%s)", path,
                                         error ? error->message : "unknown error");
        g_clear_error(&error);
        return message;
    }
    return NULL;
}

static void draw_reticle(OverlayRenderer *renderer, cairo_t *cr, const OverlayScene *scene) {
    if (!scene->reticle_shown || !renderer->image || scene->width <= 0 || scene->height <= 0) {
        return;
    }
    /* The image gives the shape; the colour and opacity are the scene's. */
    RsvgRectangle viewport = {scene->x, scene->y, scene->width, scene->height};
    cairo_push_group(cr);
    rsvg_handle_render_document(renderer->image, cr, &viewport, NULL);
    cairo_pattern_t *shape = cairo_pop_group(cr);
    cairo_set_source_rgba(cr, scene->color[0] / 255.0, scene->color[1] / 255.0,
                          scene->color[2] / 255.0, scene->opacity);
    cairo_mask(cr, shape);
    cairo_pattern_destroy(shape);
}

static void draw_dot(cairo_t *cr, const OverlayScene *scene) {
    if (!scene->dot_shown) {
        return;
    }
    cairo_arc(cr, scene->dot_x, scene->dot_y, DOT_RADIUS, 0, 2 * G_PI);
    cairo_set_source_rgb(cr, 1.0, 0.0, 0.0);
    cairo_fill(cr);
}

/* Light text with a dark rim, readable on any part of the picture. */
static void draw_label(cairo_t *cr, double x, double y, const gchar *text) {
    cairo_select_font_face(cr, "Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
    cairo_set_font_size(cr, 22.0);
    cairo_move_to(cr, x, y);
    cairo_text_path(cr, text);
    cairo_set_source_rgba(cr, 0.0, 0.0, 0.0, 0.7);
    cairo_set_line_width(cr, 3.0);
    cairo_stroke_preserve(cr);
    cairo_set_source_rgb(cr, 0.92, 0.92, 0.92);
    cairo_fill(cr);
}

static void draw_brightness(cairo_t *cr, gint level) {
    const double cx = 34.0, cy = 738.0;
    cairo_set_source_rgb(cr, 0.92, 0.92, 0.92);
    cairo_set_line_width(cr, 2.0);
    cairo_arc(cr, cx, cy, 6.0, 0, 2 * G_PI);
    cairo_fill(cr);
    for (gint i = 0; i < 8; i++) {
        double a = i * G_PI / 4;
        cairo_move_to(cr, cx + 9.0 * cos(a), cy + 9.0 * sin(a));
        cairo_line_to(cr, cx + 13.0 * cos(a), cy + 13.0 * sin(a));
    }
    cairo_stroke(cr);
    for (gint i = 0; i < 5; i++) {
        double h = 6.0 + 4.0 * i;
        cairo_rectangle(cr, 56.0 + 12.0 * i, cy + 10.0 - h, 8.0, h);
        if (i <= level) {
            cairo_fill(cr);
        } else {
            cairo_set_line_width(cr, 1.0);
            cairo_stroke(cr);
        }
    }
}

static void draw_pip_marker(cairo_t *cr, const OverlayScene *scene) {
    cairo_set_source_rgba(cr, 0.92, 0.92, 0.92, 0.9);
    cairo_set_line_width(cr, 2.0);
    cairo_rectangle(cr, PIP_X - 3.0, PIP_Y - 3.0, PIP_WIDTH + 6.0, PIP_HEIGHT + 6.0);
    cairo_stroke(cr);
    /* The aim point in the inset, moved by the PIP reticle offset. */
    double cx = PIP_X + PIP_WIDTH / 2 + scene->pip_offset_x;
    double cy = PIP_Y + PIP_HEIGHT / 2 + scene->pip_offset_y;
    cairo_set_source_rgba(cr, scene->color[0] / 255.0, scene->color[1] / 255.0,
                          scene->color[2] / 255.0, MAX(scene->opacity, 0.3));
    cairo_move_to(cr, cx - 10.0, cy);
    cairo_line_to(cr, cx + 10.0, cy);
    cairo_move_to(cr, cx, cy - 10.0);
    cairo_line_to(cr, cx, cy + 10.0);
    cairo_stroke(cr);
    draw_label(cr, PIP_X, PIP_Y + PIP_HEIGHT + 28.0,
               scene->pip_zoom_level == 2 ? "PIP x4" : "PIP x2");
}

static void draw_leveler(cairo_t *cr) {
    const double cx = 512.0, cy = 716.0;
    cairo_set_source_rgba(cr, 0.92, 0.92, 0.92, 0.9);
    cairo_set_line_width(cr, 2.0);
    cairo_move_to(cr, cx - 100.0, cy);
    cairo_line_to(cr, cx + 100.0, cy);
    for (gint i = -2; i <= 2; i++) {
        cairo_move_to(cr, cx + 50.0 * i, cy - (i == 0 ? 12.0 : 6.0));
        cairo_line_to(cr, cx + 50.0 * i, cy + (i == 0 ? 12.0 : 6.0));
    }
    cairo_stroke(cr);
}

static gboolean ensure_surface(OverlayRenderer *renderer, gint width, gint height) {
    if (renderer->surface && renderer->width == width && renderer->height == height) {
        return TRUE;
    }
    if (renderer->surface) {
        cairo_surface_destroy(renderer->surface);
    }
    renderer->surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
    if (cairo_surface_status(renderer->surface) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(renderer->surface);
        renderer->surface = NULL;
        return FALSE;
    }
    renderer->width = width;
    renderer->height = height;
    g_free(renderer->row_used);
    renderer->row_used = g_malloc0((gsize)height);
    return TRUE;
}

static void mark_rows(OverlayRenderer *renderer) {
    cairo_surface_flush(renderer->surface);
    const guint8 *data = cairo_image_surface_get_data(renderer->surface);
    gint stride = cairo_image_surface_get_stride(renderer->surface);
    for (gint y = 0; y < renderer->height; y++) {
        const guint32 *row = (const guint32 *)(data + (gsize)y * stride);
        renderer->row_used[y] = 0;
        for (gint x = 0; x < renderer->width; x++) {
            if (row[x] >> 24) {
                renderer->row_used[y] = 1;
                break;
            }
        }
    }
}

gchar *overlay_renderer_draw(OverlayRenderer *renderer, const OverlayScene *scene, gint width,
                             gint height, gint64 now) {
    if (!ensure_surface(renderer, width, height)) {
        return g_strdup_printf("cannot draw an overlay of %dx%d", width, height);
    }
    gchar *message = load_image(renderer, scene->source);

    cairo_t *cr = cairo_create(renderer->surface);
    cairo_set_operator(cr, CAIRO_OPERATOR_CLEAR);
    cairo_paint(cr);
    cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
    cairo_scale(cr, width / OVERLAY_DISPLAY_WIDTH, height / OVERLAY_DISPLAY_HEIGHT);

    draw_reticle(renderer, cr, scene);
    if (scene->pip_shown) {
        draw_pip_marker(cr, scene);
    }
    if (scene->leveler_shown) {
        draw_leveler(cr);
    }
    static const gchar *zoom_labels[] = {"x1", "x2", "x4"};
    draw_label(cr, 966.0, 40.0, zoom_labels[CLAMP(scene->zoom_level, 0, 2)]);
    if (scene->nuc_alert_until > now) {
        draw_label(cr, 24.0, 40.0, "NUC");
    }
    draw_brightness(cr, scene->lum_level);
    /* The red dot last: nothing covers it. */
    draw_dot(cr, scene);
    cairo_destroy(cr);

    mark_rows(renderer);
    return message;
}

void overlay_renderer_blend(const OverlayRenderer *renderer, GstVideoFrame *frame) {
    if (!renderer->surface || GST_VIDEO_FRAME_WIDTH(frame) != renderer->width ||
        GST_VIDEO_FRAME_HEIGHT(frame) != renderer->height) {
        return;
    }
    const GstVideoFormatInfo *finfo = frame->info.finfo;
    guint r_off = GST_VIDEO_FORMAT_INFO_POFFSET(finfo, GST_VIDEO_COMP_R);
    guint g_off = GST_VIDEO_FORMAT_INFO_POFFSET(finfo, GST_VIDEO_COMP_G);
    guint b_off = GST_VIDEO_FORMAT_INFO_POFFSET(finfo, GST_VIDEO_COMP_B);
    guint8 *pixels = GST_VIDEO_FRAME_PLANE_DATA(frame, 0);
    gint stride = GST_VIDEO_FRAME_PLANE_STRIDE(frame, 0);
    const guint8 *data = cairo_image_surface_get_data(renderer->surface);
    gint src_stride = cairo_image_surface_get_stride(renderer->surface);

    for (gint y = 0; y < renderer->height; y++) {
        if (!renderer->row_used[y]) {
            continue;
        }
        const guint32 *src = (const guint32 *)(data + (gsize)y * src_stride);
        guint8 *dst = pixels + (gsize)y * stride;
        for (gint x = 0; x < renderer->width; x++, dst += 4) {
            guint32 p = src[x];
            guint a = p >> 24;
            if (!a) {
                continue;
            }
            guint keep = 255 - a;
            /* Source channels are premultiplied: out = src + out * (1 - alpha). */
            dst[r_off] = (guint8)(((p >> 16) & 0xff) + (dst[r_off] * keep + 127) / 255);
            dst[g_off] = (guint8)(((p >> 8) & 0xff) + (dst[g_off] * keep + 127) / 255);
            dst[b_off] = (guint8)((p & 0xff) + (dst[b_off] * keep + 127) / 255);
        }
    }
}
