// SPDX-License-Identifier: GPL-2.0
/*
 * uoledmod: the attribute files of a bound display.
 *
 * Plain text in and out, one value or one comma-separated tuple per file.
 * Operations that touch the panel hold oled_lock for their whole duration
 * and, when blanking is enabled, hide the picture around the panel access.
 * Shows of cached values read the record without the lock.  Shows that
 * blank and talk to the panel are for root only (0400, 0600 when writable):
 * a loop of reads by anyone else would make the eyepiece flicker.
 */
#include <linux/device.h>
#include <linux/errno.h>
#include <linux/kernel.h>
#include <linux/slab.h>
#include <linux/string.h>

#include "uoled.h"

static struct oled_data *to_oled(struct device *dev)
{
	return dev_get_drvdata(dev);
}

static void oled_blank_begin(struct oled_data *data)
{
	if (blank_en)
		start_blank(oled_vm.fbi, data);
}

static void oled_blank_end(struct oled_data *data)
{
	if (blank_en)
		stop_blank(oled_vm.fbi, data);
}

/*
 * Input checks.  Every store checks its whole text before it takes the lock,
 * blanks the picture or touches the panel, and refuses a bad one with
 * -EINVAL.  Numbers are decimal (the raw registers: hexadecimal) and parsed
 * with kstrto*, which refuse overflow, a sign on an unsigned number and any
 * junk, and take the one trailing newline that echo writes.
 */

/* sysfs hands count bytes; a zero byte among them would hide what follows */
static bool oled_text_whole(const char *buf, size_t count)
{
	return strnlen(buf, count) == count;
}

/* One unsigned decimal number up to max */
int oled_parse_uint(const char *buf, size_t count, unsigned int max,
		    unsigned int *val)
{
	unsigned int v;

	if (!oled_text_whole(buf, count) || kstrtouint(buf, 10, &v) || v > max)
		return -EINVAL;
	*val = v;
	return 0;
}

/*
 * Split a comma-separated list of exactly count decimal integers, each one
 * within its range; the text is cut in place.  Only the end of the list may
 * carry the newline that echo adds.
 */
int try_parse_int_param_string(char *text, int *array, int count,
			       const struct oled_range *range)
{
	size_t len = strlen(text);
	char *field;
	int n = 0;

	if (len && text[len - 1] == '\n')
		text[len - 1] = '\0';
	while ((field = strsep(&text, ",")) != NULL) {
		int v;

		if (n >= count) {
			n++;	/* counted for the message only */
			continue;
		}
		if (strchr(field, '\n') || kstrtoint(field, 10, &v)) {
			pr_warn("Invalid format: %s\n", field);
			return -EINVAL;
		}
		if (v < range[n].min || v > range[n].max) {
			pr_warn("Value out of range: %d, valid: %d..%d\n",
				v, range[n].min, range[n].max);
			return -EINVAL;
		}
		array[n++] = v;
	}
	if (n != count) {
		pr_warn("Invalid number for parsing: got %d, expected: %d\n",
			n, count);
		return -EINVAL;
	}
	return 0;
}

/* The buffer sysfs hands a store is not ours to cut: parse a copy */
static int oled_parse_tuple(const char *buf, size_t count, int *array, int n,
			    const struct oled_range *range)
{
	char *copy;
	int ret;

	if (!oled_text_whole(buf, count))
		return -EINVAL;
	copy = kstrndup(buf, count, GFP_KERNEL);
	if (!copy)
		return -ENOMEM;
	ret = try_parse_int_param_string(copy, array, n, range);
	kfree(copy);
	return ret;
}

/* Gains are signed 8-bit; the panel takes offsets of -511..511 */
static const struct oled_range oled_rgb_ranges[6] = {
	{ OLED_RGB_GAIN_MIN, OLED_RGB_GAIN_MAX },
	{ OLED_RGB_GAIN_MIN, OLED_RGB_GAIN_MAX },
	{ OLED_RGB_GAIN_MIN, OLED_RGB_GAIN_MAX },
	{ -OLED_RGB_OFFSET_MAX, OLED_RGB_OFFSET_MAX },
	{ -OLED_RGB_OFFSET_MAX, OLED_RGB_OFFSET_MAX },
	{ -OLED_RGB_OFFSET_MAX, OLED_RGB_OFFSET_MAX },
};

