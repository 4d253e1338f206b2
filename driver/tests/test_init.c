// SPDX-License-Identifier: GPL-2.0
/*
 * Panel start-up sequence and the power attribute.
 */
#include "rig.h"

struct seq {
	unsigned int w[400];
	int n;
};

static void add(struct seq *s, unsigned int w)
{
	s->w[s->n++] = w;
}

static void add_block(struct seq *s, u16 reg, const u8 *bytes, int len)
{
	int i;

	for (i = 0; i < len; i++)
		add(s, W8(reg + i, bytes[i]));
}

static void add_hold(struct seq *s)
{
	int i;

	for (i = 0; i < 5; i++)
		add(s, W8(REG_HOLD + i, HOLD_ON));
}

static void add_exe(struct seq *s, int opcode)
{
	if (opcode == 5)
		add(s, W8(REG_CMD5_GUARD, 0x04));
	add(s, W8(REG_CMD_OPCODE, opcode));
	add(s, W8(REG_CMD_TRIGGER, 0));
	if (opcode == 5) {
		add(s, W8(REG_CMD5_DONE, 0x06));
		add(s, W8(REG_CMD5_GUARD, 0x02));
	}
	add(s, W8(REG_STATUS, STATUS_CMD_DONE));
}

static void add_cmd(struct seq *s, int opcode, const u8 *params, int len)
{
	add_hold(s);
	add_block(s, REG_CMD_PARAM, params, len);
	add_exe(s, opcode);
}

/* The start-up sequence for a display whose video input block is vi */
static void expected_init(struct seq *s, const u8 *vi, int rgbw, u8 lum)
{
	static const u8 rgbw_max[8] = { 3, 0xF0, 3, 0xF0, 3, 0xF0, 3, 0xF0 };
	static const u8 fw[7] = { 0x50, 0x04, 0x00, 0x3B, 0x00, 0x40, 0x00 };
	static const u8 lut_raw[5] = { 0x50, 0x00, 0x50, 0x00, 0x28 };
	static const u8 lut[5] = { 0x50, 0x01, 0x00, 0x01, 0x68 };
	static const u8 temp[6] = { 0x50, 0x00, 0x78, 0x00, 0x17, 0x00 };
	u8 set_lum[3] = { 0x00, lum, 0x00 };
	u8 on = 1;

	add(s, W8(0x0000, 0x01));
	add(s, W8(0x0000, 0x03));
	add(s, W8(0x0001, 0x11));
	add(s, W8(0x001A, 0x27));
	add(s, W8(REG_STATUS, STATUS_STARTUP_DONE));
	add(s, W8(0x0018, 0xC0));
	add(s, W8(0x0019, 0x60));
	add_cmd(s, 5, fw, 7);
	add(s, W8(0x001A, 0x00));
	add(s, W8(0x001A, 0x87));
	add(s, W8(0x001A, 0x00));
	add(s, W8(0x001A, 0xA7));
	add(s, W8(REG_STATUS, STATUS_STARTUP_DONE));
	add_cmd(s, 4, lut_raw, 5);
	add_cmd(s, 4, lut, 5);
	if (rgbw) {
		add(s, W8(0x0342, 0x00));
		add(s, W8(0x034A, 0x04));
		add_block(s, 0x0358, rgbw_max, 8);
	}
	add_cmd(s, 9, temp, 6);
	add_hold(s);
	add(s, W8(0x03CA, 0x00));
	add(s, W8(0x03CB, 0x04));
	add_block(s, REG_CMD_PARAM, vi, 21);
	add_exe(s, 1);
	add_cmd(s, 2, set_lum, 3);
	add_cmd(s, 3, &on, 1);
}

static void check_sequence(int panel, unsigned int mark, const struct seq *want)
{
	unsigned int got[400];
	int n = rig_writes(panel, mark, got, 400), i;

	CHECK_EQ(n, want->n);
	for (i = 0; i < n && i < want->n; i++) {
		if (got[i] != want->w[i]) {
			CHECK_EQ(got[i], want->w[i]);
			fprintf(stderr, "  first difference at write %d\n", i);
			return;
		}
	}
}

static int accesses(int panel, unsigned int mark)
{
	struct uoled_panel *p = rig_model(panel);
	unsigned int k;
	int n = 0;

	for (k = mark; k < p->log_len; k++)
		if (!p->log[k].write || p->log[k].len)
			n++;
	return n;
}

