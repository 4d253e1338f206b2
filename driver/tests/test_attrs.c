// SPDX-License-Identifier: GPL-2.0
/*
 * The attribute files: parsing, clamping, result codes, caches, the picture
 * controls behind them, identification and blanking.
 */
#include <math.h>

#include "rig.h"

static char out[PAGE_SIZE];

/* One bound display at 0x24 without lines; bus log marked after probe */
static unsigned int bound(void)
{
	rig_setup();
	if (rig_load() || rig_probe(0))
		ktest_fail(__FILE__, __LINE__, "probe");
	kapi_msgs_clear();
	kapi_trace_clear();
	kapi_clock_us = 0;
	return rig_mark(0);
}

static const char *show(const char *attr)
{
	ssize_t n = rig_show(0, attr, out);

	return n < 0 ? "(error)" : out;
}

TEST(luminance_is_clamped_unsigned_and_cached)
{
	unsigned int m = bound();
	int cmds[8];

	CHECK_EQ(rig_store(0, "attr_luminance", "300"), 3);
	CHECK_EQ(rig_model(0)->luminance, 240);
	CHECK_STR(show("attr_luminance"), "240\n");
	/* temperature regulation before every luminance command */
	CHECK_EQ(rig_commands(0, m, cmds, 8), 2);
	CHECK_EQ(cmds[0], OLED_CMD_TEMP_REGULATION);
	CHECK_EQ(cmds[1], OLED_CMD_LUMINANCE);

	/* what the daemon writes: the number alone */
	CHECK_EQ(rig_store(0, "attr_luminance", "75"), 2);
	CHECK_EQ(rig_model(0)->luminance, 75);
	CHECK_STR(show("attr_luminance"), "75\n");
	CHECK_STR(show("attr_luminance_with_gamma"), "75\n");

	m = rig_mark(0);
	CHECK_EQ(rig_store(0, "attr_luminance", "-5"), -EINVAL);
	CHECK_EQ(rig_store(0, "attr_luminance", "bright"), -EINVAL);
	CHECK_EQ(rig_messages(0, m), 0);
	CHECK_STR(show("attr_luminance"), "75\n");

	CHECK_EQ(rig_store(0, "attr_luminance", "4294967295\n"), 11);
	CHECK_EQ(rig_model(0)->luminance, 240);
	CHECK_EQ(rig_store(0, "attr_luminance", "12\n"), 3);
	CHECK_EQ(rig_model(0)->luminance, 12);

	rig_model(0)->present = 0;
	CHECK_EQ(rig_store(0, "attr_luminance", "100"), -EIO);
	CHECK_STR(show("attr_luminance"), "12\n");
	CHECK_EQ(kapi_unlocked_xfers, 0);
}

struct gamma_writes {
	int words[4];
	int n;
};

/* The four gamma words written since mark, as high/low pairs */
static struct gamma_writes gamma_since(unsigned int m)
{
	static const int regs[4] = { 0x0330, 0x033E, 0x0344, 0x034A };
	struct gamma_writes g = { .n = 0 };
	int i, hi = -1, lo = -1;

	for (i = 0; i < 4; i++) {
		int nh = rig_writes_to(0, m, regs[i], &hi);
		int nl = rig_writes_to(0, m, regs[i] + 1, &lo);

		if (nh == 1 && nl == 1)
			g.words[g.n++] = (hi << 8) | lo;
	}
	return g;
}

TEST(luminance_with_gamma_below_150_dims_through_gamma)
{
	unsigned int m = bound();
	struct gamma_writes g;
	int i;

	CHECK_EQ(rig_store(0, "attr_luminance_with_gamma", "0"), 1);
	g = gamma_since(m);
	CHECK_EQ(g.n, 4);
	for (i = 0; i < g.n; i++)
		CHECK_EQ(g.words[i], 105);
	CHECK_EQ(rig_model(0)->luminance, 150);
	CHECK_STR(show("attr_luminance_with_gamma"), "0\n");
	CHECK_EQ(kapi_msg_count(KAPI_INFO,
				"choosing gamma=105 for lum=0, lum to display=150\r\n"), 1);

	m = rig_mark(0);
	CHECK_EQ(rig_store(0, "attr_luminance_with_gamma", "149"), 3);
	CHECK_EQ(gamma_since(m).words[3], 1007);
	CHECK_EQ(rig_model(0)->luminance, 150);

	m = rig_mark(0);
	CHECK_EQ(rig_store(0, "attr_luminance_with_gamma", "150"), 3);
	CHECK_EQ(gamma_since(m).words[0], 1023);
	CHECK_EQ(rig_model(0)->luminance, 150);

	/* numbers from 2^31 up clamp to 240 like any other large number */
	for (i = 0; i < 3; i++) {
		static const char *const big[3] = {
			"240", "2147483648", "4294967295"
		};
		m = rig_mark(0);
		CHECK(rig_store(0, "attr_luminance_with_gamma", big[i]) > 0);
		CHECK_EQ(gamma_since(m).words[2], 1023);
		CHECK_EQ(rig_model(0)->luminance, 240);
		CHECK_STR(show("attr_luminance"), "240\n");
	}
	CHECK_EQ(rig_store(0, "attr_luminance_with_gamma", "-1"), -EINVAL);
}