/* Sign and a 10-bit magnitude per axis */
static const struct oled_range oled_offset_ranges[2] = {
	{ -OLED_OFFSET_MAX, OLED_OFFSET_MAX },
	{ -OLED_OFFSET_MAX, OLED_OFFSET_MAX },
};

/* A high and a low byte register per axis */
static const struct oled_range oled_crop_ranges[2] = {
	{ 0, OLED_CROP_MAX },
	{ 0, OLED_CROP_MAX },
};

static ssize_t attr_show_rgb_correction(struct device *dev,
					struct device_attribute *attr,
					char *buf)
{
	const u8 *rgb = to_oled(dev)->rgb_correction;

	return scnprintf(buf, PAGE_SIZE, "%d,%d,%d,%d,%d,%d\n",
			 (s8)rgb[1], (s8)rgb[2], (s8)rgb[3],
			 (s16)((rgb[4] << 8) | rgb[5]),
			 (s16)((rgb[6] << 8) | rgb[7]),
			 (s16)((rgb[8] << 8) | rgb[9]));
}

static ssize_t attr_store_rgb_correction(struct device *dev,
					 struct device_attribute *attr,
					 const char *buf, size_t count)
{
	struct oled_data *data = to_oled(dev);
	int v[6];
	int ret;

	ret = oled_parse_tuple(buf, count, v, ARRAY_SIZE(v), oled_rgb_ranges);
	if (ret)
		return ret;
	mutex_lock(&oled_lock);
	oled_blank_begin(data);
	ret = oled_set_rgb_correction(data, v[0], v[1], v[2], v[3], v[4], v[5]);
	if (ret) {
		dev_info(dev, "%s Failed to set OLED rgb correction data",
			 __func__);
		ret = ret == -EINVAL ? -EINVAL : -EIO;
	}
	oled_blank_end(data);
	mutex_unlock(&oled_lock);
	return ret ? ret : count;
}

static ssize_t attr_show_screen_offsets(struct device *dev,
					struct device_attribute *attr,
					char *buf)
{
	int x, y;

	get_offset(to_oled(dev)->video_input, &x, &y);
	return scnprintf(buf, PAGE_SIZE, "%d,%d\n", x, y);
}

static ssize_t attr_store_screen_offsets(struct device *dev,
					 struct device_attribute *attr,
					 const char *buf, size_t count)
{
	struct oled_data *data = to_oled(dev);
	int v[2];
	int ret;

	ret = oled_parse_tuple(buf, count, v, ARRAY_SIZE(v),
			       oled_offset_ranges);
	if (ret)
		return ret;
	mutex_lock(&oled_lock);
	oled_blank_begin(data);
	ret = oled_set_offset(data, v[0], v[1]);
	if (ret) {
		dev_info(dev, "%s Failed to set OLED offset data", __func__);
		ret = -EIO;
	}
	oled_blank_end(data);
	mutex_unlock(&oled_lock);
	return ret ? ret : count;
}

static ssize_t attr_show_screen_crop(struct device *dev,
				     struct device_attribute *attr, char *buf)
{
	struct oled_data *data = to_oled(dev);

	return scnprintf(buf, PAGE_SIZE, "%d,%d\n", data->crop_x, data->crop_y);
}

static ssize_t attr_store_screen_crop(struct device *dev,
				      struct device_attribute *attr,
				      const char *buf, size_t count)
{
	struct oled_data *data = to_oled(dev);
	int v[2];
	int ret;

	ret = oled_parse_tuple(buf, count, v, ARRAY_SIZE(v), oled_crop_ranges);
	if (ret)
		return ret;
	mutex_lock(&oled_lock);
	oled_blank_begin(data);
	ret = oled_set_screen_crop(data, v[0], v[1]);
	if (ret) {
		dev_info(dev, "%s Failed to set OLED screen crop", __func__);
		ret = -EIO;
	}
	oled_blank_end(data);
	mutex_unlock(&oled_lock);
	return ret ? ret : count;
}

