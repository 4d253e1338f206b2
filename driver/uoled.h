/* SPDX-License-Identifier: GPL-2.0 */
/*
 * uoledmod: I2C client driver of the micro-OLED eyepiece panel.
 *
 * Shared declarations of the module's files: panel registers and commands,
 * the per-display record, the module-wide state and the operations each
 * file offers the others.
 */
#ifndef UOLED_H
#define UOLED_H

#include <linux/types.h>
#include <linux/i2c.h>
#include <linux/mutex.h>
#include <linux/device.h>
#include <linux/fb.h>

#include "oled_vm.h"

#define UOLED_DRIVER_NAME	"mxc_uoled_i2c"
#define OLED_MAX_DISPLAYS	2
#define OLED_TEXT_LEN		32

/* Panel registers (16-bit addresses, 8-bit cells unless noted) */
#define REG_RESET		0x0000
#define REG_START		0x0001
#define REG_STATUS		0x0002
#define REG_STARTUP_A		0x0018
#define REG_STARTUP_B		0x0019
#define REG_STARTUP_CTRL	0x001A
#define REG_CMD_TRIGGER		0x0060
#define REG_CMD5_DONE		0x0102
#define REG_HOLD		0x0206
#define REG_HOLD_COUNT		5
#define REG_CMD5_GUARD		0x020C
#define REG_GAMMA_0		0x0330
#define REG_GAMMA_1		0x033E
#define REG_RGBW_A		0x0342
#define REG_GAMMA_2		0x0344
#define REG_GAMMA_3		0x034A
#define REG_RGBW_B		0x034A
#define REG_RGBW_MGNT		0x0358
#define REG_PATTERN_CTRL	0x03CA	/* 16-bit */
#define REG_AMP_REDUCTION	0x03CC	/* 16-bit */
#define REG_CROP		0x03DA
#define REG_ID_BLOCK		0x7B00
#define REG_CMD_OPCODE		0x7F80
#define REG_CMD_PARAM		0x7F81

#define STATUS_CMD_DONE		0x01
#define STATUS_STARTUP_DONE	0x10
#define HOLD_ON			0x04
#define HOLD_OFF		0x02

#define ID_BLOCK_LEN		32
#define ID_MODEL_BYTE		10
#define ID_SERIAL_BYTE		12
#define ID_SERIAL_LEN		18

/* Panel command opcodes */
#define OLED_CMD_VIDEO_INPUT		1
#define OLED_CMD_LUMINANCE		2
#define OLED_CMD_DISPLAY_STATE		3
#define OLED_CMD_LUT			4
#define OLED_CMD_PARAMS			5
#define OLED_CMD_READ_ID		8
#define OLED_CMD_TEMP_REGULATION	9
#define OLED_CMD_RGB_CORRECTION		10
#define OLED_CMD_GET_TEMPERATURE	11

/* Video input block (command 1) */
#define VIDEO_INPUT_LEN		21
#define VI_FORMAT		0
#define VI_PATTERN		1
#define VI_OFFSET_X		15
#define VI_OFFSET_Y		17
#define VI_ANTISTICK_CTRL	19
#define VI_ANTISTICK_TIME	20
#define VI_PATTERN_ON		0x06
#define VI_PATTERN_OFF		0x00

/* RGB correction block (command 10) */
#define RGB_CORRECTION_LEN	10

#define OLED_MAX_LUMINANCE	240
#define GAMMA_TBL_LEN		30
#define GAMMA_FULL_SCALE	1023
#define GAMMA_LUM_LIMIT		150

#define PATTERN_FULL_WHITE	0x20
#define PATTERN_GRAY		0x40

#define OLED_GPIO_MAX		511

/* Bounds of the writable parameters and of the attributes' values */
#define OLED_REG_ADDR_MAX	0xFFFF
#define OLED_BLANK_DELAY_MAX_MS	1000
#define OLED_AMP_REDUCTION_MAX	0x7FF	/* 11 bits */
#define OLED_OFFSET_MAX		0x3FF	/* sign and 10-bit magnitude */
#define OLED_CROP_MAX		0xFFFF	/* a high and a low byte register */
#define OLED_RGB_GAIN_MIN	-128	/* signed 8-bit */
#define OLED_RGB_GAIN_MAX	127
#define OLED_RGB_OFFSET_MAX	511
#define OLED_VIDEO_FORMAT_MAX	2

/* Waits of this length or more sleep instead of spinning */
#define OLED_SLEEP_MIN_MS	20

/* One bound panel */
struct oled_data {
	struct i2c_client *client;
	s32 dev_id;
	u8 luminance;
	u8 pattern;
	u8 display_on;
	char serial[OLED_TEXT_LEN];
	char type[OLED_TEXT_LEN];
	int pwon_gpio;
	int pwon_active;
	int blank_gpio;
	int blank_active;
	u8 video_input[VIDEO_INPUT_LEN];
	int crop_x;
	int crop_y;
	u8 rgb_correction[RGB_CORRECTION_LEN];
};

