// SPDX-License-Identifier: GPL-2.0
/*
 * Model of the micro-OLED panel: register space, command interface and
 * start-up flags, as the panel driver uses them.
 *
 * Status register 0x0002: bit 0 is raised when a command completes, bit 4
 * when a start-up stage completes (0x27 or 0xA7 written to 0x001A after the
 * reset sequence); writing a 1 bit clears it.  A command runs when 0x00 is
 * written to the trigger 0x0060 while the five hold registers hold 0x04;
 * command 5 also needs the guard 0x020C at 0x04.  Parameters and answers
 * live in the window 0x7F81 upwards, the identification block at 0x7B00.
 * The identification block (command 5) and the temperature (command 11)
 * are given out only after the hold registers were set again once the
 * command completed; before that the panel refuses to read them.
 */
#include "uoled_panel.h"

#define R_RESET		0x0000
#define R_STATUS	0x0002
#define R_STARTUP_CTRL	0x001A
#define R_TRIGGER	0x0060
#define R_HOLD		0x0206
#define R_GUARD		0x020C
#define R_ID_BLOCK	0x7B00
#define R_OPCODE	0x7F80
#define R_PARAM		0x7F81

#define HOLD_ON		0x04
#define ANSWER_TEMP	(R_PARAM + 3)
#define ID_BLOCK_LEN	32
#define ALL_HOLDS	0x1F

#define ST_DONE		0x01
#define ST_STARTUP	0x10

static const unsigned char serial_params[8] = {
	0x50, 0x00, 0x00, 0x00, 0x20, 0x3B, 0x00, 0x00
};

static const unsigned char fw_params[7] = {
	0x50, 0x04, 0x00, 0x3B, 0x00, 0x40, 0x00
};

static void fill(void *dst, int val, unsigned int n)
{
	unsigned char *d = dst;

	while (n--)
		*d++ = (unsigned char)val;
}

static void copy(void *dst, const void *src, unsigned int n)
{
	unsigned char *d = dst;
	const unsigned char *s = src;

	while (n--)
		*d++ = *s++;
}

static int same(const void *a, const void *b, unsigned int n)
{
	const unsigned char *x = a, *y = b;

	while (n--)
		if (*x++ != *y++)
			return 0;
	return 1;
}

/* Power-on state of the registers and of what commands produced */
static void panel_reset(struct uoled_panel *p)
{
	fill(p->regs, 0, sizeof(p->regs));
	p->pointer = 0;
	p->started = 0;
	p->fw_loaded = 0;
	p->lut_loads = 0;
	p->temp_updates = 0;
	p->video_inputs = 0;
	fill(p->video_input, 0, sizeof(p->video_input));
	p->luminance = 0;
	p->display_on = 0;
	fill(p->rgb, 0, sizeof(p->rgb));
	p->commands = 0;
	p->ignored_commands = 0;
	p->answer_len = 0;
	p->holds_since_cmd = 0;
}

void uoled_panel_init(struct uoled_panel *p, struct uoled_xfer *log,
		      unsigned int log_cap)
{
	static const char sn[UOLED_PANEL_SN_LEN] = "MV23A0417-00001234";
	static const unsigned char version[4] = { 1, 0x02, 0x11, 0x03 };

	panel_reset(p);
	p->model_code = 0x23;
	copy(p->serial, sn, sizeof(p->serial));
	copy(p->version, version, sizeof(p->version));
	p->temperature = 41;
	p->present = 1;
	p->powered = 1;
	p->never_done = 0;
	p->refuse_reg = 0;
	p->refuse_count = 0;
	p->log = log;
	p->log_cap = log_cap;
	p->log_len = 0;
	p->log_lost = 0;
}

void uoled_panel_set_power(struct uoled_panel *p, int on)
{
	if (on && !p->powered)
		panel_reset(p);
	p->powered = on;
}

void uoled_panel_refuse(struct uoled_panel *p, unsigned short reg, int count)
{
	p->refuse_reg = reg;
	p->refuse_count = count;
}

unsigned int uoled_panel_reg16(const struct uoled_panel *p, unsigned short reg)
{
	return (p->regs[reg] << 8) | p->regs[(unsigned short)(reg + 1)];
}

static void log_xfer(struct uoled_panel *p, int write, int ok,
		     unsigned short reg, const unsigned char *data, int len)
{
	struct uoled_xfer *x;
	int i;

	if (!p->log)
		return;
	if (p->log_len >= p->log_cap) {
		p->log_lost++;
		return;
	}
	x = &p->log[p->log_len++];
	x->write = write;
	x->ok = ok;
	x->reg = reg;
	x->len = len > 255 ? 255 : len;
	for (i = 0; i < 4; i++)
		x->data[i] = (ok && i < len) ? data[i] : 0;
}

static int answers(struct uoled_panel *p)
{
	return p->present && p->powered;
}

