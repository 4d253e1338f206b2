// SPDX-License-Identifier: GPL-2.0
/*
 * uoledmod: module load and unload, probe and remove of a panel.
 *
 * Up to two panels are bound at a time, each in one slot of oled_data_arr.
 * Probe powers the panel, runs its start-up sequence, publishes its
 * attribute files and installs the format hook in the display driver's
 * oled_vm.  Unload withdraws that hook before the module's code goes away
 * and releases the GPIO lines that both displays share.
 */
#include <linux/errno.h>
#include <linux/gpio.h>
#include <linux/i2c.h>
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/of.h>
#include <linux/of_gpio.h>
#include <linux/string.h>
#include <linux/version.h>
#include <dt-bindings/gpio/gpio.h>

#include "uoled.h"

#define OLED_I2C_FUNCS	(I2C_FUNC_I2C | I2C_FUNC_SMBUS_READ_BYTE_DATA | \
			 I2C_FUNC_SMBUS_WRITE_BYTE_DATA)

/*
 * Where the kernel API differs between the sight's 4.14 and newer kernels:
 * the flags of a named GPIO (of_get_named_gpio_flags() is gone from 6.2),
 * the I2C probe (one argument from 6.3) and remove (void from 6.1).
 */
#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 2, 0)
static int oled_named_gpio(struct device_node *np, const char *prop,
			   int *active)
{
	struct of_phandle_args cells;

	*active = 1;
	if (!of_parse_phandle_with_args(np, prop, "#gpio-cells", 0, &cells)) {
		if (cells.args_count > 1 && (cells.args[1] & GPIO_ACTIVE_LOW))
			*active = 0;
		of_node_put(cells.np);
	}
	return of_get_named_gpio(np, prop, 0);
}
#else
static int oled_named_gpio(struct device_node *np, const char *prop,
			   int *active)
{
	enum of_gpio_flags flags = 0;
	int gpio = of_get_named_gpio_flags(np, prop, 0, &flags);

	*active = (flags & OF_GPIO_ACTIVE_LOW) ? 0 : 1;
	return gpio;
}
#endif

static bool oled_gpio_requestable(int gpio)
{
	return gpio >= 0 && gpio <= OLED_GPIO_MAX;
}

/*
 * A shared line is requested for the module, not for the display that found
 * it first: it must outlive that display's unbinding while the other one
 * still drives it.  A display's own line belongs to its device.
 */
static int oled_request_gpio(struct device *dev, bool shared, int gpio,
			     int level, const char *name)
{
	unsigned long flags = level ? GPIOF_OUT_INIT_HIGH : GPIOF_OUT_INIT_LOW;

	if (shared)
		return gpio_request_one(gpio, flags, name);
	return devm_gpio_request_one(dev, gpio, flags, name);
}

/* At unload, once no display is bound */
static void oled_free_shared_gpio(int *shared_gpio, int *shared_active)
{
	if (oled_gpio_requestable(*shared_gpio))
		gpio_free(*shared_gpio);
	*shared_gpio = -1;
	*shared_active = 1;
}

/*
 * Find, and request unless a display already did, one named GPIO line,
 * driven at once to its active level when start_active, else to the other.
 */
static void oled_get_gpio(struct device *dev, const char *name,
			  bool start_active, int *shared_gpio,
			  int *shared_active, int *gpio, int *active)
{
	struct device_node *np = dev->of_node;
	bool shared = false;
	char prop[32];

	snprintf(prop, sizeof(prop), "global-%s", name);
	if (of_find_property(np, prop, NULL)) {
		if (*shared_gpio != -1) {
			*gpio = *shared_gpio;
			*active = *shared_active;
			dev_info(dev, "grabbed already registered %s pin %d, active %d",
				 prop, *gpio, *active);
			return;
		}
		*gpio = oled_named_gpio(np, prop, active);
		*shared_gpio = *gpio;
		*shared_active = *active;
		shared = true;
	} else if (of_find_property(np, name, NULL)) {
		*gpio = oled_named_gpio(np, name, active);
	} else {
		dev_info(dev, "no %s pin available\n", name);
		*gpio = -1;
		return;
	}

	if (!oled_gpio_requestable(*gpio))
		return;
	if (oled_request_gpio(dev, shared, *gpio,
			      start_active ? *active : !*active, name)) {
		dev_err(dev, "failed to request %d as %s\n", *gpio, name);
		*gpio = -1;
		/* The other display must not drive a line nobody requested */
		if (shared) {
			*shared_gpio = -1;
			*shared_active = 1;
		}
		return;
	}
	dev_info(dev, "requested gpio %d as %s\n", *gpio, name);
}