static void check_init(int rgbw)
{
	struct uoled_panel *p = rig_model(0);
	struct seq want = { .n = 0 };
	struct oled_data *d;

	rig_setup();
	kapi_param_set("rgbw_en", rgbw);
	REQUIRE(rig_load() == 0);
	REQUIRE(rig_probe(0) == 0);
	d = rig_data(0);
	REQUIRE(d);

	expected_init(&want, d->video_input, rgbw, 200);
	check_sequence(0, 0, &want);

	/* the panel ran every step and shows the picture */
	CHECK(p->fw_loaded);
	CHECK_EQ(p->lut_loads, 2);
	CHECK_EQ(p->temp_updates, 1);
	CHECK_EQ(p->video_inputs, 1);
	CHECK(!memcmp(p->video_input, d->video_input, 21));
	CHECK_EQ(p->luminance, 200);
	CHECK_EQ(p->display_on, 1);
	CHECK_EQ(p->ignored_commands, 0);
	CHECK_EQ(p->regs[REG_STATUS], 0);
	CHECK_EQ(uoled_panel_reg16(p, REG_PATTERN_CTRL), 0x0004);
	CHECK_EQ(d->luminance, 200);
	CHECK_EQ(d->display_on, 1);
	CHECK_EQ(kapi_msg_count(KAPI_INFO, "oled_init: display initialized\r\n"), 1);
	CHECK_EQ(kapi_msg_count(KAPI_WARN, "RGB-White enabled!!\n"), rgbw);
	CHECK_EQ(kapi_msg_count(KAPI_WARN, "skipping RGB-White enable sequence\n"),
		 !rgbw);

	/* 100 ms, 0.4 + 0.5 ms after the resets, 9 polls of 40 ms, 50 ms
	 * before the RGB-White steps, 400 us after every access */
	CHECK_EQ(kapi_clock_us, 100000 + 900 + 9 * 40000 + (rgbw ? 50000 : 0) +
		 400ULL * accesses(0, 0));
}

TEST(init_sequence_with_rgb_white)
{
	check_init(1);
}

TEST(init_sequence_without_rgb_white)
{
	check_init(0);
}

TEST(init_stops_at_the_first_failed_step)
{
	struct uoled_panel *p = rig_model(0);
	int cmds[16];

	rig_setup();
	/* the first reset write fails all its attempts: nothing follows */
	uoled_panel_refuse(p, 0x0000, 25);
	REQUIRE(rig_load() == 0);
	CHECK_EQ(rig_probe(0), 0);
	CHECK_EQ(rig_messages(0, 0), 25);
	CHECK_EQ(kapi_msg_count(KAPI_ERR, "Failed to init uoled display\n"), 1);
	CHECK_EQ(kapi_msg_count_part("display initialized"), 0);
	/* the display is kept and can be driven */
	CHECK(kapi_attr(rig_dev(0), "attr_luminance"));
	CHECK_EQ(rig_data(0)->display_on, 0);
	CHECK_EQ(rig_data(0)->luminance, 0);
	rig_remove(0);

	/* command 5 never completes: the sequence ends there */
	rig_setup();
	p->never_done = 1;
	kapi_msgs_clear();
	CHECK_EQ(rig_probe(0), 0);
	CHECK_EQ(rig_commands(0, 0, cmds, 16), 1);
	CHECK_EQ(cmds[0], OLED_CMD_PARAMS);
	CHECK_EQ(rig_writes_to(0, 0, 0x001A, NULL), 1);
	CHECK_EQ(kapi_msg_count(KAPI_ERR, "timed out while in poll it function\r\n"), 1);
	CHECK_EQ(kapi_msg_count(KAPI_ERR, "Failed to init uoled display\n"), 1);
}

static void setup_power(int gpio, int flags)
{
	rig_setup();
	kapi_of_add_gpio(&rig[0].node, "pwon-gpios", gpio, flags);
	rig_wire_supply(0, gpio, flags & OF_GPIO_ACTIVE_LOW ? 0 : 1);
	REQUIRE(rig_load() == 0);
	REQUIRE(rig_probe(0) == 0);
}

