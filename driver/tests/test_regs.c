// SPDX-License-Identifier: GPL-2.0
/*
 * Register access and command handshake against the panel model: framing,
 * byte order, retries, delays, the done-flag poll and command 5's guard.
 */
#include "rig.h"

static struct i2c_client *cl(void)
{
	return &rig[0].client;
}

TEST(framing_and_byte_order)
{
	struct uoled_panel *p = rig_model(0);
	const struct uoled_xfer *x;
	u8 v8 = 0;
	u16 v16 = 0;

	rig_setup();
	CHECK_EQ(oled_write_reg_8(cl(), 0x1234, 0xAB), 0);
	CHECK_EQ(oled_write_reg_16(cl(), 0x03CC, 0x1234), 0);
	REQUIRE(p->log_len == 2);
	x = &p->log[0];
	CHECK(x->write && x->ok);
	CHECK_EQ(x->reg, 0x1234);
	CHECK_EQ(x->len, 1);
	CHECK_EQ(x->data[0], 0xAB);
	x = &p->log[1];
	CHECK_EQ(x->reg, 0x03CC);
	CHECK_EQ(x->len, 2);
	CHECK_EQ(p->regs[0x03CC], 0x12);
	CHECK_EQ(p->regs[0x03CD], 0x34);
	/* every access is followed by 400 us */
	CHECK_EQ(kapi_clock_us, 800);

	/* a read is an address write, then a separate read message */
	p->regs[0x0500] = 0x12;
	p->regs[0x0501] = 0x34;
	CHECK_EQ(oled_read_reg_16(cl(), 0x0500, &v16), 0);
	CHECK_EQ(v16, 0x1234);
	CHECK_EQ(oled_read_reg_8(cl(), 0x0501, &v8), 0);
	CHECK_EQ(v8, 0x34);
	REQUIRE(p->log_len == 6);
	CHECK(p->log[2].write && p->log[2].len == 0 && p->log[2].reg == 0x0500);
	CHECK(!p->log[3].write && p->log[3].len == 2);
	CHECK(p->log[4].write && p->log[4].len == 0 && p->log[4].reg == 0x0501);
	CHECK(!p->log[5].write && p->log[5].len == 1);
	CHECK_EQ(kapi_clock_us, 1600);
	CHECK_EQ(kapi_nmsgs, 0);
}

TEST(retries_log_each_failed_attempt)
{
	u8 v8;

	rig_setup();
	uoled_panel_refuse(rig_model(0), 0x0100, 2);
	CHECK_EQ(oled_write_reg_8(cl(), 0x0100, 0x05), 0);
	CHECK_EQ(kapi_msg_count(KAPI_ERR, "fail to write a:0x0100, d:0x05\r\n"), 2);
	CHECK_EQ(rig_model(0)->regs[0x0100], 0x05);
	CHECK_EQ(kapi_clock_us, 3 * 400);

	kapi_msgs_clear();
	uoled_panel_refuse(rig_model(0), 0x03CC, 1);
	CHECK_EQ(oled_write_reg_16(cl(), 0x03CC, 0x07FF), 0);
	CHECK_EQ(kapi_msg_count(KAPI_ERR, "fail to write a:0x03cc, d:0x07ff\r\n"), 1);

	kapi_msgs_clear();
	uoled_panel_refuse(rig_model(0), 0x7F84, 3);
	rig_model(0)->regs[0x7F84] = 0x2A;
	CHECK_EQ(oled_read_reg_8(cl(), 0x7F84, &v8), 0);
	CHECK_EQ(v8, 0x2A);
	CHECK_EQ(kapi_msg_count(KAPI_ERR, "fail to read a:0x7f84\r\n"), 3);
}

TEST(no_panel_gives_up_after_25_attempts)
{
	u8 v8 = 0;
	u16 v16 = 0;

	rig_setup();
	rig_model(0)->present = 0;
	CHECK_EQ(oled_write_reg_8(cl(), 0x0001, 0x11), -1);
	CHECK_EQ(kapi_msg_count(KAPI_ERR, "fail to write a:0x0001, d:0x11\r\n"), 25);
	CHECK_EQ(kapi_clock_us, 25 * 400);
	CHECK_EQ(rig_messages(0, 0), 25);

	kapi_msgs_clear();
	CHECK_EQ(oled_read_reg_16(cl(), 0x03CA, &v16), -1);
	CHECK_EQ(kapi_msg_count(KAPI_ERR, "fail to read a:0x03ca\r\n"), 25);
	CHECK_EQ(oled_read_reg_8(cl(), 0x03CA, &v8), -1);
	CHECK_EQ(oled_write_reg_16(cl(), 0x03CA, 1), -1);
}

