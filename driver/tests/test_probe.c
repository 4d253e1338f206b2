// SPDX-License-Identifier: GPL-2.0
/*
 * Module load and unload, probe and remove, parameters and the format hook.
 */
#include "rig.h"

static const char *const attr_order[OLED_ATTR_COUNT] = {
	"attr_rgb_correction", "attr_screen_offsets", "attr_screen_crop",
	"attr_amp_reduction", "attr_type", "attr_sn", "attr_register_8",
	"attr_register_16", "attr_video_format", "attr_temperature",
	"attr_pattern", "attr_pattern_type", "attr_pon", "attr_display_on",
	"attr_luminance", "attr_luminance_with_gamma", "attr_fw_versions",
};

static void check_param(const char *name, int value, int perm,
			const char *desc)
{
	struct kapi_param *p = kapi_param(name);

	REQUIRE(p);
	CHECK_STR(p->type, "int");
	CHECK_EQ(*(int *)p->addr, value);
	CHECK_EQ(p->perm, perm);
	CHECK_STR(p->desc, desc);
}

TEST(module_metadata_and_parameters)
{
	struct kapi_param *offsets = kapi_param("offset_input");

	CHECK_STR(kapi_info("description"), "uOLED Driver");
	CHECK_STR(kapi_info("version"), "2.5.4");
	CHECK_STR(kapi_info("license"), "GPL");
	CHECK_STR(kapi_info("alias"), "i2c:mxc_uoled_i2c");

	check_param("work_reg", 0, 0660, "Register address for raw read/write ops");
	check_param("rgbw_en", 1, 0440,
		    "Add/Remove the RGBW feature from the init procedure");
	check_param("blank_delay_ms", 50, 0660,
		    "The blank delay in ms, used if blanking is en");
	check_param("antistick_value", 10, 0440,
		    "Shift range in px, (each shift is 1px)");
	check_param("antistick_time", 2, 0440,
		    "The time between antistick shifts measured in frames");
	check_param("antistick_en", 1, 0440,
		    "En/Disables horizontal and vertical antistick options");
	check_param("blank_en", 1, 0440,
		    "En/Disable blanking as a whole is enabled");
	REQUIRE(offsets);
	CHECK_EQ(offsets->elems, 6);
	CHECK_EQ(offsets->perm, 0);
	CHECK_STR(offsets->desc,
		  "Starting offset based on oled addres: format <addr>,<x>,<y>");

	rig_setup();
	CHECK_EQ(rig_load(), 0);
	REQUIRE(kapi_driver);
	CHECK_STR(kapi_driver->driver.name, "mxc_uoled_i2c");
	CHECK_STR(kapi_driver->id_table[0].name, "mxc_uoled_i2c");
	CHECK_EQ(kapi_driver->id_table[0].driver_data, 0);
	CHECK_EQ(kapi_driver->id_table[1].name[0], 0);
	CHECK_STR(kapi_driver->driver.of_match_table[0].compatible,
		  "zelko,imx-uoled-i2c");
	CHECK_STR(kapi_driver->driver.of_match_table[1].compatible,
		  "imx6-uoled-i2c");
	CHECK_EQ(kapi_driver->driver.of_match_table[2].compatible[0], 0);
	CHECK_STR(oled_lock.name, "&oled_lock");
}

TEST(load_reads_offset_input_as_two_triples)
{
	int *in = kapi_param("offset_input")->addr;
	static const int values[6] = { 7, 3, -2, 9, -1, 5 };

	memcpy(in, values, sizeof(values));
	rig_setup();
	CHECK_EQ(rig_load(), 0);
	CHECK_EQ(kapi_msg_count(KAPI_INFO, "mxc_uoled_i2c_init(): init i2c!\n"), 1);
	CHECK_EQ(kapi_msg_count(KAPI_INFO, "array offset: 2: -2 \n"), 1);
	CHECK_EQ(kapi_msg_count(KAPI_INFO, "array offset: 5: 5 \n"), 1);
	CHECK_EQ(kapi_msg_count_part("array offset: "), 6);
	CHECK_EQ(oled_offset_inputs[0].dev_id, 7);
	CHECK_EQ(oled_offset_inputs[0].x, 3);
	CHECK_EQ(oled_offset_inputs[0].y, -2);
	CHECK_EQ(oled_offset_inputs[1].dev_id, 9);
	CHECK_EQ(oled_offset_inputs[1].x, -1);
	CHECK_EQ(oled_offset_inputs[1].y, 5);
}