static ssize_t attr_show_amp_reduction(struct device *dev,
				       struct device_attribute *attr,
				       char *buf)
{
	struct oled_data *data = to_oled(dev);
	u16 value;
	int ret;

	mutex_lock(&oled_lock);
	oled_blank_begin(data);
	ret = oled_read_reg_16(data->client, REG_AMP_REDUCTION, &value);
	oled_blank_end(data);
	mutex_unlock(&oled_lock);
	if (ret)
		return -EIO;
	return scnprintf(buf, PAGE_SIZE, "%d\n", value);
}

static ssize_t attr_store_amp_reduction(struct device *dev,
					struct device_attribute *attr,
					const char *buf, size_t count)
{
	struct oled_data *data = to_oled(dev);
	unsigned int value;
	int ret = 0;

	/* The register holds 11 bits: a larger number is refused, not cut */
	if (oled_parse_uint(buf, count, OLED_AMP_REDUCTION_MAX, &value)) {
		dev_err(dev, "failed to get amplitude reduction number");
		return -EINVAL;
	}
	mutex_lock(&oled_lock);
	oled_blank_begin(data);
	dev_info(dev, "amp_reduction = %d\n", value);
	if (oled_write_reg_16(data->client, REG_AMP_REDUCTION, value)) {
		dev_err(dev, "%s Failed to set OLED AMPL reduction %d\n",
			__func__, value);
		ret = -EIO;
	}
	oled_blank_end(data);
	mutex_unlock(&oled_lock);
	return ret ? ret : count;
}

/* Both identification attributes read the block; each read refreshes both */
static int oled_identify(struct oled_data *data)
{
	int ret;

	mutex_lock(&oled_lock);
	oled_blank_begin(data);
	ret = oled_read_serial(data->client, data->type, data->serial);
	oled_blank_end(data);
	mutex_unlock(&oled_lock);
	return ret ? -EIO : 0;
}

static ssize_t attr_show_type(struct device *dev,
			      struct device_attribute *attr, char *buf)
{
	struct oled_data *data = to_oled(dev);
	int ret = oled_identify(data);

	if (ret)
		return ret;
	return scnprintf(buf, PAGE_SIZE, "%s\n", data->type);
}

static ssize_t attr_show_sn(struct device *dev,
			    struct device_attribute *attr, char *buf)
{
	struct oled_data *data = to_oled(dev);
	int ret = oled_identify(data);

	if (ret)
		return ret;
	return scnprintf(buf, PAGE_SIZE, "%s\n", data->serial);
}

/*
 * The raw register attributes address the register chosen by work_reg and
 * differ only in the width of the value (8 or 16 bits).
 */
static ssize_t oled_show_register(struct device *dev, char *buf, bool wide)
{
	struct oled_data *data = to_oled(dev);
	u16 value = 0;
	u8 narrow = 0;
	int ret;

	mutex_lock(&oled_lock);
	oled_blank_begin(data);
	dev_info(dev, "read: addr = 0x%04x\n", work_reg);
	if (wide)
		ret = oled_read_reg_16(data->client, work_reg, &value);
	else
		ret = oled_read_reg_8(data->client, work_reg, &narrow);
	oled_blank_end(data);
	mutex_unlock(&oled_lock);
	if (ret)
		return -EIO;
	if (wide)
		return scnprintf(buf, PAGE_SIZE, "0x%04x\n", value);
	return scnprintf(buf, PAGE_SIZE, "0x%02x\n", narrow);
}

/* "0x" and hexadecimal digits; at most 8 or 16 bits, as the register */
static int oled_parse_register_value(const char *buf, size_t count, bool wide,
				     u16 *val)
{
	u16 v;

	if (!oled_text_whole(buf, count) || buf[0] != '0' || buf[1] != 'x' ||
	    kstrtou16(buf, 16, &v) || (!wide && v > 0xFF))
		return -EINVAL;
	*val = v;
	return 0;
}