TEST(power_attribute_reinitialises_on_off_to_on)
{
	char out[PAGE_SIZE];
	unsigned int m;
	int writes;

	setup_power(17, 0);
	CHECK_EQ(rig_model(0)->display_on, 1);
	CHECK_EQ(kapi_gpios[17].level, 1);
	CHECK_STR(kapi_gpios[17].label, "pwon-gpios");

	/* already on: the line is driven again, nothing else */
	writes = kapi_gpios[17].writes;
	m = rig_mark(0);
	CHECK_EQ(rig_store(0, "attr_pon", "1"), 1);
	CHECK_EQ(kapi_gpios[17].writes, writes + 1);
	CHECK_EQ(rig_writes_to(0, m, 0x0000, NULL), 0);

	CHECK_EQ(rig_store(0, "attr_pon", "0\n"), 2);
	CHECK_EQ(kapi_gpios[17].level, 0);
	CHECK(!rig_model(0)->powered);
	CHECK_EQ(rig_show(0, "attr_pon", out), 2);
	CHECK_STR(out, "0\n");
	/* off keeps the record as it was */
	CHECK_EQ(rig_data(0)->display_on, 1);

	/* any nonzero number is on, and off to on runs the start-up again */
	m = rig_mark(0);
	CHECK_EQ(rig_store(0, "attr_pon", "2"), 1);
	CHECK_EQ(kapi_gpios[17].level, 1);
	CHECK_EQ(rig_writes_to(0, m, 0x0000, NULL), 2);
	CHECK_EQ(rig_model(0)->display_on, 1);
	CHECK_EQ(rig_model(0)->luminance, 200);
	CHECK_EQ(rig_show(0, "attr_pon", out), 2);
	CHECK_STR(out, "1\n");

	/* a word is refused without touching the line */
	writes = kapi_gpios[17].writes;
	CHECK_EQ(rig_store(0, "attr_pon", "on"), -EINVAL);
	CHECK_EQ(kapi_msg_count(KAPI_ERR,
				"Failed to get input -- valid options are 0/1"), 1);
	CHECK_EQ(kapi_gpios[17].writes, writes);
	CHECK_EQ(rig_store(0, "attr_pon", "-1"), -EINVAL);
	CHECK_EQ(kapi_unlocked_xfers, 0);
}

TEST(power_attribute_with_active_low_line)
{
	char out[PAGE_SIZE];
	unsigned int m;

	setup_power(9, OF_GPIO_ACTIVE_LOW);
	/* requested at its active level: low */
	CHECK_EQ(kapi_gpios[9].level, 0);
	CHECK_EQ(rig_data(0)->pwon_active, 0);
	CHECK_EQ(rig_model(0)->display_on, 1);

	CHECK_EQ(rig_store(0, "attr_pon", "0"), 1);
	CHECK_EQ(kapi_gpios[9].level, 1);
	CHECK_EQ(rig_show(0, "attr_pon", out), 2);
	CHECK_STR(out, "0\n");

	m = rig_mark(0);
	CHECK_EQ(rig_store(0, "attr_pon", "1"), 1);
	CHECK_EQ(kapi_gpios[9].level, 0);
	CHECK_EQ(rig_show(0, "attr_pon", out), 2);
	CHECK_STR(out, "1\n");
	CHECK_EQ(rig_writes_to(0, m, 0x0000, NULL), 2);
	CHECK_EQ(rig_model(0)->display_on, 1);
}

TEST(power_attribute_init_failure_is_eio)
{
	setup_power(17, 0);
	CHECK_EQ(rig_store(0, "attr_pon", "0"), 1);
	rig_model(0)->present = 0;
	CHECK_EQ(rig_store(0, "attr_pon", "1"), -EIO);
	CHECK_EQ(kapi_msg_count(KAPI_ERR, "Failed to init oled\n"), 1);
	/* the line is not switched back off */
	CHECK_EQ(kapi_gpios[17].level, 1);
}

static int init_messages_of(struct device *dev)
{
	int i, n = 0;

	for (i = 0; i < kapi_nmsgs; i++)
		if (kapi_msgs[i].dev == dev &&
		    !strcmp(kapi_msgs[i].text, "oled_init: display initialized\r\n"))
			n++;
	return n;
}

static void setup_shared_power(void)
{
	int i;

	rig_setup();
	for (i = 0; i < 2; i++) {
		kapi_of_add_gpio(&rig[i].node, "global-pwon-gpios", 20, 0);
		rig_wire_supply(i, 20, 1);
	}
	REQUIRE(rig_load() == 0);
	REQUIRE(rig_probe(0) == 0);
	REQUIRE(rig_probe(1) == 0);
}

