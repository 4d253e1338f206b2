// SPDX-License-Identifier: GPL-2.0
/*
 * oled_vm for kernels without the sight's display driver.
 *
 * On the sight the display driver exports oled_vm.  Development PCs and the
 * qemu boot test have no such driver, so this module provides the object:
 * a video format index, the hook slot that uoledmod fills, and a
 * framebuffer to blank.  The framebuffer is never registered (no device
 * node, no console on it); blanking it only runs its blank operation.
 *
 * It calls the hook as the display driver does, with console_lock held:
 * writing the "video_format" parameter changes the index and calls the
 * hook, as a mode change does; with "hook_on_blank" set, the blank
 * operation calls it too.  "hook_result" keeps what the hook returned last
 * (1 when no hook was set) and "fb_blanks" counts the blank operations.
 */
#include <linux/console.h>
#include <linux/fb.h>
#include <linux/module.h>
#include <linux/moduleparam.h>

#include "oled_vm.h"

struct oled_vm oled_vm;
EXPORT_SYMBOL(oled_vm);

static int hook_result = 1;
module_param(hook_result, int, 0444);
MODULE_PARM_DESC(hook_result, "Result of the last format hook call, 1 when no hook was installed");

static bool hook_on_blank;
module_param(hook_on_blank, bool, 0644);
MODULE_PARM_DESC(hook_on_blank, "The blank operation calls the format hook with the current format");

static unsigned int fb_blanks;
module_param(fb_blanks, uint, 0444);
MODULE_PARM_DESC(fb_blanks, "Blank operations of the framebuffer");

/* With console_lock held, like every call of the display driver */
static void oled_vm_call_hook(int format)
{
	hook_result = oled_vm.set_video_format ?
		      oled_vm.set_video_format(format) : 1;
}

/* fb_blank() callers hold console_lock */
static int oled_vm_fb_blank(int blank, struct fb_info *info)
{
	fb_blanks++;
	if (hook_on_blank)
		oled_vm_call_hook(oled_vm.video_format);
	return 0;
}

static const struct fb_ops oled_vm_fb_ops = {
	.owner = THIS_MODULE,
	.fb_blank = oled_vm_fb_blank,
};

static int oled_vm_format_set(const char *val, const struct kernel_param *kp)
{
	int format, ret;

	ret = kstrtoint(val, 0, &format);
	if (ret)
		return ret;
	/* A mode change runs under console_lock (fb_set_var) */
	console_lock();
	oled_vm.video_format = format;
	oled_vm_call_hook(format);
	console_unlock();
	return 0;
}

static int oled_vm_format_get(char *buf, const struct kernel_param *kp)
{
	return scnprintf(buf, PAGE_SIZE, "%d\n", oled_vm.video_format);
}

static const struct kernel_param_ops oled_vm_format_ops = {
	.set = oled_vm_format_set,
	.get = oled_vm_format_get,
};
module_param_cb(video_format, &oled_vm_format_ops, NULL, 0644);
MODULE_PARM_DESC(video_format, "Video format index; writing it calls the format hook");

static int __init oled_vm_host_init(void)
{
	oled_vm.fbi = framebuffer_alloc(0, NULL);
	if (!oled_vm.fbi)
		return -ENOMEM;
	oled_vm.fbi->fbops = &oled_vm_fb_ops;
	return 0;
}

static void __exit oled_vm_host_exit(void)
{
	framebuffer_release(oled_vm.fbi);
}

module_init(oled_vm_host_init);
module_exit(oled_vm_host_exit);

MODULE_DESCRIPTION("oled_vm provider for hosts without the sight's display driver");
MODULE_LICENSE("GPL");
