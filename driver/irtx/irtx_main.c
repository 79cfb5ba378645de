/*
 * irtx_main.c - infrared remote-control transmitter.
 *
 * User space hands over a code (carrier frequency and a list of mark and
 * space durations in carrier periods) through the one ioctl of the misc
 * device "atmel_ir". The PWM channel makes the carrier; a high-resolution
 * timer switches it on and off at each mark/space boundary.
 *
 * Locking: ioctls are serialised by ir_lock. The timer callback (interrupt
 * context) only touches tx and ir_ns, and only while the timer is armed;
 * an ioctl changes them only after hrtimer_cancel(), which waits for a
 * running callback, so the two never overlap. A request is copied and
 * validated in the staging buffer ir first, so a copy-only or refused
 * request never disturbs a running transmission.
 */
#include <linux/module.h>
#include <linux/kernel.h>
#include <linux/init.h>
#include <linux/fs.h>
#include <linux/miscdevice.h>
#include <linux/mutex.h>
#include <linux/hrtimer.h>
#include <linux/ktime.h>
#include <linux/string.h>
#include <linux/uaccess.h>

#include "irtx_logic.h"
#include "irtx_hw.h"
#include "irtx_compat.h"

#define IRTX_VERSION  "At9g25 V1.1"
#define IRTX_RELEASED "2014.11.17"

static DEFINE_MUTEX(ir_lock);
static struct irtx_code ir;                 /* staging buffer, under ir_lock */
static u32 ir_ns[IRTX_MAX_DURATIONS];       /* durations of the running code */
static struct irtx_tx tx;                   /* gonoff, gcount, n */
static struct hrtimer hrtimer_t;

static void irtx_carrier(enum irtx_carrier c)
{
	if (c == IRTX_CARRIER_ON)
		irtx_hw_on();
	else if (c == IRTX_CARRIER_OFF)
		irtx_hw_off();
}

static enum hrtimer_restart timer_handler(struct hrtimer *timer)
{
	struct irtx_step step = irtx_tx_expire(&tx);

	irtx_carrier(step.carrier);
	if (!step.arm)
		return HRTIMER_NORESTART;
	/* The next boundary counts from now, like the first one. */
	hrtimer_set_expires(timer, ktime_add_ns(ktime_get(), ir_ns[step.next]));
	return HRTIMER_RESTART;
}

/* Programs the carrier frequency (duty one half); leaves the carrier off. */
static int pwm_set_freq(u32 freq)
{
	if (irtx_check_freq(freq) != IRTX_OK)
		return -EINVAL;
	irtx_hw_off();
	irtx_hw_write(IRTX_PWM_MODE_MCK32, irtx_pwm_duty(freq), irtx_pwm_period(freq));
	return 0;
}

/* Cancels any transmission: timer stopped (and its callback finished), carrier off. */
static void atmel_ir_stop(void)
{
	hrtimer_cancel(&hrtimer_t);
	irtx_hw_off();
	irtx_tx_reset(&tx);
}

static long atmel_ir_copy(unsigned long arg)
{
	if (copy_from_user(&ir, (const void __user *)arg, sizeof(ir)) != 0) {
		memset(&ir, 0, sizeof(ir));
		return -EFAULT;
	}
	return 0;
}

/* Replaces the running code, if any, by the one in the staging buffer. */
static long atmel_ir_send(void)
{
	struct irtx_step step;
	int ret;

	/* Durations are converted in place: the staging buffer is ours. */
	if (irtx_prepare(&ir, ir.dur) != IRTX_OK)
		return -EINVAL;

	atmel_ir_stop();
	ret = pwm_set_freq(ir.freq);
	if (ret < 0)
		return ret;
	memcpy(ir_ns, ir.dur, ir.count * sizeof(ir_ns[0]));

	step = irtx_tx_begin(&tx, ir.count);
	irtx_carrier(step.carrier);
	if (step.arm)
		hrtimer_start(&hrtimer_t, ns_to_ktime(ir_ns[step.next]), HRTIMER_MODE_REL);
	return 0;
}

static long atmel_ir_ioctl(struct file *file, unsigned int cmd, unsigned long arg)
{
	long ret;

	if (cmd != IRTX_IOC_SEND)
		return -ENOTTY;
	if (mutex_lock_interruptible(&ir_lock))
		return -ERESTARTSYS;
	ret = atmel_ir_copy(arg);
	if (ret == 0 && ir.send != 0)
		ret = atmel_ir_send();
	mutex_unlock(&ir_lock);
	return ret;
}

static int atmel_ir_open(struct inode *inode, struct file *file)
{
	return 0;
}

static int atmel_ir_release(struct inode *inode, struct file *file)
{
	return 0;
}

static const struct file_operations atmel_ir_fops = {
	.owner          = THIS_MODULE,
	.open           = atmel_ir_open,
	.release        = atmel_ir_release,
	.unlocked_ioctl = atmel_ir_ioctl,
};

static struct miscdevice atmel_ir_dev = {
	.minor = IRTX_DEVICE_MINOR,
	.name  = IRTX_DEVICE_NAME,
	.fops  = &atmel_ir_fops,
};

static int __init atmel_ir_init(void)
{
	int ret;

	BUILD_BUG_ON(sizeof(ir) != IRTX_BUF_BYTES);
	printk(KERN_INFO "starting %s!\n", __func__);
	irtx_timer_setup(&hrtimer_t, timer_handler);

	ret = irtx_hw_alloc();
	if (ret < 0) {
		printk(KERN_ERR "pwm_channel_alloc failed !\n");
		return ret;
	}
	irtx_hw_off();
	irtx_hw_write(IRTX_PWM_MODE_MCK32, IRTX_DEFAULT_DUTY, IRTX_DEFAULT_PERIOD);

	if (misc_register(&atmel_ir_dev)) {
		printk(KERN_ERR "misc %s register failed!\n", IRTX_DEVICE_NAME);
		hrtimer_cancel(&hrtimer_t);
		irtx_hw_off();
		irtx_hw_free();
		return -EINVAL;
	}
	printk(KERN_INFO "misc %s register success!\n", "atmel_pwm");
	printk(KERN_INFO "misc %s register success!\n", IRTX_DEVICE_NAME);
	printk(KERN_INFO "Version is %s \n", IRTX_VERSION);
	printk(KERN_INFO "Released date is %s \n", IRTX_RELEASED);
	return 0;
}

/*
 * The device goes first, so no new request can arrive (an open file holds
 * a module reference, so none is in progress); then the timer, then the
 * channel it drives.
 */
static void __exit atmel_ir_exit(void)
{
	printk(KERN_INFO "ending %s!\n", __func__);
	misc_deregister(&atmel_ir_dev); /* int on old kernels, void on new: nothing to act on */
	atmel_ir_stop();
	irtx_hw_free();
}

module_init(atmel_ir_init);
module_exit(atmel_ir_exit);

MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("Infrared remote-control transmitter on a PWM channel");
MODULE_VERSION("1.1");