TEST(poll_clears_only_the_awaited_flag)
{
	struct uoled_panel *p = rig_model(0);
	unsigned int w[4];
	unsigned int m;

	rig_setup();
	p->regs[REG_STATUS] = 0x11;
	m = rig_mark(0);
	CHECK_EQ(oled_poll_it(cl(), 0x10), 0);
	CHECK_EQ(rig_writes(0, m, w, 4), 1);
	CHECK_EQ(w[0], W8(REG_STATUS, 0x10));
	CHECK_EQ(p->regs[REG_STATUS], 0x01);
	/* one read, 40 ms, one write */
	CHECK_EQ(kapi_clock_us, 400 + 40000 + 400);
	CHECK_EQ(kapi_nmsgs, 0);
}

TEST(poll_times_out_after_20_reads)
{
	struct uoled_panel *p = rig_model(0);
	unsigned int m;

	rig_setup();
	m = rig_mark(0);
	CHECK_EQ(oled_poll_it(cl(), STATUS_CMD_DONE), -1);
	CHECK_EQ(rig_messages(0, m), 20 * 2);
	CHECK_EQ(kapi_clock_us, 20 * (400 + 40000));
	CHECK_EQ(kapi_msg_count(KAPI_ERR, "timed out while in poll it function\r\n"), 1);

	/* a read that fails ends the poll at once */
	kapi_msgs_clear();
	p->present = 0;
	m = rig_mark(0);
	CHECK_EQ(oled_poll_it(cl(), STATUS_CMD_DONE), -1);
	CHECK_EQ(rig_messages(0, m), 25);
	CHECK_EQ(kapi_msg_count(KAPI_ERR, "timed out while in poll it function\r\n"), 1);
}

TEST(command_handshake_and_opcode_5_guard)
{
	static const u8 params[3] = { 0x00, 0x64, 0x00 };
	unsigned int w[32];
	unsigned int m;
	int n, i;

	rig_setup();
	m = rig_mark(0);
	CHECK_EQ(oled_run_cmd(cl(), OLED_CMD_LUMINANCE, params, 3), 0);
	n = rig_writes(0, m, w, 32);
	REQUIRE(n == 5 + 3 + 3);
	for (i = 0; i < 5; i++)
		CHECK_EQ(w[i], W8(REG_HOLD + i, HOLD_ON));
	for (i = 0; i < 3; i++)
		CHECK_EQ(w[5 + i], W8(REG_CMD_PARAM + i, params[i]));
	CHECK_EQ(w[8], W8(REG_CMD_OPCODE, 2));
	CHECK_EQ(w[9], W8(REG_CMD_TRIGGER, 0));
	CHECK_EQ(w[10], W8(REG_STATUS, STATUS_CMD_DONE));
	CHECK_EQ(rig_model(0)->luminance, 100);

	/* command 5 is wrapped in its guard writes */
	m = rig_mark(0);
	CHECK_EQ(oled_exe_cmd(cl(), OLED_CMD_PARAMS), 0);
	n = rig_writes(0, m, w, 32);
	REQUIRE(n == 6);
	CHECK_EQ(w[0], W8(REG_CMD5_GUARD, 0x04));
	CHECK_EQ(w[1], W8(REG_CMD_OPCODE, 5));
	CHECK_EQ(w[2], W8(REG_CMD_TRIGGER, 0x00));
	CHECK_EQ(w[3], W8(REG_CMD5_DONE, 0x06));
	CHECK_EQ(w[4], W8(REG_CMD5_GUARD, 0x02));
	CHECK_EQ(w[5], W8(REG_STATUS, STATUS_CMD_DONE));
	CHECK_EQ(rig_model(0)->ignored_commands, 0);
}