TEST(probe_without_dev_id_or_lines)
{
	struct device *dev = rig_dev(0);
	struct oled_data *d;
	int i, k;

	rig_setup();
	REQUIRE(rig_load() == 0);
	CHECK_EQ(rig_probe(0), 0);
	d = rig_data(0);
	REQUIRE(d == &oled_data_arr[0]);
	CHECK(oled_data_taken[0] && !oled_data_taken[1]);
	CHECK(d->client == &rig[0].client);
	CHECK_EQ(d->dev_id, -1);
	CHECK_EQ(kapi_msg_count(KAPI_INFO, "mxc_uoled_i2c_probe(): probe i2c!\n"), 1);
	CHECK_EQ(kapi_msg_count(KAPI_WARN,
				"No id found for display on address: 36\r\n"), 1);
	CHECK_EQ(kapi_msg_count(KAPI_INFO, "get_offset_from_input(): default 4!\n"), 1);
	CHECK_EQ(kapi_msg_count(KAPI_WARN,
				"No offset data for display with dev-id: -1\r\n"), 1);
	CHECK_EQ(kapi_msg_count(KAPI_INFO, "no blank-gpios pin available\n"), 1);
	CHECK_EQ(kapi_msg_count(KAPI_INFO, "no pwon-gpios pin available\n"), 1);
	CHECK(d->pwon_gpio < 0 && d->blank_gpio < 0);

	/* format 0, no offsets, anti-stick defaults 10 px every 2 frames */
	CHECK_EQ(d->video_input[0], 0x01);
	for (i = 1; i < 19; i++)
		CHECK_EQ(d->video_input[i], 0);
	CHECK_EQ(d->video_input[19], 0xCA);
	CHECK_EQ(d->video_input[20], 0x02);
	CHECK(!memcmp(rig_model(0)->video_input, d->video_input, 21));

	/* sixteen files in table order, no power file */
	CHECK_EQ(dev->nattrs, 16);
	for (i = 0, k = 0; i < OLED_ATTR_COUNT && k < dev->nattrs; i++) {
		if (!strcmp(attr_order[i], "attr_pon"))
			continue;
		CHECK_STR(dev->attrs[k]->attr.name, attr_order[i]);
		k++;
	}
	CHECK(!kapi_attr(dev, "attr_pon"));
	CHECK(oled_vm.set_video_format == oled_set_video_format_to_all);
	CHECK(!oled_lock.locked);
	CHECK_EQ(kapi_unlocked_xfers, 0);
}

TEST(attribute_modes)
{
	static const int modes[OLED_ATTR_COUNT] = {
		0644, 0644, 0644, 0600, 0400, 0400, 0600, 0600, 0644,
		0400, 0644, 0600, 0644, 0644, 0644, 0644, 0400,
	};
	int i;

	for (i = 0; i < OLED_ATTR_COUNT; i++) {
		const struct device_attribute *a = &uoledmod_sysfs_attrs[i];

		CHECK_STR(a->attr.name, attr_order[i]);
		CHECK_EQ(a->attr.mode, modes[i]);
		CHECK(a->show);
		CHECK_EQ(a->store != NULL, (modes[i] & 0200) != 0);
	}
}

