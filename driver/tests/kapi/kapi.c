// SPDX-License-Identifier: GPL-2.0
/*
 * Thin kernel-API layer: implementation.
 */
#include <ctype.h>
#include <sys/mman.h>
#include <unistd.h>

#include "kapi_ctl.h"
#include "oled_vm.h"
#include "uoled_panel.h"

struct oled_vm oled_vm;

unsigned long long kapi_clock_us;
unsigned long long kapi_busy_max_us;
int kapi_sleeps;
int kapi_mutex_held;
int kapi_unlocked_xfers;
int kapi_live_allocs;
int kapi_console_locked;
int kapi_fb_blank_unlocked;
int kapi_mutex_under_console;
char kapi_trace[8192];

struct kapi_msg *kapi_msgs;
int kapi_nmsgs;
#define KAPI_MAX_MSGS 20000

struct kapi_gpio kapi_gpios[KAPI_GPIOS];
int kapi_gpio_fail_request = -1;
void (*kapi_gpio_changed)(unsigned int gpio, int level);

int (*kapi_module_init)(void);
void (*kapi_module_exit)(void);
struct i2c_driver *kapi_driver;

#define KAPI_MAX_PARAMS 32
static struct kapi_param params[KAPI_MAX_PARAMS];
static int nparams;

#define KAPI_MAX_INFO 16
static struct {
	const char *tag;
	const char *value;
} infos[KAPI_MAX_INFO];
static int ninfos;

#define KAPI_MAX_WORKS 8
static struct work_struct *works[KAPI_MAX_WORKS];
static int nworks;

#define KAPI_MAX_BOUND 8
static struct i2c_client *bound[KAPI_MAX_BOUND];
static int nbound;

#define KAPI_MAX_BUSES 8
static struct {
	unsigned short addr;
	struct uoled_panel *panel;
} bus[KAPI_MAX_BUSES];
static int nbus;