TEST(gamma_table_follows_the_display_curve)
{
	int l;

	bound();
	for (l = 0; l < 150; l++) {
		unsigned int m = rig_mark(0);
		int base = l / 5 * 5;
		double ideal = 1023.0 * pow((base ? base : 1) / 150.0, 1 / 2.2);
		struct gamma_writes g;

		CHECK_EQ(oled_set_lum_with_gamma(&rig[0].client, l), 0);
		g = gamma_since(m);
		REQUIRE(g.n == 4);
		CHECK_EQ(g.words[0], GAMMA_APPROXIMATION_TBL[l / 5]);
		CHECK(fabs(g.words[0] - ideal) <= 1.0);
	}
}

TEST(rgb_correction_sends_off_then_on)
{
	unsigned int m = bound();
	const u8 *rgb = rig_model(0)->rgb;
	int cmds[8];

	CHECK_EQ(rig_store(0, "attr_rgb_correction", "1,2,3,4,5,6\n"), 12);
	CHECK_EQ(rig_commands(0, m, cmds, 8), 2);
	CHECK_EQ(cmds[0], OLED_CMD_RGB_CORRECTION);
	CHECK_EQ(cmds[1], OLED_CMD_RGB_CORRECTION);
	CHECK_EQ(rgb[0], 1);
	CHECK_EQ(rgb[1], 1);
	CHECK_EQ(rgb[3], 3);
	CHECK_EQ(rgb[5], 4);
	CHECK_EQ(rgb[9], 6);
	CHECK_STR(show("attr_rgb_correction"), "1,2,3,4,5,6\n");
	CHECK(kapi_clock_us >= 100000);
	CHECK_EQ(kapi_msg_count(KAPI_INFO, "rgb arr[9] = 6\n"), 1);

	/* extremes and two's complement */
	CHECK_EQ(rig_store(0, "attr_rgb_correction", "-128,127,0,-1,511,-511"), 22);
	CHECK_EQ(rgb[1], 0x80);
	CHECK_EQ(rgb[4], 0xFF);
	CHECK_EQ(rgb[5], 0xFF);
	CHECK_EQ(rgb[6], 0x01);
	CHECK_EQ(rgb[7], 0xFF);
	CHECK_EQ(rgb[8], 0xFE);
	CHECK_EQ(rgb[9], 0x01);
	CHECK_STR(show("attr_rgb_correction"), "-128,127,0,-1,511,-511\n");

	/* all zero: one block, correction off */
	m = rig_mark(0);
	CHECK_EQ(rig_store(0, "attr_rgb_correction", "0,0,0,0,0,0"), 11);
	CHECK_EQ(rig_commands(0, m, cmds, 8), 1);
	CHECK_EQ(rgb[0], 0);
	CHECK_STR(show("attr_rgb_correction"), "0,0,0,0,0,0\n");
}

TEST(rgb_correction_refusals)
{
	unsigned int m = bound();

	CHECK_EQ(rig_store(0, "attr_rgb_correction", "128,0,0,0,0,0"), -EINVAL);
	CHECK_EQ(rig_store(0, "attr_rgb_correction", "0,0,-129,0,0,0"), -EINVAL);
	CHECK_EQ(rig_store(0, "attr_rgb_correction", "0,0,0,0,512,0"), -EINVAL);
	CHECK_EQ(kapi_msg_count(KAPI_WARN,
				"Value out of range: 128, valid: -128..127\n"), 1);
	CHECK_EQ(kapi_msg_count(KAPI_WARN,
				"Value out of range: 512, valid: -511..511\n"), 1);
	CHECK_EQ(rig_store(0, "attr_rgb_correction", "1,2"), -EINVAL);
	CHECK_EQ(kapi_msg_count(KAPI_WARN,
				"Invalid number for parsing: got 2, expected: 6\n"), 1);
	CHECK_EQ(rig_store(0, "attr_rgb_correction", "1,x,3,4,5,6"), -EINVAL);
	CHECK_EQ(kapi_msg_count(KAPI_WARN, "Invalid format: x\n"), 1);
	CHECK_EQ(rig_messages(0, m), 0);
	CHECK_STR(show("attr_rgb_correction"), "0,0,0,0,0,0\n");

	/* a panel failure keeps the cache */
	rig_model(0)->never_done = 1;
	CHECK_EQ(rig_store(0, "attr_rgb_correction", "1,1,1,1,1,1"), -EIO);
	CHECK_EQ(kapi_msg_count(KAPI_INFO,
				"attr_store_rgb_correction Failed to set OLED rgb correction data"), 1);
	CHECK_STR(show("attr_rgb_correction"), "0,0,0,0,0,0\n");
	CHECK_EQ(kapi_live_allocs, 0);
}