TEST(probe_with_dev_id_takes_its_start_offset)
{
	static const int values[6] = { 5, 100, 100, 7, 3, -2 };
	static const u8 id7[4] = { 0, 0, 0, 7 };
	struct oled_data *d;

	memcpy(kapi_param("offset_input")->addr, values, sizeof(values));
	rig_setup();
	kapi_of_add(&rig[0].node, "dev-id", id7, 4);
	REQUIRE(rig_load() == 0);
	CHECK_EQ(rig_probe(0), 0);
	d = rig_data(0);
	CHECK_EQ(d->dev_id, 7);
	CHECK_EQ(kapi_msg_count(KAPI_INFO, "Found id label for display: 7\r\n"), 1);
	CHECK_EQ(kapi_msg_count(KAPI_INFO, "Offset for id label: 7, x:3, y:-2\r\n"), 1);
	CHECK_EQ(d->video_input[15], 0x00);
	CHECK_EQ(d->video_input[16], 0x03);
	CHECK_EQ(d->video_input[17], 0x80);
	CHECK_EQ(d->video_input[18], 0x02);
	/* the start-up sequence sends the block with its offsets */
	CHECK(!memcmp(rig_model(0)->video_input, d->video_input, 21));
}

TEST(dev_id_of_another_length_counts_as_absent)
{
	static const u8 id8[8] = { 0, 0, 0, 7, 0, 0, 0, 8 };

	rig_setup();
	kapi_of_add(&rig[0].node, "dev-id", id8, 8);
	REQUIRE(rig_load() == 0);
	CHECK_EQ(rig_probe(0), 0);
	CHECK_EQ(rig_data(0)->dev_id, -1);
	CHECK_EQ(kapi_msg_count(KAPI_WARN,
				"No id found for display on address: 36\r\n"), 1);
}

TEST(antistick_bytes_follow_the_parameters)
{
	rig_setup();
	kapi_param_set("antistick_value", 0x3F);
	kapi_param_set("antistick_time", 0x105);
	REQUIRE(rig_load() == 0);
	CHECK_EQ(rig_probe(0), 0);
	CHECK_EQ(rig_data(0)->video_input[19], 0xDF);
	CHECK_EQ(rig_data(0)->video_input[20], 0x05);

	kapi_param_set("antistick_en", 0);
	CHECK_EQ(rig_probe(1), 0);
	CHECK_EQ(rig_data(1)->video_input[19], 0);
	CHECK_EQ(rig_data(1)->video_input[20], 0);
}

TEST(probe_takes_the_display_drivers_format)
{
	rig_setup();
	oled_vm.video_format = 2;
	REQUIRE(rig_load() == 0);
	CHECK_EQ(rig_probe(0), 0);
	CHECK_EQ(rig_data(0)->video_input[0], 0x12);
	CHECK_EQ(rig_model(0)->video_input[0], 0x12);
	CHECK_EQ(kapi_msg_count(KAPI_INFO, "changing oled video format to 2 !\n"), 1);
	/* an unknown index leaves the template as the last probe set it */
	oled_vm.video_format = 3;
	CHECK_EQ(rig_probe(1), 0);
	CHECK_EQ(rig_data(1)->video_input[0], 0x12);
	CHECK_EQ(VIDEO_FORMAT[0], 0x12);
}

TEST(third_panel_is_refused)
{
	struct oled_data before[OLED_MAX_DISPLAYS];

	rig_setup();
	REQUIRE(rig_load() == 0);
	CHECK_EQ(rig_probe(0), 0);
	CHECK_EQ(rig_probe(1), 0);
	CHECK(rig_data(1) == &oled_data_arr[1]);
	memcpy(before, oled_data_arr, sizeof(before));
	kapi_msgs_clear();
	CHECK_EQ(rig_probe(2), -1);
	CHECK(!memcmp(before, oled_data_arr, sizeof(before)));
	CHECK_EQ(rig_messages(2, 0), 0);
	CHECK_EQ(rig_dev(2)->nattrs, 0);
	CHECK(!rig_data(2));
	CHECK(!oled_lock.locked);
	/* only the probe line */
	CHECK_EQ(kapi_nmsgs, 1);
}

