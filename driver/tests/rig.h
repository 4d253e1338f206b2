/* SPDX-License-Identifier: GPL-2.0 */
/*
 * Test rig: up to three panel models on one bus, their I2C clients and
 * device-tree nodes, and helpers that read the panels' message logs.
 */
#ifndef RIG_H
#define RIG_H

#include "kapi_ctl.h"
#include "ktest.h"
#include "uoled.h"
#include "uoled_panel.h"

#define RIG_PANELS 3
#define RIG_LOG 40000

struct rig_panel {
	struct uoled_panel panel;
	struct uoled_xfer log[RIG_LOG];
	struct i2c_client client;
	struct device_node node;
	int supply_gpio;	/* line that powers this model, -1: none */
	int supply_active;
};
extern struct rig_panel rig[RIG_PANELS];
extern struct i2c_adapter rig_adapter;

/* Panels i at 0x24 + i, nothing loaded; the model's supply is on */
void rig_setup(void);
/* Load the module (init entry) and probe panel i */
int rig_load(void);
int rig_probe(int i);
void rig_remove(int i);
void rig_unload(void);
/* Power model i from GPIO line gpio (active level active) */
void rig_wire_supply(int i, int gpio, int active);
struct oled_data *rig_data(int i);
struct uoled_panel *rig_model(int i);
struct device *rig_dev(int i);

ssize_t rig_store(int i, const char *attr, const char *text);
ssize_t rig_show(int i, const char *attr, char *out);

/* Log position now, to look only at what follows */
unsigned int rig_mark(int i);

/* Accepted register writes since mark, as (reg << 16 | value); 16-bit writes
 * appear as one entry with value of 16 bits and bit 31 set */
#define RIG_W16 0x80000000u
int rig_writes(int i, unsigned int mark, unsigned int *out, int max);
/* Accepted writes to reg since mark; the last value into *val */
int rig_writes_to(int i, unsigned int mark, unsigned int reg, int *val);
/* Command opcodes triggered since mark, in order */
int rig_commands(int i, unsigned int mark, int *out, int max);
/* Messages of any kind since mark */
int rig_messages(int i, unsigned int mark);

/* Bring a freshly set-up panel to the state after reset, for direct calls */
void rig_start_model(int i);

#define W8(reg, val) (((unsigned int)(reg) << 16) | (val))
#define W16(reg, val) (RIG_W16 | ((unsigned int)(reg) << 16) | (val))

#endif /* RIG_H */