TEST(screen_offsets_encode_sign_and_magnitude)
{
	const u8 *vi = rig_model(0)->video_input;

	bound();
	CHECK_EQ(rig_store(0, "attr_screen_offsets", "3,4\n"), 4);
	CHECK_STR(show("attr_screen_offsets"), "3,4\n");
	CHECK_EQ(rig_store(0, "attr_screen_offsets", "5,-3"), 4);
	CHECK_EQ(vi[15], 0x00);
	CHECK_EQ(vi[16], 0x05);
	CHECK_EQ(vi[17], 0x80);
	CHECK_EQ(vi[18], 0x03);
	CHECK_STR(show("attr_screen_offsets"), "5,-3\n");
	/* the rest of the block is kept */
	CHECK_EQ(vi[0], 0x01);
	CHECK_EQ(vi[19], 0xCA);

	/* the 10-bit magnitude in full; beyond it the store refuses */
	CHECK_EQ(rig_store(0, "attr_screen_offsets", "1023,-1023"), 10);
	CHECK_EQ(vi[15], 0x03);
	CHECK_EQ(vi[16], 0xFF);
	CHECK_EQ(vi[17], 0x83);
	CHECK_EQ(vi[18], 0xFF);
	CHECK_STR(show("attr_screen_offsets"), "1023,-1023\n");
	CHECK_EQ(rig_store(0, "attr_screen_offsets", "300,-1023"), 9);
	CHECK_STR(show("attr_screen_offsets"), "300,-1023\n");
	CHECK_EQ(rig_store(0, "attr_screen_offsets", "2000,-2000"), -EINVAL);
	/* the encoder still saturates, for the start offsets of the parameter */
	CHECK_EQ(offset_int_to_u16(2000), 0x03FF);
	CHECK_EQ(offset_int_to_u16(1023), 0x03FF);
	CHECK_EQ(offset_int_to_u16(-1), 0x8001);
	CHECK_EQ(offset_int_to_u16(0), 0);

	CHECK_EQ(rig_store(0, "attr_screen_offsets", "3"), -EINVAL);
	CHECK_EQ(kapi_msg_count(KAPI_WARN,
				"Invalid number for parsing: got 1, expected: 2\n"), 1);
	rig_model(0)->present = 0;
	CHECK_EQ(rig_store(0, "attr_screen_offsets", "1,1"), -EIO);
	CHECK_EQ(kapi_msg_count(KAPI_INFO,
				"attr_store_screen_offsets Failed to set OLED offset data"), 1);
	CHECK_STR(show("attr_screen_offsets"), "300,-1023\n");
}

