/* Drawing of the overlay scene with cairo and librsvg, and its blending into video frames. */
#ifndef MRV_OVERLAY_RENDER_H
#define MRV_OVERLAY_RENDER_H

#include <cairo.h>
#include <glib.h>
#include <gst/video/video.h>
#include <librsvg/rsvg.h>

#include "overlay_scene.h"

G_BEGIN_DECLS

/* The scene is laid out in display pixels of a 1024 x 768 picture; other frame sizes are
 * drawn scaled. */
#define OVERLAY_DISPLAY_WIDTH 1024.0
#define OVERLAY_DISPLAY_HEIGHT 768.0

typedef struct {
    cairo_surface_t *surface; /* premultiplied ARGB, frame size */
    gint width, height;
    guint8 *row_used; /* rows with anything drawn, to skip the empty ones when blending */
    gchar *document_dir;
    gchar *image_path; /* the reticle image loaded into `image`, resolved */
    RsvgHandle *image;
    gboolean image_failed;
} OverlayRenderer;

void overlay_renderer_init(OverlayRenderer *renderer);
void overlay_renderer_clear(OverlayRenderer *renderer);

/* Relative reticle paths are taken relative to the overlay document's folder. */
void overlay_renderer_set_document(OverlayRenderer *renderer, const gchar *document);

/* Where a reticle SRC leads: "file://" is dropped; an absolute path is looked for under
 * $MRVDC_SYSROOT first, then as given; a relative path is taken from `document_dir`. */
gchar *overlay_resolve_source(const gchar *source, const gchar *document_dir);

/* Draws the scene for frames of `width` x `height`. Returns a message (freed by the caller)
 * the first time a reticle image cannot be loaded, else NULL. */
gchar *overlay_renderer_draw(OverlayRenderer *renderer, const OverlayScene *scene, gint width,
                             gint height, gint64 now);

/* Blends what was drawn over a frame of RGBA, RGBx, BGRA or BGRx pictures. */
void overlay_renderer_blend(const OverlayRenderer *renderer, GstVideoFrame *frame);

G_END_DECLS

#endif
