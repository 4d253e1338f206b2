// SPDX-License-Identifier: GPL-2.0
/*
 * uoledmod: module parameters, the two display slots, the module-wide lock
 * and shared GPIO lines, and the constant command parameter blocks.
 */
#include <linux/compiler.h>
#include <linux/errno.h>
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/moduleparam.h>

#include "uoled.h"

/*
 * An int parameter that refuses values outside [min, max]: parsed as
 * param_set_int does (kstrtoint, base 0), stored only when in range.
 */
static int oled_param_set_bounded(const char *val,
				  const struct kernel_param *kp,
				  int min, int max)
{
	int value;
	int ret = kstrtoint(val, 0, &value);

	if (ret)
		return ret;
	if (value < min || value > max)
		return -EINVAL;
	WRITE_ONCE(*(int *)kp->arg, value);
	return 0;
}

/* A register address of the panel's 16-bit address space */
static int oled_param_set_work_reg(const char *val,
				   const struct kernel_param *kp)
{
	return oled_param_set_bounded(val, kp, 0, OLED_REG_ADDR_MAX);
}

/* Negative means no wait; more than a second is refused */
static int oled_param_set_blank_delay(const char *val,
				      const struct kernel_param *kp)
{
	return oled_param_set_bounded(val, kp, INT_MIN, OLED_BLANK_DELAY_MAX_MS);
}

static const struct kernel_param_ops oled_work_reg_ops = {
	.set = oled_param_set_work_reg,
	.get = param_get_int,
};

static const struct kernel_param_ops oled_blank_delay_ops = {
	.set = oled_param_set_blank_delay,
	.get = param_get_int,
};

int work_reg;
module_param_cb(work_reg, &oled_work_reg_ops, &work_reg, 0660);
__MODULE_PARM_TYPE(work_reg, "int");
MODULE_PARM_DESC(work_reg, "Register address for raw read/write ops");

int rgbw_en = 1;
module_param(rgbw_en, int, 0440);
MODULE_PARM_DESC(rgbw_en, "Add/Remove the RGBW feature from the init procedure");

int offset_input[6];
module_param_array(offset_input, int, NULL, 0);
MODULE_PARM_DESC(offset_input, "Starting offset based on oled addres: format <addr>,<x>,<y>");

int blank_delay_ms = 50;
module_param_cb(blank_delay_ms, &oled_blank_delay_ops, &blank_delay_ms, 0660);
__MODULE_PARM_TYPE(blank_delay_ms, "int");
MODULE_PARM_DESC(blank_delay_ms, "The blank delay in ms, used if blanking is en");

int antistick_value = 10;
module_param(antistick_value, int, 0440);
MODULE_PARM_DESC(antistick_value, "Shift range in px, (each shift is 1px)");

int antistick_time = 2;
module_param(antistick_time, int, 0440);
MODULE_PARM_DESC(antistick_time, "The time between antistick shifts measured in frames");

int antistick_en = 1;
module_param(antistick_en, int, 0440);
MODULE_PARM_DESC(antistick_en, "En/Disables horizontal and vertical antistick options");

int blank_en = 1;
module_param(blank_en, int, 0440);
MODULE_PARM_DESC(blank_en, "En/Disable blanking as a whole is enabled");

struct oled_data oled_data_arr[OLED_MAX_DISPLAYS];
u8 oled_data_taken[OLED_MAX_DISPLAYS];
/* Serialises probe and every panel or GPIO access of both displays */
struct mutex oled_lock;
struct oled_offset_input oled_offset_inputs[OLED_MAX_DISPLAYS];

/* Lines shared by both displays: requested once, by the first one */
int global_power_gpio = -1;
int global_power_gpio_active_state = 1;
int global_blank_gpio = -1;
int global_blank_gpio_active_state = 1;

/* Video input block every probe starts from; byte 0 is the format code */
u8 VIDEO_FORMAT[VIDEO_INPUT_LEN] = { 0x01 };

const u8 FW_PARAMS[7] = { 0x50, 0x04, 0x00, 0x3B, 0x00, 0x40, 0x00 };
const u8 LUT_PARAMS_RAW[5] = { 0x50, 0x00, 0x50, 0x00, 0x28 };
const u8 LUT_PARAMS[5] = { 0x50, 0x01, 0x00, 0x01, 0x68 };
const u8 TEMP_REGULATION_UPDATE[6] = { 0x50, 0x00, 0x78, 0x00, 0x17, 0x00 };
const u8 SERIAL_PARAMS[8] = { 0x50, 0x00, 0x00, 0x00, 0x20, 0x3B, 0x00, 0x00 };
const u8 RGBW_VIDEO_4PIXL_MGNT_MAX_x[8] = {
	0x03, 0xF0, 0x03, 0xF0, 0x03, 0xF0, 0x03, 0xF0
};

/* Shared by both displays: an initialisation sends the last luminance set */
u8 SET_LUMINANCE[3] = { 0x00, 0xC8, 0x00 };

/* Gamma word for requested luminances 5i..5i+4 below the gamma limit */
const u16 GAMMA_APPROXIMATION_TBL[GAMMA_TBL_LEN] = {
	105, 218, 299, 359, 409, 453, 492, 527, 561, 592,
	621, 648, 675, 700, 724, 747, 769, 790, 811, 831,
	851, 870, 889, 907, 924, 942, 959, 975, 991, 1007,
};
