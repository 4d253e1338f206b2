// SPDX-License-Identifier: GPL-2.0
/*
 * uoledmod: panel start-up sequence, display on/off and the power line.
 *
 * After every power-up the panel needs the full start-up sequence before it
 * shows a picture: reset and start, firmware and lookup-table parameters,
 * the optional RGB-White steps, temperature regulation, the video input
 * block, the luminance and finally display on.
 */
#include <linux/delay.h>
#include <linux/errno.h>
#include <linux/gpio.h>
#include <linux/i2c.h>
#include <linux/kernel.h>

#include "uoled.h"

int oled_set_display_state(struct i2c_client *client, u8 state)
{
	return oled_run_cmd(client, OLED_CMD_DISPLAY_STATE, &state, 1);
}

static int oled_write_seq(struct i2c_client *client, u16 addr,
			  const u8 *vals, int len)
{
	int i;

	for (i = 0; i < len; i++)
		if (oled_write_reg_8(client, addr, vals[i]))
			return -1;
	return 0;
}

static int oled_rgbw_enable(struct i2c_client *client)
{
	int i;

	oled_wait_ms(50);
	dev_warn(&client->dev, "RGB-White enabled!!\n");
	if (oled_write_reg_8(client, REG_RGBW_A, 0x00))
		return -1;
	if (oled_write_reg_8(client, REG_RGBW_B, 0x04))
		return -1;
	for (i = 0; i < sizeof(RGBW_VIDEO_4PIXL_MGNT_MAX_x); i++)
		if (oled_write_reg_8(client, REG_RGBW_MGNT + i,
				     RGBW_VIDEO_4PIXL_MGNT_MAX_x[i]))
			return -1;
	return 0;
}

int oled_init(struct oled_data *data)
{
	static const u8 startup_ctrl[] = { 0x00, 0x87, 0x00, 0xA7 };
	struct i2c_client *client = data->client;
	u8 on = 1;

	oled_wait_ms(100);
	if (oled_write_reg_8(client, REG_RESET, 0x01))
		return -1;
	udelay(400);
	if (oled_write_reg_8(client, REG_RESET, 0x03))
		return -1;
	udelay(500);
	if (oled_write_reg_8(client, REG_START, 0x11))
		return -1;
	if (oled_write_reg_8(client, REG_STARTUP_CTRL, 0x27))
		return -1;
	if (oled_poll_it(client, STATUS_STARTUP_DONE))
		return -1;
	if (oled_write_reg_8(client, REG_STARTUP_A, 0xC0))
		return -1;
	if (oled_write_reg_8(client, REG_STARTUP_B, 0x60))
		return -1;
	if (oled_run_cmd(client, OLED_CMD_PARAMS, FW_PARAMS, sizeof(FW_PARAMS)))
		return -1;
	if (oled_write_seq(client, REG_STARTUP_CTRL, startup_ctrl,
			   sizeof(startup_ctrl)))
		return -1;
	if (oled_poll_it(client, STATUS_STARTUP_DONE))
		return -1;
	if (oled_run_cmd(client, OLED_CMD_LUT, LUT_PARAMS_RAW,
			 sizeof(LUT_PARAMS_RAW)))
		return -1;
	if (oled_run_cmd(client, OLED_CMD_LUT, LUT_PARAMS, sizeof(LUT_PARAMS)))
		return -1;

	if (rgbw_en) {
		if (oled_rgbw_enable(client))
			return -1;
	} else {
		dev_warn(&client->dev, "skipping RGB-White enable sequence\n");
	}

	if (oled_update_temperature_coeff(client))
		return -1;

	/* Pattern control back to its start-up value, under the same hold */
	if (oled_hold_it(client))
		return -1;
	if (oled_write_reg_8(client, REG_PATTERN_CTRL, 0x00))
		return -1;
	if (oled_write_reg_8(client, REG_PATTERN_CTRL + 1, 0x04))
		return -1;
	if (oled_write_params(client, data->video_input, VIDEO_INPUT_LEN))
		return -1;
	if (oled_exe_cmd(client, OLED_CMD_VIDEO_INPUT))
		return -1;

	if (oled_run_cmd(client, OLED_CMD_LUMINANCE, SET_LUMINANCE,
			 sizeof(SET_LUMINANCE)))
		return -1;
	data->luminance = SET_LUMINANCE[1];

	if (oled_run_cmd(client, OLED_CMD_DISPLAY_STATE, &on, 1))
		return -1;
	data->display_on = 1;

	dev_info(&client->dev, "%s: display initialized\r\n", "oled_init");
	return 0;
}

static struct oled_data *oled_slot_data(int slot)
{
	return oled_data_taken[slot] ? &oled_data_arr[slot] : NULL;
}

/* A shared power line cuts both displays: bring up every bound one */
static int oled_reinit_all(void)
{
	int slot;

	for (slot = 0; slot < OLED_MAX_DISPLAYS; slot++) {
		struct oled_data *d = oled_slot_data(slot);

		if (!d)
			continue;
		if (oled_init(d)) {
			dev_err(&d->client->dev,
				"Failed to init oled with addr 0x%02x\n",
				d->client->addr);
			return -EIO;
		}
	}
	return 0;
}

/* Drive the power line; a switch from off to on brings the panel up */
static int oled_switch_power(struct oled_data *data, int requested)
{
	int previous, inactive;

	previous = !!gpio_get_value(data->pwon_gpio);
	gpio_set_value(data->pwon_gpio,
		       data->pwon_active ? requested : !requested);

	inactive = data->pwon_active ? 0 : 1;
	if (previous != inactive || !requested)
		return 0;

	if (global_power_gpio != -1)
		return oled_reinit_all();
	if (oled_init(data)) {
		dev_err(&data->client->dev, "Failed to init oled\n");
		return -EIO;
	}
	return 0;
}

ssize_t attr_store_power_on(struct device *dev, struct device_attribute *attr,
			    const char *buf, size_t count)
{
	struct oled_data *data = dev_get_drvdata(dev);
	unsigned int val;
	int ret;

	/* A text that is refused leaves the line and the picture alone */
	if (oled_parse_uint(buf, count, UINT_MAX, &val)) {
		dev_err(dev, "Failed to get input -- valid options are 0/1");
		return -EINVAL;
	}
	mutex_lock(&oled_lock);
	if (blank_en)
		start_blank(oled_vm.fbi, data);
	ret = oled_switch_power(data, val ? 1 : 0);
	if (blank_en)
		stop_blank(oled_vm.fbi, data);
	mutex_unlock(&oled_lock);
	return ret ? ret : count;
}

ssize_t attr_show_power_on(struct device *dev, struct device_attribute *attr,
			   char *buf)
{
	struct oled_data *data = dev_get_drvdata(dev);
	int level;

	mutex_lock(&oled_lock);
	level = !!gpio_get_value(data->pwon_gpio);
	mutex_unlock(&oled_lock);
	return scnprintf(buf, PAGE_SIZE, "%u\n",
			 level == data->pwon_active ? 1 : 0);
}