TEST(crop_is_written_while_the_display_is_off)
{
	unsigned int m = bound();
	unsigned int w[64];
	int n, i, off = -1, on = -1, crop = -1;

	/* the record's display state is left as it is */
	CHECK_EQ(rig_store(0, "attr_display_on", "0"), 1);
	m = rig_mark(0);
	CHECK_EQ(rig_store(0, "attr_screen_crop", "256,1"), 5);
	n = rig_writes(0, m, w, 64);
	for (i = 0; i < n; i++) {
		if (w[i] == W8(REG_CMD_PARAM, 0) && off < 0)
			off = i;
		if (w[i] == W8(0x03DA, 0x01))
			crop = i;
		if (w[i] == W8(REG_CMD_PARAM, 1))
			on = i;
	}
	REQUIRE(crop > 0 && crop + 3 < n);
	CHECK(off >= 0 && off < crop && on > crop);
	CHECK_EQ(w[crop + 1], W8(0x03DB, 0x00));
	CHECK_EQ(w[crop + 2], W8(0x03DC, 0x00));
	CHECK_EQ(w[crop + 3], W8(0x03DD, 0x01));
	CHECK_EQ(rig_model(0)->display_on, 1);
	CHECK_STR(show("attr_display_on"), "0\n");
	CHECK_STR(show("attr_screen_crop"), "256,1\n");
	CHECK_EQ(kapi_msg_count(KAPI_INFO, "crop x: 256, y: 1\n"), 1);
	CHECK_EQ(kapi_msg_count(KAPI_INFO, "crop x MSB: 1, x LSB: 0\n"), 1);
	CHECK_EQ(kapi_msg_count(KAPI_INFO, "crop y MSB: 0, y LSB: 1\n"), 1);

	m = rig_mark(0);
	kapi_trace_clear();
	kapi_msgs_clear();
	CHECK_EQ(rig_store(0, "attr_screen_crop", "-1,5"), -EINVAL);
	CHECK_EQ(rig_store(0, "attr_screen_crop", "7"), -EINVAL);
	CHECK_EQ(rig_messages(0, m), 0);
	CHECK_STR(kapi_trace, "");
	CHECK_EQ(kapi_msg_count_part("failed to perform blank"), 0);

	rig_model(0)->never_done = 1;
	CHECK_EQ(rig_store(0, "attr_screen_crop", "1,1"), -EIO);
	CHECK_EQ(kapi_msg_count(KAPI_INFO,
				"attr_store_screen_crop Failed to set OLED screen crop"), 1);
	CHECK_STR(show("attr_screen_crop"), "256,1\n");
}

TEST(amplitude_reduction_takes_11_bits)
{
	unsigned int m = bound();
	unsigned int w[4];

	CHECK_EQ(rig_store(0, "attr_amp_reduction", "2047"), 4);
	CHECK_EQ(rig_writes(0, m, w, 4), 1);
	CHECK_EQ(w[0], W16(0x03CC, 0x07FF));
	CHECK_EQ(kapi_msg_count(KAPI_INFO, "amp_reduction = 2047\n"), 1);
	CHECK_STR(show("attr_amp_reduction"), "2047\n");
	CHECK_EQ(rig_store(0, "attr_amp_reduction", "300"), 3);
	CHECK_STR(show("attr_amp_reduction"), "300\n");

	CHECK_EQ(rig_store(0, "attr_amp_reduction", "half"), -EINVAL);
	CHECK_EQ(rig_store(0, "attr_amp_reduction", "4095"), -EINVAL);
	CHECK_EQ(kapi_msg_count(KAPI_ERR, "failed to get amplitude reduction number"), 2);
	CHECK_STR(show("attr_amp_reduction"), "300\n");
	rig_model(0)->present = 0;
	CHECK_EQ(rig_store(0, "attr_amp_reduction", "5"), -EIO);
	CHECK_EQ(kapi_msg_count(KAPI_ERR,
				"attr_store_amp_reduction Failed to set OLED AMPL reduction 5\n"), 1);
	CHECK_EQ(rig_show(0, "attr_amp_reduction", out), -EIO);
}

TEST(raw_register_access_through_work_reg)
{
	struct uoled_panel *p = rig_model(0);

	bound();
	CHECK_EQ(kapi_param_write("work_reg", "0x0123"), 0);
	CHECK_EQ(rig_store(0, "attr_register_8", "12"), -EINVAL);
	CHECK_EQ(rig_store(0, "attr_register_8", "0X12"), -EINVAL);
	CHECK_EQ(rig_store(0, "attr_register_8", "0x1a2"), -EINVAL);
	CHECK_EQ(kapi_msg_count(KAPI_ERR,
				"failed to get input data - format is 0xXXXX (hex)"), 3);
	CHECK_EQ(rig_store(0, "attr_register_8", "0xa2\n"), 5);
	CHECK_EQ(p->regs[0x0123], 0xA2);
	CHECK_EQ(kapi_msg_count(KAPI_INFO,
				"write: addr: 0x0123, data: 0x00a2\n"), 1);
	CHECK_EQ(rig_show(0, "attr_register_8", out), 5);
	CHECK_STR(out, "0xa2\n");
	CHECK_EQ(kapi_msg_count(KAPI_INFO, "read: addr = 0x0123\n"), 1);

	CHECK_EQ(rig_store(0, "attr_register_16", "0xBEEF"), 6);
	CHECK_EQ(p->regs[0x0123], 0xBE);
	CHECK_EQ(p->regs[0x0124], 0xEF);
	CHECK_EQ(rig_show(0, "attr_register_16", out), 7);
	CHECK_STR(out, "0xbeef\n");

	p->present = 0;
	CHECK_EQ(rig_store(0, "attr_register_8", "0x01"), -EIO);
	CHECK_EQ(kapi_msg_count(KAPI_ERR,
				"attr_store_register_8 Failed to set write register addr: 0x0123 with data: 0x01\n"), 1);
	CHECK_EQ(rig_store(0, "attr_register_16", "0x0102"), -EIO);
	CHECK_EQ(kapi_msg_count(KAPI_ERR,
				"attr_store_register_16 Failed to set write register addr: 0x0123 with data: 0x0102\n"), 1);
	CHECK_EQ(rig_show(0, "attr_register_8", out), -EIO);
	CHECK_EQ(rig_show(0, "attr_register_16", out), -EIO);
}