static ssize_t oled_store_register(struct device *dev, const char *buf,
				   size_t count, bool wide, const char *caller)
{
	struct oled_data *data = to_oled(dev);
	u16 value;
	int ret = 0;
	int failed;

	if (oled_parse_register_value(buf, count, wide, &value)) {
		dev_err(dev, "failed to get input data - format is 0xXXXX (hex)");
		return -EINVAL;
	}
	mutex_lock(&oled_lock);
	oled_blank_begin(data);
	dev_info(dev, "write: addr: 0x%04x, data: 0x%04x\n", work_reg, value);
	if (wide)
		failed = oled_write_reg_16(data->client, work_reg, value);
	else
		failed = oled_write_reg_8(data->client, work_reg, value);
	if (failed && wide)
		dev_err(dev, "%s Failed to set write register addr: 0x%04x with data: 0x%04x\n",
			caller, work_reg, value);
	else if (failed)
		dev_err(dev, "%s Failed to set write register addr: 0x%04x with data: 0x%02x\n",
			caller, work_reg, value);
	if (failed)
		ret = -EIO;
	oled_blank_end(data);
	mutex_unlock(&oled_lock);
	return ret ? ret : count;
}

static ssize_t attr_show_register_8(struct device *dev,
				    struct device_attribute *attr, char *buf)
{
	return oled_show_register(dev, buf, false);
}

static ssize_t attr_store_register_8(struct device *dev,
				     struct device_attribute *attr,
				     const char *buf, size_t count)
{
	return oled_store_register(dev, buf, count, false, __func__);
}

static ssize_t attr_show_register_16(struct device *dev,
				     struct device_attribute *attr, char *buf)
{
	return oled_show_register(dev, buf, true);
}

static ssize_t attr_store_register_16(struct device *dev,
				      struct device_attribute *attr,
				      const char *buf, size_t count)
{
	return oled_store_register(dev, buf, count, true, __func__);
}

static ssize_t attr_show_video_format(struct device *dev,
				      struct device_attribute *attr, char *buf)
{
	return scnprintf(buf, PAGE_SIZE, "%d\n", oled_vm.video_format);
}

static ssize_t attr_store_video_format(struct device *dev,
				       struct device_attribute *attr,
				       const char *buf, size_t count)
{
	struct oled_data *data = to_oled(dev);
	unsigned int format;
	int ret = 0;

	if (oled_parse_uint(buf, count, UINT_MAX, &format))
		return -EINVAL;
	if (format > OLED_VIDEO_FORMAT_MAX) {
		dev_info(dev, "%s Failed to set OLED video format %d\n",
			 __func__, format);
		return -EINVAL;
	}
	mutex_lock(&oled_lock);
	oled_blank_begin(data);
	if (oled_set_video_format(data, format)) {
		dev_info(dev, "%s Failed to set OLED video format %d\n",
			 __func__, format);
		ret = -EIO;
	}
	oled_blank_end(data);
	mutex_unlock(&oled_lock);
	return ret ? ret : count;
}

static ssize_t attr_show_temperature(struct device *dev,
				     struct device_attribute *attr, char *buf)
{
	struct oled_data *data = to_oled(dev);
	u8 temperature;
	int ret;

	mutex_lock(&oled_lock);
	oled_blank_begin(data);
	ret = oled_get_temperature(data->client, &temperature);
	oled_blank_end(data);
	mutex_unlock(&oled_lock);
	if (ret)
		return -EIO;
	return scnprintf(buf, PAGE_SIZE, "%d\n", temperature);
}

static ssize_t attr_show_pattern(struct device *dev,
				 struct device_attribute *attr, char *buf)
{
	return scnprintf(buf, PAGE_SIZE, "%u\n", to_oled(dev)->pattern);
}

static ssize_t attr_store_pattern(struct device *dev,
				  struct device_attribute *attr,
				  const char *buf, size_t count)
{
	struct oled_data *data = to_oled(dev);
	unsigned int on;
	int ret = 0;

	if (oled_parse_uint(buf, count, UINT_MAX, &on))
		return -EINVAL;
	mutex_lock(&oled_lock);
	oled_blank_begin(data);
	if (oled_set_pattern(data, on ? 1 : 0))
		ret = -EIO;
	oled_blank_end(data);
	mutex_unlock(&oled_lock);
	return ret ? ret : count;
}

