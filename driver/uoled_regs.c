// SPDX-License-Identifier: GPL-2.0
/*
 * uoledmod: panel register access over I2C and the command handshake.
 *
 * The panel has a 16-bit register space; addresses and 16-bit values go
 * high byte first.  Every access is retried and followed by a short busy
 * wait.  A command is run by holding the command interface, writing its
 * parameters, writing the opcode, triggering it and polling the done flag;
 * the waits between polls sleep.  Callers serialise whole command sequences
 * with oled_lock.
 */
#include <linux/delay.h>
#include <linux/i2c.h>

#include "uoled.h"

#define OLED_XFER_ATTEMPTS	25
#define OLED_XFER_DELAY_US	400
#define OLED_POLL_ATTEMPTS	20
#define OLED_POLL_DELAY_MS	40

/*
 * Every wait of the driver runs in process context (probe, attributes, the
 * format work): from OLED_SLEEP_MIN_MS up it sleeps, so a command's polls do
 * not hold a CPU; shorter ones sleep in a range, as the timers guide advises.
 */
void oled_wait_ms(int ms)
{
	if (ms >= OLED_SLEEP_MIN_MS)
		msleep(ms);
	else if (ms > 0)
		usleep_range(ms * 1000, ms * 1000 + 500);
}

static int oled_send(struct i2c_client *client, const u8 *msg, int len)
{
	int i;

	for (i = 0; i < OLED_XFER_ATTEMPTS; i++) {
		int ret = i2c_master_send(client, msg, len);

		udelay(OLED_XFER_DELAY_US);
		if (ret == len)
			return 0;
		if (len == 3)
			dev_err(&client->dev, "fail to write a:0x%04x, d:0x%02x\r\n",
				(msg[0] << 8) | msg[1], msg[2]);
		else
			dev_err(&client->dev, "fail to write a:0x%04x, d:0x%04x\r\n",
				(msg[0] << 8) | msg[1], (msg[2] << 8) | msg[3]);
	}
	return -1;
}

int oled_write_reg_8(struct i2c_client *client, u16 addr, u8 val)
{
	u8 msg[3] = { addr >> 8, addr & 0xFF, val };

	return oled_send(client, msg, sizeof(msg));
}

int oled_write_reg_16(struct i2c_client *client, u16 addr, u16 val)
{
	u8 msg[4] = { addr >> 8, addr & 0xFF, val >> 8, val & 0xFF };

	return oled_send(client, msg, sizeof(msg));
}

static int oled_read(struct i2c_client *client, u16 addr, u8 *data, int len)
{
	u8 msg[2] = { addr >> 8, addr & 0xFF };
	int i;

	for (i = 0; i < OLED_XFER_ATTEMPTS; i++) {
		int ret = i2c_master_send(client, msg, sizeof(msg));

		if (ret != sizeof(msg)) {
			dev_err(&client->dev, "fail to read a:0x%04x\r\n", addr);
			udelay(OLED_XFER_DELAY_US);
			continue;
		}
		ret = i2c_master_recv(client, data, len);
		udelay(OLED_XFER_DELAY_US);
		if (ret == len)
			return 0;
		dev_err(&client->dev, "fail to read a:0x%04x\r\n", addr);
	}
	return -1;
}

int oled_read_reg_8(struct i2c_client *client, u16 addr, u8 *val)
{
	return oled_read(client, addr, val, 1);
}

int oled_read_reg_16(struct i2c_client *client, u16 addr, u16 *val)
{
	u8 data[2];

	if (oled_read(client, addr, data, sizeof(data)))
		return -1;
	*val = (data[0] << 8) | data[1];
	return 0;
}

/* Wait for a flag of the status register and clear it */
int oled_poll_it(struct i2c_client *client, u8 mask)
{
	u8 flags = 0;
	int i;

	for (i = 0; i < OLED_POLL_ATTEMPTS; i++) {
		int ret = oled_read_reg_8(client, REG_STATUS, &flags);

		oled_wait_ms(OLED_POLL_DELAY_MS);
		if (flags & mask)
			return ret ? -1 : oled_write_reg_8(client, REG_STATUS, mask);
		if (ret)
			break;
	}
	dev_err(&client->dev, "timed out while in poll it function\r\n");
	return -1;
}

static int oled_set_hold(struct i2c_client *client, u8 val)
{
	int i;

	for (i = 0; i < REG_HOLD_COUNT; i++)
		if (oled_write_reg_8(client, REG_HOLD + i, val))
			return -1;
	return 0;
}

int oled_hold_it(struct i2c_client *client)
{
	return oled_set_hold(client, HOLD_ON);
}

int oled_release(struct i2c_client *client)
{
	return oled_set_hold(client, HOLD_OFF);
}

int oled_exe_cmd(struct i2c_client *client, u8 opcode)
{
	bool guarded = opcode == OLED_CMD_PARAMS;

	if (guarded && oled_write_reg_8(client, REG_CMD5_GUARD, 0x04))
		return -1;
	if (oled_write_reg_8(client, REG_CMD_OPCODE, opcode))
		return -1;
	if (oled_write_reg_8(client, REG_CMD_TRIGGER, 0x00))
		return -1;
	if (guarded) {
		if (oled_write_reg_8(client, REG_CMD5_DONE, 0x06))
			return -1;
		if (oled_write_reg_8(client, REG_CMD5_GUARD, 0x02))
			return -1;
	}
	return oled_poll_it(client, STATUS_CMD_DONE);
}

/* Write a command's parameter bytes into the parameter window */
int oled_write_params(struct i2c_client *client, const u8 *params, int len)
{
	int i;

	for (i = 0; i < len; i++)
		if (oled_write_reg_8(client, REG_CMD_PARAM + i, params[i]))
			return -1;
	return 0;
}

/* Hold, parameters, execute: a command without an answer */
int oled_run_cmd(struct i2c_client *client, u8 opcode,
		 const u8 *params, int len)
{
	if (oled_hold_it(client))
		return -1;
	if (oled_write_params(client, params, len))
		return -1;
	return oled_exe_cmd(client, opcode);
}
