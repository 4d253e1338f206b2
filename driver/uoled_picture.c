// SPDX-License-Identifier: GPL-2.0
/*
 * uoledmod: picture controls of a panel.
 *
 * Luminance (with gamma compensation below the gamma limit), temperature,
 * RGB correction, the video input block (format, test pattern, offsets),
 * the crop window, the test-pattern kind and the display driver's format
 * hook.  Every operation except the hook expects oled_lock to be held and
 * caches in the display's record only what the panel accepted, so that
 * attribute shows need no bus access.
 */
#include <linux/compiler.h>
#include <linux/console.h>
#include <linux/delay.h>
#include <linux/errno.h>
#include <linux/i2c.h>
#include <linux/string.h>
#include <linux/workqueue.h>

#include "uoled.h"

#define VI_OFFSET_SIGN		0x8000
#define VI_OFFSET_MAX		OLED_OFFSET_MAX

/* Sign and 10-bit magnitude, saturated at 1023 */
u16 offset_int_to_u16(int v)
{
	if (v >= 1024)
		return VI_OFFSET_MAX;
	if (v <= -1024)
		return VI_OFFSET_SIGN | VI_OFFSET_MAX;
	if (v >= 0)
		return v;
	return VI_OFFSET_SIGN | -v;
}

void set_offset(u8 *block, int x, int y)
{
	u16 wx = offset_int_to_u16(x);
	u16 wy = offset_int_to_u16(y);

	block[VI_OFFSET_X] = wx >> 8;
	block[VI_OFFSET_X + 1] = wx & 0xFF;
	block[VI_OFFSET_Y] = wy >> 8;
	block[VI_OFFSET_Y + 1] = wy & 0xFF;
}

static int offset_u16_to_int(const u8 *word)
{
	int magnitude = ((word[0] << 8) | word[1]) & VI_OFFSET_MAX;

	return (word[0] & 0x80) ? -magnitude : magnitude;
}

void get_offset(const u8 *block, int *x, int *y)
{
	*x = offset_u16_to_int(&block[VI_OFFSET_X]);
	*y = offset_u16_to_int(&block[VI_OFFSET_Y]);
}

int oled_update_temperature_coeff(struct i2c_client *client)
{
	return oled_run_cmd(client, OLED_CMD_TEMP_REGULATION,
			    TEMP_REGULATION_UPDATE,
			    sizeof(TEMP_REGULATION_UPDATE));
}

int oled_set_luminance(struct i2c_client *client, u8 luminance)
{
	if (oled_update_temperature_coeff(client))
		return -1;
	SET_LUMINANCE[1] = luminance;
	return oled_run_cmd(client, OLED_CMD_LUMINANCE, SET_LUMINANCE,
			    sizeof(SET_LUMINANCE));
}

int oled_set_lum_with_gamma(struct i2c_client *client, u8 luminance)
{
	static const u16 gamma_regs[] = {
		REG_GAMMA_0, REG_GAMMA_1, REG_GAMMA_2, REG_GAMMA_3
	};
	u16 gamma = GAMMA_FULL_SCALE;
	u8 panel_lum = luminance;
	int i;

	if (luminance < GAMMA_LUM_LIMIT) {
		gamma = GAMMA_APPROXIMATION_TBL[luminance / 5];
		panel_lum = GAMMA_LUM_LIMIT;
	}
	dev_info(&client->dev,
		 "choosing gamma=%d for lum=%d, lum to display=%d\r\n",
		 gamma, luminance, panel_lum);
	if (oled_set_luminance(client, panel_lum))
		return -1;
	for (i = 0; i < ARRAY_SIZE(gamma_regs); i++) {
		if (oled_write_reg_8(client, gamma_regs[i], gamma >> 8))
			return -1;
		if (oled_write_reg_8(client, gamma_regs[i] + 1, gamma & 0xFF))
			return -1;
	}
	return 0;
}

int oled_get_temperature(struct i2c_client *client, u8 *temperature)
{
	if (oled_hold_it(client))
		return -1;
	if (oled_exe_cmd(client, OLED_CMD_GET_TEMPERATURE))
		return -1;
	if (oled_hold_it(client))
		return -1;
	if (oled_read_reg_8(client, REG_CMD_PARAM + 3, temperature))
		return -1;
	return oled_release(client);
}