TEST(adapter_without_needed_functions_is_refused)
{
	rig_setup();
	REQUIRE(rig_load() == 0);
	rig_adapter.functionality = I2C_FUNC_I2C | I2C_FUNC_SMBUS_READ_BYTE_DATA;
	CHECK_EQ(rig_probe(0), -ENODEV);
	CHECK(!oled_data_taken[0]);
	CHECK_EQ(rig_messages(0, 0), 0);
	CHECK_EQ(rig_dev(0)->nattrs, 0);
	CHECK(!oled_vm.set_video_format);
	CHECK(!oled_lock.locked);
}

TEST(absent_panel_is_still_bound)
{
	rig_setup();
	rig_model(0)->present = 0;
	REQUIRE(rig_load() == 0);
	CHECK_EQ(rig_probe(0), 0);
	CHECK_EQ(kapi_msg_count(KAPI_ERR, "Failed to init uoled display\n"), 1);
	CHECK_EQ(kapi_msg_count(KAPI_ERR, "fail to write a:0x0000, d:0x01\r\n"), 25);
	CHECK_EQ(rig_dev(0)->nattrs, 16);
}

TEST(power_on_blank_off_when_requested)
{
	struct oled_data *d;

	rig_setup();
	kapi_of_add_gpio(&rig[0].node, "blank-gpios", 40, OF_GPIO_ACTIVE_LOW);
	kapi_of_add_gpio(&rig[0].node, "pwon-gpios", 41, 0);
	rig_wire_supply(0, 41, 1);
	REQUIRE(rig_load() == 0);
	CHECK_EQ(rig_probe(0), 0);
	d = rig_data(0);
	CHECK_EQ(d->blank_gpio, 40);
	CHECK_EQ(d->blank_active, 0);
	CHECK_EQ(d->pwon_gpio, 41);
	CHECK_EQ(d->pwon_active, 1);
	CHECK_STR(kapi_gpios[40].label, "blank-gpios");
	CHECK_STR(kapi_gpios[41].label, "pwon-gpios");
	CHECK_EQ(kapi_msg_count(KAPI_INFO, "requested gpio 40 as blank-gpios\n"), 1);
	CHECK_EQ(kapi_msg_count(KAPI_INFO, "requested gpio 41 as pwon-gpios\n"), 1);
	CHECK(kapi_attr(rig_dev(0), "attr_pon"));
	CHECK_EQ(rig_dev(0)->nattrs, 17);
	CHECK_EQ(global_power_gpio, -1);
	CHECK_EQ(global_blank_gpio, -1);
	/* requested showing the picture; the start-up ran blanked (low) */
	CHECK_STR(kapi_trace, "gpio40=1 gpio41=1 gpio41=1 gpio40=0 i2c gpio40=1");
	CHECK_EQ(rig_model(0)->display_on, 1);
}

TEST(gpio_request_failure_means_no_line)
{
	struct oled_data *d;

	rig_setup();
	kapi_of_add_gpio(&rig[0].node, "pwon-gpios", 17, 0);
	kapi_of_add_gpio(&rig[1].node, "pwon-gpios", 600, 0);
	kapi_gpio_fail_request = 17;
	REQUIRE(rig_load() == 0);
	CHECK_EQ(rig_probe(0), 0);
	d = rig_data(0);
	CHECK_EQ(d->pwon_gpio, -1);
	CHECK_EQ(kapi_msg_count(KAPI_ERR, "failed to request 17 as pwon-gpios\n"), 1);
	CHECK(!kapi_attr(rig_dev(0), "attr_pon"));
	CHECK_EQ(kapi_gpios[17].writes, 0);

	/* a number beyond the controller's range is kept but not requested */
	CHECK_EQ(rig_probe(1), 0);
	CHECK_EQ(rig_data(1)->pwon_gpio, 600);
	CHECK_EQ(kapi_msg_count_part("as pwon-gpios"), 1);
}

