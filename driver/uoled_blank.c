// SPDX-License-Identifier: GPL-2.0
/*
 * uoledmod: hiding the picture around panel operations, and reading the
 * panel's versions, model and serial number.
 *
 * The picture is hidden through the display's blank line when it has one,
 * else through the display driver's framebuffer.  Anti-stick needs no code
 * here: the panel shifts the picture itself from the settings carried in
 * the video input block.
 */
#include <linux/compiler.h>
#include <linux/console.h>
#include <linux/fb.h>
#include <linux/gpio.h>
#include <linux/string.h>

#include "uoled.h"

struct oled_model {
	u8 code;
	const char *name;
};

static const struct oled_model oled_models[] = {
	{ 0x20, "MDP03ACFC" },
	{ 0x21, "MDP03BCFCH4" },
	{ 0x22, "MDP03BCFCH8" },
	{ 0x23, "MDP03CCFCH4" },
	{ 0x24, "MDP03CCFCH8" },
	{ 0x25, "MDP03CCWFH4" },
	{ 0x26, "MDP03CCWFH8" },
	{ 0x27, "MDP03BCWFH4" },
	{ 0x28, "MDP03BCWFH8" },
};

static void oled_fb_blank(struct fb_info *fbi, int level)
{
	console_lock();
	fb_blank(fbi, level);
	console_unlock();
}

int start_blank(struct fb_info *fbi, struct oled_data *data)
{
	/* Writable at any time: read once, so the wait is the one tested */
	int delay_ms = READ_ONCE(blank_delay_ms);

	if (data->blank_gpio > 0) {
		gpio_set_value(data->blank_gpio, data->blank_active);
	} else if (fbi) {
		oled_fb_blank(fbi, FB_BLANK_POWERDOWN);
	} else {
		dev_warn(&data->client->dev,
			 "failed to perform blank procedure for oled");
		return -1;
	}
	/* Negative means no wait; the parameter refuses more than a second */
	oled_wait_ms(delay_ms);
	return 0;
}

int stop_blank(struct fb_info *fbi, struct oled_data *data)
{
	if (data->blank_gpio > 0) {
		gpio_set_value(data->blank_gpio, !data->blank_active);
	} else if (fbi) {
		oled_fb_blank(fbi, FB_BLANK_UNBLANK);
	} else {
		dev_warn(&data->client->dev,
			 "failed to perform unblank procedure for oled");
		return -1;
	}
	return 0;
}

/* Firmware and hardware versions: four answer bytes of command 8 */
int oled_read_id(struct i2c_client *client, u8 *answer)
{
	int i;

	if (oled_hold_it(client))
		return -1;
	if (oled_exe_cmd(client, OLED_CMD_READ_ID))
		return -1;
	for (i = 0; i < 4; i++)
		if (oled_read_reg_8(client, REG_CMD_PARAM + i, &answer[i]))
			return -1;
	return oled_release(client);
}

static const char *oled_model_name(u8 code)
{
	int i;

	for (i = 0; i < ARRAY_SIZE(oled_models); i++)
		if (oled_models[i].code == code)
			return oled_models[i].name;
	return "Unknown";
}

/* Model name and serial number from the identification block */
int oled_read_serial(struct i2c_client *client, char *type, char *serial)
{
	u8 block[ID_BLOCK_LEN];
	int i;

	if (oled_run_cmd(client, OLED_CMD_PARAMS, SERIAL_PARAMS,
			 sizeof(SERIAL_PARAMS)))
		return -1;
	if (oled_hold_it(client))
		return -1;
	for (i = 0; i < ID_BLOCK_LEN; i++)
		if (oled_read_reg_8(client, REG_ID_BLOCK + i, &block[i]))
			return -1;
	if (oled_release(client))
		return -1;

	if (type)
		strscpy(type, oled_model_name(block[ID_MODEL_BYTE]),
			OLED_TEXT_LEN);
	if (serial) {
		memcpy(serial, &block[ID_SERIAL_BYTE], ID_SERIAL_LEN);
		serial[ID_SERIAL_LEN] = '\0';
	}
	return 0;
}
