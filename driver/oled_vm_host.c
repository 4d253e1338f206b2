// SPDX-License-Identifier: GPL-2.0
/*
 * oled_vm for kernels without the sight's display driver.
 *
 * On the sight the display driver exports oled_vm.  Development PCs and the
 * qemu boot test have no such driver, so this module provides the object:
 * a video format index, the hook slot that uoledmod fills, and no
 * framebuffer.  Writing the "video_format" parameter changes the index and
 * calls the installed hook, as the display driver does on a format change;
 * "hook_result" keeps what the hook returned (1 when no hook was set).
 */
#include <linux/module.h>
#include <linux/moduleparam.h>
#include <linux/mutex.h>

#include "oled_vm.h"

struct oled_vm oled_vm;
EXPORT_SYMBOL(oled_vm);

static DEFINE_MUTEX(oled_vm_lock);
static int hook_result = 1;
module_param(hook_result, int, 0444);
MODULE_PARM_DESC(hook_result, "Result of the last format hook call, 1 when no hook was installed");

static int oled_vm_format_set(const char *val, const struct kernel_param *kp)
{
	int format, ret;

	ret = kstrtoint(val, 0, &format);
	if (ret)
		return ret;
	mutex_lock(&oled_vm_lock);
	oled_vm.video_format = format;
	hook_result = oled_vm.set_video_format ?
		      oled_vm.set_video_format(format) : 1;
	mutex_unlock(&oled_vm_lock);
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

MODULE_DESCRIPTION("oled_vm provider for hosts without the sight's display driver");
MODULE_LICENSE("GPL");