static int refused(struct uoled_panel *p, unsigned short reg)
{
	if (!p->refuse_count || p->refuse_reg != reg)
		return 0;
	if (p->refuse_count > 0)
		p->refuse_count--;
	return 1;
}

static int held(const struct uoled_panel *p)
{
	int i;

	for (i = 0; i < 5; i++)
		if (p->regs[R_HOLD + i] != 0x04)
			return 0;
	return 1;
}

static void await_hold(struct uoled_panel *p, unsigned short reg,
		       unsigned char len)
{
	p->answer_reg = reg;
	p->answer_len = len;
}

/* A read of a waiting answer before the hold that releases it */
static int answer_withheld(struct uoled_panel *p, int len)
{
	unsigned int first = p->pointer, last = first + len;

	return p->answer_len && p->holds_since_cmd != ALL_HOLDS &&
	       first < p->answer_reg + p->answer_len && last > p->answer_reg;
}

static void run_command(struct uoled_panel *p)
{
	const unsigned char *param = &p->regs[R_PARAM];
	unsigned char opcode = p->regs[R_OPCODE];
	int i;

	if (!held(p) || (opcode == 5 && p->regs[R_GUARD] != 0x04)) {
		p->ignored_commands++;
		return;
	}
	p->answer_len = 0;
	p->holds_since_cmd = 0;
	switch (opcode) {
	case 1:
		copy(p->video_input, param, sizeof(p->video_input));
		p->video_inputs++;
		break;
	case 2:
		p->luminance = param[1];
		break;
	case 3:
		p->display_on = param[0];
		break;
	case 4:
		p->lut_loads++;
		break;
	case 5:
		if (same(param, serial_params, sizeof(serial_params))) {
			for (i = 0; i < 32; i++)
				p->regs[R_ID_BLOCK + i] = 0xA0 + i;
			p->regs[R_ID_BLOCK + 10] = p->model_code;
			copy(&p->regs[R_ID_BLOCK + 12], p->serial,
			     sizeof(p->serial));
			await_hold(p, R_ID_BLOCK, ID_BLOCK_LEN);
		} else if (same(param, fw_params, sizeof(fw_params))) {
			p->fw_loaded = 1;
		}
		break;
	case 8:
		copy(&p->regs[R_PARAM], p->version, sizeof(p->version));
		break;
	case 9:
		p->temp_updates++;
		break;
	case 10:
		copy(p->rgb, param, sizeof(p->rgb));
		break;
	case 11:
		p->regs[ANSWER_TEMP] = p->temperature;
		await_hold(p, ANSWER_TEMP, 1);
		break;
	default:
		p->ignored_commands++;
		return;
	}
	p->commands++;
	if (!p->never_done)
		p->regs[R_STATUS] |= ST_DONE;
}

static void write_reg(struct uoled_panel *p, unsigned short reg,
		      unsigned char val)
{
	switch (reg) {
	case R_STATUS:
		p->regs[R_STATUS] &= ~val;
		return;
	case R_RESET:
		if (val == 0x03 && p->regs[R_RESET] == 0x01)
			p->started = 1;
		break;
	case R_STARTUP_CTRL:
		if (p->started && (val == 0x27 || val == 0xA7))
			p->regs[R_STATUS] |= ST_STARTUP;
		break;
	case R_TRIGGER:
		p->regs[reg] = val;
		if (val == 0x00)
			run_command(p);
		return;
	}
	if (reg >= R_HOLD && reg < R_HOLD + 5 && val == HOLD_ON)
		p->holds_since_cmd |= 1 << (reg - R_HOLD);
	p->regs[reg] = val;
}

int uoled_panel_write(struct uoled_panel *p, const unsigned char *buf, int len)
{
	unsigned short reg;
	int i;

	if (len < 2) {
		log_xfer(p, 1, 0, 0, buf, 0);
		return -1;
	}
	reg = (buf[0] << 8) | buf[1];
	if (!answers(p) || refused(p, reg)) {
		log_xfer(p, 1, 0, reg, buf + 2, len - 2);
		return -1;
	}
	log_xfer(p, 1, 1, reg, buf + 2, len - 2);
	p->pointer = reg;
	for (i = 2; i < len; i++)
		write_reg(p, p->pointer++, buf[i]);
	if (len > 2)
		p->pointer = reg;
	return len;
}

int uoled_panel_read(struct uoled_panel *p, unsigned char *buf, int len)
{
	unsigned short reg = p->pointer;
	int i;

	if (!answers(p) || refused(p, reg) || answer_withheld(p, len)) {
		log_xfer(p, 0, 0, reg, buf, 0);
		return -1;
	}
	for (i = 0; i < len; i++)
		buf[i] = p->regs[p->pointer++];
	p->pointer = reg;
	log_xfer(p, 0, 1, reg, buf, len);
	return len;
}