TEST(video_format_store_sends_the_block_but_shows_the_display_driver)
{
	unsigned int m = bound();

	oled_vm.video_format = 2;
	CHECK_EQ(rig_store(0, "attr_video_format", "1"), 1);
	CHECK_EQ(rig_model(0)->video_input[0], 0x10);
	CHECK_EQ(rig_data(0)->video_input[0], 0x10);
	CHECK_STR(show("attr_video_format"), "2\n");

	m = rig_mark(0);
	CHECK_EQ(rig_store(0, "attr_video_format", "3"), -EINVAL);
	CHECK_EQ(kapi_msg_count(KAPI_INFO,
				"attr_store_video_format Failed to set OLED video format 3\n"), 1);
	CHECK_EQ(rig_store(0, "attr_video_format", "pal"), -EINVAL);
	CHECK_EQ(rig_messages(0, m), 0);
	rig_model(0)->present = 0;
	CHECK_EQ(rig_store(0, "attr_video_format", "0"), -EIO);
	CHECK_EQ(rig_data(0)->video_input[0], 0x10);
}

TEST(temperature_and_firmware_versions)
{
	static const u8 other[4] = { 2, 9, 9, 9 };
	static const u8 v1234[4] = { 1, 2, 3, 4 };

	bound();
	rig_model(0)->temperature = 255;
	CHECK_STR(show("attr_temperature"), "255\n");

	memcpy(rig_model(0)->version, v1234, 4);
	CHECK_EQ(rig_show(0, "attr_fw_versions", out), 81);
	CHECK_STR(out, "Firmware major release: 0x02\n"
		       "Firmware minor release: 0x03\n"
		       "Hardware release: 0x04\n");
	memcpy(rig_model(0)->version, other, 4);
	CHECK_EQ(rig_show(0, "attr_fw_versions", out), 44);
	CHECK_STR(out, "Oled version didn't match expected pattern.\n");

	rig_model(0)->present = 0;
	CHECK_EQ(rig_show(0, "attr_temperature", out), -EIO);
	CHECK_EQ(rig_show(0, "attr_fw_versions", out), -EIO);
}

TEST(identification_names_the_model_and_serial)
{
	static const struct {
		u8 code;
		const char *name;
	} models[] = {
		{ 0x20, "MDP03ACFC\n" }, { 0x21, "MDP03BCFCH4\n" },
		{ 0x22, "MDP03BCFCH8\n" }, { 0x23, "MDP03CCFCH4\n" },
		{ 0x24, "MDP03CCFCH8\n" }, { 0x25, "MDP03CCWFH4\n" },
		{ 0x26, "MDP03CCWFH8\n" }, { 0x27, "MDP03BCWFH4\n" },
		{ 0x28, "MDP03BCWFH8\n" }, { 0x29, "Unknown\n" },
		{ 0x1F, "Unknown\n" },
	};
	unsigned int m = bound();
	int cmds[4];
	unsigned int i;

	for (i = 0; i < ARRAY_SIZE(models); i++) {
		rig_model(0)->model_code = models[i].code;
		CHECK_STR(show("attr_type"), models[i].name);
	}
	/* command 5 with the serial block, guard writes included */
	CHECK_EQ(rig_commands(0, m, cmds, 4), (int)ARRAY_SIZE(models));
	CHECK_EQ(cmds[0], OLED_CMD_PARAMS);
	CHECK_EQ(rig_model(0)->ignored_commands, 0);

	memcpy(rig_model(0)->serial, "SN 7/x..ABCDEFGHIJ", 18);
	CHECK_STR(show("attr_sn"), "SN 7/x..ABCDEFGHIJ\n");
	/* one read refreshes both */
	memcpy(rig_model(0)->serial, "000000000000000042", 18);
	rig_model(0)->model_code = 0x21;
	CHECK_STR(show("attr_type"), "MDP03BCFCH4\n");
	CHECK_STR(rig_data(0)->serial, "000000000000000042");

	/* a failed read keeps the last texts */
	rig_model(0)->never_done = 1;
	CHECK_EQ(rig_show(0, "attr_sn", out), -EIO);
	CHECK_EQ(rig_show(0, "attr_type", out), -EIO);
	CHECK_STR(rig_data(0)->type, "MDP03BCFCH4");
}

