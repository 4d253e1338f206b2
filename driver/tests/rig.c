// SPDX-License-Identifier: GPL-2.0
/*
 * Test rig: panel models, clients and log readers.
 */
#include "rig.h"

struct rig_panel rig[RIG_PANELS];
struct i2c_adapter rig_adapter = {
	.functionality = I2C_FUNC_I2C | I2C_FUNC_SMBUS_READ_BYTE_DATA |
			 I2C_FUNC_SMBUS_WRITE_BYTE_DATA,
};

static void supply_follows(unsigned int gpio, int level)
{
	int i;

	for (i = 0; i < RIG_PANELS; i++)
		if (rig[i].supply_gpio == (int)gpio)
			uoled_panel_set_power(&rig[i].panel,
					      level == rig[i].supply_active);
}

void rig_setup(void)
{
	int i;

	for (i = 0; i < RIG_PANELS; i++) {
		struct rig_panel *r = &rig[i];

		memset(&r->client, 0, sizeof(r->client));
		memset(&r->node, 0, sizeof(r->node));
		uoled_panel_init(&r->panel, r->log, RIG_LOG);
		r->client.addr = UOLED_PANEL_ADDR + i;
		snprintf(r->client.name, sizeof(r->client.name), "%s",
			 UOLED_DRIVER_NAME);
		snprintf(r->client.dev.name, sizeof(r->client.dev.name),
			 "0-%04x", r->client.addr);
		r->client.adapter = &rig_adapter;
		r->client.dev.of_node = &r->node;
		r->supply_gpio = -1;
		kapi_i2c_attach(r->client.addr, &r->panel);
	}
	kapi_gpio_changed = supply_follows;
}

int rig_load(void)
{
	return kapi_module_init();
}

int rig_probe(int i)
{
	return kapi_probe(&rig[i].client);
}

void rig_remove(int i)
{
	kapi_remove(&rig[i].client);
}

void rig_unload(void)
{
	kapi_module_exit();
}

void rig_wire_supply(int i, int gpio, int active)
{
	rig[i].supply_gpio = gpio;
	rig[i].supply_active = active;
	uoled_panel_set_power(&rig[i].panel,
			      kapi_gpios[gpio].level == active);
}

struct oled_data *rig_data(int i)
{
	return dev_get_drvdata(&rig[i].client.dev);
}

struct uoled_panel *rig_model(int i)
{
	return &rig[i].panel;
}

struct device *rig_dev(int i)
{
	return &rig[i].client.dev;
}

ssize_t rig_store(int i, const char *attr, const char *text)
{
	return kapi_attr_store(&rig[i].client.dev, attr, text);
}

ssize_t rig_show(int i, const char *attr, char *out)
{
	return kapi_attr_show(&rig[i].client.dev, attr, out);
}

unsigned int rig_mark(int i)
{
	return rig[i].panel.log_len;
}

int rig_writes(int i, unsigned int mark, unsigned int *out, int max)
{
	struct uoled_panel *p = &rig[i].panel;
	unsigned int k;
	int n = 0;

	for (k = mark; k < p->log_len; k++) {
		const struct uoled_xfer *x = &p->log[k];

		if (!x->write || !x->ok || x->len == 0)
			continue;
		if (n < max)
			out[n] = x->len == 1 ? W8(x->reg, x->data[0]) :
				 W16(x->reg, (x->data[0] << 8) | x->data[1]);
		n++;
	}
	return n;
}

int rig_writes_to(int i, unsigned int mark, unsigned int reg, int *val)
{
	struct uoled_panel *p = &rig[i].panel;
	unsigned int k;
	int n = 0;

	for (k = mark; k < p->log_len; k++) {
		const struct uoled_xfer *x = &p->log[k];

		if (x->write && x->ok && x->len == 1 && x->reg == reg) {
			if (val)
				*val = x->data[0];
			n++;
		}
	}
	return n;
}

int rig_commands(int i, unsigned int mark, int *out, int max)
{
	struct uoled_panel *p = &rig[i].panel;
	int opcode = -1, n = 0;
	unsigned int k;

	for (k = mark; k < p->log_len; k++) {
		const struct uoled_xfer *x = &p->log[k];

		if (!x->write || !x->ok || x->len != 1)
			continue;
		if (x->reg == REG_CMD_OPCODE)
			opcode = x->data[0];
		if (x->reg == REG_CMD_TRIGGER && x->data[0] == 0) {
			if (n < max)
				out[n] = opcode;
			n++;
		}
	}
	return n;
}

int rig_messages(int i, unsigned int mark)
{
	return rig[i].panel.log_len - mark;
}

void rig_start_model(int i)
{
	rig[i].panel.started = 1;
}