static ssize_t attr_show_pattern_type(struct device *dev,
				      struct device_attribute *attr, char *buf)
{
	struct oled_data *data = to_oled(dev);
	int kind;

	mutex_lock(&oled_lock);
	oled_blank_begin(data);
	kind = oled_get_pattern_type(data->client);
	oled_blank_end(data);
	mutex_unlock(&oled_lock);
	if (kind < 0)
		return kind;
	return scnprintf(buf, PAGE_SIZE, "%d\n", kind);
}

static ssize_t attr_store_pattern_type(struct device *dev,
				       struct device_attribute *attr,
				       const char *buf, size_t count)
{
	struct oled_data *data = to_oled(dev);
	int kind;
	int ret;

	if (!oled_text_whole(buf, count) || kstrtoint(buf, 10, &kind)) {
		dev_err(dev, "failed to get pattern type input -- valid options are 1-color, 2-gray, 3-full white");
		return -EINVAL;
	}
	dev_info(dev, "x = %d\n", kind);
	if (kind < 1 || kind > 3) {
		dev_err(dev, "%s Failed to set OLED pattern type %d\n",
			__func__, kind);
		return -EINVAL;
	}
	mutex_lock(&oled_lock);
	oled_blank_begin(data);
	ret = oled_set_pattern_type(data->client, kind);
	if (ret)
		dev_err(dev, "%s Failed to set OLED pattern type %d\n",
			__func__, kind);
	oled_blank_end(data);
	mutex_unlock(&oled_lock);
	return ret ? ret : count;
}

static ssize_t attr_show_display_on(struct device *dev,
				    struct device_attribute *attr, char *buf)
{
	return scnprintf(buf, PAGE_SIZE, "%u\n", to_oled(dev)->display_on);
}

static ssize_t attr_store_display_on(struct device *dev,
				     struct device_attribute *attr,
				     const char *buf, size_t count)
{
	struct oled_data *data = to_oled(dev);
	unsigned int on;
	int ret = 0;

	if (oled_parse_uint(buf, count, UINT_MAX, &on))
		return -EINVAL;
	mutex_lock(&oled_lock);
	oled_blank_begin(data);
	if (oled_set_display_state(data->client, on ? 1 : 0))
		ret = -EIO;
	else
		data->display_on = on ? 1 : 0;
	oled_blank_end(data);
	mutex_unlock(&oled_lock);
	return ret ? ret : count;
}

static ssize_t attr_show_luminance(struct device *dev,
				   struct device_attribute *attr, char *buf)
{
	return scnprintf(buf, PAGE_SIZE, "%u\n", to_oled(dev)->luminance);
}

/*
 * Both luminance attributes take any unsigned 32-bit number and clamp it to
 * the panel's maximum; a number beyond 32 bits is refused, not wrapped.
 */
static ssize_t oled_store_luminance(struct device *dev, const char *buf,
				    size_t count,
				    int (*set)(struct i2c_client *, u8))
{
	struct oled_data *data = to_oled(dev);
	unsigned int lum;
	int ret = 0;

	if (oled_parse_uint(buf, count, UINT_MAX, &lum))
		return -EINVAL;
	if (lum > OLED_MAX_LUMINANCE)
		lum = OLED_MAX_LUMINANCE;
	mutex_lock(&oled_lock);
	oled_blank_begin(data);
	if (set(data->client, lum))
		ret = -EIO;
	else
		data->luminance = lum;
	oled_blank_end(data);
	mutex_unlock(&oled_lock);
	return ret ? ret : count;
}

static ssize_t attr_store_luminance(struct device *dev,
				    struct device_attribute *attr,
				    const char *buf, size_t count)
{
	return oled_store_luminance(dev, buf, count, oled_set_luminance);
}

static ssize_t attr_store_luminance_with_gamma(struct device *dev,
					       struct device_attribute *attr,
					       const char *buf, size_t count)
{
	return oled_store_luminance(dev, buf, count, oled_set_lum_with_gamma);
}