TEST(shared_blank_line_is_requested_once)
{
	int i;

	rig_setup();
	for (i = 0; i < 2; i++) {
		kapi_of_add_gpio(&rig[i].node, "global-blank-gpios", 50,
				 OF_GPIO_ACTIVE_LOW);
		/* the shared line wins over a line of its own */
		kapi_of_add_gpio(&rig[i].node, "blank-gpios", 60 + i, 0);
	}
	REQUIRE(rig_load() == 0);
	CHECK_EQ(rig_probe(0), 0);
	CHECK_EQ(rig_probe(1), 0);
	CHECK_EQ(kapi_gpios[50].requests, 1);
	CHECK_EQ(kapi_gpios[60].requests + kapi_gpios[61].requests, 0);
	CHECK_EQ(global_blank_gpio, 50);
	CHECK_EQ(global_blank_gpio_active_state, 0);
	CHECK_EQ(rig_data(1)->blank_gpio, 50);
	CHECK_EQ(rig_data(1)->blank_active, 0);
	CHECK_EQ(kapi_msg_count(KAPI_INFO,
				"grabbed already registered global-blank-gpios pin 50, active 0"), 1);
}

TEST(failed_shared_line_is_not_handed_on)
{
	int i;

	rig_setup();
	for (i = 0; i < 2; i++)
		kapi_of_add_gpio(&rig[i].node, "global-pwon-gpios", 21, 0);
	kapi_gpio_fail_request = 21;
	REQUIRE(rig_load() == 0);
	CHECK_EQ(rig_probe(0), 0);
	CHECK_EQ(rig_data(0)->pwon_gpio, -1);
	CHECK_EQ(global_power_gpio, -1);

	/* the second display tries the request itself instead of grabbing it */
	kapi_gpio_fail_request = -1;
	CHECK_EQ(rig_probe(1), 0);
	CHECK_EQ(rig_data(1)->pwon_gpio, 21);
	CHECK_EQ(kapi_gpios[21].requests, 1);
	CHECK(kapi_gpios[21].requested && !kapi_gpios[21].owner);
	CHECK_EQ(kapi_msg_count_part("grabbed already registered"), 0);
	CHECK(!kapi_attr(rig_dev(0), "attr_pon"));
	CHECK(kapi_attr(rig_dev(1), "attr_pon"));
}

TEST(remove_frees_the_slot_and_the_files)
{
	rig_setup();
	REQUIRE(rig_load() == 0);
	CHECK_EQ(rig_probe(0), 0);
	CHECK_EQ(rig_probe(1), 0);
	rig_remove(0);
	CHECK(!oled_data_taken[0] && oled_data_taken[1]);
	CHECK_EQ(rig_dev(0)->nattrs, 0);
	CHECK(!oled_data_arr[0].client);
	CHECK(!oled_lock.locked);

	/* the freed slot takes the next panel */
	CHECK_EQ(rig_probe(2), 0);
	CHECK(rig_data(2) == &oled_data_arr[0]);
	rig_remove(1);
	CHECK(!oled_data_taken[1]);
	CHECK_EQ(rig_dev(1)->nattrs, 0);
}

