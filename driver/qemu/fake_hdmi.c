// SPDX-License-Identifier: GPL-2.0
/*
 * The HDMI cable node of the sight's display, for emulated boards.
 *
 * On the sight the HDMI driver publishes
 * /sys/devices/soc0/soc/20e0000.hdmi_video/cable_state, and the sight's
 * software takes the node's presence for "a cable is attached".  This module
 * builds the same device path and shows cable_state while its "plugged"
 * parameter is set, so a test plugs and pulls the cable with
 *
 *   echo 1 > /sys/module/fake_hdmi/parameters/plugged
 *   echo 0 > /sys/module/fake_hdmi/parameters/plugged
 *
 * or loads the module with plugged=1.  soc0 is made only when no driver has
 * made it: on a kernel with a SoC bus our SoC device becomes soc0 when it is
 * the first; otherwise the node goes under the soc0 that exists.  Elsewhere
 * soc0 is a root device.  Each change of the cable sends a change uevent
 * with EVENT=plugin or EVENT=plugout, as the display driver does.
 */
#include <linux/device.h>
#include <linux/err.h>
#include <linux/kobject.h>
#include <linux/module.h>
#include <linux/moduleparam.h>
#include <linux/mutex.h>
#include <linux/slab.h>
#include <linux/string.h>
#include <linux/sys_soc.h>

/* Serialises the parameter against load and unload */
static DEFINE_MUTEX(hdmi_lock);
static bool plugged;
static bool cable_shown;
static struct device *soc0;
static struct device *soc;
static struct device *hdmi;

static ssize_t cable_state_show(struct device *dev,
				struct device_attribute *attr, char *buf)
{
	return sysfs_emit(buf, "plugin\n");
}
static DEVICE_ATTR_RO(cable_state);

#if IS_ENABLED(CONFIG_SOC_BUS)
static struct soc_device *hdmi_soc;
static struct device *hdmi_soc_dev;

/*
 * soc_device_register() gives modules no struct device; the visibility
 * callback of the SoC device's attribute group sees it while it is added.
 * The attribute itself stays hidden.
 */
static umode_t hdmi_soc_visible(struct kobject *kobj, struct attribute *attr,
				int n)
{
	hdmi_soc_dev = kobj_to_dev(kobj);
	return 0;
}

static struct attribute *hdmi_soc_attrs[] = {
	&dev_attr_cable_state.attr,
	NULL
};

static const struct attribute_group hdmi_soc_group = {
	.attrs = hdmi_soc_attrs,
	.is_visible = hdmi_soc_visible,
};

static struct soc_device_attribute hdmi_soc_attr = {
	.machine = "Emulated sight board",
	.family = "Emulated",
	.custom_attr_group = &hdmi_soc_group,
};

/* soc0 with a reference held: ours when we are the first SoC device */
static struct device *hdmi_get_soc0(void)
{
	struct device *found;

	hdmi_soc_dev = NULL;
	hdmi_soc = soc_device_register(&hdmi_soc_attr);
	if (IS_ERR_OR_NULL(hdmi_soc) || !hdmi_soc_dev) {
		found = IS_ERR(hdmi_soc) ? ERR_CAST(hdmi_soc) : ERR_PTR(-ENODEV);
		if (!IS_ERR_OR_NULL(hdmi_soc))
			soc_device_unregister(hdmi_soc);
		hdmi_soc = NULL;
		return found;
	}
	if (!strcmp(dev_name(hdmi_soc_dev), "soc0"))
		return get_device(hdmi_soc_dev);

	found = bus_find_device_by_name(hdmi_soc_dev->bus, NULL, "soc0");
	soc_device_unregister(hdmi_soc);
	hdmi_soc = NULL;
	return found ? found : ERR_PTR(-ENODEV);
}

static void hdmi_put_soc0(void)
{
	put_device(soc0);
	if (hdmi_soc)
		soc_device_unregister(hdmi_soc);
	hdmi_soc = NULL;
}
#else
static struct device *hdmi_get_soc0(void)
{
	return root_device_register("soc0");
}