TEST(first_failed_step_ends_the_sequence)
{
	static const u8 params[2] = { 1, 2 };
	unsigned int m;

	rig_setup();
	uoled_panel_refuse(rig_model(0), REG_HOLD + 2, UOLED_PANEL_FOREVER);
	m = rig_mark(0);
	CHECK_EQ(oled_run_cmd(cl(), OLED_CMD_LUT, params, 2), -1);
	CHECK_EQ(rig_writes_to(0, m, REG_HOLD + 3, NULL), 0);
	CHECK_EQ(rig_writes_to(0, m, REG_CMD_OPCODE, NULL), 0);
	CHECK_EQ(oled_release(cl()), -1);
	CHECK_EQ(rig_writes_to(0, m, REG_HOLD, NULL), 2);

	/* a refused opcode write means no trigger */
	uoled_panel_refuse(rig_model(0), REG_CMD_OPCODE, UOLED_PANEL_FOREVER);
	m = rig_mark(0);
	CHECK_EQ(oled_exe_cmd(cl(), OLED_CMD_PARAMS), -1);
	CHECK_EQ(rig_writes_to(0, m, REG_CMD_TRIGGER, NULL), 0);
	CHECK_EQ(rig_writes_to(0, m, REG_CMD5_DONE, NULL), 0);

	/* a command whose done flag never rises fails after the poll */
	uoled_panel_refuse(rig_model(0), 0, 0);
	rig_model(0)->never_done = 1;
	kapi_msgs_clear();
	CHECK_EQ(oled_run_cmd(cl(), OLED_CMD_LUT, params, 2), -1);
	CHECK_EQ(kapi_msg_count(KAPI_ERR, "timed out while in poll it function\r\n"), 1);
}

TEST(answers_are_read_from_the_parameter_window)
{
	u8 id[4] = { 0 };
	u8 temp = 0;
	int cmds[4];
	unsigned int m;

	rig_setup();
	m = rig_mark(0);
	CHECK_EQ(oled_read_id(cl(), id), 0);
	CHECK_EQ(id[0], 1);
	CHECK_EQ(id[1], 0x02);
	CHECK_EQ(id[2], 0x11);
	CHECK_EQ(id[3], 0x03);
	CHECK_EQ(rig_commands(0, m, cmds, 4), 1);
	CHECK_EQ(cmds[0], OLED_CMD_READ_ID);
	/* released at the end */
	CHECK_EQ(rig_model(0)->regs[REG_HOLD + 4], HOLD_OFF);

	rig_model(0)->temperature = 200;
	CHECK_EQ(oled_get_temperature(cl(), &temp), 0);
	CHECK_EQ(temp, 200);
	CHECK_EQ(rig_model(0)->regs[REG_HOLD], HOLD_OFF);

	rig_model(0)->present = 0;
	CHECK_EQ(oled_get_temperature(cl(), &temp), -1);
	CHECK_EQ(oled_read_id(cl(), id), -1);
}

/* The panel gives the answers of commands 5 and 11 out only after a hold */
TEST(answers_of_5_and_11_need_a_second_hold)
{
	u8 temp = 0, byte;

	rig_setup();
	rig_model(0)->temperature = 77;
	CHECK_EQ(oled_run_cmd(cl(), OLED_CMD_GET_TEMPERATURE, NULL, 0), 0);
	CHECK_EQ(oled_read_reg_8(cl(), REG_CMD_PARAM + 3, &temp), -1);
	CHECK_EQ(oled_hold_it(cl()), 0);
	CHECK_EQ(oled_read_reg_8(cl(), REG_CMD_PARAM + 3, &temp), 0);
	CHECK_EQ(temp, 77);

	CHECK_EQ(oled_run_cmd(cl(), OLED_CMD_PARAMS, SERIAL_PARAMS,
			      sizeof(SERIAL_PARAMS)), 0);
	CHECK_EQ(oled_read_reg_8(cl(), REG_ID_BLOCK + ID_MODEL_BYTE, &byte), -1);
	CHECK_EQ(oled_hold_it(cl()), 0);
	CHECK_EQ(oled_read_reg_8(cl(), REG_ID_BLOCK + ID_MODEL_BYTE, &byte), 0);
	CHECK_EQ(byte, 0x23);
}