static void trace(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
static void trace(const char *fmt, ...)
{
	size_t used = strlen(kapi_trace);
	va_list ap;

	if (used && used < sizeof(kapi_trace) - 1)
		kapi_trace[used++] = ' ';
	va_start(ap, fmt);
	vsnprintf(kapi_trace + used, sizeof(kapi_trace) - used, fmt, ap);
	va_end(ap);
}

void kapi_trace_clear(void)
{
	kapi_trace[0] = '\0';
}

void kapi_reset(void)
{
	kapi_clock_us = 0;
	kapi_busy_max_us = 0;
	kapi_sleeps = 0;
	kapi_unlocked_xfers = 0;
	kapi_trace_clear();
	kapi_msgs_clear();
	memset(kapi_gpios, 0, sizeof(kapi_gpios));
	kapi_gpio_fail_request = -1;
	kapi_gpio_changed = NULL;
	nbus = 0;
	nworks = 0;
	nbound = 0;
	kapi_mutex_under_console = 0;
	memset(&oled_vm, 0, sizeof(oled_vm));
}

/* ---- waits ---- */

void kapi_busy_wait(unsigned long long us)
{
	kapi_clock_us += us;
	if (us > kapi_busy_max_us)
		kapi_busy_max_us = us;
}

void msleep(unsigned int msecs)
{
	kapi_clock_us += 1000ULL * msecs;
	kapi_sleeps++;
}

void usleep_range(unsigned long min, unsigned long max)
{
	if (min > max) {
		fprintf(stderr, "usleep_range(%lu, %lu): min above max\n",
			min, max);
		abort();
	}
	kapi_clock_us += min;
	kapi_sleeps++;
}

/* ---- work items ---- */

bool schedule_work(struct work_struct *work)
{
	if (work->pending)
		return false;
	if (nworks == KAPI_MAX_WORKS) {
		fprintf(stderr, "too many work items queued\n");
		abort();
	}
	work->pending = 1;
	works[nworks++] = work;
	return true;
}

bool cancel_work_sync(struct work_struct *work)
{
	int i;

	for (i = 0; i < nworks; i++) {
		if (works[i] == work) {
			memmove(&works[i], &works[i + 1],
				(nworks - i - 1) * sizeof(works[0]));
			nworks--;
			work->pending = 0;
			return true;
		}
	}
	return false;
}

int kapi_works_pending(void)
{
	return nworks;
}

/* Like the worker: pending is cleared before the function runs */
void kapi_run_works(void)
{
	while (nworks) {
		struct work_struct *work = works[0];

		memmove(&works[0], &works[1], (nworks - 1) * sizeof(works[0]));
		nworks--;
		work->pending = 0;
		work->func(work);
	}
}

/* ---- helpers ---- */

u32 kapi_be32_to_cpup(const __be32 *p)
{
	const u8 *b = (const u8 *)p;

	return ((u32)b[0] << 24) | ((u32)b[1] << 16) | ((u32)b[2] << 8) | b[3];
}

char *kstrndup(const char *s, size_t max, gfp_t gfp)
{
	char *copy = strndup(s, max);

	(void)gfp;
	if (copy)
		kapi_live_allocs++;
	return copy;
}

void *kzalloc(size_t size, gfp_t gfp)
{
	void *p = calloc(1, size);

	(void)gfp;
	if (p)
		kapi_live_allocs++;
	return p;
}

void kfree(const void *p)
{
	if (p)
		kapi_live_allocs--;
	free((void *)p);
}

ssize_t strscpy(char *dst, const char *src, size_t size)
{
	size_t len = strnlen(src, size);

	if (!size)
		return -E2BIG;
	if (len == size) {
		memcpy(dst, src, size - 1);
		dst[size - 1] = '\0';
		return -E2BIG;
	}
	memcpy(dst, src, len + 1);
	return len;
}

int scnprintf(char *buf, size_t size, const char *fmt, ...)
{
	va_list ap;
	int n;

	va_start(ap, fmt);
	n = vsnprintf(buf, size, fmt, ap);
	va_end(ap);
	if (n < 0)
		return 0;
	return (size_t)n >= size ? (int)size - 1 : n;
}

/* lib/kstrtox.c: radix prefix, digits with overflow, one newline, end */
static int kapi_kstrtoull_digits(const char *s, unsigned int base,
				 unsigned long long *res)
{
	unsigned long long v = 0;
	bool overflow = false;
	int digits = 0;

	if (base == 0) {
		if (s[0] == '0')
			base = tolower(s[1]) == 'x' && isxdigit((unsigned char)s[2]) ?
			       16 : 8;
		else
			base = 10;
	}
	if (base == 16 && s[0] == '0' && tolower(s[1]) == 'x')
		s += 2;
	for (;; s++, digits++) {
		int c = tolower((unsigned char)*s);
		unsigned int d;

		if (isdigit(c))
			d = c - '0';
		else if (c >= 'a' && c <= 'f')
			d = c - 'a' + 10;
		else
			break;
		if (d >= base)
			break;
		if (v > (ULLONG_MAX - d) / base)
			overflow = true;
		v = v * base + d;
	}
	if (overflow)
		return -ERANGE;
	if (!digits)
		return -EINVAL;
	if (*s == '\n')
		s++;
	if (*s)
		return -EINVAL;
	*res = v;
	return 0;
}

int kstrtoull(const char *s, unsigned int base, unsigned long long *res)
{
	if (s[0] == '+')
		s++;
	return kapi_kstrtoull_digits(s, base, res);
}

int kstrtoll(const char *s, unsigned int base, long long *res)
{
	unsigned long long v;
	int ret;

	if (s[0] == '-') {
		ret = kapi_kstrtoull_digits(s + 1, base, &v);
		if (ret)
			return ret;
		if (v > (unsigned long long)LLONG_MAX + 1)
			return -ERANGE;
		*res = (long long)(0 - v);
		return 0;
	}
	ret = kstrtoull(s, base, &v);
	if (ret)
		return ret;
	if (v > LLONG_MAX)
		return -ERANGE;
	*res = (long long)v;
	return 0;
}

/* The narrower ones parse at full width and refuse what does not fit, as the kernel's do. */
#define KAPI_KSTRTO_NARROW(name, type, wide_type, wide)			\
int name(const char *s, unsigned int base, type *res)			\
{									\
	wide_type v;							\
	int ret = wide(s, base, &v);					\
									\
	if (ret)							\
		return ret;						\
	if ((type)v != v)						\
		return -ERANGE;						\
	*res = v;							\
	return 0;							\
}

KAPI_KSTRTO_NARROW(kstrtouint, unsigned int, unsigned long long, kstrtoull)
KAPI_KSTRTO_NARROW(kstrtoint, int, long long, kstrtoll)
KAPI_KSTRTO_NARROW(kstrtou16, u16, unsigned long long, kstrtoull)
KAPI_KSTRTO_NARROW(kstrtou8, u8, unsigned long long, kstrtoull)

/*
 * The kernel's vsscanf for the conversions the driver uses: white space in
 * the format matches any run of white space (also none), numbers skip
 * leading white space, "%u" and "%x" take no sign, "%x" skips a "0x"
 * prefix, other characters must match literally.
 */
int kapi_sscanf(const char *str, const char *fmt, ...)
{
	va_list ap;
	int converted = 0;

	va_start(ap, fmt);
	while (*fmt) {
		if (isspace((unsigned char)*fmt)) {
			while (isspace((unsigned char)*fmt))
				fmt++;
			while (isspace((unsigned char)*str))
				str++;
			continue;
		}
		if (*fmt != '%') {
			if (*str != *fmt)
				break;
			str++;
			fmt++;
			continue;
		}
		fmt++;
		{
			char conv = *fmt++;
			int base = conv == 'x' ? 16 : 10;
			bool negative = false;
			unsigned long long v = 0;
			int digits = 0;

			while (isspace((unsigned char)*str))
				str++;
			if (conv == 'd' && *str == '-') {
				negative = true;
				str++;
			}
			if (base == 16 && str[0] == '0' && tolower(str[1]) == 'x' &&
			    isxdigit((unsigned char)str[2]))
				str += 2;
			while (base == 16 ? isxdigit((unsigned char)*str) :
					    isdigit((unsigned char)*str)) {
				int d = isdigit((unsigned char)*str) ?
					*str - '0' : tolower(*str) - 'a' + 10;
				v = v * base + d;
				str++;
				digits++;
			}
			if (!digits)
				break;
			if (conv == 'd')
				*va_arg(ap, int *) = (int)(negative ? -v : v);
			else
				*va_arg(ap, unsigned int *) = (unsigned int)v;
			converted++;
		}
	}
	va_end(ap);
	return converted;
}

/* ---- messages ---- */

void kapi_msgs_clear(void)
{
	if (!kapi_msgs)
		kapi_msgs = calloc(KAPI_MAX_MSGS, sizeof(*kapi_msgs));
	kapi_nmsgs = 0;
}

void kapi_log(const struct device *dev, int level, const char *fmt, ...)
{
	struct kapi_msg *m;
	va_list ap;

	if (!kapi_msgs)
		kapi_msgs_clear();
	if (kapi_nmsgs >= KAPI_MAX_MSGS)
		return;
	m = &kapi_msgs[kapi_nmsgs++];
	m->level = level;
	m->dev = dev;
	va_start(ap, fmt);
	vsnprintf(m->text, sizeof(m->text), fmt, ap);
	va_end(ap);
}

int kapi_msg_count(int level, const char *text)
{
	int i, n = 0;

	for (i = 0; i < kapi_nmsgs; i++)
		if ((level < 0 || kapi_msgs[i].level == level) &&
		    !strcmp(kapi_msgs[i].text, text))
			n++;
	return n;
}

int kapi_msg_count_part(const char *part)
{
	int i, n = 0;

	for (i = 0; i < kapi_nmsgs; i++)
		if (strstr(kapi_msgs[i].text, part))
			n++;
	return n;
}

void kapi_msgs_dump(void)
{
	int i;

	for (i = 0; i < kapi_nmsgs; i++)
		fprintf(stderr, "  [%d] %s%s", kapi_msgs[i].level,
			kapi_msgs[i].text,
			strchr(kapi_msgs[i].text, '\n') ? "" : "\n");
}

/* ---- mutex ---- */

void kapi_mutex_init(struct mutex *m, const char *name)
{
	m->name = name;
	m->initialised = 1;
	m->locked = 0;
}

void mutex_lock(struct mutex *m)
{
	if (!m->initialised) {
		fprintf(stderr, "mutex %s used before mutex_init\n", m->name);
		abort();
	}
	if (m->locked) {
		/* single-threaded: a second lock can only be a deadlock */
		fprintf(stderr, "deadlock: mutex %s locked twice\n", m->name);
		abort();
	}
	m->locked = 1;
	kapi_mutex_held++;
	if (kapi_console_locked)
		kapi_mutex_under_console++;
}

void mutex_unlock(struct mutex *m)
{
	if (!m->locked) {
		fprintf(stderr, "mutex %s unlocked while not held\n", m->name);
		abort();
	}
	m->locked = 0;
	kapi_mutex_held--;
}

/* ---- device tree ---- */

void kapi_of_add(struct device_node *np, const char *name,
		 const void *value, int length)
{
	struct property *p = &np->props[np->nprops++];

	p->name = name;
	p->value = value;
	p->length = length;
	p->gpio = -ENOENT;
}

void kapi_of_add_gpio(struct device_node *np, const char *name, int gpio,
		      int flags)
{
	struct property *p = &np->props[np->nprops++];

	p->name = name;
	p->value = NULL;
	p->length = 12;
	p->gpio = gpio;
	p->gpio_flags = flags;
}

struct property *of_find_property(const struct device_node *np,
				  const char *name, int *lenp)
{
	int i;

	if (!np)
		return NULL;
	for (i = 0; i < np->nprops; i++) {
		if (!strcmp(np->props[i].name, name)) {
			if (lenp)
				*lenp = np->props[i].length;
			return (struct property *)&np->props[i];
		}
	}
	return NULL;
}

const void *of_get_property(const struct device_node *np, const char *name,
			    int *lenp)
{
	struct property *p = of_find_property(np, name, lenp);

	return p ? p->value : NULL;
}

#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 2, 0)
int of_get_named_gpio(const struct device_node *np, const char *name,
		      int index)
{
	struct property *p = of_find_property(np, name, NULL);

	return p && !index ? p->gpio : -ENOENT;
}

/* A GPIO specifier: controller phandle, line, flags cell */
int of_parse_phandle_with_args(const struct device_node *np,
			       const char *list_name, const char *cells_name,
			       int index, struct of_phandle_args *out_args)
{
	struct property *p = of_find_property(np, list_name, NULL);

	if (!p || index || strcmp(cells_name, "#gpio-cells"))
		return -ENOENT;
	memset(out_args, 0, sizeof(*out_args));
	out_args->args_count = 2;
	out_args->args[0] = p->gpio;
	out_args->args[1] = p->gpio_flags;
	return 0;
}

void of_node_put(struct device_node *node)
{
}
#else
int of_get_named_gpio_flags(const struct device_node *np, const char *name,
			    int index, enum of_gpio_flags *flags)
{
	struct property *p = of_find_property(np, name, NULL);

	if (flags)
		*flags = 0;
	if (!p || index)
		return -ENOENT;
	if (flags && p->gpio >= 0)
		*flags = p->gpio_flags;
	return p->gpio;
}
#endif

/* ---- devices and attributes ---- */

int device_create_file(struct device *dev, const struct device_attribute *attr)
{
	int i;

	dev->create_calls++;
	for (i = 0; i < dev->nattrs; i++)
		if (!strcmp(dev->attrs[i]->attr.name, attr->attr.name))
			return -EEXIST;
	if (dev->nattrs >= KAPI_MAX_ATTRS)
		return -ENOMEM;
	dev->attrs[dev->nattrs++] = (struct device_attribute *)attr;
	return 0;
}

void device_remove_file(struct device *dev, const struct device_attribute *attr)
{
	int i;

	for (i = 0; i < dev->nattrs; i++) {
		if (dev->attrs[i] == attr) {
			memmove(&dev->attrs[i], &dev->attrs[i + 1],
				(dev->nattrs - i - 1) * sizeof(dev->attrs[0]));
			dev->nattrs--;
			return;
		}
	}
}

struct device_attribute *kapi_attr(struct device *dev, const char *name)
{
	int i;

	for (i = 0; i < dev->nattrs; i++)
		if (!strcmp(dev->attrs[i]->attr.name, name))
			return dev->attrs[i];
	return NULL;
}

ssize_t kapi_attr_store(struct device *dev, const char *name, const char *text)
{
	return kapi_attr_store_len(dev, name, text, strlen(text));
}

ssize_t kapi_attr_store_len(struct device *dev, const char *name,
			    const char *text, size_t len)
{
	struct device_attribute *attr = kapi_attr(dev, name);
	char *page;
	ssize_t ret;

	if (!attr || !attr->store) {
		fprintf(stderr, "no writable attribute %s\n", name);
		abort();
	}
	/* sysfs hands stores a zero-terminated page they must not modify */
	page = mmap(NULL, PAGE_SIZE, PROT_READ | PROT_WRITE,
		    MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
	if (page == MAP_FAILED)
		abort();
	memcpy(page, text, len);
	page[len] = '\0';
	mprotect(page, PAGE_SIZE, PROT_READ);
	ret = attr->store(dev, attr, page, len);
	munmap(page, PAGE_SIZE);
	return ret;
}

ssize_t kapi_attr_show(struct device *dev, const char *name, char *out)
{
	struct device_attribute *attr = kapi_attr(dev, name);
	ssize_t ret;

	if (!attr || !attr->show) {
		fprintf(stderr, "no readable attribute %s\n", name);
		abort();
	}
	memset(out, 0, PAGE_SIZE);
	ret = attr->show(dev, attr, out);
	if (ret >= 0 && (size_t)ret != strlen(out)) {
		fprintf(stderr, "%s: show returned %zd for %zu characters\n",
			name, ret, strlen(out));
		abort();
	}
	return ret;
}

/* ---- GPIO ---- */

static struct kapi_gpio *gpio_line(unsigned int gpio)
{
	if (gpio >= KAPI_GPIOS) {
		fprintf(stderr, "GPIO %u out of range\n", gpio);
		abort();
	}
	return &kapi_gpios[gpio];
}

/* Like the kernel, a number without a line behind it reads 0 and is ignored */
void gpio_set_value(unsigned int gpio, int value)
{
	struct kapi_gpio *g;

	if (gpio >= KAPI_GPIOS) {
		trace("gpio%u=none", gpio);
		return;
	}
	g = gpio_line(gpio);

	g->level = !!value;
	g->writes++;
	trace("gpio%u=%d", gpio, g->level);
	if (kapi_gpio_changed)
		kapi_gpio_changed(gpio, g->level);
}

int gpio_get_value(unsigned int gpio)
{
	if (gpio >= KAPI_GPIOS)
		return 0;
	return gpio_line(gpio)->level;
}

int devm_gpio_request_one(struct device *dev, unsigned int gpio,
			  unsigned long flags, const char *label)
{
	struct kapi_gpio *g = gpio_line(gpio);

	if ((int)gpio == kapi_gpio_fail_request || g->requested)
		return -EBUSY;
	g->requested = 1;
	g->requests++;
	g->owner = dev;
	snprintf(g->label, sizeof(g->label), "%s", label);
	gpio_set_value(gpio, (flags & GPIOF_OUT_INIT_HIGH) ? 1 : 0);
	return 0;
}

int gpio_request_one(unsigned int gpio, unsigned long flags, const char *label)
{
	return devm_gpio_request_one(NULL, gpio, flags, label);
}

void gpio_free(unsigned int gpio)
{
	struct kapi_gpio *g = gpio_line(gpio);

	if (!g->requested || g->owner) {
		fprintf(stderr, "GPIO %u freed but not requested by the module\n",
			gpio);
		abort();
	}
	g->requested = 0;
	g->frees++;
}

void kapi_devm_release(struct device *dev)
{
	int i;

	for (i = 0; i < KAPI_GPIOS; i++) {
		if (kapi_gpios[i].requested && kapi_gpios[i].owner == dev) {
			kapi_gpios[i].requested = 0;
			kapi_gpios[i].owner = NULL;
		}
	}
}

/* ---- framebuffer ---- */

int fb_blank(struct fb_info *info, int blank)
{
	if (!kapi_console_locked)
		kapi_fb_blank_unlocked++;
	info->blank_calls++;
	info->last_blank = blank;
	trace("%s", blank == FB_BLANK_UNBLANK ? "unblank" : "blank");
	if (info->on_blank)
		info->on_blank(info, blank);
	return 0;
}

void console_lock(void)
{
	kapi_console_locked++;
}

void console_unlock(void)
{
	kapi_console_locked--;
}

/* ---- I2C ---- */

void kapi_i2c_attach(unsigned short addr, struct uoled_panel *panel)
{
	bus[nbus].addr = addr;
	bus[nbus].panel = panel;
	nbus++;
}

static struct uoled_panel *panel_at(unsigned short addr)
{
	int i;

	for (i = 0; i < nbus; i++)
		if (bus[i].addr == addr)
			return bus[i].panel;
	return NULL;
}

static void trace_xfer(void)
{
	size_t len = strlen(kapi_trace);

	if (!kapi_mutex_held)
		kapi_unlocked_xfers++;
	if (len >= 3 && !strcmp(kapi_trace + len - 3, "i2c"))
		return;
	trace("i2c");
}

int i2c_master_send(const struct i2c_client *client, const char *buf, int count)
{
	struct uoled_panel *p = panel_at(client->addr);

	trace_xfer();
	if (!p)
		return -ENXIO;
	if (uoled_panel_write(p, (const unsigned char *)buf, count) < 0)
		return -EREMOTEIO;
	return count;
}

int i2c_master_recv(const struct i2c_client *client, char *buf, int count)
{
	struct uoled_panel *p = panel_at(client->addr);

	trace_xfer();
	if (!p)
		return -ENXIO;
	if (uoled_panel_read(p, (unsigned char *)buf, count) < 0)
		return -EREMOTEIO;
	return count;
}

const struct i2c_device_id *i2c_client_get_device_id(const struct i2c_client *client)
{
	const struct i2c_device_id *id;

	for (id = kapi_driver->id_table; id->name[0]; id++)
		if (!strcmp(id->name, client->name))
			return id;
	return NULL;
}

int i2c_add_driver(struct i2c_driver *driver)
{
	kapi_driver = driver;
	return 0;
}

/* Like the driver core: unregistering unbinds every client still bound */
void i2c_del_driver(struct i2c_driver *driver)
{
	if (kapi_driver != driver)
		return;
	while (nbound)
		kapi_remove(bound[nbound - 1]);
	kapi_driver = NULL;
}

int kapi_probe(struct i2c_client *client)
{
	int ret;

#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 3, 0)
	ret = kapi_driver->probe(client);
#else
	ret = kapi_driver->probe(client, i2c_client_get_device_id(client));
#endif
	if (!ret)
		bound[nbound++] = client;
	return ret;
}

void kapi_remove(struct i2c_client *client)
{
	int i;

	for (i = 0; i < nbound && bound[i] != client; i++)
		;
	if (i == nbound) {
		fprintf(stderr, "%s removed but not bound\n", client->dev.name);
		abort();
	}
	bound[i] = bound[--nbound];
	kapi_driver->remove(client);
	client->dev.driver_data = NULL;
	kapi_devm_release(&client->dev);
}

/* ---- module ---- */

void kapi_register_info(const char *tag, const char *value)
{
	infos[ninfos].tag = tag;
	infos[ninfos].value = value;
	ninfos++;
}

const char *kapi_info(const char *tag)
{
	int i;

	for (i = 0; i < ninfos; i++)
		if (!strcmp(infos[i].tag, tag))
			return infos[i].value;
	return NULL;
}

static struct kapi_param *param_slot(const char *name)
{
	int i;

	for (i = 0; i < nparams; i++)
		if (!strcmp(params[i].name, name))
			return &params[i];
	params[nparams].name = name;
	return &params[nparams++];
}

void kapi_register_param(const char *name, void *addr, int elems,
			 const char *type, int perm)
{
	struct kapi_param *p = param_slot(name);

	p->addr = addr;
	p->elems = elems;
	p->type = type;
	p->perm = perm;
}

void kapi_register_param_cb(const struct kernel_param *kp)
{
	struct kapi_param *p = param_slot(kp->name);

	p->kp = kp;
	p->addr = kp->arg;
	p->elems = 1;
	p->perm = kp->perm;
}

void kapi_register_param_type(const char *name, const char *type)
{
	param_slot(name)->type = type;
}

/* kernel/params.c: param_set_int parses with kstrtoint, base 0 */
int param_set_int(const char *val, const struct kernel_param *kp)
{
	return kstrtoint(val, 0, (int *)kp->arg);
}

int param_get_int(char *buffer, const struct kernel_param *kp)
{
	return scnprintf(buffer, PAGE_SIZE, "%i\n", *(int *)kp->arg);
}

int kapi_param_write(const char *name, const char *text)
{
	struct kapi_param *p = kapi_param(name);
	struct kernel_param plain;

	if (!p || !p->addr) {
		fprintf(stderr, "no module parameter %s\n", name);
		abort();
	}
	if (p->kp)
		return p->kp->ops->set(text, p->kp);
	plain.name = name;
	plain.arg = p->addr;
	return param_set_int(text, &plain);
}

void kapi_register_param_desc(const char *name, const char *desc)
{
	param_slot(name)->desc = desc;
}

struct kapi_param *kapi_param(const char *name)
{
	int i;

	for (i = 0; i < nparams; i++)
		if (!strcmp(params[i].name, name))
			return &params[i];
	return NULL;
}

void kapi_param_set(const char *name, int value)
{
	struct kapi_param *p = kapi_param(name);

	if (!p || !p->addr) {
		fprintf(stderr, "no module parameter %s\n", name);
		abort();
	}
	*(int *)p->addr = value;
}

void kapi_register_entry(int (*init)(void), void (*exit)(void))
{
	if (init)
		kapi_module_init = init;
	if (exit)
		kapi_module_exit = exit;
}
