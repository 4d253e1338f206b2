/* SPDX-License-Identifier: GPL-2.0 */
/*
 * Test side of the thin kernel-API layer: what the tests set up, inject and
 * inspect.
 */
#ifndef KAPI_CTL_H
#define KAPI_CTL_H

#include "kapi.h"

struct uoled_panel;

/*
 * Waits: every busy wait (udelay, mdelay) and every sleep (msleep,
 * usleep_range) advances kapi_clock_us; the longest busy wait and the number
 * of sleeps tell which kind a wait was.
 */
extern unsigned long long kapi_busy_max_us;
extern int kapi_sleeps;

/* Captured kernel messages */
#define KAPI_LOG_TEXT 256
struct kapi_msg {
	int level;
	const struct device *dev;
	char text[KAPI_LOG_TEXT];
};
extern struct kapi_msg *kapi_msgs;
extern int kapi_nmsgs;
void kapi_msgs_clear(void);
/* Messages at level whose text equals text exactly (level -1: any) */
int kapi_msg_count(int level, const char *text);
/* Messages whose text contains part */
int kapi_msg_count_part(const char *part);
void kapi_msgs_dump(void);

/* I2C: panel models by address; messages seen with no mutex held */
void kapi_i2c_attach(unsigned short addr, struct uoled_panel *panel);
extern int kapi_unlocked_xfers;
extern struct i2c_driver *kapi_driver;
int kapi_probe(struct i2c_client *client);
void kapi_remove(struct i2c_client *client);

/* Module */
extern int (*kapi_module_init)(void);
extern void (*kapi_module_exit)(void);
const char *kapi_info(const char *tag);
struct kapi_param {
	const char *name;
	void *addr;
	int elems;
	const char *type;
	int perm;
	const char *desc;
	const struct kernel_param *kp;	/* a parameter with its own operations */
};
struct kapi_param *kapi_param(const char *name);
/* Set the variable behind an int parameter directly, bypassing any checks */
void kapi_param_set(const char *name, int value);
/* Write text to a parameter as insmod or sysfs does: its set operation */
int kapi_param_write(const char *name, const char *text);

/* GPIO */
struct kapi_gpio {
	int level;
	int requested;
	const struct device *owner;	/* NULL when the module requested it */
	char label[32];
	int writes;
	int requests;
	int frees;
};
extern struct kapi_gpio kapi_gpios[KAPI_GPIOS];
extern int kapi_gpio_fail_request;	/* refuse the next requests of this line */
/* Called after every level change, for a panel supply wired to a line */
extern void (*kapi_gpio_changed)(unsigned int gpio, int level);
void kapi_devm_release(struct device *dev);

/* Device tree */
void kapi_of_add(struct device_node *np, const char *name,
		 const void *value, int length);
void kapi_of_add_gpio(struct device_node *np, const char *name, int gpio,
		      int flags);

/* Attributes */
struct device_attribute *kapi_attr(struct device *dev, const char *name);
/* Store text through a read-only page: a store that writes into it dies */
ssize_t kapi_attr_store(struct device *dev, const char *name, const char *text);
/* The same with len bytes of text, which may hold a zero byte */
ssize_t kapi_attr_store_len(struct device *dev, const char *name,
			    const char *text, size_t len);
/* Show into out (at least PAGE_SIZE bytes) */
ssize_t kapi_attr_show(struct device *dev, const char *name, char *out);

/*
 * Order of outside effects, space-separated: "blank" and "unblank" for
 * framebuffer calls, "gpioN=L" for level changes, "i2c" for a run of bus
 * messages.
 */
extern char kapi_trace[8192];
void kapi_trace_clear(void);
extern int kapi_console_locked;
/* mutexes taken while the console lock was held: the reverse of blanking */
extern int kapi_mutex_under_console;

/* Work items queued and not yet run; run them as the kernel's worker */
int kapi_works_pending(void);
void kapi_run_works(void);
extern int kapi_fb_blank_unlocked;	/* fb_blank called without console lock */

/* Allocations not yet freed */
extern int kapi_live_allocs;

void kapi_reset(void);

#endif /* KAPI_CTL_H */