/* Start offset from the offset_input entry whose label is this dev_id */
static void get_offset_from_input(struct oled_data *data)
{
	struct device *dev = &data->client->dev;
	const struct oled_offset_input *in = NULL;

	if (oled_offset_inputs[0].dev_id == data->dev_id)
		in = &oled_offset_inputs[0];
	else if (oled_offset_inputs[1].dev_id == data->dev_id)
		in = &oled_offset_inputs[1];

	if (!in) {
		dev_info(dev, "%s(): default 4!\n", __func__);
		dev_warn(dev, "No offset data for display with dev-id: %d\r\n",
			 data->dev_id);
		return;
	}
	set_offset(data->video_input, in->x, in->y);
	dev_info(dev, "Offset for id label: %d, x:%d, y:%d\r\n",
		 data->dev_id, in->x, in->y);
}

static void oled_read_dev_id(struct oled_data *data)
{
	struct device *dev = &data->client->dev;
	const __be32 *id;
	int len = 0;

	id = of_get_property(dev->of_node, "dev-id", &len);
	if (id && len == sizeof(*id)) {
		data->dev_id = be32_to_cpup(id);
		dev_info(dev, "Found id label for display: %d\r\n",
			 data->dev_id);
	} else {
		data->dev_id = -1;
		dev_warn(dev, "No id found for display on address: %d\r\n",
			 data->client->addr);
	}
}

static struct oled_data *oled_take_slot(void)
{
	int slot;

	for (slot = 0; slot < OLED_MAX_DISPLAYS; slot++) {
		if (!oled_data_taken[slot]) {
			oled_data_taken[slot] = 1;
			memset(&oled_data_arr[slot], 0, sizeof(oled_data_arr[slot]));
			return &oled_data_arr[slot];
		}
	}
	return NULL;
}

static int mxc_uoled_i2c_probe(struct i2c_client *client,
			       const struct i2c_device_id *id)
{
	struct device *dev = &client->dev;
	struct oled_data *data;
	int ret = 0;

	dev_info(dev, "%s(): probe i2c!\n", __func__);
	mutex_lock(&oled_lock);

	if (!i2c_check_functionality(client->adapter, OLED_I2C_FUNCS)) {
		ret = -ENODEV;
		goto out;
	}
	data = oled_take_slot();
	if (!data) {
		ret = -1;
		goto out;
	}

	data->client = client;
	set_video_format_arr(oled_vm.video_format);
	memcpy(data->video_input, VIDEO_FORMAT, VIDEO_INPUT_LEN);
	if (antistick_en) {
		data->video_input[VI_ANTISTICK_CTRL] =
			0xC0 | (antistick_value & 0x1F);
		data->video_input[VI_ANTISTICK_TIME] = antistick_time & 0xFF;
	}

	oled_read_dev_id(data);
	get_offset_from_input(data);

	/* Picture shown until a blanked operation hides it; power on */
	oled_get_gpio(dev, "blank-gpios", false, &global_blank_gpio,
		      &global_blank_gpio_active_state,
		      &data->blank_gpio, &data->blank_active);
	oled_get_gpio(dev, "pwon-gpios", true, &global_power_gpio,
		      &global_power_gpio_active_state,
		      &data->pwon_gpio, &data->pwon_active);

	i2c_set_clientdata(client, data);

	if (data->pwon_gpio > 0)
		gpio_set_value(data->pwon_gpio, data->pwon_active);

	if (blank_en)
		start_blank(oled_vm.fbi, data);
	if (oled_init(data))
		dev_err(dev, "Failed to init uoled display\n");
	if (blank_en)
		stop_blank(oled_vm.fbi, data);

	oled_sysfs_create(data);

	oled_install_format_hook();
out:
	mutex_unlock(&oled_lock);
	return ret;
}

