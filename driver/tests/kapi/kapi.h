/* SPDX-License-Identifier: GPL-2.0 */
/*
 * Thin kernel-API layer: the part of the kernel that the driver's sources
 * use, rebuilt in user space so that they compile unchanged and run against
 * the panel model.  I2C transfers go to panel models by address, GPIOs are
 * plain levels, delays advance a virtual clock, messages are captured, and
 * module parameters, metadata, attributes and device-tree properties are
 * recorded for the tests to reach.
 */
#ifndef KAPI_H
#define KAPI_H

#include <errno.h>
#include <limits.h>
#include <stdarg.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>

/* ---- kernel version the sources are compiled for ---- */
#define KERNEL_VERSION(a, b, c) (((a) << 16) + ((b) << 8) + ((c) > 255 ? 255 : (c)))
#ifndef KAPI_KERNEL_VERSION
#define KAPI_KERNEL_VERSION KERNEL_VERSION(6, 1, 0)
#endif
#define LINUX_VERSION_CODE KAPI_KERNEL_VERSION

/* ---- types and helpers ---- */
typedef uint8_t u8;
typedef uint16_t u16;
typedef uint32_t u32;
typedef uint64_t u64;
typedef int8_t s8;
typedef int16_t s16;
typedef int32_t s32;
typedef uint32_t __be32;
typedef unsigned int gfp_t;
typedef unsigned short umode_t;

#define __init
#define __exit
#define __must_check
#define PAGE_SIZE 4096
#define GFP_KERNEL 0u
#define ARRAY_SIZE(a) (sizeof(a) / sizeof((a)[0]))
#define READ_ONCE(x) (*(const volatile __typeof__(x) *)&(x))
#define WRITE_ONCE(x, v) (*(volatile __typeof__(x) *)&(x) = (v))
#define EXPORT_SYMBOL(sym)

u32 kapi_be32_to_cpup(const __be32 *p);
#define be32_to_cpup(p) kapi_be32_to_cpup(p)

char *kstrndup(const char *s, size_t max, gfp_t gfp);
void *kzalloc(size_t size, gfp_t gfp);
void kfree(const void *p);
ssize_t strscpy(char *dst, const char *src, size_t size);
int scnprintf(char *buf, size_t size, const char *fmt, ...)
	__attribute__((format(printf, 3, 4)));
/*
 * The kernel's kstrto* family: base 0 picks the radix from a 0x or 0
 * prefix, base 16 skips a 0x prefix; one leading '+' (and '-' for the
 * signed ones); at least one digit; one trailing newline; nothing else.
 * -ERANGE on overflow of the result's type, -EINVAL on anything else.
 */
int kstrtoull(const char *s, unsigned int base, unsigned long long *res);
int kstrtoll(const char *s, unsigned int base, long long *res);
int kstrtouint(const char *s, unsigned int base, unsigned int *res);
int kstrtoint(const char *s, unsigned int base, int *res);
int kstrtou16(const char *s, unsigned int base, u16 *res);
int kstrtou8(const char *s, unsigned int base, u8 *res);

/* The kernel's sscanf: numbers only, "%u" refuses a sign, literals match */
int kapi_sscanf(const char *str, const char *fmt, ...);
#define sscanf kapi_sscanf

/* ---- messages ---- */
struct device;
enum kapi_level { KAPI_ERR = 3, KAPI_WARN = 4, KAPI_INFO = 6, KAPI_DEBUG = 7 };
void kapi_log(const struct device *dev, int level, const char *fmt, ...)
	__attribute__((format(printf, 3, 4)));
#define pr_err(...) kapi_log(NULL, KAPI_ERR, __VA_ARGS__)
#define pr_warn(...) kapi_log(NULL, KAPI_WARN, __VA_ARGS__)
#define pr_info(...) kapi_log(NULL, KAPI_INFO, __VA_ARGS__)
#define pr_debug(...) kapi_log(NULL, KAPI_DEBUG, __VA_ARGS__)
#define dev_err(d, ...) kapi_log(d, KAPI_ERR, __VA_ARGS__)
#define dev_warn(d, ...) kapi_log(d, KAPI_WARN, __VA_ARGS__)
#define dev_info(d, ...) kapi_log(d, KAPI_INFO, __VA_ARGS__)
#define dev_dbg(d, ...) kapi_log(d, KAPI_DEBUG, __VA_ARGS__)

/* ---- virtual clock: busy waits and sleeps both advance it ---- */
extern unsigned long long kapi_clock_us;
void kapi_busy_wait(unsigned long long us);
#define udelay(us) kapi_busy_wait((unsigned long)(us))
#define mdelay(ms) kapi_busy_wait(1000ULL * (unsigned long)(ms))
void msleep(unsigned int msecs);
void usleep_range(unsigned long min, unsigned long max);