static void hdmi_put_soc0(void)
{
	root_device_unregister(soc0);
}
#endif

static void hdmi_release(struct device *dev)
{
	kfree(dev);
}

static struct device *hdmi_add_device(struct device *parent, const char *name)
{
	struct device *dev;
	int ret;

	dev = kzalloc(sizeof(*dev), GFP_KERNEL);
	if (!dev)
		return ERR_PTR(-ENOMEM);
	device_initialize(dev);
	dev->parent = parent;
	dev->release = hdmi_release;
	ret = dev_set_name(dev, "%s", name);
	if (!ret)
		ret = device_add(dev);
	if (ret) {
		put_device(dev);
		return ERR_PTR(ret);
	}
	return dev;
}

/* With hdmi_lock held: cable_state is there exactly while plugged */
static int hdmi_show_cable(void)
{
	char *envp[2] = { NULL, NULL };
	int ret;

	if (!hdmi || plugged == cable_shown)
		return 0;
	if (plugged) {
		ret = device_create_file(hdmi, &dev_attr_cable_state);
		if (ret)
			return ret;
	} else {
		device_remove_file(hdmi, &dev_attr_cable_state);
	}
	cable_shown = plugged;
	envp[0] = cable_shown ? "EVENT=plugin" : "EVENT=plugout";
	kobject_uevent_env(&hdmi->kobj, KOBJ_CHANGE, envp);
	return 0;
}

static int plugged_set(const char *val, const struct kernel_param *kp)
{
	bool was, on;
	int ret;

	ret = kstrtobool(val, &on);
	if (ret)
		return ret;
	mutex_lock(&hdmi_lock);
	was = plugged;
	plugged = on;
	ret = hdmi_show_cable();
	if (ret)
		plugged = was;
	mutex_unlock(&hdmi_lock);
	return ret;
}

static const struct kernel_param_ops plugged_ops = {
	.set = plugged_set,
	.get = param_get_bool,
};
module_param_cb(plugged, &plugged_ops, &plugged, 0644);
MODULE_PARM_DESC(plugged, "An HDMI cable is attached: cable_state exists");

static void hdmi_remove_devices(void)
{
	if (hdmi) {
		if (cable_shown)
			device_remove_file(hdmi, &dev_attr_cable_state);
		cable_shown = false;
		device_unregister(hdmi);
		hdmi = NULL;
	}
	if (soc) {
		device_unregister(soc);
		soc = NULL;
	}
	if (soc0) {
		hdmi_put_soc0();
		soc0 = NULL;
	}
}

static int hdmi_add_devices(void)
{
	struct device *dev;

	dev = hdmi_get_soc0();
	if (IS_ERR(dev))
		return PTR_ERR(dev);
	soc0 = dev;
	dev = hdmi_add_device(soc0, "soc");
	if (IS_ERR(dev))
		return PTR_ERR(dev);
	soc = dev;
	dev = hdmi_add_device(soc, "20e0000.hdmi_video");
	if (IS_ERR(dev))
		return PTR_ERR(dev);
	hdmi = dev;
	return 0;
}

static int __init fake_hdmi_init(void)
{
	int ret;

	mutex_lock(&hdmi_lock);
	ret = hdmi_add_devices();
	if (!ret)
		ret = hdmi_show_cable();
	if (ret)
		hdmi_remove_devices();
	mutex_unlock(&hdmi_lock);
	return ret;
}

static void __exit fake_hdmi_exit(void)
{
	mutex_lock(&hdmi_lock);
	hdmi_remove_devices();
	mutex_unlock(&hdmi_lock);
}

module_init(fake_hdmi_init);
module_exit(fake_hdmi_exit);

MODULE_DESCRIPTION("HDMI cable node of the sight's display, for emulated boards");
MODULE_LICENSE("GPL");