TEST(format_hook_reaches_every_bound_display_under_the_lock)
{
	unsigned int m0, m1;

	rig_setup();
	REQUIRE(rig_load() == 0);
	CHECK_EQ(rig_probe(0), 0);
	CHECK_EQ(rig_probe(1), 0);
	REQUIRE(oled_vm.set_video_format);
	/* the hook only records the format: the panels get it from the work */
	m0 = rig_mark(0);
	CHECK_EQ(oled_vm.set_video_format(2), 0);
	CHECK_EQ(oled_vm.set_video_format(1), 0);
	CHECK_EQ(rig_messages(0, m0), 0);
	CHECK_EQ(kapi_works_pending(), 1);
	kapi_run_works();
	CHECK_EQ(rig_model(0)->video_inputs, 2);
	CHECK_EQ(rig_model(0)->video_input[0], 0x10);
	CHECK_EQ(rig_model(1)->video_input[0], 0x10);
	CHECK_EQ(rig_data(1)->video_input[0], 0x10);
	/* the template is for later probes and is not changed */
	CHECK_EQ(VIDEO_FORMAT[0], 0x01);
	CHECK_EQ(kapi_unlocked_xfers, 0);
	CHECK(!oled_lock.locked);

	CHECK_EQ(oled_vm.set_video_format(5), -1);
	CHECK_EQ(kapi_works_pending(), 0);
	/* a failure on slot 0 ends the walk */
	rig_model(0)->present = 0;
	m1 = rig_mark(1);
	CHECK_EQ(oled_vm.set_video_format(2), 0);
	kapi_run_works();
	CHECK_EQ(rig_messages(1, m1), 0);
	CHECK_EQ(rig_data(0)->video_input[0], 0x10);
	CHECK_EQ(kapi_msg_count(KAPI_ERR,
				"oled_video_format_work Failed to set OLED video format 2\n"), 1);

	/* an unbound display is skipped */
	rig_model(0)->present = 1;
	rig_remove(0);
	m0 = rig_mark(0);
	CHECK_EQ(oled_vm.set_video_format(2), 0);
	kapi_run_works();
	CHECK_EQ(rig_messages(0, m0), 0);
	CHECK_EQ(rig_model(1)->video_input[0], 0x12);
}

static void blank_op_calls_the_hook(struct fb_info *info, int blank)
{
	if (oled_vm.set_video_format)
		CHECK_EQ(oled_vm.set_video_format(oled_vm.video_format), 0);
}

/*
 * The display driver calls the hook under console_lock, from its mode
 * setting and from its blank operation, which the module's own blanking
 * runs with oled_lock held: the hook must take neither lock.
 */
TEST(format_hook_from_the_display_drivers_locked_paths)
{
	static struct fb_info fbi = { .on_blank = blank_op_calls_the_hook };

	rig_setup();
	oled_vm.fbi = &fbi;
	REQUIRE(rig_load() == 0);
	REQUIRE(rig_probe(0) == 0);
	kapi_run_works();

	oled_vm.video_format = 2;
	CHECK_EQ(rig_store(0, "attr_luminance", "100"), 3);
	CHECK_EQ(rig_model(0)->luminance, 100);
	CHECK_EQ(fbi.blank_calls, 4);
	kapi_run_works();
	CHECK_EQ(rig_model(0)->video_input[0], 0x12);

	console_lock();
	CHECK_EQ(oled_vm.set_video_format(1), 0);
	console_unlock();
	kapi_run_works();
	CHECK_EQ(rig_model(0)->video_input[0], 0x10);
	CHECK_EQ(kapi_mutex_under_console, 0);
	CHECK_EQ(kapi_unlocked_xfers, 0);
}

static int other_hook(int format)
{
	return 42;
}

TEST(unload_withdraws_only_its_own_hook)
{
	unsigned int m;

	rig_setup();
	REQUIRE(rig_load() == 0);
	CHECK_EQ(rig_probe(0), 0);
	/* a format change still queued when the module goes is dropped */
	CHECK_EQ(oled_vm.set_video_format(1), 0);
	m = rig_mark(0);
	rig_unload();
	CHECK(!oled_vm.set_video_format);
	CHECK(!kapi_driver);
	CHECK_EQ(kapi_works_pending(), 0);
	CHECK_EQ(rig_messages(0, m), 0);
	CHECK_EQ(rig_dev(0)->nattrs, 0);

	/* a hook that is not ours is neither replaced nor withdrawn */
	oled_vm.set_video_format = other_hook;
	REQUIRE(rig_load() == 0);
	CHECK_EQ(rig_probe(0), 0);
	CHECK(oled_vm.set_video_format == other_hook);
	rig_remove(0);
	rig_unload();
	CHECK(oled_vm.set_video_format == other_hook);
}