TEST(shared_power_line_reinitialises_both_slot_0_first)
{
	int i, first = -1;

	setup_shared_power();
	CHECK_EQ(kapi_gpios[20].requests, 1);
	/* requested for the module, not for the first display's device */
	CHECK(!kapi_gpios[20].owner);
	CHECK_EQ(kapi_msg_count(KAPI_INFO,
				"grabbed already registered global-pwon-gpios pin 20, active 1"), 1);
	CHECK_EQ(rig_data(1)->pwon_gpio, 20);
	CHECK(kapi_attr(rig_dev(1), "attr_pon"));

	/* switched off and on through the second display */
	CHECK_EQ(rig_store(1, "attr_pon", "0"), 1);
	CHECK(!rig_model(0)->powered && !rig_model(1)->powered);
	kapi_msgs_clear();
	CHECK_EQ(rig_store(1, "attr_pon", "1"), 1);
	CHECK_EQ(init_messages_of(rig_dev(0)), 1);
	CHECK_EQ(init_messages_of(rig_dev(1)), 1);
	for (i = 0; i < kapi_nmsgs && first < 0; i++)
		if (strstr(kapi_msgs[i].text, "display initialized"))
			first = kapi_msgs[i].dev == rig_dev(0) ? 0 : 1;
	CHECK_EQ(first, 0);
	CHECK_EQ(rig_model(0)->display_on, 1);
	CHECK_EQ(rig_model(1)->display_on, 1);
}

TEST(shared_power_line_outlives_the_display_that_found_it)
{
	setup_shared_power();

	/* the second display still drives the line the first one found */
	rig_remove(0);
	CHECK(kapi_gpios[20].requested);
	CHECK_EQ(global_power_gpio, 20);
	CHECK_EQ(rig_store(1, "attr_pon", "0"), 1);
	CHECK_EQ(rig_store(1, "attr_pon", "1"), 1);
	CHECK_EQ(rig_model(1)->display_on, 1);

	/* bound again, the first display takes the line without a request */
	CHECK_EQ(rig_probe(0), 0);
	CHECK_EQ(rig_data(0)->pwon_gpio, 20);
	CHECK_EQ(kapi_gpios[20].requests, 1);
	CHECK(kapi_attr(rig_dev(0), "attr_pon"));

	/* released once, when the module goes */
	rig_remove(0);
	rig_remove(1);
	CHECK(kapi_gpios[20].requested);
	rig_unload();
	CHECK(!kapi_gpios[20].requested);
	CHECK_EQ(kapi_gpios[20].frees, 1);
	CHECK_EQ(global_power_gpio, -1);
}

TEST(shared_power_line_stops_at_failing_slot_0)
{
	setup_shared_power();
	CHECK_EQ(rig_store(1, "attr_pon", "0"), 1);
	rig_model(0)->present = 0;
	kapi_msgs_clear();
	CHECK_EQ(rig_store(1, "attr_pon", "1"), -EIO);
	CHECK_EQ(kapi_msg_count(KAPI_ERR, "Failed to init oled with addr 0x24\n"), 1);
	CHECK_EQ(init_messages_of(rig_dev(1)), 0);
}

TEST(reinit_sends_the_luminance_last_set_on_any_display)
{
	int i;

	rig_setup();
	for (i = 0; i < 2; i++) {
		kapi_of_add_gpio(&rig[i].node, "pwon-gpios", 30 + i, 0);
		rig_wire_supply(i, 30 + i, 1);
	}
	REQUIRE(rig_load() == 0);
	REQUIRE(rig_probe(0) == 0);
	REQUIRE(rig_probe(1) == 0);

	CHECK_EQ(rig_store(1, "attr_luminance", "120"), 3);
	CHECK_EQ(rig_store(0, "attr_pon", "0"), 1);
	CHECK_EQ(rig_store(0, "attr_pon", "1"), 1);
	CHECK_EQ(rig_model(0)->luminance, 120);
	CHECK_EQ(rig_data(0)->luminance, 120);
	/* a line of its own: the other display is left alone */
	CHECK(rig_model(1)->powered);
	CHECK_EQ(init_messages_of(rig_dev(1)), 1);
}