static int mxc_uoled_i2c_remove(struct i2c_client *client)
{
	struct oled_data *data = i2c_get_clientdata(client);

	/* Removing the files waits for attribute operations still running */
	oled_sysfs_remove(data);

	/* The format work walks the slots under the lock */
	mutex_lock(&oled_lock);
	if (data == &oled_data_arr[0])
		oled_data_taken[0] = 0;
	else if (data == &oled_data_arr[1])
		oled_data_taken[1] = 0;
	data->client = NULL;
	mutex_unlock(&oled_lock);
	return 0;
}

#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 3, 0)
static int uoled_i2c_probe(struct i2c_client *client)
{
	return mxc_uoled_i2c_probe(client, i2c_client_get_device_id(client));
}
#else
static int uoled_i2c_probe(struct i2c_client *client,
			   const struct i2c_device_id *id)
{
	return mxc_uoled_i2c_probe(client, id);
}
#endif

#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 1, 0)
static void uoled_i2c_remove(struct i2c_client *client)
{
	mxc_uoled_i2c_remove(client);
}
#else
static int uoled_i2c_remove(struct i2c_client *client)
{
	return mxc_uoled_i2c_remove(client);
}
#endif

static const struct i2c_device_id mxc_uoled_i2c[] = {
	{ UOLED_DRIVER_NAME, 0 },
	{ }
};
MODULE_DEVICE_TABLE(i2c, mxc_uoled_i2c);

static const struct of_device_id imx_uoled_i2c_match[] = {
	{ .compatible = "zelko,imx-uoled-i2c" },
	{ .compatible = "imx6-uoled-i2c" },
	{ }
};
MODULE_DEVICE_TABLE(of, imx_uoled_i2c_match);

static struct i2c_driver mxc_uoled_i2c_driver = {
	.driver = {
		.name = UOLED_DRIVER_NAME,
		.of_match_table = imx_uoled_i2c_match,
	},
	.probe = uoled_i2c_probe,
	.remove = uoled_i2c_remove,
	.id_table = mxc_uoled_i2c,
};

static int __init mxc_uoled_i2c_init(void)
{
	int i;

	pr_info("%s(): init i2c!\n", __func__);
	mutex_init(&oled_lock);
	for (i = 0; i < ARRAY_SIZE(offset_input); i++) {
		struct oled_offset_input *in = &oled_offset_inputs[i / 3];

		pr_info("array offset: %d: %d \n", i, offset_input[i]);
		if (i % 3 == 0)
			in->dev_id = offset_input[i];
		else if (i % 3 == 1)
			in->x = offset_input[i];
		else
			in->y = offset_input[i];
	}
	return i2c_add_driver(&mxc_uoled_i2c_driver);
}

static void __exit mxc_uoled_i2c_exit(void)
{
	/* No display is left to probe, so nothing installs the hook again */
	i2c_del_driver(&mxc_uoled_i2c_driver);
	oled_withdraw_format_hook();
	oled_free_shared_gpio(&global_blank_gpio,
			      &global_blank_gpio_active_state);
	oled_free_shared_gpio(&global_power_gpio,
			      &global_power_gpio_active_state);
}

module_init(mxc_uoled_i2c_init);
module_exit(mxc_uoled_i2c_exit);

MODULE_DESCRIPTION("uOLED Driver");
MODULE_VERSION("2.5.4");
MODULE_LICENSE("GPL");
MODULE_ALIAS("i2c:mxc_uoled_i2c");