TEST(pattern_switch_and_kind)
{
	struct uoled_panel *p = rig_model(0);
	unsigned int m;

	bound();
	CHECK_EQ(rig_store(0, "attr_pattern", "7"), 1);
	CHECK_EQ(p->video_input[1], 0x06);
	CHECK_STR(show("attr_pattern"), "1\n");
	CHECK_EQ(rig_store(0, "attr_pattern", "0"), 1);
	CHECK_EQ(p->video_input[1], 0x00);
	CHECK_EQ(rig_store(0, "attr_pattern", "on"), -EINVAL);
	/* the switch is recorded even when the panel fails */
	p->never_done = 1;
	CHECK_EQ(rig_store(0, "attr_pattern", "1"), -EIO);
	CHECK_STR(show("attr_pattern"), "1\n");
	CHECK_EQ(rig_data(0)->video_input[1], 0x00);
	p->never_done = 0;

	p->regs[0x03CA] = 0x00;
	p->regs[0x03CB] = 0x24;
	CHECK_EQ(rig_store(0, "attr_pattern_type", "2"), 1);
	CHECK_EQ(uoled_panel_reg16(p, 0x03CA), 0x0044);
	CHECK_EQ(kapi_msg_count(KAPI_INFO, "x = 2\n"), 1);
	CHECK_EQ(kapi_msg_count(KAPI_INFO, "read in set is: 0x0024\n"), 1);
	CHECK_EQ(kapi_msg_count(KAPI_INFO, "after pattern switch: 0x0044\n"), 1);
	CHECK_STR(show("attr_pattern_type"), "2\n");
	p->regs[0x03CB] = 0x74;
	CHECK_EQ(rig_store(0, "attr_pattern_type", "1"), 1);
	CHECK_EQ(uoled_panel_reg16(p, 0x03CA), 0x0014);
	CHECK_STR(show("attr_pattern_type"), "1\n");
	p->regs[0x03CB] = 0x5F;
	CHECK_EQ(rig_store(0, "attr_pattern_type", "3"), 1);
	CHECK_EQ(uoled_panel_reg16(p, 0x03CA), 0x002F);
	p->regs[0x03CB] = 0x64;
	CHECK_STR(show("attr_pattern_type"), "3\n");

	m = rig_mark(0);
	CHECK_EQ(rig_store(0, "attr_pattern_type", "4"), -EINVAL);
	CHECK_EQ(kapi_msg_count(KAPI_ERR,
				"attr_store_pattern_type Failed to set OLED pattern type 4\n"), 1);
	CHECK_EQ(rig_store(0, "attr_pattern_type", "grey"), -EINVAL);
	CHECK_EQ(kapi_msg_count(KAPI_ERR,
				"failed to get pattern type input -- valid options are 1-color, 2-gray, 3-full white"), 1);
	CHECK_EQ(rig_messages(0, m), 0);
	p->present = 0;
	CHECK_EQ(rig_store(0, "attr_pattern_type", "1"), -EIO);
	CHECK_EQ(rig_show(0, "attr_pattern_type", out), -EIO);
}

TEST(display_on_follows_the_panel)
{
	bound();
	CHECK_EQ(rig_store(0, "attr_display_on", "0"), 1);
	CHECK_EQ(rig_model(0)->display_on, 0);
	CHECK_STR(show("attr_display_on"), "0\n");
	CHECK_EQ(rig_store(0, "attr_display_on", "9"), 1);
	CHECK_EQ(rig_model(0)->display_on, 1);
	CHECK_STR(show("attr_display_on"), "1\n");
	CHECK_EQ(rig_store(0, "attr_display_on", "-1"), -EINVAL);
	rig_model(0)->present = 0;
	CHECK_EQ(rig_store(0, "attr_display_on", "0"), -EIO);
	CHECK_STR(show("attr_display_on"), "1\n");
}

