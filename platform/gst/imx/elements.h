/* Element types of the host i.MX plug-in. */
#ifndef MRV_IMX_ELEMENTS_H
#define MRV_IMX_ELEMENTS_H

#include <glib-object.h>

G_BEGIN_DECLS

GType mrv_camera_get_type(void);
GType mrv_g2d_transform_get_type(void);
GType mrv_ipu_transform_get_type(void);
GType mrv_display_sink_get_type(void);
GType mrv_h264_encoder_get_type(void);
GType mrv_mp3_encoder_get_type(void);

G_END_DECLS

#endif
