/* Draws no-video-input.png, the picture shown while the camera delivers nothing: 1024 x 768,
 * dark grey, a crossed-out camera and a notice.
 * Build and run: cc make-no-video-input.c $(pkg-config --cflags --libs cairo) -lm
 *                && ./a.out no-video-input.png */
#include <cairo.h>
#include <math.h>
#include <stdio.h>

static void centred_text(cairo_t *cr, const char *text, double size, double y, double grey) {
    cairo_text_extents_t ext;
    cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL,
                           size > 30 ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, size);
    cairo_text_extents(cr, text, &ext);
    cairo_move_to(cr, 512.0 - ext.width / 2 - ext.x_bearing, y);
    cairo_set_source_rgb(cr, grey, grey, grey);
    cairo_show_text(cr, text);
}

int main(int argc, char **argv) {
    const char *out = argc > 1 ? argv[1] : "no-video-input.png";
    cairo_surface_t *surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 1024, 768);
    cairo_t *cr = cairo_create(surface);

    cairo_pattern_t *bg = cairo_pattern_create_radial(512, 384, 60, 512, 384, 640);
    cairo_pattern_add_color_stop_rgb(bg, 0, 0.16, 0.16, 0.17);
    cairo_pattern_add_color_stop_rgb(bg, 1, 0.06, 0.06, 0.07);
    cairo_set_source(cr, bg);
    cairo_paint(cr);
    cairo_pattern_destroy(bg);

    /* A camera: body, lens and viewfinder bump, then a stroke across it. */
    cairo_set_line_width(cr, 8);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    cairo_set_source_rgb(cr, 0.72, 0.72, 0.74);
    cairo_rectangle(cr, 422, 250, 180, 120);
    cairo_move_to(cr, 470, 250);
    cairo_line_to(cr, 485, 225);
    cairo_line_to(cr, 539, 225);
    cairo_line_to(cr, 554, 250);
    cairo_stroke(cr);
    cairo_arc(cr, 512, 310, 36, 0, 2 * M_PI);
    cairo_stroke(cr);
    cairo_set_source_rgb(cr, 0.80, 0.20, 0.18);
    cairo_set_line_width(cr, 12);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_move_to(cr, 400, 395);
    cairo_line_to(cr, 624, 205);
    cairo_stroke(cr);

    centred_text(cr, "NO VIDEO INPUT", 48, 470, 0.85);
    centred_text(cr, "The camera core delivers no picture", 22, 515, 0.55);

    cairo_destroy(cr);
    cairo_status_t status = cairo_surface_write_to_png(surface, out);
    cairo_surface_destroy(surface);
    if (status != CAIRO_STATUS_SUCCESS) {
        fprintf(stderr, "cannot write %s: %s\n", out, cairo_status_to_string(status));
        return 1;
    }
    return 0;
}
