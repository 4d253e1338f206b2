/* SPDX-License-Identifier: GPL-2.0 */
/*
 * Model of the micro-OLED panel as seen from its I2C bus.
 *
 * Plain C without any library, so that the same model answers the user-space
 * harness and the fake I2C adapter module of the qemu boot test.  It keeps
 * the panel's 16-bit register space, runs the commands the driver triggers,
 * records every bus message and can be made to fail.
 */
#ifndef UOLED_PANEL_H
#define UOLED_PANEL_H

#define UOLED_PANEL_ADDR	0x24
#define UOLED_PANEL_REGS	0x10000
#define UOLED_PANEL_VI_LEN	21
#define UOLED_PANEL_RGB_LEN	10
#define UOLED_PANEL_SN_LEN	18
#define UOLED_PANEL_FOREVER	(-1)

/* One bus message as the panel saw it */
struct uoled_xfer {
	unsigned char write;	/* 1: write message, 0: read message */
	unsigned char ok;	/* 0 when the panel refused it */
	unsigned short reg;	/* address sent, or read pointer */
	unsigned char len;	/* data bytes after the address, or bytes read */
	unsigned char data[4];	/* the first of those bytes */
};

struct uoled_panel {
	unsigned char regs[UOLED_PANEL_REGS];
	unsigned short pointer;

	/* what the panel reports about itself */
	unsigned char model_code;
	char serial[UOLED_PANEL_SN_LEN];
	unsigned char version[4];
	unsigned char temperature;

	/* faults */
	int present;			/* 0: nothing answers at the address */
	int powered;			/* 0: the supply is off, nothing answers */
	int never_done;			/* commands never raise the done flag */
	unsigned short refuse_reg;	/* refuse messages to this address ... */
	int refuse_count;		/* ... this many times (-1: always) */

	/* state that the driver's commands produced */
	int started;			/* reset and start sequence seen */
	int fw_loaded;			/* command 5 with the firmware block */
	int lut_loads;
	int temp_updates;
	int video_inputs;		/* accepted video input blocks */
	unsigned char video_input[UOLED_PANEL_VI_LEN];
	unsigned char luminance;
	unsigned char display_on;
	unsigned char rgb[UOLED_PANEL_RGB_LEN];
	int commands;			/* commands that completed */
	int ignored_commands;		/* triggers without hold or guard */

	/* an answer of commands 5 and 11 is read only after a fresh hold */
	unsigned short answer_reg;
	unsigned char answer_len;	/* 0: no answer waiting */
	unsigned char holds_since_cmd;	/* hold registers set since then */

	/* message log, owned by the caller; may be absent */
	struct uoled_xfer *log;
	unsigned int log_cap;
	unsigned int log_len;
	unsigned int log_lost;
};

/* A powered, present panel with default identity and an empty state */
void uoled_panel_init(struct uoled_panel *p, struct uoled_xfer *log,
		      unsigned int log_cap);
/* Supply switched: off makes it silent, on starts it from reset */
void uoled_panel_set_power(struct uoled_panel *p, int on);
/* Refuse the next count messages addressed to reg (-1: all of them) */
void uoled_panel_refuse(struct uoled_panel *p, unsigned short reg, int count);

/* Bus side: both return the bytes transferred or -1 when refused */
int uoled_panel_write(struct uoled_panel *p, const unsigned char *buf, int len);
int uoled_panel_read(struct uoled_panel *p, unsigned char *buf, int len);

/* 16-bit register value, high byte at reg */
unsigned int uoled_panel_reg16(const struct uoled_panel *p, unsigned short reg);

#endif /* UOLED_PANEL_H */