/* ---- mutex ---- */
struct mutex {
	const char *name;
	int initialised;
	int locked;
};
void kapi_mutex_init(struct mutex *m, const char *name);
void mutex_lock(struct mutex *m);
void mutex_unlock(struct mutex *m);
#define mutex_init(m) kapi_mutex_init(m, #m)
#define DEFINE_MUTEX(m) struct mutex m = { #m, 1, 0 }
extern int kapi_mutex_held;

/* ---- work items: queued, run when the test plays the kernel's worker ---- */
struct work_struct {
	void (*func)(struct work_struct *work);
	int pending;
};
#define DECLARE_WORK(n, f) struct work_struct n = { .func = (f) }
bool schedule_work(struct work_struct *work);
bool cancel_work_sync(struct work_struct *work);

/* ---- device tree ---- */
struct property {
	const char *name;
	int length;
	const void *value;
	int gpio;		/* for GPIO specifiers */
	int gpio_flags;
};
#define KAPI_MAX_PROPS 8
struct device_node {
	struct property props[KAPI_MAX_PROPS];
	int nprops;
};
enum of_gpio_flags { OF_GPIO_ACTIVE_LOW = 0x1 };
struct property *of_find_property(const struct device_node *np,
				  const char *name, int *lenp);
const void *of_get_property(const struct device_node *np, const char *name,
			    int *lenp);
#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 2, 0)
#define MAX_PHANDLE_ARGS 16
struct of_phandle_args {
	struct device_node *np;
	int args_count;
	uint32_t args[MAX_PHANDLE_ARGS];
};
int of_get_named_gpio(const struct device_node *np, const char *name,
		      int index);
int of_parse_phandle_with_args(const struct device_node *np,
			       const char *list_name, const char *cells_name,
			       int index, struct of_phandle_args *out_args);
void of_node_put(struct device_node *node);
#else
int of_get_named_gpio_flags(const struct device_node *np, const char *name,
			    int index, enum of_gpio_flags *flags);
#endif

