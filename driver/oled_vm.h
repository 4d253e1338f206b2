/* SPDX-License-Identifier: GPL-2.0 */
/*
 * The object that the platform's display driver exports for the panel
 * driver: the current video format index, the hook it calls when that
 * format changes, and its framebuffer.  Only these leading members are
 * relied upon; their order matches the display driver's definition.
 */
#ifndef OLED_VM_H
#define OLED_VM_H

struct fb_info;

struct oled_vm {
	int video_format;
	int (*set_video_format)(int format);
	struct fb_info *fbi;
};

extern struct oled_vm oled_vm;

#endif /* OLED_VM_H */