int oled_set_rgb_command(struct i2c_client *client, const u8 *block)
{
	return oled_run_cmd(client, OLED_CMD_RGB_CORRECTION, block,
			    RGB_CORRECTION_LEN);
}

static bool rgb_gain_ok(int gain)
{
	return gain >= OLED_RGB_GAIN_MIN && gain <= OLED_RGB_GAIN_MAX;
}

static bool rgb_offset_ok(int offset)
{
	return offset >= -OLED_RGB_OFFSET_MAX && offset <= OLED_RGB_OFFSET_MAX;
}

int oled_set_rgb_correction(struct oled_data *data, int red_gain,
			    int green_gain, int blue_gain, int red_offset,
			    int green_offset, int blue_offset)
{
	struct i2c_client *client = data->client;
	u8 block[RGB_CORRECTION_LEN] = { 0 };
	int ret, i;

	if (!rgb_gain_ok(red_gain) || !rgb_gain_ok(green_gain) ||
	    !rgb_gain_ok(blue_gain) || !rgb_offset_ok(red_offset) ||
	    !rgb_offset_ok(green_offset) || !rgb_offset_ok(blue_offset))
		return -EINVAL;

	dev_info(&client->dev,
		 "red_gain: %d, green_gain: %d, blue_gain:%d, \t\t\tred_offset:%d, green_offset: %d, blue_offset:%d\n",
		 red_gain, green_gain, blue_gain,
		 red_offset, green_offset, blue_offset);

	/* Correction off first; only a non-zero correction is switched on */
	ret = oled_set_rgb_command(client, block);
	if (ret)
		return ret;
	if (!red_gain && !green_gain && !blue_gain &&
	    !red_offset && !green_offset && !blue_offset) {
		memcpy(data->rgb_correction, block, RGB_CORRECTION_LEN);
		return 0;
	}

	block[1] = (u8)red_gain;
	block[2] = (u8)green_gain;
	block[3] = (u8)blue_gain;
	block[4] = ((u16)red_offset >> 8) & 0xFF;
	block[5] = red_offset & 0xFF;
	block[6] = ((u16)green_offset >> 8) & 0xFF;
	block[7] = green_offset & 0xFF;
	block[8] = ((u16)blue_offset >> 8) & 0xFF;
	block[9] = blue_offset & 0xFF;
	for (i = 1; i < RGB_CORRECTION_LEN; i++)
		dev_info(&client->dev, "rgb arr[%d] = %u\n", i, block[i]);

	oled_wait_ms(100);
	block[0] = 1;
	ret = oled_set_rgb_command(client, block);
	if (ret)
		return ret;
	memcpy(data->rgb_correction, block, RGB_CORRECTION_LEN);
	return 0;
}

int oled_set_video_input_format(struct oled_data *data, const u8 *block)
{
	int ret;

	ret = oled_run_cmd(data->client, OLED_CMD_VIDEO_INPUT, block,
			   VIDEO_INPUT_LEN);
	if (ret)
		return ret;
	memcpy(data->video_input, block, VIDEO_INPUT_LEN);
	return 0;
}

int oled_set_pattern(struct oled_data *data, u8 pattern)
{
	u8 block[VIDEO_INPUT_LEN];

	memcpy(block, data->video_input, VIDEO_INPUT_LEN);
	block[VI_PATTERN] = pattern ? VI_PATTERN_ON : VI_PATTERN_OFF;
	data->pattern = pattern ? 1 : 0;
	return oled_set_video_input_format(data, block);
}

int oled_set_offset(struct oled_data *data, int x, int y)
{
	u8 block[VIDEO_INPUT_LEN];

	memcpy(block, data->video_input, VIDEO_INPUT_LEN);
	set_offset(block, x, y);
	return oled_set_video_input_format(data, block);
}

static int oled_format_code(int format)
{
	switch (format) {
	case 0:
		return 0x01;
	case 1:
		return 0x10;
	case 2:
		return 0x12;
	default:
		return -1;
	}
}

int oled_set_video_format(struct oled_data *data, int format)
{
	u8 block[VIDEO_INPUT_LEN];
	int code = oled_format_code(format);

	if (code < 0)
		return -1;
	memcpy(block, data->video_input, VIDEO_INPUT_LEN);
	block[VI_FORMAT] = code;
	return oled_set_video_input_format(data, block);
}

