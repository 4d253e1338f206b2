// SPDX-License-Identifier: GPL-2.0
/*
 * Fake I2C bus 0 with the micro-OLED panel model answering at 0x24.
 *
 * For the boot test only: it lets the real panel driver run in a real
 * kernel without the sight's hardware.  Read-only parameters show what the
 * model received, so a test can check what reached the "panel".
 */
#include <linux/i2c.h>
#include <linux/module.h>
#include <linux/moduleparam.h>
#include <linux/vmalloc.h>

#include "../sim/uoled_panel.h"

static struct uoled_panel *panel;

static int fakebus_xfer(struct i2c_adapter *adap, struct i2c_msg *msgs,
			int num)
{
	int i, ret;

	for (i = 0; i < num; i++) {
		if (msgs[i].addr != UOLED_PANEL_ADDR)
			return -ENXIO;
		if (msgs[i].flags & I2C_M_RD)
			ret = uoled_panel_read(panel, msgs[i].buf, msgs[i].len);
		else
			ret = uoled_panel_write(panel, msgs[i].buf, msgs[i].len);
		if (ret < 0)
			return -EREMOTEIO;
	}
	return num;
}

static u32 fakebus_functionality(struct i2c_adapter *adap)
{
	return I2C_FUNC_I2C | I2C_FUNC_SMBUS_EMUL;
}

static const struct i2c_algorithm fakebus_algorithm = {
	.master_xfer = fakebus_xfer,
	.functionality = fakebus_functionality,
};

static struct i2c_adapter fakebus_adapter = {
	.owner = THIS_MODULE,
	.class = I2C_CLASS_HWMON,
	.algo = &fakebus_algorithm,
	.name = "uoled fake bus",
	.nr = 0,
};

enum fakebus_value { FB_LUMINANCE, FB_DISPLAY_ON, FB_FORMAT, FB_PATTERN };

static int fakebus_get(char *buf, const struct kernel_param *kp)
{
	unsigned long which = (unsigned long)kp->arg;

	switch (which) {
	case FB_LUMINANCE:
		return sprintf(buf, "%u\n", panel->luminance);
	case FB_DISPLAY_ON:
		return sprintf(buf, "%u\n", panel->display_on);
	case FB_FORMAT:
		return sprintf(buf, "0x%02x\n", panel->video_input[0]);
	default:
		return sprintf(buf, "0x%04x\n",
			       uoled_panel_reg16(panel, 0x03CA));
	}
}

static const struct kernel_param_ops fakebus_ops = {
	.get = fakebus_get,
};

module_param_cb(luminance, &fakebus_ops, (void *)FB_LUMINANCE, 0444);
MODULE_PARM_DESC(luminance, "Luminance of the panel's last luminance command");
module_param_cb(display_on, &fakebus_ops, (void *)FB_DISPLAY_ON, 0444);
MODULE_PARM_DESC(display_on, "Display state of the panel's last state command");
module_param_cb(format, &fakebus_ops, (void *)FB_FORMAT, 0444);
MODULE_PARM_DESC(format, "Format code of the last video input block");
module_param_cb(pattern_ctrl, &fakebus_ops, (void *)FB_PATTERN, 0444);
MODULE_PARM_DESC(pattern_ctrl, "Pattern control register");

static int __init fakebus_init(void)
{
	int ret;

	panel = vzalloc(sizeof(*panel));
	if (!panel)
		return -ENOMEM;
	uoled_panel_init(panel, NULL, 0);
	ret = i2c_add_numbered_adapter(&fakebus_adapter);
	if (ret)
		vfree(panel);
	return ret;
}

static void __exit fakebus_exit(void)
{
	i2c_del_adapter(&fakebus_adapter);
	vfree(panel);
}

module_init(fakebus_init);
module_exit(fakebus_exit);

MODULE_DESCRIPTION("Fake I2C bus with a micro-OLED panel model, for tests");
MODULE_LICENSE("GPL");