/* ---- devices and attributes ---- */
struct attribute {
	const char *name;
	umode_t mode;
};
struct device_attribute {
	struct attribute attr;
	ssize_t (*show)(struct device *dev, struct device_attribute *attr,
			char *buf);
	ssize_t (*store)(struct device *dev, struct device_attribute *attr,
			 const char *buf, size_t count);
};
#define __ATTR(_name, _mode, _show, _store) \
	{ .attr = { .name = #_name, .mode = _mode }, \
	  .show = _show, .store = _store }

#define KAPI_MAX_ATTRS 32
struct device {
	char name[32];
	void *driver_data;
	struct device_node *of_node;
	struct device_attribute *attrs[KAPI_MAX_ATTRS];
	int nattrs;
	int create_calls;
};
int device_create_file(struct device *dev, const struct device_attribute *attr);
void device_remove_file(struct device *dev, const struct device_attribute *attr);
static inline void *dev_get_drvdata(const struct device *dev)
{
	return dev->driver_data;
}
static inline void dev_set_drvdata(struct device *dev, void *data)
{
	dev->driver_data = data;
}

/* ---- GPIO (legacy numbers, raw levels) ---- */
#define KAPI_GPIOS 512
#define GPIOF_OUT_INIT_LOW 0x0
#define GPIOF_OUT_INIT_HIGH 0x2
void gpio_set_value(unsigned int gpio, int value);
int gpio_get_value(unsigned int gpio);
int devm_gpio_request_one(struct device *dev, unsigned int gpio,
			  unsigned long flags, const char *label);
int gpio_request_one(unsigned int gpio, unsigned long flags, const char *label);
void gpio_free(unsigned int gpio);

/* ---- framebuffer and console ---- */
#define FB_BLANK_UNBLANK 0
#define FB_BLANK_POWERDOWN 4
struct fb_info {
	int blank_calls;
	int last_blank;
	/* the display driver's blank operation, when a test gives it one */
	void (*on_blank)(struct fb_info *info, int blank);
};
int fb_blank(struct fb_info *info, int blank);
void console_lock(void);
void console_unlock(void);

/* ---- I2C ---- */
#define I2C_FUNC_I2C 0x00000001
#define I2C_FUNC_SMBUS_READ_BYTE_DATA 0x00080000
#define I2C_FUNC_SMBUS_WRITE_BYTE_DATA 0x00100000
struct i2c_adapter {
	unsigned long functionality;
};
struct i2c_client {
	unsigned short addr;
	char name[20];
	struct i2c_adapter *adapter;
	struct device dev;
};
struct i2c_device_id {
	char name[20];
	unsigned long driver_data;
};
struct of_device_id {
	char name[32];
	char type[32];
	char compatible[128];
	const void *data;
};
struct device_driver {
	const char *name;
	const struct of_device_id *of_match_table;
};
struct i2c_driver {
	struct device_driver driver;
#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 3, 0)
	int (*probe)(struct i2c_client *client);
#else
	int (*probe)(struct i2c_client *client, const struct i2c_device_id *id);
#endif
#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 1, 0)
	void (*remove)(struct i2c_client *client);
#else
	int (*remove)(struct i2c_client *client);
#endif
	const struct i2c_device_id *id_table;
};
int i2c_master_send(const struct i2c_client *client, const char *buf, int count);
int i2c_master_recv(const struct i2c_client *client, char *buf, int count);
static inline int i2c_check_functionality(struct i2c_adapter *adap, u32 func)
{
	return (adap->functionality & func) == func;
}
static inline void *i2c_get_clientdata(const struct i2c_client *client)
{
	return dev_get_drvdata(&client->dev);
}
static inline void i2c_set_clientdata(struct i2c_client *client, void *data)
{
	dev_set_drvdata(&client->dev, data);
}
const struct i2c_device_id *i2c_client_get_device_id(const struct i2c_client *client);
int i2c_add_driver(struct i2c_driver *driver);
void i2c_del_driver(struct i2c_driver *driver);

/* ---- module metadata, parameters, entry points ---- */
#define KAPI_CAT2(a, b) a##b
#define KAPI_CAT(a, b) KAPI_CAT2(a, b)
void kapi_register_info(const char *tag, const char *value);
void kapi_register_param(const char *name, void *addr, int elems,
			 const char *type, int perm);
void kapi_register_param_desc(const char *name, const char *desc);
void kapi_register_entry(int (*init)(void), void (*exit)(void));

#define KAPI_INFO(tag, value) \
	__attribute__((constructor)) static void KAPI_CAT(kapi_info_, __LINE__)(void) \
	{ kapi_register_info(tag, value); }
#define MODULE_DESCRIPTION(d) KAPI_INFO("description", d)
#define MODULE_VERSION(v) KAPI_INFO("version", v)
#define MODULE_LICENSE(l) KAPI_INFO("license", l)
#define MODULE_ALIAS(a) KAPI_INFO("alias", a)
#define MODULE_AUTHOR(a) KAPI_INFO("author", a)
#define MODULE_DEVICE_TABLE(type, name) \
	static const void *KAPI_CAT(kapi_table_, __LINE__) __attribute__((unused)) = &name

#define module_param(name, type, perm) \
	__attribute__((constructor)) static void kapi_param_##name(void) \
	{ kapi_register_param(#name, &name, 1, #type, perm); }
#define module_param_array(name, type, nump, perm) \
	__attribute__((constructor)) static void kapi_param_##name(void) \
	{ kapi_register_param(#name, name, ARRAY_SIZE(name), #type, perm); }
/* Parameters with their own operations, as the kernel's moduleparam.h */
struct kernel_param;
struct kernel_param_ops {
	unsigned int flags;
	int (*set)(const char *val, const struct kernel_param *kp);
	int (*get)(char *buffer, const struct kernel_param *kp);
	void (*free)(void *arg);
};
struct kernel_param {
	const char *name;
	const struct kernel_param_ops *ops;
	u16 perm;
	void *arg;
};
int param_set_int(const char *val, const struct kernel_param *kp);
int param_get_int(char *buffer, const struct kernel_param *kp);
void kapi_register_param_cb(const struct kernel_param *kp);
void kapi_register_param_type(const char *name, const char *type);
#define module_param_cb(_name, _ops, _arg, _perm) \
	static const struct kernel_param kapi_kp_##_name = { \
		.name = #_name, .ops = (_ops), .perm = (_perm), .arg = (_arg) }; \
	__attribute__((constructor)) static void kapi_param_##_name(void) \
	{ kapi_register_param_cb(&kapi_kp_##_name); }
#define __MODULE_PARM_TYPE(name, _type) \
	__attribute__((constructor)) static void kapi_param_type_##name(void) \
	{ kapi_register_param_type(#name, _type); }
#define MODULE_PARM_DESC(name, desc) \
	__attribute__((constructor)) static void kapi_param_desc_##name(void) \
	{ kapi_register_param_desc(#name, desc); }

#define module_init(fn) \
	__attribute__((constructor)) static void kapi_module_init_entry(void) \
	{ kapi_register_entry(fn, NULL); }
#define module_exit(fn) \
	__attribute__((constructor)) static void kapi_module_exit_entry(void) \
	{ kapi_register_entry(NULL, fn); }

#endif /* KAPI_H */