static ssize_t attr_show_fw_versions(struct device *dev,
				     struct device_attribute *attr, char *buf)
{
	struct oled_data *data = to_oled(dev);
	u8 id[4];
	int ret;

	mutex_lock(&oled_lock);
	oled_blank_begin(data);
	ret = oled_read_id(data->client, id);
	oled_blank_end(data);
	mutex_unlock(&oled_lock);
	if (ret)
		return -EIO;
	if (id[0] != 1)
		return scnprintf(buf, PAGE_SIZE,
				 "Oled version didn't match expected pattern.\n");
	return scnprintf(buf, PAGE_SIZE,
			 "Firmware major release: 0x%02X\nFirmware minor release: 0x%02X\nHardware release: 0x%02X\n",
			 id[1], id[2], id[3]);
}

#define OLED_ATTR(_name, _mode, _show, _store) \
	__ATTR(_name, _mode, _show, _store)

struct device_attribute uoledmod_sysfs_attrs[OLED_ATTR_COUNT] = {
	OLED_ATTR(attr_rgb_correction, 0644, attr_show_rgb_correction,
		  attr_store_rgb_correction),
	OLED_ATTR(attr_screen_offsets, 0644, attr_show_screen_offsets,
		  attr_store_screen_offsets),
	OLED_ATTR(attr_screen_crop, 0644, attr_show_screen_crop,
		  attr_store_screen_crop),
	OLED_ATTR(attr_amp_reduction, 0600, attr_show_amp_reduction,
		  attr_store_amp_reduction),
	OLED_ATTR(attr_type, 0400, attr_show_type, NULL),
	OLED_ATTR(attr_sn, 0400, attr_show_sn, NULL),
	OLED_ATTR(attr_register_8, 0600, attr_show_register_8,
		  attr_store_register_8),
	OLED_ATTR(attr_register_16, 0600, attr_show_register_16,
		  attr_store_register_16),
	OLED_ATTR(attr_video_format, 0644, attr_show_video_format,
		  attr_store_video_format),
	OLED_ATTR(attr_temperature, 0400, attr_show_temperature, NULL),
	OLED_ATTR(attr_pattern, 0644, attr_show_pattern, attr_store_pattern),
	OLED_ATTR(attr_pattern_type, 0600, attr_show_pattern_type,
		  attr_store_pattern_type),
	OLED_ATTR(attr_pon, 0644, attr_show_power_on, attr_store_power_on),
	OLED_ATTR(attr_display_on, 0644, attr_show_display_on,
		  attr_store_display_on),
	OLED_ATTR(attr_luminance, 0644, attr_show_luminance,
		  attr_store_luminance),
	OLED_ATTR(attr_luminance_with_gamma, 0644, attr_show_luminance,
		  attr_store_luminance_with_gamma),
	OLED_ATTR(attr_fw_versions, 0400, attr_show_fw_versions, NULL),
};

/* "attr_pon" only exists for a display with a power line */
static bool oled_attr_present(struct oled_data *data,
			      const struct device_attribute *attr)
{
	return data->pwon_gpio >= 0 ||
	       strncmp(attr->attr.name, "attr_pon", strlen("attr_pon"));
}

void oled_sysfs_create(struct oled_data *data)
{
	struct device *dev = &data->client->dev;
	int i;

	/* A file that cannot be created leaves the others usable */
	for (i = 0; i < OLED_ATTR_COUNT; i++)
		if (oled_attr_present(data, &uoledmod_sysfs_attrs[i]) &&
		    device_create_file(dev, &uoledmod_sysfs_attrs[i]))
			dev_dbg(dev, "cannot create %s\n",
				uoledmod_sysfs_attrs[i].attr.name);
}

void oled_sysfs_remove(struct oled_data *data)
{
	struct device *dev = &data->client->dev;
	int i;

	for (i = 0; i < OLED_ATTR_COUNT; i++)
		if (oled_attr_present(data, &uoledmod_sysfs_attrs[i]))
			device_remove_file(dev, &uoledmod_sysfs_attrs[i]);
}