TEST(blanking_through_the_blank_line)
{
	rig_setup();
	kapi_of_add_gpio(&rig[0].node, "blank-gpios", 40, 0);
	REQUIRE(rig_load() == 0);
	REQUIRE(rig_probe(0) == 0);
	kapi_trace_clear();
	kapi_clock_us = 0;
	CHECK_EQ(rig_store(0, "attr_display_on", "1"), 1);
	CHECK_STR(kapi_trace, "gpio40=1 i2c gpio40=0");
	CHECK(kapi_clock_us >= 50000);

	/* a bad text is refused before the picture is hidden */
	kapi_trace_clear();
	CHECK_EQ(rig_store(0, "attr_luminance", "x"), -EINVAL);
	CHECK_STR(kapi_trace, "");

	/* cached shows touch nothing */
	kapi_trace_clear();
	CHECK_STR(show("attr_luminance"), "200\n");
	CHECK_STR(show("attr_screen_offsets"), "0,0\n");
	CHECK_STR(kapi_trace, "");

	/* no wait without a delay, and none for a negative one */
	kapi_param_set("blank_delay_ms", 0);
	kapi_clock_us = 0;
	CHECK_EQ(rig_store(0, "attr_display_on", "1"), 1);
	CHECK(kapi_clock_us < 50000);
	kapi_param_set("blank_delay_ms", -1);
	kapi_clock_us = 0;
	CHECK_EQ(rig_store(0, "attr_display_on", "1"), 1);
	CHECK(kapi_clock_us < 50000);
}

TEST(blanking_through_the_framebuffer)
{
	static struct fb_info fbi;

	rig_setup();
	/* line 0 counts as no blank line */
	kapi_of_add_gpio(&rig[0].node, "blank-gpios", 0, 0);
	oled_vm.fbi = &fbi;
	REQUIRE(rig_load() == 0);
	REQUIRE(rig_probe(0) == 0);
	CHECK_EQ(rig_data(0)->blank_gpio, 0);
	kapi_trace_clear();
	CHECK_EQ(rig_store(0, "attr_luminance", "100"), 3);
	CHECK_STR(kapi_trace, "blank i2c unblank");
	CHECK_EQ(fbi.last_blank, FB_BLANK_UNBLANK);
	CHECK_EQ(kapi_fb_blank_unlocked, 0);
	CHECK_EQ(kapi_console_locked, 0);
}

TEST(blanking_without_line_or_framebuffer_warns)
{
	bound();
	CHECK_EQ(rig_store(0, "attr_luminance", "100"), 3);
	CHECK_EQ(kapi_msg_count(KAPI_WARN, "failed to perform blank procedure for oled"), 1);
	CHECK_EQ(kapi_msg_count(KAPI_WARN, "failed to perform unblank procedure for oled"), 1);
	CHECK_STR(kapi_trace, "i2c");
}

TEST(blanking_disabled_touches_nothing)
{
	static struct fb_info fbi;

	rig_setup();
	kapi_param_set("blank_en", 0);
	kapi_of_add_gpio(&rig[0].node, "blank-gpios", 40, 0);
	oled_vm.fbi = &fbi;
	REQUIRE(rig_load() == 0);
	REQUIRE(rig_probe(0) == 0);
	kapi_trace_clear();
	CHECK_EQ(rig_store(0, "attr_luminance", "100"), 3);
	CHECK_EQ(rig_store(0, "attr_pattern_type", "2"), 1);
	CHECK_STR(kapi_trace, "i2c");
	CHECK_EQ(fbi.blank_calls, 0);
	/* only the request drove the line, to show the picture */
	CHECK_EQ(kapi_gpios[40].writes, 1);
	CHECK_EQ(kapi_gpios[40].level, 0);
}

/* A display with a blank and a power line: any blanking shows in the trace */
static void bound_with_lines(void)
{
	rig_setup();
	kapi_of_add_gpio(&rig[0].node, "blank-gpios", 40, 0);
	kapi_of_add_gpio(&rig[0].node, "pwon-gpios", 41, 0);
	if (rig_load() || rig_probe(0))
		ktest_fail(__FILE__, __LINE__, "probe");
	kapi_msgs_clear();
}

struct attr_text {
	const char *attr;
	const char *text;
};