/* Start offset of the display whose "dev-id" label is dev_id */
struct oled_offset_input {
	int x;
	int y;
	int dev_id;
};

/* Module parameters */
extern int work_reg;
extern int rgbw_en;
extern int offset_input[6];
extern int blank_delay_ms;
extern int antistick_value;
extern int antistick_time;
extern int antistick_en;
extern int blank_en;

/* Module-wide state */
extern struct oled_data oled_data_arr[OLED_MAX_DISPLAYS];
extern u8 oled_data_taken[OLED_MAX_DISPLAYS];
extern struct mutex oled_lock;
extern struct oled_offset_input oled_offset_inputs[OLED_MAX_DISPLAYS];
extern int global_power_gpio;
extern int global_power_gpio_active_state;
extern int global_blank_gpio;
extern int global_blank_gpio_active_state;
extern u8 VIDEO_FORMAT[VIDEO_INPUT_LEN];

/* Command parameter blocks */
extern const u8 FW_PARAMS[7];
extern const u8 LUT_PARAMS_RAW[5];
extern const u8 LUT_PARAMS[5];
extern const u8 TEMP_REGULATION_UPDATE[6];
extern const u8 SERIAL_PARAMS[8];
extern const u8 RGBW_VIDEO_4PIXL_MGNT_MAX_x[8];
extern u8 SET_LUMINANCE[3];
extern const u16 GAMMA_APPROXIMATION_TBL[GAMMA_TBL_LEN];

/* Register access and command handshake */
void oled_wait_ms(int ms);
int oled_write_reg_8(struct i2c_client *client, u16 addr, u8 val);
int oled_write_reg_16(struct i2c_client *client, u16 addr, u16 val);
int oled_read_reg_8(struct i2c_client *client, u16 addr, u8 *val);
int oled_read_reg_16(struct i2c_client *client, u16 addr, u16 *val);
int oled_poll_it(struct i2c_client *client, u8 mask);
int oled_hold_it(struct i2c_client *client);
int oled_release(struct i2c_client *client);
int oled_exe_cmd(struct i2c_client *client, u8 opcode);
int oled_write_params(struct i2c_client *client, const u8 *params, int len);
int oled_run_cmd(struct i2c_client *client, u8 opcode,
		 const u8 *params, int len);

/* Initialisation and power */
int oled_init(struct oled_data *data);
int oled_set_display_state(struct i2c_client *client, u8 state);
ssize_t attr_show_power_on(struct device *dev, struct device_attribute *attr,
			   char *buf);
ssize_t attr_store_power_on(struct device *dev, struct device_attribute *attr,
			    const char *buf, size_t count);

/* Picture controls */
u16 offset_int_to_u16(int v);
void set_offset(u8 *block, int x, int y);
void get_offset(const u8 *block, int *x, int *y);
int oled_set_luminance(struct i2c_client *client, u8 luminance);
int oled_set_lum_with_gamma(struct i2c_client *client, u8 luminance);
int oled_update_temperature_coeff(struct i2c_client *client);
int oled_get_temperature(struct i2c_client *client, u8 *temperature);
int oled_set_rgb_command(struct i2c_client *client, const u8 *block);
int oled_set_rgb_correction(struct oled_data *data, int red_gain,
			    int green_gain, int blue_gain, int red_offset,
			    int green_offset, int blue_offset);
int oled_set_video_input_format(struct oled_data *data, const u8 *block);
int oled_set_pattern(struct oled_data *data, u8 pattern);
int oled_set_offset(struct oled_data *data, int x, int y);
int oled_set_video_format(struct oled_data *data, int format);
int set_video_format_arr(int format);
int oled_set_video_format_to_all(int format);
void oled_install_format_hook(void);
void oled_withdraw_format_hook(void);
int oled_set_screen_crop(struct oled_data *data, int x, int y);
int oled_set_pattern_type(struct i2c_client *client, int kind);
int oled_get_pattern_type(struct i2c_client *client);

/* Blanking and identification */
int start_blank(struct fb_info *fbi, struct oled_data *data);
int stop_blank(struct fb_info *fbi, struct oled_data *data);
int oled_read_id(struct i2c_client *client, u8 *answer);
int oled_read_serial(struct i2c_client *client, char *type, char *serial);

/* sysfs attributes */
#define OLED_ATTR_COUNT 17
extern struct device_attribute uoledmod_sysfs_attrs[OLED_ATTR_COUNT];
struct oled_range {
	int min;
	int max;
};

int try_parse_int_param_string(char *text, int *array, int count,
			       const struct oled_range *range);
int oled_parse_uint(const char *buf, size_t count, unsigned int max,
		    unsigned int *val);
void oled_sysfs_create(struct oled_data *data);
void oled_sysfs_remove(struct oled_data *data);

#endif /* UOLED_H */