int set_video_format_arr(int format)
{
	int code = oled_format_code(format);

	if (code < 0)
		return -1;
	pr_info("changing oled video format to %d !\n", format);
	VIDEO_FORMAT[VI_FORMAT] = code;
	return 0;
}

/*
 * The format hook runs in the display driver's context, typically under
 * console_lock in its mode-setting or blank path, and even inside this
 * module's own blanking.  Taking oled_lock there would deadlock, so the hook
 * only records the format; a work item applies it to the panels under
 * oled_lock.  A later format replaces one not yet applied.
 */
static int oled_hook_format;

static void oled_video_format_work(struct work_struct *work)
{
	int format = READ_ONCE(oled_hook_format);
	int slot;

	mutex_lock(&oled_lock);
	for (slot = 0; slot < OLED_MAX_DISPLAYS; slot++) {
		struct oled_data *data = &oled_data_arr[slot];

		if (!oled_data_taken[slot])
			continue;
		if (oled_set_video_format(data, format)) {
			dev_err(&data->client->dev,
				"%s Failed to set OLED video format %d\n",
				__func__, format);
			break;
		}
	}
	mutex_unlock(&oled_lock);
}

static DECLARE_WORK(oled_format_work, oled_video_format_work);

/* The hook: never sleeps and takes no lock; -1 for an unknown format */
int oled_set_video_format_to_all(int format)
{
	if (oled_format_code(format) < 0)
		return -1;
	WRITE_ONCE(oled_hook_format, format);
	schedule_work(&oled_format_work);
	return 0;
}

/* The display driver reads and calls the hook slot under console_lock */
void oled_install_format_hook(void)
{
	console_lock();
	if (!oled_vm.set_video_format)
		oled_vm.set_video_format = oled_set_video_format_to_all;
	console_unlock();
}

/*
 * Once the slot is cleared under console_lock no call of the hook is left
 * running, and none can queue the work again: cancelling it then leaves no
 * code of the module to run.  Called without oled_lock, which the work takes.
 */
void oled_withdraw_format_hook(void)
{
	console_lock();
	if (oled_vm.set_video_format == oled_set_video_format_to_all)
		oled_vm.set_video_format = NULL;
	console_unlock();
	cancel_work_sync(&oled_format_work);
}

int oled_set_screen_crop(struct oled_data *data, int x, int y)
{
	struct i2c_client *client = data->client;
	u8 crop[4] = { (x >> 8) & 0xFF, x & 0xFF, (y >> 8) & 0xFF, y & 0xFF };
	int i;

	dev_info(&client->dev, "crop x: %d, y: %d\n", x, y);
	dev_info(&client->dev, "crop x MSB: %d, x LSB: %d\n", crop[0], crop[1]);
	dev_info(&client->dev, "crop y MSB: %d, y LSB: %d\n", crop[2], crop[3]);

	if (oled_set_display_state(client, 0))
		return -1;
	for (i = 0; i < sizeof(crop); i++)
		if (oled_write_reg_8(client, REG_CROP + i, crop[i]))
			return -1;
	if (oled_set_display_state(client, 1))
		return -1;
	data->crop_x = x;
	data->crop_y = y;
	return 0;
}

int oled_set_pattern_type(struct i2c_client *client, int kind)
{
	u16 value;

	if (kind < 1 || kind > 3)
		return -EINVAL;
	if (oled_read_reg_16(client, REG_PATTERN_CTRL, &value))
		return -EIO;
	dev_info(&client->dev, "read in set is: 0x%04x\n", value);
	if (kind == 1)
		value &= 0x1F;
	else if (kind == 2)
		value = (value & 0x0F) | PATTERN_GRAY;
	else
		value = (value & 0x0F) | PATTERN_FULL_WHITE;
	dev_info(&client->dev, "after pattern switch: 0x%04x\n", value);
	if (oled_write_reg_16(client, REG_PATTERN_CTRL, value))
		return -EIO;
	return 0;
}

int oled_get_pattern_type(struct i2c_client *client)
{
	u16 value;

	if (oled_read_reg_16(client, REG_PATTERN_CTRL, &value))
		return -EIO;
	dev_info(&client->dev, "pattern is: 0x%04x\n", value);
	if (value & PATTERN_FULL_WHITE)
		return 3;
	if (value & PATTERN_GRAY)
		return 2;
	return 1;
}