TEST(refused_texts_leave_the_panel_alone)
{
	static const struct attr_text bad[] = {
		{ "attr_luminance", "4294967297" }, { "attr_luminance", "5x" },
		{ "attr_luminance", "5\n\n" },
		{ "attr_luminance_with_gamma", "18446744073709551617" },
		{ "attr_amp_reduction", "-1" }, { "attr_amp_reduction", "2048" },
		{ "attr_rgb_correction", "1,2,3,4,5,6,7" },
		{ "attr_rgb_correction", "1,,3,4,5,6" },
		{ "attr_rgb_correction", "1\n,2,3,4,5,6" },
		{ "attr_screen_offsets", "1024,0" },
		{ "attr_screen_offsets", "0,-1024" },
		{ "attr_screen_offsets", "3,4,5" }, { "attr_screen_offsets", "3;4" },
		{ "attr_screen_crop", "65536,0" }, { "attr_screen_crop", "0,-1" },
		{ "attr_screen_crop", "1,2\n\n" },
		{ "attr_register_8", "0x100" }, { "attr_register_8", "0x12 " },
		{ "attr_register_16", "0x10000" }, { "attr_video_format", "3" },
		{ "attr_pattern", "4294967296" }, { "attr_pattern_type", "0" },
		{ "attr_display_on", "1 1" }, { "attr_pon", "-1" },
		{ "attr_pon", "1O" },
	};
	unsigned int i, m;

	bound_with_lines();
	for (i = 0; i < ARRAY_SIZE(bad); i++) {
		m = rig_mark(0);
		kapi_trace_clear();
		if (rig_store(0, bad[i].attr, bad[i].text) != -EINVAL ||
		    kapi_trace[0] || rig_messages(0, m))
			ktest_fail(bad[i].attr, i, bad[i].text);
	}
	/* a zero byte hides the rest of the text: refused as well */
	CHECK_EQ(kapi_attr_store_len(rig_dev(0), "attr_luminance", "5\0" "9", 3),
		 -EINVAL);
	CHECK_EQ(kapi_attr_store_len(rig_dev(0), "attr_screen_offsets",
				     "1,2\0" "7", 5), -EINVAL);
	CHECK_STR(kapi_trace, "");
	CHECK_EQ(kapi_live_allocs, 0);
	CHECK_STR(show("attr_luminance"), "200\n");
}

TEST(range_limits_are_accepted)
{
	static const struct attr_text good[] = {
		{ "attr_screen_crop", "65535,0\n" }, { "attr_register_8", "0xff\n" },
		{ "attr_register_16", "0xFFFF" }, { "attr_video_format", "2\n" },
		{ "attr_pattern_type", "3\n" }, { "attr_pon", "1\n" },
	};
	unsigned int i;

	bound_with_lines();
	for (i = 0; i < ARRAY_SIZE(good); i++)
		if (rig_store(0, good[i].attr, good[i].text) !=
		    (ssize_t)strlen(good[i].text))
			ktest_fail(good[i].attr, i, good[i].text);
}

TEST(writable_parameters_are_bounded)
{
	CHECK_EQ(kapi_param_write("blank_delay_ms", "1001"), -EINVAL);
	CHECK_EQ(kapi_param_write("blank_delay_ms", "4294967346"), -ERANGE);
	CHECK_EQ(blank_delay_ms, 50);
	CHECK_EQ(kapi_param_write("blank_delay_ms", "1000\n"), 0);
	CHECK_EQ(blank_delay_ms, 1000);
	CHECK_EQ(kapi_param_write("blank_delay_ms", "-1"), 0);
	CHECK_EQ(kapi_param_write("work_reg", "0x10000"), -EINVAL);
	CHECK_EQ(kapi_param_write("work_reg", "-1"), -EINVAL);
	CHECK_EQ(work_reg, 0);
	CHECK_EQ(kapi_param_write("work_reg", "0xFFFF"), 0);
	CHECK_EQ(work_reg, 0xFFFF);
}

TEST(waits_of_20_ms_or_more_sleep)
{
	bound_with_lines();	/* start-up: 100 ms, 50 ms, command polls */
	CHECK(kapi_sleeps >= 10);
	CHECK(kapi_busy_max_us < 20000);
	kapi_sleeps = 0;
	kapi_clock_us = 0;
	CHECK_EQ(rig_store(0, "attr_luminance", "100"), 3);
	CHECK(kapi_sleeps >= 3);	/* blanking and two command polls */
	CHECK(kapi_clock_us >= 50000 + 2 * 40000);
	CHECK_EQ(rig_store(0, "attr_rgb_correction", "1,1,1,1,1,1"), 11);
	CHECK_EQ(rig_store(0, "attr_pon", "0"), 1);
	CHECK_EQ(rig_store(0, "attr_pon", "1"), 1);
	/* a short blanking wait sleeps too */
	kapi_param_set("blank_delay_ms", 5);
	kapi_sleeps = 0;
	CHECK_EQ(rig_store(0, "attr_register_8", "0x01"), 4);
	CHECK_EQ(kapi_sleeps, 1);
	CHECK(kapi_busy_max_us < 20000);
}
